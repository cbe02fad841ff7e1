// Package services: the data start of a package and the numbers of its
// header.
#include "host/machine/Packages.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using host::findDataStart;
using host::findLongValue;

// The buffer is copied into memory of exactly its size, so a read past the
// end is caught by the address sanitizer.
class Buffer {
public:
    explicit Buffer(const std::string &text)
        : size_(text.size()), bytes_(std::make_unique<char[]>(text.size()))
    {
        text.copy(bytes_.get(), text.size());
    }
    const char *begin() const { return bytes_.get(); }
    const char *end() const { return bytes_.get() + size_; }
    const char *at(std::size_t offset) const { return bytes_.get() + offset; }
    std::size_t offsetOf(const char *p) const { return static_cast<std::size_t>(p - bytes_.get()); }

private:
    std::size_t size_;
    std::unique_ptr<char[]> bytes_;
};

const std::string kHeader = std::string("EXPANDEDSIZE\n12") + '\0' + "DBNAME\n/TMP/a" + '\0';

TEST(FindDataStart, LineAtTheOriginCounts)
{
    Buffer b("DATASTART\nxyz");
    ASSERT_NE(findDataStart(b.begin(), b.end()), nullptr);
    EXPECT_EQ(b.offsetOf(findDataStart(b.begin(), b.end())), 10u);
}

TEST(FindDataStart, LineAfterNulOrLineFeed)
{
    Buffer afterNul(kHeader + "DATASTART\nDATA");
    const char *p = findDataStart(afterNul.begin(), afterNul.end());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(afterNul.offsetOf(p), kHeader.size() + 10);
    EXPECT_EQ(*p, 'D');

    Buffer afterLf("COMMENT\nX\nDATASTART\n!");
    p = findDataStart(afterLf.begin(), afterLf.end());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(*p, '!');
}

TEST(FindDataStart, IgnoresTextInsideALineAndWithoutLineFeed)
{
    // "XDATASTART\n" is inside a line; "DATASTART\r\n" and "DATASTARTS\n"
    // are other lines; only the last one counts.
    Buffer b(std::string("XDATASTART\nDATASTART\r\nDATASTARTS\n") + '\0' + "DATASTART\n#");
    const char *p = findDataStart(b.begin(), b.end());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(*p, '#');

    Buffer none("key\nvalueDATASTART\nmore");
    EXPECT_EQ(findDataStart(none.begin(), none.end()), nullptr);
}

TEST(FindDataStart, FirstOfSeveralLines)
{
    Buffer b("DATASTART\n1\nDATASTART\n2");
    const char *p = findDataStart(b.begin(), b.end());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(*p, '1');
    // A search from inside the first data finds the second line.
    p = findDataStart(b.at(11), b.end());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(*p, '2');
}

TEST(FindDataStart, DataMustBeginBeforeTheEnd)
{
    // The line ends on the last byte: no data byte follows it.
    Buffer exact("abc\nDATASTART\n");
    EXPECT_EQ(findDataStart(exact.begin(), exact.end()), nullptr);
    // The line runs past the end of the range.
    Buffer straddling("abc\nDATASTART\nxx");
    EXPECT_EQ(findDataStart(straddling.begin(), straddling.at(10)), nullptr);
    EXPECT_EQ(findDataStart(straddling.begin(), straddling.at(14)), nullptr);
    // One byte of data is enough.
    ASSERT_NE(findDataStart(straddling.begin(), straddling.at(15)), nullptr);
    EXPECT_EQ(straddling.offsetOf(findDataStart(straddling.begin(), straddling.at(15))), 14u);
}

TEST(FindDataStart, NothingBeforeTheOriginIsRead)
{
    // A line before the origin is not found, and the byte before the origin
    // does not decide whether a match right after it starts a line.
    Buffer b("DATASTART\nabcXDATASTART\nqq");
    EXPECT_EQ(findDataStart(b.at(1), b.end()), nullptr);
    const char *p = findDataStart(b.at(14), b.end());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(*p, 'q');
}

TEST(FindDataStart, BadArguments)
{
    Buffer b("DATASTART\nabc");
    EXPECT_EQ(findDataStart(nullptr, b.end()), nullptr);
    EXPECT_EQ(findDataStart(b.begin(), nullptr), nullptr);
    EXPECT_EQ(findDataStart(b.end(), b.end()), nullptr);
    EXPECT_EQ(findDataStart(b.at(3), b.at(2)), nullptr);
}

TEST(FindLongValue, PlainNumbers)
{
    EXPECT_EQ(findLongValue("0"), 0);
    EXPECT_EQ(findLongValue("1234567"), 1234567);
    EXPECT_EQ(findLongValue("-5"), -5);
    EXPECT_EQ(findLongValue("-0"), 0);
    EXPECT_EQ(findLongValue("000042"), 42);
}

TEST(FindLongValue, ReadsUpToTheFirstOtherCharacter)
{
    EXPECT_EQ(findLongValue("12abc"), 12);
    EXPECT_EQ(findLongValue("77\nEXPANDEDSIZE"), 77);
    EXPECT_EQ(findLongValue("3 4"), 3);
    EXPECT_EQ(findLongValue("9.5"), 9);
}

TEST(FindLongValue, NoNumber)
{
    EXPECT_EQ(findLongValue(nullptr), -1);
    EXPECT_EQ(findLongValue(""), -1);
    EXPECT_EQ(findLongValue("-"), -1);
    EXPECT_EQ(findLongValue("--1"), -1);
    EXPECT_EQ(findLongValue("+5"), -1);
    EXPECT_EQ(findLongValue(" 5"), -1);
    EXPECT_EQ(findLongValue("x12"), -1);
    EXPECT_EQ(findLongValue("- 1"), -1);
}

TEST(FindLongValue, SignedThirtyTwoBitRange)
{
    EXPECT_EQ(findLongValue("2147483647"), 2147483647L);
    EXPECT_EQ(findLongValue("2147483648"), -1);
    EXPECT_EQ(findLongValue("-2147483648"), -2147483647L - 1);
    EXPECT_EQ(findLongValue("-2147483649"), -1);
    EXPECT_EQ(findLongValue("0000000000002147483647"), 2147483647L);
    EXPECT_EQ(findLongValue("99999999999999999999999999999"), -1);
}

TEST(FindLongValue, StopsReadingOnceOutOfRange)
{
    // Digits run to the end of the buffer with no terminator; the value is
    // out of range before the end is reached.
    std::string digits(40, '9');
    auto bytes = std::make_unique<char[]>(digits.size());
    digits.copy(bytes.get(), digits.size());
    EXPECT_EQ(findLongValue(bytes.get()), -1);
}

} // namespace
