// HDD update task: prepares the hard disk, then loads the HDD package
// files one at a time through a loader task each, carrying the bytes of an
// unfinished package from one file into the next.
#include "update/hdd/dlFirmHDDUpdate.h"

#include "bootenv/bootEnv.h"
#include "update/session/dlFirmUpMain.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace vx {

MSG_Q_ID dlFirmUpdateUSBQId;
INT32 HddRetryCount = 0;
INT32 dlFirmHddSeriesCount = 0;

INT32 dlFirmHddRemainderLost(INT32 remainderLength)
{
    return remainderLength > DL_HDD_TRAILER_MAX ? remainderLength : 0;
}

static const char dlHddLogPath[] = "/TMP/HddUpdateProgress.log";
static const char dlHddStagePath[] = "/TMP/hdd.bin";
static const int dlHddPathSize = 80;

// A part buffer whose loader never answered: the loader may still read
// it, so it is never released.
static char *dlHddOrphanPart = NULL;

// Shows file k's number and the file count on its progress row.
static void dlHddShowFile(int k, int count)
{
    char text[4];
    int row = 14;

    if (k < 7) {
        row = k + 8;
    } else {
        // Row 14 still shows the previous file.
        bootDispString(0, 23, 14, "      ");
        bootDispString(0, 29, 14, "          ");
    }
    // At most 32 files: both texts fit the buffer.
    memset(text, 0, sizeof text);
    if (snprintf(text, sizeof text, "/%d", count) < (int)sizeof text)
        bootDispString(0, 26, row, text);
    memset(text, 0, sizeof text);
    if (snprintf(text, sizeof text, "%2d", k + 1) < (int)sizeof text)
        bootDispString(0, 24, row, text);
}

// Sends the task's result; the log is flushed first, so that the copy the
// session driver makes after a failure holds every line.
static int dlHddSendResult(INT32 result)
{
    fflush(dl_fp);
    return msgQSend(dlFirmUpdateHdQId, (char *)&result, 4, WAIT_FOREVER, MSG_PRI_NORMAL);
}

static void dlHddCloseLog()
{
    fclose(dl_fp);
    dl_fp = NULL;
}

static int dlHddFailed()
{
    bootDispString(0, 67, 4, "Failed   ");
    if (dlHddSendResult(-1) == -1) {
        printf("HDD SendMsgBuf failed\n");
        fprintf(dl_fp, "[dlFirmHdUpdate_USB]HDD SendMsgBuf failed (error)\n");
    }
    dlHddCloseLog();
    return -1;
}

// Loads files 1 to count: 0, or -1 after the failure has been reported.
static int dlHddLoadFiles(INT32 count, INT32 *sizes)
{
    char path[dlHddPathSize];
    char message[DL_HDD_LOADER_MSG_SIZE];
    char *part;
    char *remainder = NULL;
    INT32 remainderLength = 0;
    INT32 partLength;
    UINT32 consumed;
    INT32 lost;
    int k = 0;

    HddRetryCount = 0;
    while (k < count) {
        memset(path, 0, sizeof path);
        if (dlupdateFolderCheckFlag == 1)
            snprintf(path, sizeof path, "/usbstor/0/fwstore/%d", k + 1);
        else
            snprintf(path, sizeof path, "/usbstor/0/%d", k + 1);
        partLength = sizes[k] + remainderLength + 128;

        dlHddShowFile(k, count);

        if (copy(path, dlHddStagePath) == -1) {
            printf("[dlFirmHdUpdate_USB] %s copy error. \n", path);
        } else {
            memset(path, 0, sizeof path);
            strcpy(path, dlHddStagePath);
        }
        part = bootUsbStrageTenkai_HDD(path, &partLength, remainderLength);
        if (part == NULL) {
            printf("can not malloc memory\n");
            fprintf(dl_fp, "[dlFirmHdUpdate_USB] bootUsbStrageTenkai_HDD() error. can not malloc memory\n");
            free(remainder);
            return -1;
        }
        remove(dlHddStagePath);
        printf("start HD taskn");
        fprintf(dl_fp, "[dlFirmHdUpdate_USB] start HD task\n");

        if (remainder != NULL && remainderLength > 0) {
            memcpy(part, remainder, (size_t)remainderLength);
            partLength += remainderLength;
        }
        free(remainder);
        remainder = NULL;

        if (taskSpawn("tdlFirmHdLoaderUSBUpdate", 100, VX_FP_TASK, 0x100000,
                      dlFirmHdLoaderUSBHdUpdate, (_Vx_usr_arg_t)part, partLength, k, 0, 0, 0, 0,
                      0, 0, 0) == -1) {
            printf("can not start partition all mount task\n");
            fprintf(dl_fp, "[dlFirmHdUpdate_USB] taskSpawn() error. can not start partition all mount task\n");
            free(part);
            return -1;
        }

        memset(message, 0, sizeof message);
        if (msgQReceive(dlFirmUpdateUSBQId, message, DL_HDD_LOADER_MSG_SIZE, WAIT_FOREVER) == -1) {
            printf("massage Q receive error\n");
            fprintf(dl_fp, "[dlFirmHdUpdate_USB] massage Q receive error\n");
            // The loader may not have finished with it.
            dlHddOrphanPart = part;
            return -1;
        }

        if (message[0] == DL_HDD_LOADER_OK) {
            memcpy(&consumed, message + 4, sizeof consumed);
            remainderLength = partLength - (INT32)consumed;
            // A buffer that ends with its last package leaves nothing to carry.
            if (remainderLength > 0) {
                remainder = (char *)malloc((size_t)remainderLength);
                if (remainder == NULL) {
                    printf("malloc failed\n");
                    fprintf(dl_fp, "[dlFirmHdUpdate_USB] malloc failed (zan)\n");
                    free(part);
                    return -1;
                }
                memcpy(remainder, part + consumed, (size_t)remainderLength);
            }
            HddRetryCount = 0;
            free(part);
            k++;
            continue;
        }

        printf("USB HDD Update Error\n");
        fprintf(dl_fp, "[dlFirmHdUpdate_USB] USB HDD Update Error\n");
        if (HddRetryCount == 1) {
            free(part);
            fprintf(dl_fp, "[dlFirmHdUpdate_USB] HddRetryCount == 1\n");
            return -1;
        }
        HddRetryCount = 1;
        // The same file again, behind the same remainder.
        if (k > 0 && remainderLength > 0) {
            remainder = (char *)malloc((size_t)remainderLength);
            if (remainder == NULL) {
                printf("malloc failed\n");
                fprintf(dl_fp, "[dlFirmHdUpdate_USB] malloc failed (retry zan)\n");
                free(part);
                return -1;
            }
            memcpy(remainder, part, (size_t)remainderLength);
        }
        free(part);
    }
    // Past the trailer the chain goes on: a package cut short, or packages
    // beyond what a loader's table holds.
    free(remainder);
    lost = dlFirmHddRemainderLost(remainderLength);
    if (lost > 0) {
        printf("USB HDD last file error: %d bytes not loaded\n", (int)lost);
        fprintf(dl_fp, "[dlFirmHdUpdate_USB] USB HDD last file error: %d bytes not loaded\n",
                (int)lost);
        return -1;
    }
    return 0;
}

int dlFirmHdUpdate_USB(UINT32 selection)
{
    INT32 sizes[DL_HDD_FILES_MAX];
    INT32 count = 0;
    int k;

    dl_fp = fopen(dlHddLogPath, "a+");
    if (dl_fp == NULL) {
        INT32 result = -1;

        printf("%s fopen() error.\n", dlHddLogPath);
        if (msgQSend(dlFirmUpdateHdQId, (char *)&result, 4, WAIT_FOREVER, MSG_PRI_NORMAL) == -1)
            printf("[dlFirmHdUpdate_USB]HDD SendMsgBuf failed (fopen() error)\n");
        return -1;
    }

    if (selection & DL_ITEM_HDD) {
        // Without its flag a cut power would leave a half-written disk that
        // the next boot cannot know of: the update is not started.
        if (setBitNvFlag(0x10, 0) != 0) {
            printf("HDD NVRAM flag set error\n");
            fprintf(dl_fp, "[dlFirmHdUpdate_USB] HDD NVRAM flag set error\n");
            return dlHddFailed();
        }
        DLBOARD_ARCHVIER_DISPLAY_YPOINT = 8;
        bootDispString(0, 42, 4, "HDD SYS Update .......");

        if (bootHdLoaderInit(0) == -1) {
            fprintf(dl_fp, "[dlFirmHdUpdate_USB] bootHdLoaderInit() error.\n");
            return dlHddFailed();
        }
        remove("/UND/HddUpdateProgress.log");
        remove("/UND/temp.db");
        remove("/UND/NG.bin");
        bootHdFormatOSPartition();

        dlFirmUpdateUSBQId = msgQCreate(5, DL_HDD_LOADER_MSG_SIZE, MSG_Q_PRIORITY);
        if (dlFirmUpdateUSBQId == NULL) {
            fprintf(dl_fp, "[dlFirmHdUpdate_USB] msgQCreate() error.\n");
            return dlHddFailed();
        }

        memset(sizes, 0, sizeof sizes);
        if (dlFirmUsbCheckHDD(&count, sizes) != 0) {
            fprintf(dl_fp, "[dlFirmHdUpdate_USB] dlFirmUsbCheckHDD() error.\n");
            return dlHddFailed();
        }
        // A file offered at the start that is gone now: the series would
        // end early with its packages never loaded.
        if (count < dlFirmHddSeriesCount) {
            printf("USB HDD file %d missing\n", (int)(count + 1));
            fprintf(dl_fp, "[dlFirmHdUpdate_USB] USB HDD file %d missing\n", (int)(count + 1));
            return dlHddFailed();
        }
        bootDispString(0, 0, 7, "  Download Storage -> HDD copying");

        if (dlHddLoadFiles(count, sizes) == -1)
            return dlHddFailed();

        bootDispString(0, 22, 7, "Backup file ");
        bootHdLoaderBackupPartAll("/PRF", "/ROM/PRF");
        bootDispString(0, 22, 7, "Completed   ");
        bootDispString(0, 67, 4, "Completed   ");
        bootDispString(0, 0, 7, "                                 ");
        for (k = 0; k < count; k++)
            bootDispString(0, 23, k + 8, "                 ");
        clearBitNvRAMFlags(0x10);
    }

    if (dlHddSendResult(0) == -1) {
        printf("Hd SendMsgBuf failed\n");
        fprintf(dl_fp, "[dlFirmHdUpdate_USB]HDD SendMsgBuf failed (OK)\n");
        dlHddCloseLog();
        return -1;
    }
    dlHddCloseLog();
    return 0;
}

} // namespace vx
