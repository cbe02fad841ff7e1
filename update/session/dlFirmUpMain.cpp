// The update session driver: one call runs one session from the first
// screen to "Update Completed." or "Update Failed.".
#include "update/session/dlFirmUpMain.h"

#include "bootenv/bootEnv.h"
#include "bootenv/dlNamespace.h"
#include "update/flashrom/dlFirmRewite.h"
#include "update/hdd/dlFirmHDDUpdate.h"
#include "update/menu/dlFirmMenu.h"
#include "update/staging/dlFirmUpSubFunction.h"
#include "update/version/dlFirmVersion.h"

#include <cstring>

DL_NAMESPACE_BEGIN

static const char dlstr[] = "dlFirmWare Version V1.05";

namespace {

typedef int (*DL_TASK_ENTRY)(UINT32);

// The update tasks in the order they are spawned and their results read.
struct DL_TASK_DEF {
    const char *name;
    DL_TASK_ENTRY entry;
    MSG_Q_ID *queue;
    const char *spawnError;
};

const DL_TASK_DEF dlFirmUpdateTasks[4] = {
    {"tdlFirmFromUpdate", dlFirmFromUpdate_USB, &dlFirmUpdateFROMQId, "can not bootdlFromUpdate_USB task\n"},
    {"tdlFirmHdUpdate", dlFirmHdUpdate_USB, &dlFirmUpdateHdQId, "can not dlFirmHdUpdate_USB task\n"},
    {"tdlFirmEngUpdate", dlFirmEngUpdate_USB, &dlFirmUpdateEngQId, "can not dlFirmEngUpdate_USB task\n"},
    {"tdlFirmScnUpdate", dlFirmScnUpdate_USB, &dlFirmUpdateScnQId, "can not dlFirmScnUpdate_USB task\n"},
};

// The failed ending: the session cannot be completed.
[[noreturn]] void dlFirmUpdateFailedEnd()
{
    bootDispString(0, 42, 13, "    Update Failed.");
    printf("Download -> Failed\n");
    exit(1);
}

} // namespace

int dlFirmUpdateUSBMediaMain()
{
    char versionTable[DL_VERSION_TABLE_SIZE];
    INT32 resultWord;
    INT32 sessionResult = 0;
    INT32 selection;
    DIR *dir;
    int i;

    bootDispClear();
    bootDispString(0, 2, 2, "Download Storage Update Mode");
    bootDispString(0, 2, 3, "Please wait ... now Initialization");
    bootDispString(0, 42, 0, dlstr);

    dlfrwInit();

    /* what an earlier session found must not decide this one */
    bootUpdateFRWCheck = 0;
    dlFirmHddSeriesCount = 0;

    memset(firmImageFile0, 0, sizeof firmImageFile0);
    memset(firmImageFile1, 0, sizeof firmImageFile1);
    memset(firmImageFile2, 0, sizeof firmImageFile2);
    dir = opendir((char *)"/usbstor/0/fwstore");
    if (dir != NULL) {
        printf("FOLROOT\n");
        dlupdateFolderCheckFlag = 1;
        strcpy(firmImageFile0, "/usbstor/0/fwstore/firmImage0.bin");
        strcpy(firmImageFile1, "/usbstor/0/fwstore/firmImage1.bin");
        strcpy(firmImageFile2, "/usbstor/0/fwstore/firmImage2.bin");
        closedir(dir);
    } else {
        printf("USBROOT\n");
        dlupdateFolderCheckFlag = 0;
        strcpy(firmImageFile0, "/usbstor/0/firmImage0.bin");
        strcpy(firmImageFile1, "/usbstor/0/firmImage1.bin");
        strcpy(firmImageFile2, "/usbstor/0/firmImage2.bin");
    }

    memset(versionTable, 0, sizeof versionTable);
    if (dlFirmUsbStrageTenkai(versionTable) != 0) {
        bootDispClear();
        bootDispString(0, 2, 2, "   Inflate Error");
        bootDispString(0, 2, 3, "   Please Change USB Storage or Please Check ROMDATA");
        return -1;
    }

    bootUpdateUSBMediaModeuleCheck(0);

    bootDispClear();
    dlBoardUpdateFlagOn();

    if (bootUpdateFRWCheck == 1) {
        if (versionTable[2] != 'R')
            dlFirmUpdateFalseSysVer(versionTable);
        remove(DL_TMP_SYS_DUMMY);
    }

    dlFirmUsbVersionShow(versionTable);
    bootDispString(0, 42, 0, dlstr);

    selection = bootUpdateSelectUSBMedia();
    // A failed key receive leaves no choice to act on: every bit set would
    // start every update, available or not.
    if (selection == -1)
        dlFirmUpdateFailedEnd();

    bootDispClear();
    bootDispString(0, 2, 0, "Download Storage Firmware Update Mode");
    bootDispString(0, 42, 0, dlstr);

    for (i = 0; i < 4; i++) {
        *dlFirmUpdateTasks[i].queue = msgQCreate(5, 4, MSG_Q_PRIORITY);
        if (*dlFirmUpdateTasks[i].queue == NULL) {
            printf("massage Q create failed\n");
            bootDispString(0, 10, 13, "    Update Failed.");
            return -1;
        }
    }

    for (i = 0; i < 4; i++) {
        if (taskSpawn((char *)dlFirmUpdateTasks[i].name, 100, VX_FP_TASK, 0x100000,
                      DL_TASK_ENTRY(dlFirmUpdateTasks[i].entry), selection, 0, 0, 0, 0, 0, 0, 0, 0,
                      0) == -1) {
            printf("%s", dlFirmUpdateTasks[i].spawnError);
            if (dlFirmSendResult(*dlFirmUpdateTasks[i].queue, -1) == -1)
                printf("ErrMsgBuf failed\n");
            sessionResult = -1;
        }
    }

    for (i = 0; i < 4; i++) {
        resultWord = 0;
        if (msgQReceive(*dlFirmUpdateTasks[i].queue, (char *)&resultWord, 4, WAIT_FOREVER) == -1) {
            printf("massage Q receive error\n");
            sessionResult = -1;
        } else if (resultWord == -1) {
            sessionResult = -1;
        }
        if (dlFirmUpdateTasks[i].queue == &dlFirmUpdateHdQId && resultWord == -1)
            copy(DL_TMP_PROGRESS_LOG, DL_UND_PROGRESS_LOG);
    }

    if (sessionResult == -1)
        dlFirmUpdateFailedEnd();

    bootUpdateClearNvmAutoMode();
    frwClearNvRAMFlags();
    bootUpdateServiceNvRamAllClear();
    if ((UINT32)selection == DL_ITEM_ALL)
        dlFirmSCFlagClear();
    bootDispString(0, 42, 13, "    Update Completed.");
    printf("Download -> OK\n");
    return 0;
}

DL_NAMESPACE_END
