// The package header lookup over hand-made buffers.
#include "staging_support.h"
#include "update/staging/dlFirmUpSubFunction.h"

#include <gtest/gtest.h>

namespace {

using namespace testing_support;

struct Lookup {
    int count;
    std::string console;
    std::vector<vx::DL_DB_INFO> table;
};

// The buffer lies in memory of exactly its size, and the table has one
// guarded record past `capacity`, so reads past the one and writes past
// the other are caught.
Lookup lookup(const std::string &text, int mode, int capacity = vx::DL_DB_TABLE_IMAGE,
              std::vector<char> *keep = nullptr)
{
    MachineHarness h(false);
    static std::vector<char> buffer;
    std::vector<char> &buf = keep ? *keep : buffer;
    buf.assign(text.begin(), text.end());
    std::vector<vx::DL_DB_INFO> table(static_cast<std::size_t>(capacity) + 1);
    int n =
        vx::dlFirmGetDBInfoBounded(table.data(), buf.data(), static_cast<int>(buf.size()), mode, capacity);
    EXPECT_EQ(table.back().dataStart, nullptr) << "record past the capacity written";
    table.pop_back();
    return {n, h.console(), table};
}

std::string pkg(const std::string &name, const std::string &data = "0123456789")
{
    return package({{"EXPANDEDSIZE", "99"},
                    {"COMPRESSEDSIZE", std::to_string(data.size())},
                    {"DBNAME", name},
                    {"VERSION", "1.00"},
                    {"COMMENT", "LASER_FIRM"}},
                   data);
}

Pairs without(const std::string &key, Pairs pairs = {{"EXPANDEDSIZE", "0"},
                                                     {"COMPRESSEDSIZE", "2"},
                                                     {"DBNAME", "/TMP/b"},
                                                     {"VERSION", "2"},
                                                     {"COMMENT", "c"}})
{
    std::erase_if(pairs, [&](const auto &p) { return p.first == key; });
    return pairs;
}

TEST(ChainLookup, WhereAndWhyAChainEnds)
{
    const std::string a = pkg("/TMP/a"), cut = pkg("/TMP/c").substr(0, pkg("/TMP/c").size() - 5);
    struct Case {
        std::string buffer;
        int count;
        const char *console;
    } cases[] = {
        {a + pkg("/TMP/b"), 2, "can not find start address\n"},
        {a + package(without("EXPANDEDSIZE"), "zz"), 1, "serch end\n"},
        {a + package({{"EXPANDEDSIZE", "-5"}}, "zz"), 1, "serch end\n"},
        {cut, 0, "range over  \n"},
        {a + cut, 1, "range over  \n"},
        {a.substr(0, a.size() - 2), 1, "can not find start address\n"}, // data ends on the last byte
        {a + package(without("COMPRESSEDSIZE"), "zz"), 1, "can not find compressed size\n"},
        {a + package({{"EXPANDEDSIZE", "1"}, {"COMPRESSEDSIZE", "0"}}, ""), 1,
         "can not find compressed size\n"},
        {a + package(without("DBNAME"), "zz"), 1, "can not find DB name\n"},
        {a + package(without("VERSION"), "zz"), 1, "can not find DB name\n"},
        {a + package(without("COMMENT"), "zz"), 1, "can not find DB name\n"},
        {a + package(without("LANGUAGECODE"), "zz"), 2, "can not find start address\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.buffer);
        Lookup r = lookup(c.buffer, vx::DL_DB_CHAIN);
        EXPECT_EQ(r.count, c.count);
        EXPECT_EQ(r.console, c.console);
    }
}

TEST(ChainLookup, RecordsPointIntoTheBuffer)
{
    // Keys in any order; COMMENT's value line begins with "DBNAME" and is
    // taken for the DBNAME key line, being the first such line.
    std::string first = std::string("COMMENT\nDBNAMELIKE") + '\0' + "/TMP/odd" + '\0' + "VERSION\n1.00" +
                        '\0' + "DBNAME\n/TMP/real" + '\0' + "COMPRESSEDSIZE\n4" + '\0' + "EXPANDEDSIZE\n0" +
                        '\0' + "DATASTART\nDATA\r\n";
    std::vector<char> buf;
    Lookup r = lookup(first + pkg("/TMP/second", "xyz"), vx::DL_DB_CHAIN, 16, &buf);
    ASSERT_EQ(r.count, 2);
    const vx::DL_DB_INFO &a = r.table[0], &b = r.table[1];
    EXPECT_EQ(a.dataStart, buf.data() + first.find("DATA\r"));
    EXPECT_EQ(a.expandedSize, 0);
    EXPECT_EQ(a.compressedSize, 4);
    EXPECT_STREQ(a.dbName, "/TMP/odd");
    EXPECT_STREQ(a.version, "1.00");
    EXPECT_STREQ(a.comment, "DBNAMELIKE");
    EXPECT_EQ(a.languageCode, nullptr);
    EXPECT_EQ(b.dataStart, buf.data() + first.size() + pkg("/TMP/second", "xyz").find("xyz"));
    EXPECT_EQ(b.expandedSize, 99);
    EXPECT_STREQ(b.dbName, "/TMP/second");
}

TEST(ChainLookup, FullTableEndsTheLookupSilently)
{
    std::string chain;
    for (int i = 0; i < 5; ++i)
        chain += pkg("/TMP/p" + std::to_string(i));
    for (auto [capacity, count, console] : {std::tuple{3, 3, ""}, std::tuple{5, 5, ""}, std::tuple{0, 0, ""},
                                            std::tuple{6, 5, "can not find start address\n"}}) {
        Lookup r = lookup(chain, vx::DL_DB_CHAIN, capacity);
        EXPECT_EQ(r.count, count) << capacity;
        EXPECT_EQ(r.console, console) << capacity;
    }
    std::string many;
    for (int i = 0; i < vx::DL_DB_TABLE_HDD + 3; ++i)
        many += pkg("/SYS/f" + std::to_string(i), "d");
    Lookup r = lookup(many, vx::DL_DB_CHAIN, vx::DL_DB_TABLE_HDD);
    EXPECT_EQ(r.count, vx::DL_DB_TABLE_HDD);
    EXPECT_STREQ(r.table.back().dbName, "/SYS/f2047");

    // The exported four-argument form stops at the module's largest table.
    MachineHarness h(false);
    std::vector<vx::DL_DB_INFO> table(vx::DL_DB_TABLE_HDD + 1);
    EXPECT_EQ(vx::dlFirmGetDBInfo(table.data(), many.data(), static_cast<int>(many.size()), vx::DL_DB_CHAIN),
              vx::DL_DB_TABLE_HDD);
    EXPECT_EQ(table.back().dataStart, nullptr) << "record past the largest table written";
    EXPECT_STREQ(table[vx::DL_DB_TABLE_HDD - 1].dbName, "/SYS/f2047");
}

TEST(FindPtrByKey, LeadingPartOfALineWithinTheRange)
{
    MachineHarness h(false);
    std::string t =
        std::string("X\n1") + '\0' + "DBNAMEX\n/TMP/v" + '\0' + "COMPRESSEDSIZE\n-7" + '\0' + "VERSION\n";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back('9');
    int size = static_cast<int>(t.size());
    EXPECT_STREQ(vx::dlFirmFindPtrByKey_USB(buf.data(), "DBNAME", size), "/TMP/v");
    EXPECT_EQ(vx::dlFirmFindPtrByKey_USB(buf.data(), "dbname", size), nullptr);
    EXPECT_EQ(vx::dlFirmFindPtrByKey_USB(buf.data(), "DBNAMEXY", size), nullptr);
    EXPECT_EQ(vx::dlFirmFindLongValueByKey_USB(buf.data(), "COMPRESSEDSIZE", size), -7);
    EXPECT_LT(vx::dlFirmFindLongValueByKey_USB(buf.data(), "ABSENT", size), 0);
    // A key line ending on the range's last byte, or cut by it, is not found.
    EXPECT_EQ(vx::dlFirmFindPtrByKey_USB(buf.data(), "VERSION", size), nullptr);
    EXPECT_EQ(vx::dlFirmFindPtrByKey_USB(buf.data(), "VERSION", size - 3), nullptr);
    EXPECT_EQ(*vx::dlFirmFindPtrByKey_USB(buf.data(), "VERSION", size + 1), '9');
}

// A number whose digits run to the end of the range is read from the digits
// within it; nothing past the range is read (the buffers are exactly their
// size, so the address sanitizer sees a read past them).
TEST(FindLongValueByKey, NumberRunningToTheEndOfTheRange)
{
    struct Case {
        std::string text;
        long value;
    } cases[] = {
        {"COMPRESSEDSIZE\n6", 6},
        {"COMPRESSEDSIZE\n-42", -42},
        {"COMPRESSEDSIZE\n-", -1},
        {"COMPRESSEDSIZE\n" + std::string(30, '0') + "17", 17},
        {"COMPRESSEDSIZE\n" + std::string(25, '9'), -1},
        {"COMPRESSEDSIZE\n2147483647", 2147483647},
        {"COMPRESSEDSIZE\n2147483648", -1},
        {"COMPRESSEDSIZE\n-2147483648", -2147483647L - 1},
    };
    for (const auto &c : cases) {
        std::vector<char> buf(c.text.begin(), c.text.end());
        EXPECT_EQ(
            vx::dlFirmFindLongValueByKey_USB(buf.data(), "COMPRESSEDSIZE", static_cast<int>(buf.size())),
            c.value)
            << c.text;
    }
}

TEST(ChainLookup, SizeAtTheVeryEndOfTheBuffer)
{
    const std::string text = std::string("EXPANDEDSIZE\n5") + '\0' + "DATASTART\n\nCOMPRESSEDSIZE\n2";
    Lookup r = lookup(text, vx::DL_DB_CHAIN);
    EXPECT_EQ(r.count, 0);
    EXPECT_EQ(r.table[0].compressedSize, 2);
    EXPECT_EQ(r.console, "can not find DB name\n");
}

// Image 0's packages at the fixed origins; the third without LANGUAGECODE
// when `lang3` is false.
std::string fixedImage(bool lang3 = true, bool second = true)
{
    std::string image(vx::DL_FROM_IMAGE_SIZE, '\0');
    for (int i = 0; i < 3; ++i) {
        Pairs pairs = {{"EXPANDEDSIZE", "9"},
                       {"COMPRESSEDSIZE", "4"},
                       {"DBNAME", "/TMP/ui"},
                       {"VERSION", "1.2" + std::to_string(i)},
                       {"COMMENT", "UI"}};
        if (i < 2 || lang3)
            pairs.push_back({"LANGUAGECODE", "L" + std::to_string(i)});
        if (i != 1 || second)
            image.replace(static_cast<std::size_t>(vx::usbdataStart[i]), 200, package(pairs, "data"));
    }
    return image;
}

TEST(FixedLookup, ThreeSearchesFromTheFixedOrigins)
{
    ASSERT_EQ((std::vector<int>{vx::usbdataStart[0], vx::usbdataStart[1], vx::usbdataStart[2]}),
              (std::vector<int>{0x280000, 0x310000, 0x380000}));
    std::vector<char> buf;
    const std::string image = fixedImage();
    Lookup r = lookup(image, vx::DL_DB_FIXED, 16, &buf);
    ASSERT_EQ(r.count, 3);
    EXPECT_EQ(r.console, "");
    for (int i = 0; i < 3; ++i) {
        EXPECT_STREQ(r.table[i].languageCode, ("L" + std::to_string(i)).c_str());
        auto at = image.find("DATASTART\n", static_cast<std::size_t>(vx::usbdataStart[i])) + 10;
        EXPECT_EQ(r.table[i].dataStart, buf.data() + at);
    }
    // A search runs on to the end: an empty second origin finds the third.
    Lookup skipped = lookup(fixedImage(true, false), vx::DL_DB_FIXED);
    EXPECT_EQ(skipped.count, 3);
    EXPECT_STREQ(skipped.table[1].version, "1.22");

    Lookup noLang = lookup(fixedImage(false), vx::DL_DB_FIXED);
    EXPECT_EQ(noLang.count, 2);
    EXPECT_EQ(noLang.console, "can not find LANGUAGECODE\n");

    EXPECT_EQ(lookup(fixedImage(), vx::DL_DB_FIXED, 2).count, 2);
    Lookup small = lookup(pkg("/TMP/a"), vx::DL_DB_FIXED); // ends before the first origin
    EXPECT_EQ(small.count, 0);
    EXPECT_EQ(small.console, "can not find start address\n");
}

} // namespace

namespace {

// A package found in full is still refused when its header is not where
// the chain says, holds a key past DATASTART or a second header, or its data
// is not followed by CR LF; the packages before it stay counted.
TEST(ChainLookup, DamagedPackagesEndTheChain)
{
    const std::string a = pkg("/TMP/a"), b = pkg("/TMP/b");
    std::string lostStart = a + b;
    lostStart[a.size() + b.find("DATASTART\n") + 8] = 'X';
    std::string keyAfter = package(without("DBNAME"), "zz");
    keyAfter.insert(keyAfter.size() - 2, std::string("DBNAME\n/TMP/late") + '\0');
    struct Case {
        const char *what;
        std::string buffer;
        int mode;
        int count;
        vx::INT32 damage;
    } cases[] = {
        {"whole chain", a + b, vx::DL_DB_CHAIN, 2, vx::DL_DB_WHOLE},
        {"carried CR LF before the first header", "\r\n" + a + b, vx::DL_DB_CHAIN, 2, vx::DL_DB_WHOLE},
        {"data ends at the buffer's end", a + b.substr(0, b.size() - 2), vx::DL_DB_CHAIN, 2, vx::DL_DB_WHOLE},
        {"begins inside a package", a.substr(5) + b, vx::DL_DB_CHAIN, 0, vx::DL_DB_NO_HEADER},
        {"DATASTART of the second broken", a + lostStart.substr(a.size()) + pkg("/TMP/c"), vx::DL_DB_CHAIN, 1,
         vx::DL_DB_TWO_HEADERS},
        {"a key only after the data", a + keyAfter + b, vx::DL_DB_CHAIN, 1, vx::DL_DB_KEY_OUTSIDE},
        {"no CR LF after the data", a + b.substr(0, b.size() - 2) + "XY" + pkg("/TMP/c"), vx::DL_DB_CHAIN, 1,
         vx::DL_DB_NO_CRLF},
        {"COMPRESSEDSIZE too large",
         package({{"EXPANDEDSIZE", "9"},
                  {"COMPRESSEDSIZE", "12"},
                  {"DBNAME", "/x"},
                  {"VERSION", "1"},
                  {"COMMENT", "c"}},
                 "0123456789") +
             b,
         vx::DL_DB_CHAIN, 0, vx::DL_DB_NO_CRLF},
        {"fixed origin inside leading content", std::string(9, 'x') + a, vx::DL_DB_FIXED, 0, vx::DL_DB_WHOLE},
        {"fixed origin: a header cut in its name", "EXPAN", vx::DL_DB_FIXED, 0, vx::DL_DB_BROKEN},
        {"fixed origin: a header without DATASTART", a.substr(0, a.find("DATASTART")), vx::DL_DB_FIXED, 0,
         vx::DL_DB_BROKEN},
        {"whole chain ending in a header's first letters", a + "EX", vx::DL_DB_CHAIN_WHOLE, 1,
         vx::DL_DB_BROKEN},
        {"whole chain whose last LF is cut off", a + b.substr(0, b.size() - 1), vx::DL_DB_CHAIN_WHOLE, 1,
         vx::DL_DB_NO_CRLF},
        // An odd-length file: the pad stands in front of its last byte.
        {"whole chain of odd length", a + b.substr(0, b.size() - 1) + "\xFF\n", vx::DL_DB_CHAIN_WHOLE, 2,
         vx::DL_DB_WHOLE},
        {"HDD file of odd length", a + b.substr(0, b.size() - 1) + "\xFF\n", vx::DL_DB_CHAIN, 2,
         vx::DL_DB_WHOLE},
        {"a pad inside the chain", a.substr(0, a.size() - 1) + "\xFF\n" + b, vx::DL_DB_CHAIN, 0,
         vx::DL_DB_NO_CRLF},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        MachineHarness h(false);
        std::string text = c.buffer;
        if (c.mode == vx::DL_DB_FIXED)
            text = std::string(static_cast<std::size_t>(vx::usbdataStart[0]), '\0') + text;
        std::vector<char> buf(text.begin(), text.end());
        std::vector<vx::DL_DB_INFO> table(16);
        vx::DL_DB_END end{-1, -1};
        int n = vx::dlFirmGetDBInfoChecked(table.data(), buf.data(), static_cast<int>(buf.size()), c.mode, 16,
                                           &end);
        EXPECT_EQ(n, c.count);
        EXPECT_EQ(end.damage, c.damage);
        if (c.damage != vx::DL_DB_WHOLE) {
            EXPECT_NE(h.console().find("damaged package at "), std::string::npos) << h.console();
            // without the checks the lookup reads on, as it always did
            if (c.damage != vx::DL_DB_BROKEN) {
                EXPECT_GT(vx::dlFirmGetDBInfoBounded(table.data(), buf.data(), static_cast<int>(buf.size()),
                                                     c.mode, 16),
                          c.count);
            }
        }
    }
}

} // namespace
