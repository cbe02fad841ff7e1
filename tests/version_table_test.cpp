// The version table: flash ROM package versions (mode 1), engine-side
// versions (mode 2) and the system version from the flash image head
// (mode 4), each kept inside its 16-byte field.
#include "tests/support/Harness.h"
#include "tools/media/Images.h"
#include "version_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using testing_support::MachineHarness;
using version_test::Table;

constexpr int kHead = vx::DL_VER_HEAD_SIZE;

vx::DL_DB_INFO record(const char *version, const char *comment, const char *language = nullptr)
{
    vx::DL_DB_INFO r{};
    r.version = const_cast<char *>(version);
    r.comment = const_cast<char *>(comment);
    r.languageCode = const_cast<char *>(language);
    return r;
}

// A head of 128 bytes and the NUL the staging keeps behind it.
std::vector<char> headOf(const media::Bytes &bytes)
{
    std::vector<char> head(bytes.begin(), bytes.end());
    head.resize(kHead + 1, '\0');
    head[kHead] = '\0';
    return head;
}

// A head of 128 blanks and the NUL behind it.
std::vector<char> blankHead()
{
    std::vector<char> head(kHead + 1, ' ');
    head[kHead] = '\0';
    return head;
}

// Writes text into head at `at`.
void put(std::vector<char> &head, int at, const std::string &text)
{
    std::copy(text.begin(), text.end(), head.begin() + at);
}

class VersionTable : public ::testing::Test {
protected:
    void SetUp() override { vx::bootUpdateFRWCheck = 0; }
    void TearDown() override { vx::bootUpdateFRWCheck = 0; }

    void mode4(Table &t, std::vector<char> &head)
    {
        EXPECT_EQ(vx::dlFirmUsbVersionGet(t.data(), 0, nullptr, head.data(), vx::DL_VER_HEAD), 0);
    }

    MachineHarness h;
};

TEST_F(VersionTable, Mode1PlacesTheThreePackagesInReverseOrder)
{
    vx::DL_DB_INFO records[3] = {record("1.20", "UI1_DATA", "JA"), record("0.91", "UI0_DATA", "EN"),
                                 record("3.00", "UIF_DATA", "FR")};
    Table t;
    EXPECT_EQ(vx::dlFirmUsbVersionGet(t.data(), 3, records, nullptr, vx::DL_VER_FROM), 0);
    EXPECT_EQ(t.raw(vx::DL_VT_UI1), std::string("V1.20 JA") + std::string(8, '\0'));
    EXPECT_EQ(t.text(vx::DL_VT_UI0), "V0.91 EN");
    EXPECT_EQ(t.text(vx::DL_VT_UIF), "V3.00 FR");
    for (int f : {vx::DL_VT_SYS, vx::DL_VT_LSR, vx::DL_VT_ENG, vx::DL_VT_PFC, vx::DL_VT_SCN, 128,
                  vx::DL_VT_FRW})
        EXPECT_EQ(t.raw(f), Table::untouched(f)) << "field " << f;
    EXPECT_EQ(vx::bootUpdateFRWCheck, 0);
}

TEST_F(VersionTable, Mode1CutsEachVersionToItsField)
{
    vx::DL_DB_INFO records[3] = {record("1.2345678901234", "UI1", "JA"),
                                 record("12345678901234567890", "UI0", "EN"),
                                 record("3.00", "UIF", "LONGLANGUAGECODE")};
    Table t;
    vx::dlFirmUsbVersionGet(t.data(), 3, records, nullptr, vx::DL_VER_FROM);
    for (int f : {vx::DL_VT_UIF, vx::DL_VT_UI0, vx::DL_VT_UI1})
        EXPECT_TRUE(t.terminated(f)) << "field " << f;
    EXPECT_EQ(t.text(vx::DL_VT_UI1), "V1.234567890123");
    EXPECT_EQ(t.text(vx::DL_VT_UI0), "V12345678901234");
    EXPECT_EQ(t.text(vx::DL_VT_UIF), "V3.00 LONGLANGU");
    EXPECT_EQ(t.raw(vx::DL_VT_SYS), Table::untouched(vx::DL_VT_SYS));
    EXPECT_EQ(t.raw(vx::DL_VT_LSR), Table::untouched(vx::DL_VT_LSR));
}

TEST_F(VersionTable, Mode2PlacesVersionsByComment)
{
    vx::DL_DB_INFO records[6] = {
        record("S1.00", "SCANNER_FIRM"), record("E2.00", "ENGINE_MAIN_FIRM"),
        record("X9.99", "OTHER_FIRM"),   record("L1.03", "LASER_FIRM"),
        record("P0.50", "PFC_FIRM"),     record("L1.04", "LASER_FIRM")};
    Table t;
    EXPECT_EQ(vx::dlFirmUsbVersionGet(t.data(), 6, records, nullptr, vx::DL_VER_ENG), 0);
    EXPECT_EQ(t.text(vx::DL_VT_SCN), "S1.00");
    EXPECT_EQ(t.text(vx::DL_VT_ENG), "E2.00");
    EXPECT_EQ(t.text(vx::DL_VT_PFC), "P0.50");
    EXPECT_EQ(t.text(vx::DL_VT_LSR), "L1.04") << "a later record overwrites";
    for (int f : {vx::DL_VT_SYS, vx::DL_VT_UIF, vx::DL_VT_UI0, vx::DL_VT_UI1, 128, vx::DL_VT_FRW})
        EXPECT_EQ(t.raw(f), Table::untouched(f)) << "field " << f;
    EXPECT_EQ(vx::bootUpdateFRWCheck, 0);
}

TEST_F(VersionTable, Mode2ComparesWholeComments)
{
    vx::DL_DB_INFO records[2] = {record("L1", "LASER_FIRM2"), record("P1", "PFC")};
    Table t;
    vx::dlFirmUsbVersionGet(t.data(), 2, records, nullptr, vx::DL_VER_ENG);
    EXPECT_EQ(t.raw(vx::DL_VT_LSR), std::string(16, '\0'));
    EXPECT_EQ(t.raw(vx::DL_VT_PFC), std::string(16, '\0'));
}

TEST_F(VersionTable, Mode2WithoutRecordsClearsTheFourFields)
{
    vx::DL_DB_INFO records[1] = {record("L1.03", "LASER_FIRM")};
    Table t;
    vx::dlFirmUsbVersionGet(t.data(), 0, records, nullptr, vx::DL_VER_ENG);
    for (int f : {vx::DL_VT_LSR, vx::DL_VT_ENG, vx::DL_VT_PFC, vx::DL_VT_SCN})
        EXPECT_EQ(t.raw(f), std::string(16, '\0')) << "field " << f;
    EXPECT_EQ(t.raw(vx::DL_VT_UI1), Table::untouched(vx::DL_VT_UI1));
}

TEST_F(VersionTable, Mode2CutsALongVersionToFifteenCharacters)
{
    vx::DL_DB_INFO records[2] = {record("ENG-1234567890ABCDEF", "ENGINE_MAIN_FIRM"),
                                 record("SCN-1234567890ABCDEF", "SCANNER_FIRM")};
    Table t;
    vx::dlFirmUsbVersionGet(t.data(), 2, records, nullptr, vx::DL_VER_ENG);
    EXPECT_TRUE(t.terminated(vx::DL_VT_ENG));
    EXPECT_EQ(t.text(vx::DL_VT_ENG), "ENG-1234567890A");
    EXPECT_EQ(t.text(vx::DL_VT_SCN), "SCN-1234567890A");
    EXPECT_EQ(t.raw(128), Table::untouched(128));
}

TEST_F(VersionTable, OtherModesChangeNothing)
{
    vx::DL_DB_INFO records[1] = {record("L1.03", "LASER_FIRM", "JA")};
    char text[] = "TARGET\r\nDL01\r\n";
    for (int mode : {0, 5, -1}) {
        Table t;
        EXPECT_EQ(vx::dlFirmUsbVersionGet(t.data(), 1, records, text, mode), 0);
        EXPECT_EQ(t.bytes, Table().bytes) << "mode " << mode;
    }
    EXPECT_EQ(vx::bootUpdateFRWCheck, 0);
    EXPECT_EQ(h.console(), "");
}

TEST_F(VersionTable, Mode4ReadsTheImage1Head)
{
    media::VersionHead spec{"DL01", "R2.10.00", '1', 'A'};
    std::vector<char> head = headOf(media::versionHead(spec));
    Table t;
    mode4(t, head);
    EXPECT_EQ(t.raw(vx::DL_VT_SYS), std::string("V1R2.10 A") + std::string(7, '\0'));
    EXPECT_EQ(t.raw(vx::DL_VT_FRW), std::string("DL01") + std::string(12, '\0'));
    EXPECT_EQ(vx::bootUpdateFRWCheck, 1);
    for (int f : {vx::DL_VT_UIF, vx::DL_VT_UI0, vx::DL_VT_UI1, vx::DL_VT_LSR, vx::DL_VT_ENG,
                  vx::DL_VT_PFC, vx::DL_VT_SCN, 128})
        EXPECT_EQ(t.raw(f), Table::untouched(f)) << "field " << f;
    EXPECT_EQ(h.console(), "");
}

TEST_F(VersionTable, Mode4VersionRunsToItsSecondDot)
{
    std::vector<char> head = headOf(media::versionHead({"DL01", ".5.7", '2', 'B'}));
    Table t;
    mode4(t, head);
    EXPECT_EQ(t.text(vx::DL_VT_SYS), "V2.5 B") << "a '.' in byte 27 is the first";

    // A NUL in bytes 27 to 42 ends the version and the text the keys are
    // searched in.
    std::vector<char> cut = headOf(media::versionHead({"DL01", "R2.10.00", '1', 'A'}));
    cut[29] = '\0';
    Table u;
    mode4(u, cut);
    EXPECT_EQ(u.text(vx::DL_VT_SYS), "VR2 ");
    EXPECT_EQ(u.text(vx::DL_VT_FRW), "DL01");
}

TEST_F(VersionTable, Mode4WithoutTabLeavesTheTargetEmpty)
{
    std::vector<char> head = headOf(media::versionHead({"DL01", "R2.10.00", '1', 'A'}));
    head[0] = ' ';
    Table t;
    mode4(t, head);
    EXPECT_EQ(t.raw(vx::DL_VT_FRW), std::string(16, '\0'));
    EXPECT_EQ(t.text(vx::DL_VT_SYS), "V1R2.10 A");
    EXPECT_EQ(vx::bootUpdateFRWCheck, 1);
}

TEST_F(VersionTable, Mode4MissingKeysLeaveTheirCharactersOut)
{
    std::vector<char> noOem = headOf(media::versionHead({"DL01", "R2.10.00", '1', 'A'}));
    put(noOem, 44, "OEM_XX");
    Table t;
    mode4(t, noOem);
    EXPECT_EQ(t.text(vx::DL_VT_SYS), "VR2.10 A");

    std::vector<char> noShipping = headOf(media::versionHead({"DL01", "R2.10.00", '1', 'A'}));
    put(noShipping, 54, "SHIPPXXX");
    Table u;
    mode4(u, noShipping);
    EXPECT_EQ(u.text(vx::DL_VT_SYS), "V1R2.10 ");

    // A key at the very end of the text has no character after it.
    std::vector<char> last = blankHead();
    put(last, 0, "\tDL01");
    put(last, 27, "R2.10.00");
    put(last, 50, "OEM_VER\n");
    last[58] = '\0';
    Table w;
    mode4(w, last);
    EXPECT_EQ(w.text(vx::DL_VT_SYS), "VR2.10 ");
    EXPECT_TRUE(w.terminated(vx::DL_VT_SYS));
}

TEST_F(VersionTable, Mode4VersionWithoutEndIsCutToTheField)
{
    // Bytes 27 to 42 hold neither a second '.' nor a NUL.
    std::vector<char> head = blankHead();
    put(head, 0, "\tDL01");
    put(head, 27, "ABCDEFGHIJKLMNOP");
    put(head, 43, "\nOEM_VER\n1\nSHIPPING\nA\n");
    Table t;
    mode4(t, head);
    EXPECT_TRUE(t.terminated(vx::DL_VT_SYS));
    EXPECT_EQ(t.text(vx::DL_VT_SYS), "V1ABCDEFGHIJKLM");
    EXPECT_EQ(t.raw(vx::DL_VT_UIF), Table::untouched(vx::DL_VT_UIF));
}

// Heads of exactly 128 bytes without any NUL: every read must stay in them
// (the sanitizer build sees a read past the end).
TEST_F(VersionTable, Mode4StaysInsideTheHead)
{
    std::vector<char> head(kHead, 'x');
    put(head, 27, "R2.10.00");
    put(head, 60, "OEM_VER\n1");
    put(head, 119, "SHIPPING"); // its character would be byte 128
    head[127] = '\t';           // nothing after the TAB
    Table t;
    mode4(t, head);
    EXPECT_EQ(t.text(vx::DL_VT_SYS), "V1R2.10 ");
    EXPECT_EQ(t.raw(vx::DL_VT_FRW), std::string(16, '\0'));

    std::vector<char> tabLate(kHead, 'x');
    tabLate[125] = '\t';
    put(tabLate, 126, "DL");
    Table u;
    mode4(u, tabLate);
    EXPECT_EQ(u.text(vx::DL_VT_FRW), "DL");
    EXPECT_EQ(u.text(vx::DL_VT_SYS), "V" + std::string(14, 'x'));
    EXPECT_TRUE(u.terminated(vx::DL_VT_SYS));
}

} // namespace
