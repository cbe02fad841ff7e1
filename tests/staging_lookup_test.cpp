// The package header lookup over hand-made buffers: where a chain ends and
// why, how keys are matched, the fixed search origins and the table's
// capacity.
#include "tests/staging_support.h"
#include "update/staging/dlFirmUpSubFunction.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace staging_test;

// A buffer of exactly the text's size, so a read past it is caught by the
// address sanitizer.
struct Buffer {
    explicit Buffer(const std::string &text) : bytes(text.begin(), text.end()) {}
    char *data() { return bytes.data(); }
    int size() const { return static_cast<int>(bytes.size()); }
    std::size_t offsetOf(const char *p) const { return static_cast<std::size_t>(p - bytes.data()); }
    std::vector<char> bytes;
};

// The lookup's result with the console lines it printed.
struct Lookup {
    int count = 0;
    std::string console;
    std::vector<vx::DL_DB_INFO> table;
};

Lookup lookup(Buffer &buf, int mode, int capacity = vx::DL_DB_TABLE_IMAGE)
{
    MachineHarness h(false);
    Lookup r;
    // One record past the capacity, to see that it is never written.
    r.table.assign(static_cast<std::size_t>(capacity) + 1, vx::DL_DB_INFO{});
    char sentinel = 0;
    r.table.back().dbName = &sentinel;
    r.count = vx::dlFirmGetDBInfo(r.table.data(), buf.data(), buf.size(), mode, capacity);
    EXPECT_EQ(r.table.back().dbName, &sentinel) << "record past the capacity written";
    EXPECT_EQ(r.table.back().dataStart, nullptr) << "record past the capacity written";
    r.table.pop_back();
    r.console = h.console();
    return r;
}

std::string text(const char *p) { return p ? std::string(p) : std::string("(null)"); }

TEST(ChainLookup, TwoPackagesThenNoDataStart)
{
    std::string first = simplePackage("/TMP/lsrfirm.tz", "0123456789", "L1.03", "LASER_FIRM");
    std::string second = simplePackage("/TMP/pfcfirm.tz", "abc", "P2.00", "PFC_FIRM");
    Buffer buf(first + second);
    Lookup r = lookup(buf, vx::DL_DB_CHAIN);
    EXPECT_EQ(r.count, 2);
    EXPECT_EQ(r.console, "can not find start address\n");

    const vx::DL_DB_INFO &a = r.table[0];
    EXPECT_EQ(buf.offsetOf(a.dataStart), first.find("DATASTART\n") + 10);
    EXPECT_EQ(a.compressedSize, 10);
    EXPECT_EQ(a.expandedSize, 20);
    EXPECT_EQ(text(a.dbName), "/TMP/lsrfirm.tz");
    EXPECT_EQ(text(a.version), "L1.03");
    EXPECT_EQ(text(a.comment), "LASER_FIRM");
    EXPECT_EQ(a.languageCode, nullptr);

    const vx::DL_DB_INFO &b = r.table[1];
    EXPECT_EQ(buf.offsetOf(b.dataStart), first.size() + second.find("DATASTART\n") + 10);
    EXPECT_EQ(b.compressedSize, 3);
    EXPECT_EQ(text(b.dbName), "/TMP/pfcfirm.tz");
    EXPECT_EQ(text(b.comment), "PFC_FIRM");
}

TEST(ChainLookup, DataStartWithoutExpandedSizeEndsTheChain)
{
    std::string tail = package({{"COMPRESSEDSIZE", "2"}, {"DBNAME", "/TMP/x"}}, "zz");
    Buffer buf(simplePackage("/TMP/a", "1111") + simplePackage("/TMP/b", "2222") + tail);
    Lookup r = lookup(buf, vx::DL_DB_CHAIN);
    EXPECT_EQ(r.count, 2);
    EXPECT_EQ(r.console, "serch end\n");

    // A negative size ends it the same way.
    Buffer neg(package({{"EXPANDEDSIZE", "-5"}, {"COMPRESSEDSIZE", "2"}, {"DBNAME", "/TMP/x"},
                        {"VERSION", "1"}, {"COMMENT", "c"}},
                       "zz"));
    Lookup n = lookup(neg, vx::DL_DB_CHAIN);
    EXPECT_EQ(n.count, 0);
    EXPECT_EQ(n.console, "serch end\n");
}

TEST(ChainLookup, DataRunningPastTheEnd)
{
    std::string pkg = simplePackage("/TMP/a", "0123456789");
    // Cut inside the data: the first package already runs over.
    Buffer cutFirst(pkg.substr(0, pkg.size() - 5));
    Lookup a = lookup(cutFirst, vx::DL_DB_CHAIN);
    EXPECT_EQ(a.count, 0);
    EXPECT_EQ(a.console, "range over  \n");

    std::string second = simplePackage("/TMP/b", "abcdefgh");
    Buffer cutSecond(pkg + second.substr(0, second.size() - 4));
    Lookup b = lookup(cutSecond, vx::DL_DB_CHAIN);
    EXPECT_EQ(b.count, 1);
    EXPECT_EQ(b.console, "range over  \n");

    // Data ending on the buffer's last byte is accepted (CR LF cut off).
    Buffer exact(pkg.substr(0, pkg.size() - 2));
    Lookup c = lookup(exact, vx::DL_DB_CHAIN);
    EXPECT_EQ(c.count, 1);
    EXPECT_EQ(c.console, "can not find start address\n");
}

TEST(ChainLookup, SizesCheckedBeforeTheNames)
{
    Buffer zero(simplePackage("/TMP/a", "aa") +
                package({{"EXPANDEDSIZE", "0"}, {"COMPRESSEDSIZE", "0"}, {"DBNAME", "/TMP/b"},
                         {"VERSION", "1"}, {"COMMENT", "c"}},
                        ""));
    Lookup r = lookup(zero, vx::DL_DB_CHAIN);
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(r.console, "can not find compressed size\n");

    Buffer missing(package({{"EXPANDEDSIZE", "4"}, {"DBNAME", "/TMP/b"}}, "dd"));
    Lookup m = lookup(missing, vx::DL_DB_CHAIN);
    EXPECT_EQ(m.count, 0);
    EXPECT_EQ(m.console, "can not find compressed size\n");

    // An expanded size of 0 is a valid package.
    Buffer empty(package({{"EXPANDEDSIZE", "0"}, {"COMPRESSEDSIZE", "2"}, {"DBNAME", "/TMP/e"},
                          {"VERSION", "1"}, {"COMMENT", "c"}},
                         "xx"));
    Lookup e = lookup(empty, vx::DL_DB_CHAIN);
    EXPECT_EQ(e.count, 1);
    EXPECT_EQ(e.table[0].expandedSize, 0);
}

TEST(ChainLookup, MissingTextKeysAllReadAsDbName)
{
    const Pairs full = {{"EXPANDEDSIZE", "4"}, {"COMPRESSEDSIZE", "2"},
                        {"DBNAME", "/TMP/a"},  {"VERSION", "1.00"},
                        {"COMMENT", "LASER_FIRM"}};
    for (const char *leftOut : {"DBNAME", "VERSION", "COMMENT"}) {
        SCOPED_TRACE(leftOut);
        Pairs pairs;
        for (const auto &p : full)
            if (p.first != leftOut)
                pairs.push_back(p);
        Buffer buf(simplePackage("/TMP/first", "ffff") + package(pairs, "dd"));
        Lookup r = lookup(buf, vx::DL_DB_CHAIN);
        EXPECT_EQ(r.count, 1);
        EXPECT_EQ(r.console, "can not find DB name\n");
    }
}

TEST(ChainLookup, KeysInAnyOrderAndValueLinesTestedToo)
{
    // VERSION's key line ends with LF, its value line "1.00" with NUL; the
    // value line of COMMENT begins with "DBNAME", so it is taken as the
    // DBNAME key line and DBNAME's value is the line after it.
    std::string pkg = std::string("COMMENT\nDBNAMELIKE") + '\0' + "/TMP/odd" + '\0' +
                      "VERSION\n1.00" + '\0' + "DBNAME\n/TMP/real" + '\0' +
                      "COMPRESSEDSIZE\n2" + '\0' + "EXPANDEDSIZE\n9" + '\0' + "DATASTART\nqq\r\n";
    Buffer buf(pkg);
    Lookup r = lookup(buf, vx::DL_DB_CHAIN);
    ASSERT_EQ(r.count, 1);
    EXPECT_EQ(text(r.table[0].version), "1.00");
    EXPECT_EQ(text(r.table[0].comment), "DBNAMELIKE");
    EXPECT_EQ(text(r.table[0].dbName), "/TMP/odd");
    EXPECT_EQ(r.table[0].expandedSize, 9);
}

TEST(ChainLookup, CapacityEndsTheLookupSilently)
{
    std::string chain;
    for (int i = 0; i < 5; ++i)
        chain += simplePackage("/TMP/p" + std::to_string(i), std::string(10 + i, 'a' + i));
    Buffer buf(chain);

    Lookup capped = lookup(buf, vx::DL_DB_CHAIN, 3);
    EXPECT_EQ(capped.count, 3);
    EXPECT_EQ(capped.console, "");
    EXPECT_EQ(text(capped.table[2].dbName), "/TMP/p2");

    // A full table ends the lookup before the chain's end is seen.
    Lookup full = lookup(buf, vx::DL_DB_CHAIN, 5);
    EXPECT_EQ(full.count, 5);
    EXPECT_EQ(full.console, "");

    // A table with room to spare sees the chain's end.
    Lookup fits = lookup(buf, vx::DL_DB_CHAIN, 6);
    EXPECT_EQ(fits.count, 5);
    EXPECT_EQ(fits.console, "can not find start address\n");

    Lookup none = lookup(buf, vx::DL_DB_CHAIN, 0);
    EXPECT_EQ(none.count, 0);
    EXPECT_EQ(none.console, "");
}

TEST(ChainLookup, LargestTableOfTheLoader)
{
    std::string chain;
    for (int i = 0; i < vx::DL_DB_TABLE_HDD + 10; ++i)
        chain += simplePackage("/SYS/f" + std::to_string(i), "data" + std::to_string(i));
    Buffer buf(chain);
    Lookup r = lookup(buf, vx::DL_DB_CHAIN, vx::DL_DB_TABLE_HDD);
    EXPECT_EQ(r.count, vx::DL_DB_TABLE_HDD);
    EXPECT_EQ(r.console, "");
    EXPECT_EQ(text(r.table.back().dbName), "/SYS/f" + std::to_string(vx::DL_DB_TABLE_HDD - 1));
}

// ---- key search ----

TEST(FindPtrByKey, LeadingPartOfTheLineMatches)
{
    MachineHarness h(false);
    Buffer buf(std::string("EXPANDEDSIZE\n5") + '\0' + "DBNAMEX\n/TMP/v" + '\0' + "tail");
    char *p = vx::dlFirmFindPtrByKey_USB(buf.data(), "DBNAME", buf.size());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p), "/TMP/v");
    // Case counts, and a line shorter than the key does not match.
    EXPECT_EQ(vx::dlFirmFindPtrByKey_USB(buf.data(), "dbname", buf.size()), nullptr);
    Buffer shortLine(std::string("DB\nDBNAME") + '\0');
    EXPECT_EQ(vx::dlFirmFindPtrByKey_USB(shortLine.data(), "DBNAMEX", shortLine.size()), nullptr);
}

TEST(FindPtrByKey, KeyLineEndingOnTheLastByteIsNotFound)
{
    MachineHarness h(false);
    std::string t = std::string("A\n1") + '\0' + "VERSION\n";
    Buffer buf(t + "9");
    // Range ends right after "VERSION\n": no value line to point at.
    EXPECT_EQ(vx::dlFirmFindPtrByKey_USB(buf.data(), "VERSION", static_cast<int>(t.size())),
              nullptr);
    // One more byte in range and it is found.
    char *p = vx::dlFirmFindPtrByKey_USB(buf.data(), "VERSION", static_cast<int>(t.size()) + 1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(*p, '9');
    // A key line cut by the range is not found either.
    EXPECT_EQ(vx::dlFirmFindPtrByKey_USB(buf.data(), "VERSION", static_cast<int>(t.size()) - 3),
              nullptr);
    EXPECT_EQ(vx::dlFirmFindPtrByKey_USB(buf.data(), "A", 0), nullptr);
}

TEST(FindPtrByKey, LongValueOfTheKey)
{
    MachineHarness h(false);
    Buffer buf(std::string("X\n1") + '\0' + "COMPRESSEDSIZE\n123456" + '\0' + "N\n-7" + '\0' + "E");
    EXPECT_EQ(vx::dlFirmFindLongValueByKey_USB(buf.data(), "COMPRESSEDSIZE", buf.size()), 123456);
    EXPECT_EQ(vx::dlFirmFindLongValueByKey_USB(buf.data(), "N", buf.size()), -7);
    EXPECT_LT(vx::dlFirmFindLongValueByKey_USB(buf.data(), "ABSENT", buf.size()), 0);
}

// ---- fixed search origins ----

// A buffer with the flash ROM image's packages at the three origins.
std::string fixedImage(const std::vector<std::string> &packages, std::size_t size,
                       char fill = '\xFF')
{
    std::string image(size, fill);
    for (std::size_t i = 0; i < packages.size(); ++i)
        image.replace(static_cast<std::size_t>(vx::usbdataStart[i]), packages[i].size(),
                      packages[i]);
    return image;
}

std::string uiPackage(const std::string &version, const std::string &lang, bool withLang = true)
{
    Pairs pairs = {{"EXPANDEDSIZE", "100"}, {"COMPRESSEDSIZE", "4"}, {"DBNAME", "/TMP/ui"},
                   {"VERSION", version},    {"COMMENT", "UI"}};
    if (withLang)
        pairs.push_back({"LANGUAGECODE", lang});
    return package(pairs, "data");
}

TEST(FixedLookup, ThreePackagesAtTheirOrigins)
{
    EXPECT_EQ(vx::usbdataStart[0], 0x280000);
    EXPECT_EQ(vx::usbdataStart[1], 0x310000);
    EXPECT_EQ(vx::usbdataStart[2], 0x380000);
    Buffer buf(fixedImage({uiPackage("1.20", "JA"), uiPackage("1.21", "EN"),
                           uiPackage("1.22", "DE")},
                          vx::DL_FROM_IMAGE_SIZE));
    Lookup r = lookup(buf, vx::DL_DB_FIXED);
    ASSERT_EQ(r.count, 3);
    EXPECT_EQ(r.console, "");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(buf.offsetOf(r.table[i].dataStart),
                  static_cast<std::size_t>(vx::usbdataStart[i]) +
                      uiPackage("1.20", "JA").find("DATASTART\n") + 10);
    EXPECT_EQ(text(r.table[0].languageCode), "JA");
    EXPECT_EQ(text(r.table[1].version), "1.21");
    EXPECT_EQ(text(r.table[2].languageCode), "DE");
}

TEST(FixedLookup, SearchesFromEachOriginAndNeedsTheLanguageCode)
{
    // No header at the second origin: its search runs on to the third.
    Buffer skipped(fixedImage({uiPackage("1.20", "JA"), "", uiPackage("1.22", "DE")},
                              vx::DL_FROM_IMAGE_SIZE, '\0'));
    Lookup s = lookup(skipped, vx::DL_DB_FIXED);
    EXPECT_EQ(s.count, 3);
    EXPECT_EQ(text(s.table[1].version), "1.22");
    EXPECT_EQ(s.table[1].dataStart, s.table[2].dataStart);

    Buffer noLang(fixedImage({uiPackage("1.20", "JA"), uiPackage("1.21", "EN"),
                              uiPackage("1.22", "DE", false)},
                             vx::DL_FROM_IMAGE_SIZE));
    Lookup n = lookup(noLang, vx::DL_DB_FIXED);
    EXPECT_EQ(n.count, 2);
    EXPECT_EQ(n.console, "can not find LANGUAGECODE\n");

    // A search runs to the end of the buffer: the second package without
    // the key takes the third's.
    Buffer borrowed(fixedImage({uiPackage("1.20", "JA"), uiPackage("1.21", "EN", false),
                                uiPackage("1.22", "DE")},
                               vx::DL_FROM_IMAGE_SIZE));
    Lookup b = lookup(borrowed, vx::DL_DB_FIXED);
    EXPECT_EQ(b.count, 3);
    EXPECT_EQ(text(b.table[1].languageCode), "DE");

    // The chained lookup does not look for it.
    Buffer chain(uiPackage("1.21", "EN", false));
    Lookup c = lookup(chain, vx::DL_DB_CHAIN);
    EXPECT_EQ(c.count, 1);
    EXPECT_EQ(c.table[0].languageCode, nullptr);
}

TEST(FixedLookup, ShortOrEmptyImages)
{
    Buffer blank(std::string(vx::DL_FROM_IMAGE_SIZE, '\0'));
    Lookup b = lookup(blank, vx::DL_DB_FIXED);
    EXPECT_EQ(b.count, 0);
    EXPECT_EQ(b.console, "can not find start address\n");

    // A buffer ending before the first origin holds none.
    Buffer small(uiPackage("1.20", "JA"));
    Lookup s = lookup(small, vx::DL_DB_FIXED);
    EXPECT_EQ(s.count, 0);
    EXPECT_EQ(s.console, "can not find start address\n");

    Buffer capped(fixedImage({uiPackage("1.20", "JA"), uiPackage("1.21", "EN"),
                              uiPackage("1.22", "DE")},
                             vx::DL_FROM_IMAGE_SIZE));
    Lookup c = lookup(capped, vx::DL_DB_FIXED, 2);
    EXPECT_EQ(c.count, 2);
    EXPECT_EQ(c.console, "");
}

} // namespace
