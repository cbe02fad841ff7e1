// The version screen beside the menu, and the ROMDATA warning screen that
// ends the calling task.
#include "bootenv/bootEnv.h"
#include "host/machine/Panel.h"
#include "tests/support/Harness.h"
#include "version_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testing_support::MachineHarness;
using version_test::Table;

struct Row {
    int row;
    const char *label;
    int field;
    vx::UINT32 bit;
};

const Row kRows[] = {
    {4, "UIF Version...", vx::DL_VT_UIF, vx::DL_ITEM_OSUI},
    {5, "UI0 Version...", vx::DL_VT_UI0, vx::DL_ITEM_OSUI},
    {6, "UI1 Version...", vx::DL_VT_UI1, vx::DL_ITEM_OSUI},
    {7, "SYS Version...", vx::DL_VT_SYS, vx::DL_ITEM_HDD},
    {8, "LSR Version...", vx::DL_VT_LSR, vx::DL_ITEM_LSR},
    {9, "PFC Version...", vx::DL_VT_PFC, vx::DL_ITEM_PFC},
    {10, "ENG Version...", vx::DL_VT_ENG, vx::DL_ITEM_ENGINE},
    {11, "SCN Version...", vx::DL_VT_SCN, vx::DL_ITEM_SCANNER},
};

// A table whose every field names itself ("F16", "F32", ...).
Table namedTable()
{
    Table t;
    t.bytes.fill('\0');
    for (int f = 0; f < vx::DL_VERSION_TABLE_SIZE; f += vx::DL_VERSION_FIELD)
        snprintf(t.data() + f, vx::DL_VERSION_FIELD, "F%d", f);
    return t;
}

class VersionScreen : public ::testing::Test {
protected:
    void TearDown() override
    {
        vx::dlFirmUpdateModuleEnableFlag = 0x0000FFFF;
        vx::bootUpdateFRWCheck = 0;
    }

    std::string cells(int row, int column, std::size_t n)
    {
        return h.machine().panel().snapshot()[row].substr(column, n);
    }
    std::string rightHalf(int row) { return cells(row, 42, host::Panel::kColumns - 42); }

    MachineHarness h;
};

TEST_F(VersionScreen, ShowsOnlyAvailableItems)
{
    for (vx::UINT32 flag : {0x00u, vx::DL_ITEM_OSUI, vx::DL_ITEM_HDD | vx::DL_ITEM_SCANNER,
                            vx::DL_ITEM_LSR | vx::DL_ITEM_PFC | vx::DL_ITEM_ENGINE, vx::DL_ITEM_ALL,
                            0x0000FFFFu}) {
        SCOPED_TRACE("flag " + std::to_string(flag));
        vx::bootDispClear();
        vx::dlFirmUpdateModuleEnableFlag = flag;
        Table t = namedTable();
        EXPECT_EQ(vx::dlFirmUsbVersionShow(t.data()), 0);
        EXPECT_EQ(cells(1, 42, 23), "Version in update media");
        for (const Row &r : kRows) {
            if (flag & r.bit) {
                std::string value = "F" + std::to_string(r.field);
                EXPECT_EQ(cells(r.row, 42, 15), std::string(r.label) + " ") << "row " << r.row;
                EXPECT_EQ(cells(r.row, 57, value.size() + 1), value + " ") << "row " << r.row;
            } else {
                EXPECT_EQ(rightHalf(r.row), std::string(host::Panel::kColumns - 42, ' '))
                    << "row " << r.row;
            }
        }
        // Nothing is drawn left of column 42 nor in the other rows.
        auto rows = h.machine().panel().snapshot();
        for (int row = 0; row < host::Panel::kRows; ++row)
            EXPECT_EQ(rows[row].substr(0, 42), std::string(42, ' ')) << "row " << row;
        for (int row : {0, 2, 3, 12, 13, 14})
            EXPECT_EQ(rightHalf(row), std::string(host::Panel::kColumns - 42, ' ')) << "row " << row;
    }
}

TEST_F(VersionScreen, EmptyFieldsShowNoText)
{
    vx::dlFirmUpdateModuleEnableFlag = vx::DL_ITEM_HDD;
    Table t;
    t.bytes.fill('\0');
    vx::dlFirmUsbVersionShow(t.data());
    EXPECT_EQ(rightHalf(7), "SYS Version..." + std::string(host::Panel::kColumns - 42 - 14, ' '));
}

TEST_F(VersionScreen, RomdataWarningEndsTheTaskWithStatus1)
{
    Table t = namedTable();
    snprintf(t.data(), vx::DL_VERSION_FIELD, "%s", "V102.10 A");
    bool returned = false;
    auto run = h.runTask([&] {
        vx::dlFirmUpdateFalseSysVer(t.data());
        returned = true;
    });
    EXPECT_TRUE(run.ended);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(returned);
    EXPECT_EQ(h.machine().panel().dump(), std::string("\n\n") +
                                              "          -----WARNING: ROMDATA MISMATCH!!----\n"
                                              "             ROMDATA Version is V102.10 A\n"
                                              "          Please REBOOT to use Correct ROMDATA\n" +
                                              std::string(10, '\n'));
    EXPECT_EQ(h.console(), "");
}

TEST_F(VersionScreen, RomdataWarningShowsOnlyTheSysField)
{
    // A SYS field without its NUL must not pull the next field in.
    Table t = namedTable();
    memset(t.data(), 'Q', vx::DL_VERSION_FIELD);
    auto run = h.runTask([&] { vx::dlFirmUpdateFalseSysVer(t.data()); });
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(cells(3, 13, 40), "ROMDATA Version is " + std::string(15, 'Q') + std::string(6, ' '));
}

} // namespace
