// HDD update task: prepares the hard disk, then loads the HDD package
// files one at a time through a loader task each, carrying the bytes of an
// unfinished package from one file into the next.
#include "update/hdd/dlFirmHDDUpdate.h"

#include "bootenv/bootEnv.h"
#include "bootenv/dlNamespace.h"
#include "update/session/dlFirmUpMain.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

DL_NAMESPACE_BEGIN

MSG_Q_ID dlFirmUpdateUSBQId;
INT32 HddRetryCount = 0;
INT32 dlFirmHddSeriesCount = 0;

// Loadings of one file repeated after a failed one before the update gives
// up.
static const int DL_HDD_FILE_RETRY_MAX = 1;

// Filler: all 0x00 or all 0xFF, but for a 0xFF in front (the pad that
// makes the chain even) and one in front of the last byte (the pad the
// pair swap puts into an odd length).
static int dlHddIsFiller(const char *rest, INT32 length)
{
    char fill;
    INT32 i;

    if (length <= 0)
        return 1;
    fill = rest[length - 1];
    if (fill != (char)0x00 && fill != (char)0xFF)
        return 0;
    for (i = 0; i < length - 1; i++)
        if (rest[i] != fill && !(rest[i] == (char)0xFF && (i == 0 || i == length - 2)))
            return 0;
    return 1;
}

INT32 dlFirmHddRemainderLost(const char *remainder, INT32 remainderLength)
{
    INT32 rest = 0;
    INT32 filler;

    if (remainderLength <= 0)
        return 0;
    if (remainder == NULL)
        return remainderLength;
    // The last package's CR LF (CR, pad, LF when the pair swap padded an
    // odd length); without its LF the chain was cut there.
    if (remainderLength >= 2 && remainder[0] == '\r' && remainder[1] == '\n')
        rest = 2;
    else if (remainderLength >= 3 && remainder[0] == '\r' && remainder[1] == (char)0xFF &&
             remainder[2] == '\n')
        rest = 3;
    else
        return remainderLength;
    filler = remainderLength - rest;
    return dlHddIsFiller(remainder + rest, filler) ? 0 : remainderLength;
}

// 1 when HDD package file `number` is on the storage.
static int dlHddFileExists(int number)
{
    char path[DL_HDD_PATH_SIZE];
    int fd;

    dlFirmHddPathMake(path, number);
    if (path[0] == '\0')
        return 0;
    fd = open(path, O_RDONLY, 0);
    if (fd < 0)
        return 0;
    close(fd);
    return 1;
}

static const char DL_HDD_TITLE[] = "HDD SYS Update .......";

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
    return dlFirmSendResult(dlFirmUpdateHdQId, result);
}

static void dlHddCloseLog()
{
    fclose(dl_fp);
    dl_fp = NULL;
}

// The failed ending of the task on its row and to the session driver.
static void dlHddReportFailed()
{
    bootDispString(0, 67, 4, "Failed   ");
    if (dlHddSendResult(-1) == -1) {
        printf("HDD SendMsgBuf failed\n");
        fprintf(dl_fp, "[dlFirmHdUpdate_USB]HDD SendMsgBuf failed (error)\n");
    }
}

// Loads files 1 to count: 0, or -1 after the failure has been reported.
static int dlHddLoadFiles(INT32 count, INT32 *sizes)
{
    char path[DL_HDD_PATH_SIZE];
    char message[DL_HDD_LOADER_MSG_SIZE];
    char *part = NULL;
    char *remainder = NULL;
    INT32 remainderLength = 0;
    INT32 partLength;
    UINT32 consumed;
    INT32 lost;
    int k = 0;
    int result = -1;

    HddRetryCount = 0;
    while (k < count) {
        dlFirmHddPathMake(path, k + 1);
        /* a size near the 32-bit limit leaves no room for the remainder
         * and the slack: no capacity, which the reader refuses */
        if (sizes[k] < 0 || sizes[k] > 0x7FFFFFFF - 128 - remainderLength)
            partLength = -1;
        else
            partLength = sizes[k] + remainderLength + 128;

        dlHddShowFile(k, count);

        if (copy(path, DL_TMP_HDD_BIN) == -1) {
            printf("[dlFirmHdUpdate_USB] %s copy error. \n", path);
        } else {
            memset(path, 0, sizeof path);
            strcpy(path, DL_TMP_HDD_BIN);
        }
        part = bootUsbStrageTenkai_HDD(path, &partLength, remainderLength);
        if (part == NULL) {
            printf("can not malloc memory\n");
            fprintf(dl_fp, "[dlFirmHdUpdate_USB] bootUsbStrageTenkai_HDD() error. can not malloc memory\n");
            goto out;
        }
        remove(DL_TMP_HDD_BIN);
        printf("start HD taskn");
        fprintf(dl_fp, "[dlFirmHdUpdate_USB] start HD task\n");

        if (remainder != NULL && remainderLength > 0) {
            memcpy(part, remainder, (size_t)remainderLength);
            partLength += remainderLength;
        }
        free(remainder);
        remainder = NULL;

        if (taskSpawn((char *)"tdlFirmHdLoaderUSBUpdate", 100, VX_FP_TASK, 0x100000,
                      DL_TASK_ENTRY(dlFirmHdLoaderUSBHdUpdate), DL_TASK_ARG(part), partLength, k, 0, 0, 0, 0,
                      0, 0, 0) == -1) {
            printf("can not start partition all mount task\n");
            fprintf(dl_fp,
                    "[dlFirmHdUpdate_USB] taskSpawn() error. can not start partition all mount task\n");
            goto out;
        }

        memset(message, 0, sizeof message);
        if (msgQReceive(dlFirmUpdateUSBQId, message, DL_HDD_LOADER_MSG_SIZE, WAIT_FOREVER) == -1) {
            printf("massage Q receive error\n");
            fprintf(dl_fp, "[dlFirmHdUpdate_USB] massage Q receive error\n");
            // The loader may not have finished with it.
            dlHddOrphanPart = part;
            part = NULL;
            goto out;
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
                    goto out;
                }
                memcpy(remainder, part + consumed, (size_t)remainderLength);
            }
            HddRetryCount = 0;
            free(part);
            part = NULL;
            k++;
            continue;
        }

        printf("USB HDD Update Error\n");
        fprintf(dl_fp, "[dlFirmHdUpdate_USB] USB HDD Update Error\n");
        if (HddRetryCount >= DL_HDD_FILE_RETRY_MAX) {
            fprintf(dl_fp, "[dlFirmHdUpdate_USB] HddRetryCount == %d\n", (int)HddRetryCount);
            goto out;
        }
        HddRetryCount++;
        // The same file again, behind the same remainder.
        if (k > 0 && remainderLength > 0) {
            remainder = (char *)malloc((size_t)remainderLength);
            if (remainder == NULL) {
                printf("malloc failed\n");
                fprintf(dl_fp, "[dlFirmHdUpdate_USB] malloc failed (retry zan)\n");
                goto out;
            }
            memcpy(remainder, part, (size_t)remainderLength);
        }
        free(part);
        part = NULL;
    }
    // Past the trailer the chain goes on: a package cut short, or packages
    // beyond what a loader's table holds.
    lost = dlFirmHddRemainderLost(remainder, remainderLength);
    if (lost > 0) {
        printf("USB HDD last file error: %d bytes not loaded\n", (int)lost);
        fprintf(dl_fp, "[dlFirmHdUpdate_USB] USB HDD last file error: %d bytes not loaded\n", (int)lost);
        goto out;
    }
    result = 0;

out:
    free(part);
    free(remainder);
    return result;
}

int dlFirmHdUpdate_USB(UINT32 selection)
{
    INT32 sizes[DL_HDD_FILES_MAX];
    INT32 count = 0;
    // Set once the update got through: from then on no failure is shown.
    int updated = 0;
    int result = -1;
    int k;

    dl_fp = fopen(DL_TMP_PROGRESS_LOG, "a+");
    if (dl_fp == NULL) {
        printf("%s fopen() error.\n", DL_TMP_PROGRESS_LOG);
        if (dlFirmSendResult(dlFirmUpdateHdQId, -1) == -1)
            printf("[dlFirmHdUpdate_USB]HDD SendMsgBuf failed (fopen() error)\n");
        return -1;
    }

    if (selection & DL_ITEM_HDD) {
        // Without its flag a cut power would leave a half-written disk that
        // the next boot cannot know of: the update is not started. The row
        // still gets its title before its ending.
        if (setBitNvFlag(DL_NVFLAG_HDD, 0) != 0) {
            printf("HDD NVRAM flag set error\n");
            fprintf(dl_fp, "[dlFirmHdUpdate_USB] HDD NVRAM flag set error\n");
            bootDispString(0, 42, 4, DL_HDD_TITLE);
            goto out;
        }
        DLBOARD_ARCHVIER_DISPLAY_YPOINT = 8;
        bootDispString(0, 42, 4, DL_HDD_TITLE);

        if (bootHdLoaderInit(0) == -1) {
            fprintf(dl_fp, "[dlFirmHdUpdate_USB] bootHdLoaderInit() error.\n");
            goto out;
        }
        remove(DL_UND_PROGRESS_LOG);
        remove(DL_UND_TEMP_DB);
        remove(DL_UND_NG_BIN);
        bootHdFormatOSPartition();

        dlFirmUpdateUSBQId = msgQCreate(5, DL_HDD_LOADER_MSG_SIZE, MSG_Q_PRIORITY);
        if (dlFirmUpdateUSBQId == NULL) {
            fprintf(dl_fp, "[dlFirmHdUpdate_USB] msgQCreate() error.\n");
            goto out;
        }

        memset(sizes, 0, sizeof sizes);
        if (dlFirmUsbCheckHDD(&count, sizes) != 0) {
            fprintf(dl_fp, "[dlFirmHdUpdate_USB] dlFirmUsbCheckHDD() error.\n");
            goto out;
        }
        // A file offered at the start that is gone now: the series would
        // end early with its packages never loaded.
        if (count < dlFirmHddSeriesCount) {
            printf("USB HDD file %d missing\n", (int)(count + 1));
            fprintf(dl_fp, "[dlFirmHdUpdate_USB] USB HDD file %d missing\n", (int)(count + 1));
            goto out;
        }
        // A file past the last one loaded would be left out unseen.
        if (dlHddFileExists(DL_HDD_FILES_MAX + 1)) {
            printf("USB HDD file %d beyond the last file loaded\n", DL_HDD_FILES_MAX + 1);
            fprintf(dl_fp, "[dlFirmHdUpdate_USB] USB HDD file %d beyond the last file loaded\n",
                    DL_HDD_FILES_MAX + 1);
            goto out;
        }
        bootDispString(0, 0, 7, "  Download Storage -> HDD copying");

        if (dlHddLoadFiles(count, sizes) == -1)
            goto out;

        bootDispString(0, 22, 7, "Backup file ");
        bootHdLoaderBackupPartAll("/PRF", "/ROM/PRF");
        bootDispString(0, 22, 7, "Completed   ");
        bootDispString(0, 67, 4, "Completed   ");
        bootDispString(0, 0, 7, "                                 ");
        for (k = 0; k < count; k++)
            bootDispString(0, 23, k + 8, "                 ");
        clearBitNvRAMFlags(DL_NVFLAG_HDD);
    }

    updated = 1;
    if (dlHddSendResult(0) == -1) {
        printf("Hd SendMsgBuf failed\n");
        fprintf(dl_fp, "[dlFirmHdUpdate_USB]HDD SendMsgBuf failed (OK)\n");
        goto out;
    }
    result = 0;

out:
    if (!updated)
        dlHddReportFailed();
    dlHddCloseLog();
    return result;
}

DL_NAMESPACE_END
