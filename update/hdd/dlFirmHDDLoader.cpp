// HDD package loader: the task that expands the packages of one part
// buffer onto the hard disk, and the directory maker it uses.
#include "update/hdd/dlFirmHDDUpdate.h"

#include "bootenv/bootEnv.h"
#include "bootenv/dlNamespace.h"
#include "update/session/dlFirmUpMain.h"
#include "update/staging/dlFirmUpSubFunction.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

DL_NAMESPACE_BEGIN

// Expansions of one package repeated after a failed one before the loader
// gives up.
static const int DL_HDD_INFLATE_RETRY_MAX = 20;

/*
 * Directories
 */

// 1 when `path` climbs above the root of the device that serves it: such a
// destination would lie outside the device.
static int dlBoardPathLeavesDevice(const char *path)
{
    char *tail = (char *)path;
    const char *p;
    size_t len;
    int depth = 0;

    iosDevFind((char *)path, &tail);
    if (tail == NULL)
        tail = (char *)path;
    for (p = tail; *p != '\0'; p += len) {
        while (*p == '/')
            p++;
        len = strcspn(p, "/");
        if (len == 2 && p[0] == '.' && p[1] == '.') {
            if (--depth < 0)
                return 1;
        } else if (len > 0 && !(len == 1 && p[0] == '.')) {
            depth++;
        }
    }
    return 0;
}

int dlBoardCreateDir(DL_DIR_INFO *entries, int count)
{
    char workPath[DL_DB_NAME_SIZE];
    char targetPath[DL_DB_NAME_SIZE];
    size_t len;
    char *slash;
    DIR *dir;
    int passes;
    int made;
    int i;

    for (i = 0; i < count; i++) {
        // The name and every path cut from it must fit the work buffers.
        len = strnlen(entries[i].dbName, DL_DB_NAME_SIZE);
        if (len >= (size_t)DL_DB_NAME_SIZE)
            return -1;
        if (dlBoardPathLeavesDevice(entries[i].dbName))
            return -1;

        memset(workPath, 0, sizeof workPath);
        memcpy(workPath, entries[i].dbName, len);
        slash = strrchr(workPath, '/');
        if (slash == NULL || slash == workPath)
            continue;
        *slash = '\0';
        strcpy(targetPath, workPath);

        dir = opendir(targetPath);
        if (dir != NULL) {
            closedir(dir);
            continue;
        }

        // Each pass makes the topmost missing directory. A pass can succeed
        // only once per level, unless the maker also "makes" what exists.
        passes = 1;
        for (slash = targetPath; *slash != '\0'; slash++)
            if (*slash == '/')
                passes++;
        for (;;) {
            if (passes-- <= 0)
                return -1;
            strcpy(workPath, targetPath);
            made = 0;
            while (workPath[0] != '\0') {
                if (catMkdir(workPath) == 0) {
                    made = 1;
                    break;
                }
                slash = strrchr(workPath, '/');
                if (slash == NULL)
                    workPath[0] = '\0';
                else
                    *slash = '\0';
            }
            if (!made)
                return -1;
            if (strcmp(workPath, targetPath) == 0)
                break;
        }
    }
    return 0;
}

/*
 * Loader task
 */

// Size of an expanded file; -1 when it cannot be measured. An expansion
// that does not give the package's stated size has failed.
static int dlHddExpandedSize(const char *path)
{
    int fd = open(path, O_RDONLY, 0);
    int size;

    if (fd < 0)
        return -1;
    size = lseek(fd, 0, SEEK_END);
    close(fd);
    return size;
}

// The status message; the consumed length only with success.
static int dlHddLoaderSend(char status, UINT32 consumed)
{
    char message[DL_HDD_LOADER_MSG_SIZE];

    memset(message, 0, sizeof message);
    message[0] = status;
    if (status == DL_HDD_LOADER_OK)
        memcpy(message + 4, &consumed, sizeof consumed);
    return msgQSend(dlFirmUpdateUSBQId, message, DL_HDD_LOADER_MSG_SIZE, WAIT_FOREVER, MSG_PRI_NORMAL);
}

static int dlHddLoaderFail()
{
    if (dlHddLoaderSend(DL_HDD_LOADER_NG, 0) == -1) {
        printf("msgQSend failed\n");
        // The log is gone when the update task stopped waiting for us.
        if (dl_fp != NULL)
            fprintf(dl_fp, "[dlFirmHdLoaderUSBHdUpdate] msgQSend failed (error)\n");
    }
    return -1;
}

int dlFirmHdLoaderUSBHdUpdate(char *buffer, INT32 length, INT32 fileIndex)
{
    // Local data of the task: its stack is 1 MiB.
    DL_DB_INFO dbInfo[DL_DB_TABLE_HDD];
    DL_DB_END dbEnd;
    DL_DIR_INFO *dirInfo = NULL;
    char destination[DL_DB_NAME_SIZE];
    char countText[8];
    UINT32 consumed;
    int row;
    int count;
    int reTryCount;
    int fd;
    int i;
    // Set once every package is expanded: from then on no NG is sent.
    int expanded = 0;
    int result = -1;

    row = (fileIndex < 7) ? fileIndex + 8 : 14;

    if (bootUpdateTempDevCreate3() == -1) {
        if (dl_fp != NULL)
            fprintf(dl_fp, "[dlFirmHdLoaderUSBHdUpdate] bootUpdateTempDevCreate3() error.\n");
        goto out;
    }

    // The table holds 2048 records: packages beyond stay for the next file.
    count = dlFirmGetDBInfoChecked(dbInfo, buffer, length, DL_DB_CHAIN, DL_DB_TABLE_HDD, &dbEnd);
    // A damaged package would put another's data under its name, or lose
    // the packages behind it: nothing of this file is loaded.
    if (dbEnd.damage != DL_DB_WHOLE) {
        printf("bootHdLoaderUSBHdUpdate:damaged package in file %d\n", (int)fileIndex + 1);
        if (dl_fp != NULL)
            fprintf(dl_fp, "[dlFirmHdLoaderUSBHdUpdate] file %d: damaged package at %d: %s\n",
                    (int)fileIndex + 1, (int)dbEnd.offset, dlFirmDbDamageText(dbEnd.damage));
        goto out;
    }
    if (count == 0) {
        printf("bootHdLoaderUSBHdUpdate:can not get DB infomation\n");
        if (dl_fp != NULL)
            fprintf(dl_fp, "[dlFirmHdLoaderUSBHdUpdate] dlFirmGetDBInfo() can not get DB infomation\n");
        goto out;
    }

    dirInfo = (DL_DIR_INFO *)malloc(sizeof(DL_DIR_INFO) * (size_t)count);
    if (dirInfo == NULL) {
        printf("bootHdLoaderUSBHdUpdate malloc error \n");
        if (dl_fp != NULL)
            fprintf(dl_fp, "[dlFirmHdLoaderUSBHdUpdate] malloc error \n");
        goto out;
    }
    for (i = 0; i < count; i++) {
        dirInfo[i].dataStart = dbInfo[i].dataStart;
        dirInfo[i].expandedSize = dbInfo[i].expandedSize;
        dirInfo[i].dbName = dbInfo[i].dbName;
        dirInfo[i].version = dbInfo[i].version;
        dirInfo[i].comment = dbInfo[i].comment;
    }
    if (dlBoardCreateDir(dirInfo, count) == -1) {
        printf("bootHdLoaderUSBHdUpdate:can not make directory\n");
        if (dl_fp != NULL)
            fprintf(dl_fp, "[dlFirmHdLoaderUSBHdUpdate] dlBoardCreateDir() error. can not make directory\n");
        goto out;
    }
    free(dirInfo);
    dirInfo = NULL;

    // At most 2048 packages: the counters fit the buffer.
    memset(countText, 0, sizeof countText);
    if (snprintf(countText, sizeof countText, "/%4d", count) < (int)sizeof countText)
        bootDispString(0, 33, row, countText);

    i = 0;
    reTryCount = 0;
    while (i < count) {
        // dlBoardCreateDir has seen every name shorter than the buffer.
        memset(destination, 0, sizeof destination);
        strncpy(destination, dbInfo[i].dbName, sizeof destination - 1);

        fd = open(DL_TMP_TEMP_DB, O_RDWR | O_CREAT, 0);
        if (fd <= 0) {
            printf("bootHdLoaderUSBHdUpdate: can not open file\n");
            if (dl_fp != NULL)
                fprintf(dl_fp, "[dlFirmHdLoaderUSBHdUpdate] %s open() error. can not open file %d/%d\n",
                        DL_TMP_TEMP_DB, i, count);
            goto out;
        }
        write(fd, dbInfo[i].dataStart, (size_t)dbInfo[i].compressedSize);
        close(fd);

        if (dlBoardArchiver(100, DL_TMP_TEMP_DB, destination, 0) == 0 &&
            dlHddExpandedSize(destination) == dbInfo[i].expandedSize) {
            reTryCount = 0;
            i++;
        } else {
            printf("bootHdLoaderUSBHdUpdate:reTry\n");
            reTryCount++;
            if (dl_fp != NULL)
                fprintf(dl_fp, "[dlFirmHdLoaderUSBHdUpdate] dlBoardArchiver() error. reTry %s  %d/%d\n",
                        destination, i, count);
            if (reTryCount > DL_HDD_INFLATE_RETRY_MAX) {
                printf("bootHdLoaderUSBHdUpdate:inflate can not success\n");
                if (dl_fp != NULL)
                    fprintf(dl_fp, "[dlFirmHdLoaderUSBHdUpdate] inflate can not success (reTryCount > %d)\n",
                            DL_HDD_INFLATE_RETRY_MAX);
                // Left for the service engineer: the package and what it became.
                copy(DL_TMP_TEMP_DB, DL_UND_TEMP_DB);
                copy(destination, DL_UND_NG_BIN);
                goto out;
            }
        }
        remove(DL_TMP_TEMP_DB);

        memset(countText, 0, sizeof countText);
        if (snprintf(countText, sizeof countText, "%4d", i) < (int)sizeof countText)
            bootDispString(0, 29, row, countText);
    }

    expanded = 1;
    // Everything from the end of the last package's data is the remainder.
    consumed = (UINT32)(dbInfo[count - 1].dataStart + dbInfo[count - 1].compressedSize - buffer);
    if (dlHddLoaderSend(DL_HDD_LOADER_OK, consumed) == -1) {
        printf("msgQSend failed\n");
        if (dl_fp != NULL)
            fprintf(dl_fp, "[dlFirmHdLoaderUSBHdUpdate] msgQSend failed (OK)\n");
        goto out;
    }
    // The update task waits at our priority, so this line is written
    // before it runs again.
    printf("bootHdLoaderUSBUpdate...Completed\n");
    if (dl_fp != NULL)
        fprintf(dl_fp, "[dlFirmHdLoaderUSBHdUpdate] bootHdLoaderUSBUpdate...Completed\n");
    result = 0;

out:
    free(dirInfo);
    if (!expanded)
        result = dlHddLoaderFail();
    return result;
}

DL_NAMESPACE_END
