// Reading an HTTP reply without any I/O: the client's socket hands received
// bytes to a THttpLineBuffer, which cuts the header into lines, and each line
// is classified by ParseHeaderLine. Both are plain data transformations so
// they can be fed bytes directly by the tests and the fuzzer; the client
// (THttpCli) decides what each line does to the request.
//
// The buffer is fixed: a header line (with its line end) must fit in 64 KiB,
// room for the long Set-Cookie and Content-Security-Policy lines real sites
// send; the client bounds the whole header section on top of that. Taking a line off the front only moves a
// start offset, so cutting a full buffer into many short lines costs nothing per line; the bytes are moved to
// the front only when more room is asked for.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace net {

// The bytes one reply's header section may take, interim replies included:
// endless short lines would otherwise hold memory without bound.
constexpr int MaxHeaderSection = 256 * 1024;

class THttpLineBuffer {
public:
    static constexpr int Capacity = 64 * 1024;

    // Bytes held and not yet taken.
    int Length() const { return end_ - begin_; }
    // Room left for the next read; 0 means a line has filled the buffer.
    int Free() const { return Capacity - Length(); }
    // Where the next read goes (Free() bytes of room). Moves the held bytes
    // to the front first, so the pointer is valid until the next call. The
    // room is taken at the first call and not cleared: a client that never
    // gets a reply holds none, and one that does keeps in memory only the
    // pages its reads filled.
    char* WritePtr();
    // Records n bytes just written at WritePtr() (n <= Free()).
    void Commit(int n);

    // Takes the first complete line off the front, without its LF or CR LF.
    // The held bytes are read as zero-terminated text: an LF after a zero
    // byte is not seen, and such a line waits for more data. false when no
    // complete line is held. The view stays valid until the next WritePtr().
    bool NextLine(std::string_view& line);
    // Whether NextLine would take a line now.
    bool HasLine() const;
    // Whether a zero byte comes before the first line end held (or anywhere,
    // when no line end is held): no header line can hold one.
    bool ZeroInLine() const;
    // Every byte held, unchanged (zero bytes included).
    std::string_view Bytes() const { return {data_.get() + begin_, static_cast<std::size_t>(Length())}; }
    void Clear() { begin_ = end_ = 0; }

private:
    std::unique_ptr<char[]> data_;  // Capacity + 1: one more for the terminating zero
    int begin_ = 0;
    int end_ = 0;
};

// What one header line is.
enum class THeaderLineKind : std::uint8_t {
    hlEmpty,   // the empty line that ends the header
    hlHtml,    // starts with "<HTML>" in any case: a document sent without a header
    hlStatus,  // "HTTP/" first, case as written: a status line, valid or not
    hlField,   // name ":" value
    hlOther,   // anything else: recorded, no effect
};

struct THeaderLine {
    THeaderLineKind Kind = THeaderLineKind::hlOther;
    // Status line: the code when the line is a valid one ("HTTP/1.0" or
    // "HTTP/1.1", one blank, three digits from 100 to 599, then a blank or
    // the line's end; nothing otherwise), and the reason from character 14 on.
    std::optional<std::int32_t> StatusCode;
    std::string_view ReasonPhrase;
    // Field: the name before the first ":" in lower case, not trimmed, and the
    // value after it with leading spaces skipped (the last character always
    // stays, even a space).
    std::string Name;
    std::string_view Value;
};

// Classifies one line (without its line end). The views point into line.
THeaderLine ParseHeaderLine(std::string_view line);

// Whether bytes can begin a reply: a status line ("HTTP/") or a document
// sent without a header ("<HTML>" in any case). With complete false more
// bytes may follow, and the start of either is enough.
bool CanStartReply(std::string_view bytes, bool complete);

// A decimal number as a header carries it; nothing when the text is not one
// (trailing blanks, letters, overflow).
std::optional<std::int32_t> HeaderNumber(std::string_view text);

// A Content-Length value: decimal digits only, with the blanks and tabs
// around a field value allowed; nothing for a sign, a list ("100, 100"), any
// other character, or a number above 2^63-1.
std::optional<std::int64_t> ContentLengthValue(std::string_view text);

// The bounds of a content-range value such as "bytes 100-199/1000": begin is
// from its 7th character up to the first "-", end from after that "-" up to
// the first "/" (empty when there is no "/"). A bound that is not decimal
// digits (a control character from a hostile server included) leaves both
// empty: they go into the next request's Range header.
void ParseContentRange(std::string_view value, std::string& begin, std::string& end);

}  // namespace net
