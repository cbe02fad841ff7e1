// The version table: flash ROM package versions (mode 1), engine-side
// versions (mode 2) and the system version from the flash image head
// (mode 4), each kept inside its 16-byte field.
#include "tools/media/Images.h"
#include "version_support.h"

#include <functional>
#include <string>
#include <vector>

namespace {

using version_test::Table;
using version_test::VersionTest;

vx::DL_DB_INFO record(const char *version, const char *comment, const char *language = nullptr)
{
    vx::DL_DB_INFO r{};
    r.version = const_cast<char *>(version);
    r.comment = const_cast<char *>(comment);
    r.languageCode = const_cast<char *>(language);
    return r;
}

TEST_F(VersionTest, Mode1PlacesThePackagesInReverseOrderCutToTheirFields)
{
    vx::DL_DB_INFO records[3] = {record("1.20", "UI1", "JA"), record("12345678901234567890", "UI0", "EN"),
                                 record("3.00", "UIF", "LONGLANGUAGECODE")};
    Table t;
    EXPECT_EQ(vx::dlFirmUsbVersionGet(t.data(), 3, records, nullptr, vx::DL_VER_FROM), 0);
    EXPECT_EQ(t.raw(vx::DL_VT_UI1), std::string("V1.20 JA") + std::string(8, '\0'));
    EXPECT_EQ(t.raw(vx::DL_VT_UI0), std::string("V12345678901234") + '\0');
    EXPECT_EQ(t.raw(vx::DL_VT_UIF), std::string("V3.00 LONGLANGU") + '\0');
    EXPECT_TRUE(t.onlyWritten({vx::DL_VT_UIF, vx::DL_VT_UI0, vx::DL_VT_UI1}));
    EXPECT_EQ(vx::bootUpdateFRWCheck, 0);
}

TEST_F(VersionTest, Mode2PlacesVersionsByWholeComment)
{
    vx::DL_DB_INFO records[7] = {
        record("S1.00", "SCANNER_FIRM"), record("ENG-1234567890ABCDEF", "ENGINE_MAIN_FIRM"),
        record("X9.99", "LASER_FIRM2"),  record("L1.03", "LASER_FIRM"),
        record("P0.50", "PFC_FIRM"),     record("L1.04", "LASER_FIRM"),
        record("P9.99", "PFC")};
    Table t;
    EXPECT_EQ(vx::dlFirmUsbVersionGet(t.data(), 7, records, nullptr, vx::DL_VER_ENG), 0);
    EXPECT_EQ(t.text(vx::DL_VT_SCN), "S1.00");
    EXPECT_EQ(t.raw(vx::DL_VT_ENG), std::string("ENG-1234567890A") + '\0');
    EXPECT_EQ(t.text(vx::DL_VT_PFC), "P0.50");
    EXPECT_EQ(t.text(vx::DL_VT_LSR), "L1.04") << "a later record overwrites";
    EXPECT_TRUE(t.onlyWritten({vx::DL_VT_LSR, vx::DL_VT_ENG, vx::DL_VT_PFC, vx::DL_VT_SCN}));

    Table none;
    vx::dlFirmUsbVersionGet(none.data(), 0, records, nullptr, vx::DL_VER_ENG);
    for (int f : {vx::DL_VT_LSR, vx::DL_VT_ENG, vx::DL_VT_PFC, vx::DL_VT_SCN})
        EXPECT_EQ(none.raw(f), std::string(16, '\0')) << "field " << f;
    EXPECT_EQ(vx::bootUpdateFRWCheck, 0);
}

TEST_F(VersionTest, OtherModesChangeNothing)
{
    vx::DL_DB_INFO records[1] = {record("L1.03", "LASER_FIRM", "JA")};
    char text[] = "TARGET\r\nDL01\r\n";
    for (int mode : {0, 5, -1}) {
        Table t;
        EXPECT_EQ(vx::dlFirmUsbVersionGet(t.data(), 1, records, text, mode), 0);
        EXPECT_EQ(t.bytes, Table().bytes) << "mode " << mode;
    }
    EXPECT_EQ(vx::bootUpdateFRWCheck, 0);
}

// Heads are 128 bytes on the heap, with or without the NUL the staging
// keeps behind them; every read must stay inside (the sanitizer build sees
// one that does not).
TEST_F(VersionTest, Mode4ReadsTheFlashImageHead)
{
    using Edit = std::function<void(std::vector<char> &)>;
    auto put = [](int at, std::string text) -> Edit {
        return [=](std::vector<char> &h) { std::copy(text.begin(), text.end(), h.begin() + at); };
    };
    const media::Bytes image1 = media::versionHead({"DL01", "R2.10.00", '1', 'A'});
    const std::vector<char> imageHead(image1.begin(), image1.end());
    struct Case {
        const char *what;
        std::vector<char> base;
        std::vector<Edit> edits;
        const char *sys;
        const char *frw;
    } cases[] = {
        {"image 1's head", imageHead, {}, "V1R2.10 A", "DL01"},
        {"a '.' in byte 27 is the first", imageHead, {put(27, ".5.7    ")}, "V1.5 A", "DL01"},
        {"no TAB", imageHead, {put(0, " ")}, "V1R2.10 A", ""},
        {"no OEM_VER", imageHead, {put(44, "OEM_XX")}, "VR2.10 A", "DL01"},
        {"no SHIPPING", imageHead, {put(54, "SHIPPXXX")}, "V1R2.10 ", "DL01"},
        // A NUL ends the version and the text the keys are searched in.
        {"NUL in the version", imageHead, {put(29, std::string(1, '\0'))}, "VR2 ", "DL01"},
        {"key at the end of the text",
         std::vector<char>(128, ' '),
         {put(0, "\tDL01"), put(27, "R2.10.00"), put(50, std::string("OEM_VER\n\0", 9))},
         "VR2.10 ",
         "DL01"},
        {"version without end",
         std::vector<char>(128, ' '),
         {put(0, "\tDL01"), put(27, "ABCDEFGHIJKLMNOP\nOEM_VER\n1\nSHIPPING\nA\n")},
         "V1ABCDEFGHIJKLM",
         "DL01"},
        {"no NUL, SHIPPING's character past the head",
         std::vector<char>(128, 'x'),
         {put(27, "R2.10.00"), put(60, "OEM_VER\n1"), put(119, "SHIPPING\t")},
         "V1R2.10 ",
         ""},
        {"no NUL, target cut by the head's end",
         std::vector<char>(128, 'x'),
         {put(125, "\tDL")},
         "Vxxxxxxxxxxxxxx",
         "DL"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<char> head = c.base;
        for (const Edit &e : c.edits)
            e(head);
        Table t;
        vx::bootUpdateFRWCheck = 0;
        EXPECT_EQ(vx::dlFirmUsbVersionGet(t.data(), 0, nullptr, head.data(), vx::DL_VER_HEAD), 0);
        EXPECT_EQ(t.raw(vx::DL_VT_SYS), std::string(c.sys) + std::string(16 - strlen(c.sys), '\0'));
        EXPECT_EQ(t.raw(vx::DL_VT_FRW), std::string(c.frw) + std::string(16 - strlen(c.frw), '\0'));
        EXPECT_TRUE(t.onlyWritten({vx::DL_VT_SYS, vx::DL_VT_FRW}));
        EXPECT_EQ(vx::bootUpdateFRWCheck, 1);
    }
    EXPECT_EQ(h.console(), "");
}

} // namespace
