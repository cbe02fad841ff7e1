// The version text of the HDD system: key lookup with CR LF and LF line
// ends, and the system version and FRW target built from it (mode 3).
#include "tests/support/Harness.h"
#include "version_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using testing_support::MachineHarness;
using version_test::Table;

struct Lookup {
    int result;
    std::string value;
};

// Looks key up in text (given its length as len), as mode 3 does.
Lookup find(const std::string &text, const char *key, int len = -1)
{
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    char value[vx::DL_VERSION_FIELD];
    memset(value, '#', sizeof value);
    int r = vx::dlFirmVersionTxtFindByKey(buffer.data(), key, value,
                                          len < 0 ? static_cast<int>(text.size()) : len);
    if (r != 0)
        return {r, std::string(value, sizeof value)};
    EXPECT_NE(memchr(value, 0, sizeof value), nullptr) << "value without NUL";
    return {r, std::string(value, strnlen(value, sizeof value))};
}

const std::string kCrLfText = "TARGET\r\nDL01\r\nOEM_VER\r\n1\r\nMAJOR\r\nR2\r\n"
                              "MINOR\r\n10\r\nSHIPPING\r\nA\r\n";

class VersionText : public ::testing::Test {
protected:
    void SetUp() override { vx::bootUpdateFRWCheck = 0; }
    void TearDown() override { vx::bootUpdateFRWCheck = 0; }

    // Runs mode 3 over text; returns the table.
    Table mode3(const std::string &text)
    {
        Table t;
        std::vector<char> buffer(text.begin(), text.end());
        buffer.push_back('\0');
        EXPECT_EQ(vx::dlFirmUsbVersionGet(t.data(), static_cast<int>(text.size()), nullptr,
                                          buffer.data(), vx::DL_VER_TEXT),
                  0);
        return t;
    }

    MachineHarness h;
};

TEST_F(VersionText, ValueIsTheNextLineWithCrLfEnds)
{
    EXPECT_EQ(find(kCrLfText, "TARGET").value, "DL01");
    EXPECT_EQ(find(kCrLfText, "MAJOR").value, "R2");
    EXPECT_EQ(find(kCrLfText, "SHIPPING").value, "A");
    EXPECT_EQ(h.console(), "");
}

TEST_F(VersionText, LfEndsPassOverOneEmptyLine)
{
    EXPECT_EQ(find("TARGET\n\nDL01\nMAJOR\nR2\n", "TARGET").value, "DL01");
    EXPECT_EQ(find("TARGET\n\nDL01\nMAJOR\nR2\n", "MAJOR").value, "R2");
    // With CR LF the same empty line is the value.
    EXPECT_EQ(find("TARGET\r\n\r\nDL01\r\n", "TARGET").value, "");
    // Only one empty line is passed over.
    EXPECT_EQ(find("TARGET\n\n\nDL01\n", "TARGET").value, "");
}

TEST_F(VersionText, RestOfTheKeyLineIsIgnored)
{
    Lookup r = find("MAJOR=2\r\nR3\r\n", "MAJOR");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.value, "R3");
    // The first occurrence counts, even inside another line.
    EXPECT_EQ(find("XMINORX\r\n11\r\nMINOR\r\n12\r\n", "MINOR").value, "11");
}

TEST_F(VersionText, LongValueIsCutToFifteenCharacters)
{
    Lookup r = find("MINOR\r\n12345678901234567890\r\n", "MINOR");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.value, "123456789012345");
}

TEST_F(VersionText, ValueEndsAtTheEndOfTheText)
{
    EXPECT_EQ(find("MINOR\r\n10", "MINOR").value, "10");
    EXPECT_EQ(find("MINOR\r\n", "MINOR").value, "");
    EXPECT_EQ(find("MINOR\n", "MINOR").value, "");
}

TEST_F(VersionText, MissingKeyOrUnendedKeyLineIsNoVersion)
{
    Lookup absent = find(kCrLfText, "COLOR");
    EXPECT_EQ(absent.result, -1);
    EXPECT_EQ(absent.value, std::string(vx::DL_VERSION_FIELD, '#')) << "value written";
    EXPECT_EQ(find("TARGET\r\nDL01\r\nSHIPPING", "SHIPPING").result, -1);
    EXPECT_EQ(h.console(), "no Version\nno Version\n");
}

TEST_F(VersionText, KeyLineMustEndWithinLenBytesOfTheKey)
{
    EXPECT_EQ(find("MAJOR\r\nR2\r\n", "MAJOR", 5).result, -1);
    EXPECT_EQ(find("MAJOR\r\nR2\r\n", "MAJOR", 6).value, "R2");
    EXPECT_EQ(h.console(), "no Version\n");
}

TEST_F(VersionText, Mode3BuildsSystemVersionAndTarget)
{
    Table t = mode3(kCrLfText);
    EXPECT_EQ(t.text(vx::DL_VT_SYS), "V1R2.10 A");
    EXPECT_EQ(t.text(vx::DL_VT_FRW), "DL01");
    EXPECT_EQ(vx::bootUpdateFRWCheck, 1);
    EXPECT_EQ(h.console(), "FRW=DL01\nVersion=V1R2.10 A\n");
    // The other fields are not touched.
    for (int f : {vx::DL_VT_UIF, vx::DL_VT_UI0, vx::DL_VT_UI1, vx::DL_VT_LSR, vx::DL_VT_ENG,
                  vx::DL_VT_PFC, vx::DL_VT_SCN, 128})
        EXPECT_EQ(t.raw(f), Table::untouched(f)) << "field " << f;
}

TEST_F(VersionText, Mode3WithLfEnds)
{
    Table t = mode3("TARGET\n\nDL02\nOEM_VER\n\n1\nMAJOR\n\nR3\nMINOR\n\n20\nSHIPPING\n\nB\n");
    EXPECT_EQ(t.text(vx::DL_VT_SYS), "V1R3.20 B");
    EXPECT_EQ(t.text(vx::DL_VT_FRW), "DL02");
}

TEST_F(VersionText, Mode3EmptyTargetLineStillSetsTheCheck)
{
    Table t = mode3("TARGET\r\n\r\nOEM_VER\r\n1\r\nMAJOR\r\n02\r\nMINOR\r\n10\r\nSHIPPING\r\nA\r\n");
    EXPECT_EQ(t.text(vx::DL_VT_FRW), "");
    EXPECT_EQ(vx::bootUpdateFRWCheck, 1);
    // Third character '0': the session's ROMDATA check will refuse it.
    EXPECT_EQ(t.text(vx::DL_VT_SYS), "V102.10 A");
    EXPECT_EQ(h.console(), "FRW=\nVersion=V102.10 A\n");
}

TEST_F(VersionText, Mode3MissingKeysLeaveTheirPartsEmpty)
{
    Table t = mode3("TARGET\r\nDL01\r\nMAJOR\r\nR2\r\n");
    EXPECT_EQ(t.text(vx::DL_VT_SYS), "VR2. ");
    EXPECT_EQ(h.console(), "FRW=DL01\nno Version\nno Version\nno Version\nVersion=VR2. \n");

    h.clearConsole();
    Table none = mode3("nothing here\r\n");
    EXPECT_EQ(none.text(vx::DL_VT_SYS), "V. ");
    EXPECT_EQ(none.text(vx::DL_VT_FRW), "");
    EXPECT_EQ(vx::bootUpdateFRWCheck, 1);
    EXPECT_EQ(h.console(), "no Version\nFRW=\nno Version\nno Version\nno Version\nno Version\n"
                           "Version=V. \n");
}

TEST_F(VersionText, Mode3SystemVersionIsCutToItsField)
{
    // "V1ABCDEFGHIJKLMNO.10 A" holds 22 characters.
    Table t = mode3("TARGET\r\n123456789012345678\r\nOEM_VER\r\n1\r\nMAJOR\r\nABCDEFGHIJKLMNO\r\n"
                    "MINOR\r\n10\r\nSHIPPING\r\nA\r\n");
    EXPECT_TRUE(t.terminated(vx::DL_VT_SYS));
    EXPECT_EQ(t.text(vx::DL_VT_SYS), "V1ABCDEFGHIJKLM");
    EXPECT_EQ(t.raw(vx::DL_VT_UIF), Table::untouched(vx::DL_VT_UIF));
    EXPECT_EQ(t.text(vx::DL_VT_FRW), "123456789012345");
    EXPECT_EQ(h.console(), "FRW=123456789012345\nVersion=V1ABCDEFGHIJKLM\n");
}

} // namespace
