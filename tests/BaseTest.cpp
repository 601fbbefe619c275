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

TEST(Strings, ControlCharactersShowAsHexAndOtherBytesStay) {
    EXPECT_EQ(ShowControls("404 Not\x1b]0;pwned\x07 Found\r\n"), "404 Not\\x1B]0;pwned\\x07 Found\\x0D\\x0A");
    EXPECT_EQ(ShowControls(std::string("a\0b\x7f", 4)), "a\\x00b\\x7F");
    const std::string kept = "tab\there \xe9\xff\\x41 ~";  // tab, high bytes and a backslash stay
    EXPECT_EQ(ShowControls(kept), kept);
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
