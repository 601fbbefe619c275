// INI profile files, read and written as the design's profile routines did:
// section and key names match without regard to case, the first matching
// section and key win, names and values are trimmed, one pair of surrounding
// double quotes is stripped from a value, values are cut at 2047 bytes (never inside a character),
// and CR LF, LF and CR line ends are all read. Lines that are neither a
// section header nor a key (comments, blanks) are kept as they are.
//
// A TIniFile holds the whole file in memory from the moment it is opened.
// Writes change the memory only; UpdateFile() writes the whole file to a
// temporary file beside it and renames it into place, so a failed save leaves
// the old file as it was (see base/SafeFile.h for links and temporary
// files). Lines nobody changed are written back byte for byte; new and
// changed lines end as the file's first line does (CR LF for a new file).
// A value (or
// name) holding a line break or another control character is refused, since
// it would come back as other keys.
//
// Names in any script: the file is UTF-8. A file that is not valid UTF-8 was
// written before that, in Latin-1: it is read as Latin-1 and written back
// whole as UTF-8, so nothing it holds is lost. A byte order mark is kept.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class TIniFile {
public:
    // Loads the file; a missing or unreadable file reads as empty.
    explicit TIniFile(std::string fileName);

    const std::string& FileName() const { return fileName_; }

    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
    // Decimal, or hexadecimal with "0x"/"0X"/"$"; def when missing, empty or
    // not an integer.
    std::int32_t ReadInteger(const std::string& section, const std::string& key, std::int32_t def) const;
    // Read as an integer; anything other than 0 is true.
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;
    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& key) const;
    // The key names of a section, in file order.
    std::vector<std::string> ReadSection(const std::string& section) const;
    // The names of the file's sections as written, in file order (a name
    // written twice comes twice).
    std::vector<std::string> ReadSections() const;

    // A new key goes at the end of its section, a new section at the end of
    // the file; an existing key keeps its place and its spelling. Raises
    // base::Exception("Unable to write to " + FileName()) for a section, key
    // or value with a control character, and for names that would read back
    // as something else (a key holding '=' or starting with ';' or '[', a
    // section holding ']'), changing nothing.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, std::int32_t value);
    void WriteBool(const std::string& section, const std::string& key, bool value);
    // Removes the section's header and all its keys.
    void EraseSection(const std::string& section);
    void DeleteKey(const std::string& section, const std::string& key);

    // Writes the file whole and renames it into place. Raises
    // base::Exception("Unable to write to " + FileName()) when it cannot.
    void UpdateFile();

    // The text the file would be written with.
    std::string Text() const;

private:
    struct Line {
        std::string raw;      // as read, for lines kept verbatim
        std::string section;  // for a header line
        std::string key;      // for a key line
        std::string value;
        enum Kind { Other, Header, Pair } kind = Other;
        // A line not changed since it was read is written back as it came,
        // with its own line end ("" for a last line without one).
        bool asRead = false;
        std::string eol;
    };
    int FindSection(const std::string& section) const;  // index of header line or -1
    int SectionEnd(int header) const;                   // index after its last line
    int FindKey(int header, const std::string& key) const;
    void Parse(const std::string& text);

    std::string fileName_;
    std::vector<Line> lines_;
    std::string newline_ = "\r\n";  // for new lines: the file's first line end
    std::string bom_;               // the byte order mark the file started with, if any
};

// True when s holds a control character (below 32, or 127).
bool HasControlChars(const std::string& s);
// True when s is well-formed UTF-8: no overlong form, no surrogate, nothing
// past U+10FFFF, no sequence cut short.
bool IsUtf8(std::string_view s);
// Latin-1 text as UTF-8 (every byte is the character of the same number).
std::string Utf8FromLatin1(std::string_view s);

}  // namespace platform
