// The send chain's block: appending up to its size, peeking at the unsent
// bytes, consuming them, and starting over once everything has gone.
#include "net/WSockbuf.h"

#include <gtest/gtest.h>

#include <string>

using net::TBuffer;

TEST(TBuffer, SizeDefaultsTo1514) {
    EXPECT_EQ(TBuffer().BufSize(), 1514);
    EXPECT_EQ(TBuffer(0).BufSize(), 1514);
    EXPECT_EQ(TBuffer(-5).BufSize(), 1514);
    EXPECT_EQ(TBuffer(10).BufSize(), 10);
}

TEST(TBuffer, AppendTakesWhatFits) {
    TBuffer b(10);
    EXPECT_EQ(b.Append("abcdef", 6), 6);
    EXPECT_EQ(b.Append("ghijkl", 6), 4);  // only 4 free
    EXPECT_EQ(b.Append("x", 1), 0);       // full
    std::int32_t n = 0;
    const char* p = b.PeekData(n);
    ASSERT_EQ(n, 10);
    EXPECT_EQ(std::string(p, 10), "abcdefghij");
}

TEST(TBuffer, ConsumeAdvancesAndEmptiesTheBlockAtTheEnd) {
    TBuffer b(8);
    std::int32_t n = -1;
    EXPECT_EQ(b.PeekData(n), nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(b.Consume(5), 0) << "nothing to consume";

    b.Append("12345678", 8);
    EXPECT_EQ(b.Consume(3), 3);
    const char* p = b.PeekData(n);
    EXPECT_EQ(std::string(p, static_cast<std::size_t>(n)), "45678");
    EXPECT_EQ(b.Append("9", 1), 0) << "free space before the read position is not reused";
    EXPECT_EQ(b.Consume(100), 5) << "no more than what is unsent";
    EXPECT_EQ(b.PeekData(n), nullptr);
    EXPECT_EQ(b.WrCount(), 0);
    EXPECT_EQ(b.RdCount(), 0);
    EXPECT_EQ(b.Append("abcdefgh", 8), 8) << "a drained block is filled from its start";
    EXPECT_EQ(b.Consume(-1), 0);
}
