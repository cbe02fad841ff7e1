// The version screen beside the menu, and the ROMDATA warning screen that
// ends the calling task.
#include "bootenv/bootEnv.h"
#include "host/machine/Panel.h"
#include "version_support.h"

#include <string>

namespace {

using version_test::Table;
using version_test::VersionTest;

std::string cells(testing_support::MachineHarness &h, int row, int column, std::size_t n)
{
    return h.machine().panel().snapshot()[row].substr(column, n);
}

TEST_F(VersionTest, VersionScreenShowsOnlyAvailableItems)
{
    struct Row {
        int row;
        const char *label;
        int field;
        vx::UINT32 bit;
    } rows[] = {
        {4, "UIF Version...", vx::DL_VT_UIF, vx::DL_ITEM_OSUI},
        {5, "UI0 Version...", vx::DL_VT_UI0, vx::DL_ITEM_OSUI},
        {6, "UI1 Version...", vx::DL_VT_UI1, vx::DL_ITEM_OSUI},
        {7, "SYS Version...", vx::DL_VT_SYS, vx::DL_ITEM_HDD},
        {8, "LSR Version...", vx::DL_VT_LSR, vx::DL_ITEM_LSR},
        {9, "PFC Version...", vx::DL_VT_PFC, vx::DL_ITEM_PFC},
        {10, "ENG Version...", vx::DL_VT_ENG, vx::DL_ITEM_ENGINE},
        {11, "SCN Version...", vx::DL_VT_SCN, vx::DL_ITEM_SCANNER},
    };
    Table t;
    for (int f = 0; f < vx::DL_VERSION_TABLE_SIZE; f += 16)
        snprintf(t.data() + f, 16, "F%d", f);
    for (vx::UINT32 flag : {0x00u, 0x02u, 0x44u, 0x38u, 0x7Eu}) {
        SCOPED_TRACE("flag " + std::to_string(flag));
        vx::bootDispClear();
        vx::dlFirmUpdateModuleEnableFlag = flag;
        EXPECT_EQ(vx::dlFirmUsbVersionShow(t.data()), 0);
        std::string expected(15 * 82, ' ');
        auto draw = [&](int col, int row, const std::string &s) {
            expected.replace(row * 82 + col, s.size(), s);
        };
        draw(42, 1, "Version in update media");
        for (const Row &r : rows)
            if (flag & r.bit) {
                draw(42, r.row, r.label);
                draw(57, r.row, "F" + std::to_string(r.field));
            }
        std::string panel;
        for (const std::string &row : h.machine().panel().snapshot())
            panel += row;
        EXPECT_EQ(panel, expected);
    }
}

TEST_F(VersionTest, RomdataWarningEndsTheTaskWithStatus1)
{
    Table t;
    snprintf(t.data(), 16, "%s", "V102.10 A");
    bool returned = false;
    auto run = h.runTask([&] {
        vx::dlFirmUpdateFalseSysVer(t.data());
        returned = true;
    });
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(returned);
    EXPECT_EQ(h.machine().panel().dump(), "\n\n          -----WARNING: ROMDATA MISMATCH!!----\n"
                                          "             ROMDATA Version is V102.10 A\n"
                                          "          Please REBOOT to use Correct ROMDATA\n" +
                                              std::string(10, '\n'));

    // A SYS field without its NUL does not pull the next field in.
    memset(t.data(), 'Q', 16);
    EXPECT_TRUE(h.runTask([&] { vx::dlFirmUpdateFalseSysVer(t.data()); }).exited);
    EXPECT_EQ(cells(h, 3, 13, 40), "ROMDATA Version is " + std::string(15, 'Q') + std::string(6, ' '));
}

} // namespace
