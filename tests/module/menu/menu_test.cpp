// The update item selection menu driven by key scripts: its screen, marks,
// toggling of available items only, the confirm key, ignored messages and
// every way it fails.
#include "bootenv/bootEnv.h"
#include "host/machine/Keys.h"
#include "host/machine/Panel.h"
#include "support/Harness.h"
#include "update/menu/dlFirmMenu.h"
#include "update/session/dlFirmUpMain.h"

#include <set>
#include <string>

namespace vx {
namespace {

using testing_support::MachineHarness;
using testing_support::TaskRun;

constexpr INT32 kUntouched = 0x5A5A5A5A;
// Right half of the panel: the version screen, which the menu must leave.
const char *const kVersionText = "OS UI    V1.00";

struct MenuRun {
    TaskRun run;
    INT32 mask = kUntouched;
};

// Runs the menu in the session task with `flag` as the available items,
// pressing `keys` as the menu waits.
MenuRun runMenu(MachineHarness &h, UINT32 flag, const char *keys)
{
    dlFirmUpdateModuleEnableFlag = flag;
    host::KeyScript script(h.machine().keys(), host::KeyScript::parse(keys));
    script.attach();
    MenuRun m;
    m.run = h.runTask([&] {
        bootDispString(0, 42, 5, kVersionText);
        m.mask = bootUpdateSelectUSBMedia();
    });
    return m;
}

// The menu's part of a row: columns 0 to 41.
std::string left(MachineHarness &h, int row) { return h.machine().panel().snapshot()[row].substr(0, 42); }

std::string pad(std::string text)
{
    text.resize(42, ' ');
    return text;
}

std::string itemRow(char mark, const std::string &text) { return pad(std::string("    ") + mark + text); }

// The mark cells of items 1 to 6.
std::string marks(MachineHarness &h)
{
    std::string m;
    for (int row = 5; row <= 10; ++row)
        m += h.machine().panel().snapshot()[row][4];
    return m;
}

const char *const kItemText[6] = {"1. OS UI Update",           "2. HDD SYS Update",
                                  "3. LSR Firmware Update",    "4. PFC Firmware Update",
                                  "5. Engine Firmware Update", "6. Scanner Firmware Update"};

TEST(MenuScreen, AllItemsAvailableAreShownChosenAndConfirmReturnsTheFlag)
{
    MachineHarness h;
    MenuRun m = runMenu(h, 0x7E, "ok");
    ASSERT_TRUE(m.run.ended);
    EXPECT_FALSE(m.run.exited);
    EXPECT_EQ(m.mask, 0x7E);
    EXPECT_EQ(h.console(), "dlFirmUpdateModuleEnableFlag:7e\ndlBoardMsgRcvBuf3[1]:34\n");

    EXPECT_EQ(left(h, 1), pad("  Download Storage Firmware Update Mode"));
    EXPECT_EQ(left(h, 2), pad("  Select Update Item"));
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(left(h, 5 + i), itemRow('*', kItemText[i])) << "item " << i + 1;
    for (int row : {0, 3, 4, 11, 12, 13, 14})
        EXPECT_EQ(left(h, row), pad("")) << "row " << row;
    EXPECT_EQ(h.machine().panel().snapshot()[5].substr(42, 14), kVersionText);

    // Digits 1 to 6, confirm and key 53 only; keys locked once confirmed.
    const std::set<int> wanted{4, 5, 6, 7, 20, 21, 52, 53};
    for (int code = 0; code < host::Keys::kCodeLimit; ++code)
        EXPECT_EQ(h.machine().keys().enabled(code), wanted.count(code) == 1) << code;
    EXPECT_FALSE(h.machine().keys().unlocked());
}

TEST(MenuScreen, UnavailableItemsShowOnlyTheirNumberAndTheirDigitsDoNothing)
{
    MachineHarness h;
    // OS UI, LSR and Engine offered; bit 0x01 and a high bit pass through.
    MenuRun m = runMenu(h, 0x1022B, "2,4,6,ok");
    ASSERT_TRUE(m.run.ended);
    EXPECT_EQ(m.mask, 0x1022B);
    EXPECT_EQ(left(h, 5), itemRow('*', kItemText[0]));
    EXPECT_EQ(left(h, 6), itemRow(' ', "2."));
    EXPECT_EQ(left(h, 7), itemRow('*', kItemText[2]));
    EXPECT_EQ(left(h, 8), itemRow(' ', "4."));
    EXPECT_EQ(left(h, 9), itemRow('*', kItemText[4]));
    EXPECT_EQ(left(h, 10), itemRow(' ', "6."));
    EXPECT_EQ(h.console(), "dlFirmUpdateModuleEnableFlag:1022b\n"
                           "dlBoardMsgRcvBuf3[1]:5\ndlBoardMsgRcvBuf3[1]:7\n"
                           "dlBoardMsgRcvBuf3[1]:15\ndlBoardMsgRcvBuf3[1]:34\n");
}

TEST(MenuKeys, DigitsToggleMarksAndMaskOfAvailableItems)
{
    MachineHarness h;
    // 1 off, 3 off and on again, 6 off; 2 unavailable stays off.
    MenuRun m = runMenu(h, 0x7A, "1,3,3,6,2,ok");
    ASSERT_TRUE(m.run.ended);
    EXPECT_EQ(m.mask, 0x7A & ~0x02 & ~0x40);
    EXPECT_EQ(marks(h), "  *** ");
    // The text stays whole while its mark changes.
    EXPECT_EQ(left(h, 5), itemRow(' ', kItemText[0]));
}

TEST(MenuKeys, OtherKindsAndOtherCodesChangeNothing)
{
    MachineHarness h;
    // m2:4 is digit 1 with another event kind: dropped unprinted. Digits 7,
    // 8, 9, 0 and code 3 are not enabled; 53 is, and so are raw codes.
    MenuRun m = runMenu(h, 0x7E, "m2:4,m0:52,7,8,9,0,k3,k53,m1:3,m1:54,m1:200,ok");
    ASSERT_TRUE(m.run.ended);
    EXPECT_EQ(m.mask, 0x7E);
    EXPECT_EQ(h.console(), "dlFirmUpdateModuleEnableFlag:7e\n"
                           "dlBoardMsgRcvBuf3[1]:35\n"
                           "dlBoardMsgRcvBuf3[1]:3\n"
                           "dlBoardMsgRcvBuf3[1]:36\n"
                           "dlBoardMsgRcvBuf3[1]:c8\n"
                           "dlBoardMsgRcvBuf3[1]:34\n");
    EXPECT_EQ(marks(h), "******");
}

TEST(MenuFailure, ReceiveErrorLocksTheKeysAndReturnsMinusOne)
{
    MachineHarness h;
    h.machine().faults().add("msgq-receive:2");
    MenuRun m = runMenu(h, 0x7E, "1,2,ok");
    ASSERT_TRUE(m.run.ended);
    EXPECT_FALSE(m.run.exited);
    EXPECT_EQ(m.mask, -1);
    EXPECT_FALSE(h.machine().keys().unlocked());
    EXPECT_EQ(h.console(), "dlFirmUpdateModuleEnableFlag:7e\n"
                           "dlBoardMsgRcvBuf3[1]:4\ndlBoardMsgRcvBuf3[1]:5\n");
}

TEST(MenuFailure, NoQueueOrNoPanelKeysEndTheTaskWithStatusZero)
{
    struct Case {
        const char *fault;
        const char *line;
    } cases[] = {{"msgq-create", "Can not Create msgW\n"}, {"keys", "Can not Init Control Panel\n"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fault);
        MachineHarness h;
        h.machine().faults().add(c.fault);
        MenuRun m = runMenu(h, 0x7E, "ok");
        ASSERT_TRUE(m.run.ended);
        EXPECT_TRUE(m.run.exited);
        EXPECT_EQ(m.run.status, 0);
        EXPECT_EQ(m.mask, kUntouched);
        EXPECT_EQ(h.console(), c.line);
        EXPECT_EQ(left(h, 1), pad(""));
    }
}

TEST(MenuKeyTable, DigitRangeFromMinToMaxWithDigitZeroLowest)
{
    MachineHarness h;
    MSG_Q_ID q = msgQCreate(10, 4, MSG_Q_FIFO);
    dlBoardKeyTbl = bootGetKeyFocus(q);
    ASSERT_NE(dlBoardKeyTbl, nullptr);
    const int digit[10] = {37, 4, 5, 6, 7, 20, 21, 22, 23, 36};
    auto enabledDigits = [&] {
        std::string s;
        for (int d = 0; d <= 9; ++d)
            if (h.machine().keys().enabled(digit[d]))
                s += char('0' + d);
        return s;
    };

    dlBoardKeyTbl[3] = 1u << 4; // confirm: not a digit, kept
    dlBoardSetKeyTbl(1, 6);
    EXPECT_EQ(enabledDigits(), "123456");
    dlBoardSetKeyTbl(0, 3);
    EXPECT_EQ(enabledDigits(), "0123");
    dlBoardSetKeyTbl(4, 9);
    EXPECT_EQ(enabledDigits(), "456789");
    dlBoardSetKeyTbl(0, 0);
    EXPECT_EQ(enabledDigits(), "0");
    // Out of range: nothing changes.
    dlBoardSetKeyTbl(1, 10);
    dlBoardSetKeyTbl(5, 3);
    EXPECT_EQ(enabledDigits(), "0");
    EXPECT_TRUE(h.machine().keys().enabled(52));
}

} // namespace
} // namespace vx
