// The version text of the HDD system: key lookup with CR LF and LF line
// ends, and the system version and FRW target built from it (mode 3).
#include "version_support.h"

#include <string>
#include <vector>

namespace {

using version_test::Table;
using version_test::VersionTest;

const std::string kCrLf = "TARGET\r\nDL01\r\nOEM_VER\r\n1\r\nMAJOR\r\nR2\r\nMINOR\r\n10\r\nSHIPPING\r\nA\r\n";

TEST_F(VersionTest, KeyLookup)
{
    struct Case {
        std::string text;
        const char *key;
        int len; // -1: the text's length
        int result;
        std::string value;
    } cases[] = {
        {kCrLf, "TARGET", -1, 0, "DL01"},
        {kCrLf, "SHIPPING", -1, 0, "A"},
        {"TARGET\n\nDL01\nMAJOR\nR2\n", "TARGET", -1, 0, "DL01"}, // LF: one empty line passed over
        {"TARGET\n\nDL01\nMAJOR\nR2\n", "MAJOR", -1, 0, "R2"},
        {"TARGET\n\n\nDL01\n", "TARGET", -1, 0, ""},                // only one
        {"TARGET\r\n\r\nDL01\r\n", "TARGET", -1, 0, ""},            // CR LF: the empty line is the value
        {"MAJOR=2\r\nR3\r\n", "MAJOR", -1, 0, "R3"},                // rest of the key line ignored
        {"XMINORX\r\n11\r\nMINOR\r\n12\r\n", "MINOR", -1, 0, "11"}, // first occurrence anywhere
        {"MINOR\r\n12345678901234567890\r\n", "MINOR", -1, 0, "123456789012345"},
        {"MINOR\r\n10", "MINOR", -1, 0, "10"}, // value ends with the text
        {"MINOR\n", "MINOR", -1, 0, ""},
        {"MAJOR\r\nR2\r\n", "MAJOR", 6, 0, "R2"},
        {"MAJOR\r\nR2\r\n", "MAJOR", 5, -1, ""},                // line end beyond len
        {"TARGET\r\nDL01\r\nSHIPPING", "SHIPPING", -1, -1, ""}, // no line end in the text
        {kCrLf, "COLOR", -1, -1, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text + " / " + c.key);
        h.clearConsole();
        std::vector<char> text(c.text.begin(), c.text.end());
        text.push_back('\0');
        char value[version_test::kField];
        memset(value, '#', sizeof value);
        int len = c.len < 0 ? static_cast<int>(c.text.size()) : c.len;
        EXPECT_EQ(vx::dlFirmVersionTxtFindByKey(text.data(), c.key, value, len), c.result);
        if (c.result == 0) {
            ASSERT_NE(memchr(value, 0, sizeof value), nullptr);
            EXPECT_EQ(std::string(value), c.value);
            EXPECT_EQ(h.console(), "");
        } else {
            EXPECT_EQ(std::string(value, sizeof value), std::string(sizeof value, '#'));
            EXPECT_EQ(h.console(), "no Version\n");
        }
    }
}

TEST_F(VersionTest, Mode3SystemVersionAndTarget)
{
    struct Case {
        std::string text;
        const char *sys;
        const char *frw;
        std::string console;
    } cases[] = {
        {kCrLf, "V1R2.10 A", "DL01", "FRW=DL01\nVersion=V1R2.10 A\n"},
        {"TARGET\n\nDL02\nOEM_VER\n\n1\nMAJOR\n\nR3\nMINOR\n\n20\nSHIPPING\n\nB\n", "V1R3.20 B", "DL02",
         "FRW=DL02\nVersion=V1R3.20 B\n"},
        // An empty target line; the third character '0' fails the ROMDATA check.
        {"TARGET\r\n\r\nOEM_VER\r\n1\r\nMAJOR\r\n02\r\nMINOR\r\n10\r\nSHIPPING\r\nA\r\n", "V102.10 A", "",
         "FRW=\nVersion=V102.10 A\n"},
        {"TARGET\r\nDL01\r\nMAJOR\r\nR2\r\n", "VR2. ", "DL01",
         "FRW=DL01\nno Version\nno Version\nno Version\nVersion=VR2. \n"},
        {"nothing\r\n", "V. ", "",
         "no Version\nFRW=\nno Version\nno Version\nno Version\nno Version\nVersion=V. \n"},
        // "V1ABCDEFGHIJKLMNO.10 A" is cut to its field.
        {"TARGET\r\n123456789012345678\r\nOEM_VER\r\n1\r\nMAJOR\r\nABCDEFGHIJKLMNO\r\nMINOR\r\n10\r\n"
         "SHIPPING\r\nA\r\n",
         "V1ABCDEFGHIJKLM", "123456789012345", "FRW=123456789012345\nVersion=V1ABCDEFGHIJKLM\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        h.clearConsole();
        vx::bootUpdateFRWCheck = 0;
        Table t;
        std::vector<char> text(c.text.begin(), c.text.end());
        text.push_back('\0');
        EXPECT_EQ(vx::dlFirmUsbVersionGet(t.data(), static_cast<int>(c.text.size()), nullptr, text.data(),
                                          vx::DL_VER_TEXT),
                  0);
        EXPECT_EQ(t.raw(vx::DL_VT_SYS), std::string(c.sys) + std::string(16 - strlen(c.sys), '\0'));
        EXPECT_EQ(t.raw(vx::DL_VT_FRW), std::string(c.frw) + std::string(16 - strlen(c.frw), '\0'));
        EXPECT_TRUE(t.onlyWritten({vx::DL_VT_SYS, vx::DL_VT_FRW}));
        EXPECT_EQ(vx::bootUpdateFRWCheck, 1);
        EXPECT_EQ(h.console(), c.console);
    }
}

} // namespace
