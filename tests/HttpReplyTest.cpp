// Cutting reply bytes into header lines and reading each line, with no
// socket: the bytes are fed whole and split at every position.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "net/HttpReply.h"

using net::HeaderNumber;
using net::ParseContentRange;
using net::ParseHeaderLine;
using net::THeaderLineKind;
using net::THttpLineBuffer;

namespace {

// Feeds the pieces one after the other and collects every complete line;
// what is left over comes back in rest.
std::vector<std::string> Lines(const std::vector<std::string>& pieces, std::string* rest = nullptr) {
    THttpLineBuffer buf;
    std::vector<std::string> lines;
    for (const std::string& p : pieces) {
        std::size_t done = 0;
        while (done < p.size()) {
            char* into = buf.WritePtr();
            int n = std::min<int>(buf.Free(), static_cast<int>(p.size() - done));
            if (n == 0) break;
            std::memcpy(into, p.data() + done, static_cast<std::size_t>(n));
            buf.Commit(n);
            done += static_cast<std::size_t>(n);
            std::string_view line;
            while (buf.NextLine(line)) lines.emplace_back(line);
        }
    }
    if (rest) *rest = std::string(buf.Bytes());
    return lines;
}

TEST(HttpLineBuffer, CutsLinesWithEitherLineEnd) {
    std::string rest;
    auto lines = Lines({"HTTP/1.0 200 OK\r\nA: 1\nB: 2\r\n\r\nbody\r\nmore"}, &rest);
    EXPECT_EQ(lines, (std::vector<std::string>{"HTTP/1.0 200 OK", "A: 1", "B: 2", "", "body"}));
    EXPECT_EQ(rest, "more");
}

TEST(HttpLineBuffer, SameLinesWhateverTheSplit) {
    const std::string reply = "HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n\rtail\n\n";
    const auto whole = Lines({reply});
    for (std::size_t i = 0; i <= reply.size(); ++i) {
        for (std::size_t j = i; j <= reply.size(); j += 7) {
            std::string rest;
            auto split = Lines({reply.substr(0, i), reply.substr(i, j - i), reply.substr(j)}, &rest);
            EXPECT_EQ(split, whole) << "split at " << i << " and " << j;
            EXPECT_EQ(rest, "");
        }
    }
}

TEST(HttpLineBuffer, CarriageReturnAloneIsKept) {
    auto lines = Lines({"\r\n", "\n", "a\rb\r\n", "\r\r\n"});
    EXPECT_EQ(lines, (std::vector<std::string>{"", "", "a\rb", "\r"}));
}

TEST(HttpLineBuffer, ZeroByteHidesTheLineEndBehindIt) {
    std::string rest;
    auto lines = Lines({std::string("ok\nbad\0x\nnext\n", 14)}, &rest);
    EXPECT_EQ(lines, (std::vector<std::string>{"ok"}));
    EXPECT_EQ(rest, std::string("bad\0x\nnext\n", 11));
}

TEST(HttpLineBuffer, HasLineAgreesWithNextLine) {
    const std::string inputs[] = {"", "abc", "abc\n", "\n", std::string("a\0b\n", 4), "a\r\nb"};
    for (const std::string& in : inputs) {
        THttpLineBuffer buf;
        std::memcpy(buf.WritePtr(), in.data(), in.size());
        buf.Commit(static_cast<int>(in.size()));
        const bool has = buf.HasLine();
        std::string_view line;
        EXPECT_EQ(has, buf.NextLine(line)) << "[" << in << "]";
    }
}

TEST(HttpLineBuffer, AFreshBufferHoldsNothingUntilItsFirstRead) {
    THttpLineBuffer buf;
    std::string_view line;
    buf.Commit(10);  // nothing written yet: nothing held
    EXPECT_EQ(buf.Length(), 0);
    EXPECT_EQ(buf.Free(), THttpLineBuffer::Capacity);
    EXPECT_TRUE(buf.Bytes().empty());
    EXPECT_FALSE(buf.HasLine());
    EXPECT_FALSE(buf.ZeroInLine());
    EXPECT_FALSE(buf.NextLine(line));
    std::memcpy(buf.WritePtr(), "a\n", 2);
    buf.Commit(2);
    ASSERT_TRUE(buf.NextLine(line));
    EXPECT_EQ(line, "a");
}

TEST(HttpLineBuffer, FullBufferWithoutLineEndHasNoRoomLeft) {
    THttpLineBuffer buf;
    std::string big(THttpLineBuffer::Capacity - 1, 'a');
    std::memcpy(buf.WritePtr(), big.data(), big.size());
    buf.Commit(static_cast<int>(big.size()));
    std::string_view line;
    EXPECT_FALSE(buf.NextLine(line));
    EXPECT_EQ(buf.Free(), 1);
    *buf.WritePtr() = '\n';
    buf.Commit(1);
    ASSERT_TRUE(buf.NextLine(line));
    EXPECT_EQ(line.size(), big.size());
    EXPECT_EQ(buf.Free(), THttpLineBuffer::Capacity);

    std::memset(buf.WritePtr(), 'b', THttpLineBuffer::Capacity);
    buf.Commit(THttpLineBuffer::Capacity + 100);  // clipped, never past the end
    EXPECT_EQ(buf.Free(), 0);
    EXPECT_FALSE(buf.NextLine(line));
}

TEST(HttpLineBuffer, TakenLinesFreeTheirRoom) {
    THttpLineBuffer buf;
    std::string data(4000, 'x');
    data += "\n";
    data += std::string(4000, 'y');
    std::memcpy(buf.WritePtr(), data.data(), data.size());
    buf.Commit(static_cast<int>(data.size()));
    std::string_view line;
    ASSERT_TRUE(buf.NextLine(line));
    EXPECT_EQ(buf.Free(), THttpLineBuffer::Capacity - 4000);
    char* into = buf.WritePtr();  // the rest moves to the front
    EXPECT_EQ(std::string(buf.Bytes()), std::string(4000, 'y'));
    std::memcpy(into, "z\n", 2);
    buf.Commit(2);
    ASSERT_TRUE(buf.NextLine(line));
    EXPECT_EQ(line, std::string(4000, 'y') + "z");
}

TEST(ParseHeaderLine, TableOfLines) {
    struct {
        const char* line;
        THeaderLineKind kind;
        const char* name;   // field name, or the status code for a status line ("-" for none)
        const char* value;  // field value, or the reason
        const char* why;
    } cases[] = {
        {"", THeaderLineKind::hlEmpty, "", "", "end of header"},
        {"HTTP/1.0 200 OK", THeaderLineKind::hlStatus, "200", "OK", "status"},
        {"HTTP/1.1 404 Not Found", THeaderLineKind::hlStatus, "404", "Not Found", "reason with a space"},
        {"HTTP/1.0 200", THeaderLineKind::hlStatus, "200", "", "no reason"},
        {"HTTP/1.0 2x0 Odd", THeaderLineKind::hlStatus, "-", "Odd", "code that is no number"},
        {"HTTP/1.0", THeaderLineKind::hlStatus, "-", "", "nothing after the version"},
        {"HTTP/2 200 OK", THeaderLineKind::hlStatus, "-", "", "HTTP/2 is no valid status line"},
        {"HTTP/2 503", THeaderLineKind::hlStatus, "-", "", "HTTP/2 with an error code"},
        {"HTTP/1.2 503 x", THeaderLineKind::hlStatus, "-", "x", "version 1.2"},
        {"HTTP/1.1  500 x", THeaderLineKind::hlStatus, "-", " x", "two blanks"},
        {"HTTP/1.1 000 x", THeaderLineKind::hlStatus, "-", "x", "code below 100"},
        {"HTTP/1.1 099", THeaderLineKind::hlStatus, "-", "", "just below 100"},
        {"HTTP/1.1 100", THeaderLineKind::hlStatus, "100", "", "the lowest code"},
        {"HTTP/1.1 599 x", THeaderLineKind::hlStatus, "599", "x", "the highest code"},
        {"HTTP/1.1 600 x", THeaderLineKind::hlStatus, "-", "x", "just above 599"},
        {"HTTP/1.1 -50 x", THeaderLineKind::hlStatus, "-", "x", "a sign"},
        {"HTTP/1.1 2000", THeaderLineKind::hlStatus, "-", "", "four digits"},
        {"HTTP/1.1 200\tOK", THeaderLineKind::hlStatus, "-", "OK", "a tab after the code"},
        {"HTTP/1.1 ", THeaderLineKind::hlStatus, "-", "", "no code"},
        {"http/1.0 200 OK", THeaderLineKind::hlOther, "", "", "version is case sensitive, no colon"},
        {"<html><body>", THeaderLineKind::hlHtml, "", "", "header-less document"},
        {"<HtMl>", THeaderLineKind::hlHtml, "", "", "any case"},
        {"<html", THeaderLineKind::hlOther, "", "", "too short for the tag"},
        {"Content-Type: Text/HTML", THeaderLineKind::hlField, "content-type", "Text/HTML", "value case kept"},
        {"Content-Type : x", THeaderLineKind::hlField, "content-type ", "x", "name not trimmed"},
        {"X:   a b ", THeaderLineKind::hlField, "x", "a b ", "leading spaces skipped only"},
        {"X:\tv", THeaderLineKind::hlField, "x", "\tv", "only spaces are skipped"},
        {"X:    ", THeaderLineKind::hlField, "x", " ", "the last character always stays"},
        {"X:", THeaderLineKind::hlField, "x", "", "empty value"},
        {"Location: http://a:1/b", THeaderLineKind::hlField, "location", "http://a:1/b",
         "first colon splits"},
        {"garbage", THeaderLineKind::hlOther, "", "", "no colon"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.why);
        auto h = ParseHeaderLine(c.line);
        EXPECT_EQ(h.Kind, c.kind);
        if (c.kind == THeaderLineKind::hlStatus) {
            EXPECT_EQ(h.StatusCode ? std::to_string(*h.StatusCode) : "-", c.name);
            EXPECT_EQ(h.ReasonPhrase, c.value);
        } else if (c.kind == THeaderLineKind::hlField) {
            EXPECT_EQ(h.Name, c.name);
            EXPECT_EQ(h.Value, c.value);
        }
    }
}

TEST(HeaderNumber, OnlyWholeNumbers) {
    EXPECT_EQ(HeaderNumber("219"), 219);
    EXPECT_EQ(HeaderNumber("0"), 0);
    EXPECT_EQ(HeaderNumber("219  "), std::nullopt) << "trailing blanks";
    EXPECT_EQ(HeaderNumber("12ab"), std::nullopt) << "letters";
    EXPECT_EQ(HeaderNumber(""), std::nullopt) << "empty";
    EXPECT_EQ(HeaderNumber("99999999999"), std::nullopt) << "too big for 32 bits";
    EXPECT_EQ(HeaderNumber("2147483648"), std::nullopt) << "one past the largest";
    EXPECT_EQ(HeaderNumber("-2147483648"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(HeaderNumber("-5"), -5) << "a sign is part of a decimal number";
    EXPECT_EQ(HeaderNumber("+5"), 5);
    EXPECT_EQ(HeaderNumber("-"), std::nullopt) << "sign alone";
    EXPECT_EQ(HeaderNumber("0x10"), std::nullopt) << "hexadecimal is no decimal number";
    EXPECT_EQ(HeaderNumber("$10"), std::nullopt) << "nor is the other hexadecimal form";
    EXPECT_EQ(HeaderNumber(" 20"), std::nullopt) << "leading blank";
}

TEST(ContentLengthValue, OnePlainNumber) {
    using net::ContentLengthValue;
    EXPECT_EQ(ContentLengthValue("219"), 219);
    EXPECT_EQ(ContentLengthValue(" 219 \t"), 219) << "blanks around a field value";
    EXPECT_EQ(ContentLengthValue("0"), 0);
    EXPECT_EQ(ContentLengthValue("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(ContentLengthValue("9223372036854775808"), std::nullopt) << "one past 2^63-1";
    EXPECT_EQ(ContentLengthValue("99999999999999999999"), std::nullopt);
    EXPECT_EQ(ContentLengthValue("-1"), std::nullopt) << "negative";
    EXPECT_EQ(ContentLengthValue("+5"), std::nullopt) << "a sign";
    EXPECT_EQ(ContentLengthValue("100, 100"), std::nullopt) << "a list";
    EXPECT_EQ(ContentLengthValue("12ab"), std::nullopt);
    EXPECT_EQ(ContentLengthValue(""), std::nullopt);
    EXPECT_EQ(ContentLengthValue("1 2"), std::nullopt);
}

TEST(ParseContentRange, Bounds) {
    struct {
        const char* value;
        const char* begin;
        const char* end;
    } cases[] = {
        {"bytes 100-199/1000", "100", "199"},
        {"bytes 0-0/1", "0", "0"},
        {"bytes 100-199", "100", ""},  // no slash: no end
        {"bytes */1000", "", ""},      // no dash
        {"", "", ""},
        {"x-", "", ""},
        {"bytes 1\r-2/3", "", ""},  // a control character never reaches a Range header
        {"bytes a-2/3", "", ""},
        {"bytes 1-2\n/3", "", ""},
    };
    for (auto& c : cases) {
        std::string b = "old", e = "old";
        ParseContentRange(c.value, b, e);
        EXPECT_EQ(b, c.begin) << c.value;
        EXPECT_EQ(e, c.end) << c.value;
    }
}

}  // namespace
