// The update item selection menu: the six items on the left half of the
// panel, toggled with the digit keys, confirmed with key 52.
#include "update/menu/dlFirmMenu.h"

#include "bootenv/bootEnv.h"
#include "bootenv/dlNamespace.h"
#include "update/session/dlFirmUpMain.h"

#include <cstring>

DL_NAMESPACE_BEGIN

MSG_Q_ID dlBoardMsgQID;
UINT16 *dlBoardKeyTbl;
UINT8 dlBoardMsgRcvBuf[4];
INT32 dlFirmUpdateKeyMax = 0;

namespace {

constexpr int DL_KEY_TBL_BYTES = 30;
constexpr int DL_KEY_MSG_MAX = 10;
constexpr int DL_KEY_MSG_LEN = 4;
constexpr UINT8 DL_KEY_EVENT_PRESS = 1;
constexpr UINT8 DL_KEY_CONFIRM = 52;
constexpr UINT8 DL_KEY_SPARE = 53; // enabled with the confirm key, no effect here
constexpr int DL_MENU_ITEMS = 6;
constexpr int DL_MENU_MARK_COLUMN = 4;
constexpr int DL_MENU_TEXT_COLUMN = 5;

// Key codes of the digit keys 0 to 9.
const UINT8 dlBoardDigitKeyCode[10] = {37, 4, 5, 6, 7, 20, 21, 22, 23, 36};

// Menu items 1 to 6: bit, row, line when available, line when not.
const UINT32 dlMenuItemBit[DL_MENU_ITEMS] = {DL_ITEM_OSUI, DL_ITEM_HDD,    DL_ITEM_LSR,
                                             DL_ITEM_PFC,  DL_ITEM_ENGINE, DL_ITEM_SCANNER};
const int dlMenuItemRow[DL_MENU_ITEMS] = {5, 6, 7, 8, 9, 10};
const char *const dlMenuItemText[DL_MENU_ITEMS] = {"1. OS UI Update",           "2. HDD SYS Update",
                                                   "3. LSR Firmware Update",    "4. PFC Firmware Update",
                                                   "5. Engine Firmware Update", "6. Scanner Firmware Update"};
const char *const dlMenuItemNumber[DL_MENU_ITEMS] = {"1.", "2.", "3.", "4.", "5.", "6."};

void dlBoardKeyBitSet(UINT8 code) { dlBoardKeyTbl[code >> 4] |= (UINT16)(1u << (code & 0x0F)); }

void dlBoardKeyBitClear(UINT8 code) { dlBoardKeyTbl[code >> 4] &= (UINT16) ~(1u << (code & 0x0F)); }

} // namespace

INT32 bootUpdateSelectUSBMedia()
{
    dlBoardMsgQID = msgQCreate(DL_KEY_MSG_MAX, DL_KEY_MSG_LEN, MSG_Q_FIFO);
    if (dlBoardMsgQID == NULL) {
        printf("Can not Create msgW\n");
        exit(0);
    }
    if (dlBoardCpKeyGetProc() == -1) {
        printf("Can not Init Control Panel\n");
        exit(0);
    }
    return bootUpdateSelectUSBMediaProc();
}

int dlBoardCpKeyGetProc()
{
    bootKeyDrvInit();
    dlBoardKeyTbl = bootGetKeyFocus(dlBoardMsgQID);
    if (dlBoardKeyTbl == NULL)
        return -1;
    memset(dlBoardKeyTbl, 0, DL_KEY_TBL_BYTES);
    return 1;
}

void dlBoardSetKeyTbl(UINT32 min, UINT32 max)
{
    UINT32 i;

    if (max > 9 || max < min)
        return;
    for (i = 0; i <= 9; i++)
        dlBoardKeyBitClear(dlBoardDigitKeyCode[i]);
    for (i = 0; i <= max; i++)
        dlBoardKeyBitSet(dlBoardDigitKeyCode[i]);
    // Digit 0 counts as the lowest key: any min above 0 leaves it off.
    if (min >= 1) {
        for (i = 0; i < min; i++)
            dlBoardKeyBitClear(dlBoardDigitKeyCode[i]);
    }
}

INT32 bootUpdateSelectUSBMediaProc()
{
    UINT32 mask;
    UINT32 bit;
    int item;
    int row;

    mask = dlFirmUpdateModuleEnableFlag;
    dlFirmUpdateKeyMax = DL_MENU_ITEMS;
    printf("dlFirmUpdateModuleEnableFlag:%x\n", mask);

    bootDispString(0, 2, 1, "Download Storage Firmware Update Mode");
    bootDispString(0, 2, 2, "Select Update Item");
    for (item = 0; item < DL_MENU_ITEMS; item++) {
        row = dlMenuItemRow[item];
        if (dlFirmUpdateModuleEnableFlag & dlMenuItemBit[item]) {
            bootDispString(0, DL_MENU_TEXT_COLUMN, row, dlMenuItemText[item]);
            bootDispString(0, DL_MENU_MARK_COLUMN, row, "*");
        } else {
            bootDispString(0, DL_MENU_TEXT_COLUMN, row, dlMenuItemNumber[item]);
        }
    }

    memset(dlBoardKeyTbl, 0, DL_KEY_TBL_BYTES);
    dlBoardSetKeyTbl(1, (UINT32)dlFirmUpdateKeyMax);
    dlBoardKeyBitSet(DL_KEY_CONFIRM);
    dlBoardKeyBitSet(DL_KEY_SPARE);
    bootKeyUnlock();

    for (;;) {
        if (msgQReceive(dlBoardMsgQID, (char *)dlBoardMsgRcvBuf, DL_KEY_MSG_LEN, WAIT_FOREVER) == ERROR) {
            bootKeyLock();
            return -1;
        }
        if (dlBoardMsgRcvBuf[0] != DL_KEY_EVENT_PRESS)
            continue;
        printf("dlBoardMsgRcvBuf3[1]:%x\n", dlBoardMsgRcvBuf[1]);

        if (dlBoardMsgRcvBuf[1] == DL_KEY_CONFIRM) {
            bootKeyLock();
            return (INT32)mask;
        }
        // Digit keys 1 to 6 toggle items 1 to 6; only available items.
        for (item = 0; item < DL_MENU_ITEMS; item++) {
            if (dlBoardMsgRcvBuf[1] == dlBoardDigitKeyCode[item + 1])
                break;
        }
        if (item == DL_MENU_ITEMS)
            continue;
        bit = dlMenuItemBit[item];
        row = dlMenuItemRow[item];
        if (mask & bit) {
            mask &= ~bit;
            bootDispString(0, DL_MENU_MARK_COLUMN, row, " ");
        } else if (dlFirmUpdateModuleEnableFlag & bit) {
            mask |= bit;
            bootDispString(0, DL_MENU_MARK_COLUMN, row, "*");
        }
    }
}

DL_NAMESPACE_END
