// The update tasks of the flash ROM, the engine-side units (LSR, PFC,
// Engine) and the scanner, and the result message each sends the driver.
#include "bootenv/bootEnv.h"
#include "bootenv/dlNamespace.h"
#include "update/flashrom/dlFirmRewite.h"
#include "update/session/dlFirmUpMain.h"

DL_NAMESPACE_BEGIN

namespace {

// One sub-unit firmware target rewritten through frwRewriteMAIN.
typedef struct {
    UINT32 item;          // update item bit
    const char *image;    // image in the RAM disk
    int code;             // target code of frwRewriteMAIN
    int row;              // panel row of its title and state
    const char *title;    // at column 42
    const char *failed;   // at column 67
    const char *sendFail; // console line when the -1 result cannot be sent
} DL_FIRM_UNIT;

constexpr int DL_UNIT_ENG_NUM = 3;

// Rewritten strictly in this order.
const DL_FIRM_UNIT dlEngUnits[DL_UNIT_ENG_NUM] = {
    {DL_ITEM_LSR, DL_TMP_LSR_FIRM, 15, 5, "LSR Firm Update ......", "Failed         ",
     "lsr SendMsgBuf failed\n"},
    {DL_ITEM_PFC, DL_TMP_PFC_FIRM, 14, 6, "PFC Firm Update ......", "Failed         ",
     "pfc SendMsgBuf failed\n"},
    {DL_ITEM_ENGINE, DL_TMP_ENG_FIRM, 11, 7, "Engine MAIN Update ...", "Failed         ",
     "mcn SendMsgBuf failed\n"},
};

const DL_FIRM_UNIT dlScnUnit = {DL_ITEM_SCANNER,  DL_TMP_SCN_FIRM,          13, 8, "Scanner Firm Update ..",
                                "Failed        ", "Scn SendMsgBuf failed\n"};

// Row of the boot environment's own progress during the scanner rewrite.
constexpr int DL_SCM_DISPLAY_ROW = 13;

// Shows the unit's title and rewrites it: frwRewriteMAIN's result.
int dlFirmUnitRewrite(const DL_FIRM_UNIT *unit)
{
    bootDispString(0, 42, unit->row, unit->title);
    bootDispString(0, 67, unit->row, "Initialize");
    bootDispString(0, 67, unit->row, "Flash Update");
    return frwRewriteMAIN(unit->code, 0, unit->image);
}

} // namespace

STATUS dlFirmSendResult(MSG_Q_ID queue, INT32 result)
{
    INT32 message = result;
    return msgQSend(queue, (char *)&message, sizeof message, WAIT_FOREVER, MSG_PRI_NORMAL);
}

int dlFirmFromUpdate_USB(UINT32 selection)
{
    if (selection & DL_ITEM_OSUI) {
        bootDispString(0, 0, 2, "  Download Storage -> FROM Update Start.");
        bootDispString(0, 4, 3, "Check Devices   -");
        bootDispString(0, 4, 4, "Update Status   -");
        bootDispString(0, 4, 5, "Data Check      -");
        bootDispString(0, 24, 3, "Completed   ");
        bootDispString(0, 42, 3, "OS UI Update   .......");
        bootDispString(0, 24, 3, "Completed   ");
        bootDispString(0, 24, 4, "Erasing     ");

        if (dlFirmRewriteNoCheckSum(1, 0, DL_TMP_FROM_BIN) == ERROR) {
            bootDispString(0, 67, 3, "Failed      ");
            bootDispString(0, 24, 4, "Failed         ");
            // The image stays for a look after the failed session.
            if (dlFirmSendResult(dlFirmUpdateFROMQId, ERROR) == ERROR)
                printf("ErrMsgBuf failed\n");
            return ERROR;
        }
        bootDispString(0, 67, 3, "Completed   ");
        bootDispString(0, 0, 2, "                                         ");
        bootDispString(0, 4, 3, "                             ");
        bootDispString(0, 4, 4, "                             ");
        bootDispString(0, 4, 5, "                             ");
    }

    if (dlFirmSendResult(dlFirmUpdateFROMQId, OK) == ERROR) {
        printf("F-ROM SendMsgBuf failed\n");
        return ERROR;
    }
    remove(DL_TMP_FROM_BIN);
    return OK;
}

int dlFirmEngUpdate_USB(UINT32 selection)
{
    for (int i = 0; i < DL_UNIT_ENG_NUM; ++i) {
        const DL_FIRM_UNIT *unit = &dlEngUnits[i];
        if (selection & unit->item) {
            if (dlFirmUnitRewrite(unit) == ERROR) {
                // The first failure ends the task; later units are not tried.
                bootDispString(0, 67, unit->row, unit->failed);
                if (dlFirmSendResult(dlFirmUpdateEngQId, ERROR) == ERROR)
                    printf("%s", unit->sendFail);
                return ERROR;
            }
            bootDispString(0, 67, unit->row, "Completed   ");
        }
        // Unselected images go too: nothing else would use them.
        remove(unit->image);
    }

    if (dlFirmSendResult(dlFirmUpdateEngQId, OK) == ERROR) {
        printf("Eng SendMsgBuf failed\n");
        return ERROR;
    }
    return OK;
}

int dlFirmScnUpdate_USB(UINT32 selection)
{
    if (selection & dlScnUnit.item) {
        DLBOARD_SCM_DISPLAY_YPOINT = DL_SCM_DISPLAY_ROW;
        if (dlFirmUnitRewrite(&dlScnUnit) == ERROR) {
            bootDispString(0, 67, dlScnUnit.row, dlScnUnit.failed);
            if (dlFirmSendResult(dlFirmUpdateScnQId, ERROR) == ERROR)
                printf("%s", dlScnUnit.sendFail);
            return ERROR;
        }
        bootDispString(0, 67, dlScnUnit.row, "Completed   ");
    }
    remove(dlScnUnit.image);

    if (dlFirmSendResult(dlFirmUpdateScnQId, OK) == ERROR) {
        printf("scn MsgQSend failed\n");
        return ERROR;
    }
    return OK;
}

DL_NAMESPACE_END
