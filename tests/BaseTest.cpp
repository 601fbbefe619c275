// The string helpers and exceptions that the settings and the log rely on.
#include <gtest/gtest.h>

#include <cerrno>

#include "base/Exception.h"
#include "base/Strings.h"

using namespace base;

TEST(Strings, IntegerFormsAndBounds) {
    EXPECT_EQ(TryStrToInt("2147483647"), 2147483647);
    EXPECT_EQ(TryStrToInt("-2147483648"), -2147483648LL);
    EXPECT_FALSE(TryStrToInt("2147483648"));
    EXPECT_EQ(TryStrToInt("$FFFFFFFF"), -1);
    EXPECT_FALSE(TryStrToInt(""));
    EXPECT_FALSE(TryStrToInt("0x"));
    EXPECT_FALSE(TryStrToInt(" 1"));
    EXPECT_EQ(StrToIntDef("0x10", 0), 16);
}

TEST(Strings, CheckedMultiplyRaisesIntegerOverflow) {
    EXPECT_EQ(CheckedMul32(2147483, 1000), 2147483000);
    EXPECT_THROW(CheckedMul32(2147484, 1000), EIntOverflow);
    EXPECT_EQ(CheckedMul32(-5, 1000), -5000);
}

TEST(Strings, CaseAndPositions) {
    EXPECT_EQ(UpperCase("abc\xe9"), "ABC\xe9");  // only ASCII letters change
    EXPECT_TRUE(SameText("Server1Name", "server1name"));
    EXPECT_EQ(Pos("lo", "hello"), 4);
    EXPECT_EQ(Copy("hello", 2, 3), "ell");
    EXPECT_EQ(Copy("hello", 4, 10), "lo");
}

TEST(Strings, ControlCharactersShowAsEscapesAndOtherTextStays) {
    struct Row {
        std::string in, out;
    } rows[] = {
        {"404 Not\x1b]0;pwned\x07 Found\r\n", "404 Not\\x1B]0;pwned\\x07 Found\\x0D\\x0A"},
        {std::string("a\0b\x7f", 4), "a\\x00b\\x7F"},
        // A raw C1 byte and any other byte outside well-formed UTF-8.
        {"a\x9b"
         "2J",
         "a\\x9B2J"},
        {"caf\xe9 \xff", "caf\\xE9 \\xFF"},
        {"\xe2\x80", "\\xE2\\x80"},           // cut short at the end
        {"\xe0\x9f\xbf", "\\xE0\\x9F\\xBF"},  // overlong
        {"\xed\xa0\x80", "\\xED\\xA0\\x80"},  // a surrogate
        {"\xc2"
         "A",
         "\\xC2"
         "A"},  // a lead byte followed by ASCII
        // C1 controls written in UTF-8 (CSI, OSC, ST at both ends of the range).
        {"\xc2\x80|\xc2\x9b|\xc2\x9d|\xc2\x9f", "\\u0080|\\u009B|\\u009D|\\u009F"},
        // Bidirectional overrides and isolates, the first and last of each
        // range; their neighbours stay.
        {"\xe2\x80\xaa\xe2\x80\xae\xe2\x81\xa6\xe2\x81\xa9", "\\u202A\\u202E\\u2066\\u2069"},
        {"\xe2\x80\xa9\xe2\x80\xa8", "\\u2029\\u2028"},
        {"\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa", "\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa"},
        // Tab, well-formed UTF-8 next to the C1 range (U+00A0, U+007E) and a
        // backslash stay as they are.
        {"tab\there \xc2\xa0\xc3\xa9 \xf0\x9f\x98\x80 \\x41 ~",
         "tab\there \xc2\xa0\xc3\xa9 \xf0\x9f\x98\x80 \\x41 ~"},
    };
    for (const Row& r : rows) EXPECT_EQ(ShowControls(r.in), r.out) << r.in;
}

TEST(Exceptions, MessagesOfTheListAndIoErrors) {
    EXPECT_STREQ(EListError(0).what(), "List index out of bounds (0)");
    EXPECT_STREQ(EInOutError(101).what(), "Disk full");
    EXPECT_STREQ(EInOutError(32).what(), "I/O error 32");
    EXPECT_EQ(EInOutError::CodeFromErrno(ENOSPC), 101);
    EXPECT_EQ(EInOutError::CodeFromErrno(ENOENT), 2);
    EXPECT_EQ(ErrorReportText("Disk full"), "Disk full.");
    EXPECT_EQ(ErrorReportText("Done."), "Done.");
}
