// HDD image check and staging: the numbered HDD package files on the
// storage, and one of them read into a part buffer.
#include "update/hdd/dlFirmHDDUpdate.h"
#include "bootenv/dlNamespace.h"

#include "update/session/dlFirmUpMain.h"
#include "update/staging/dlFirmUpSubFunction.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

DL_NAMESPACE_BEGIN

void dlFirmHddPathMake(char *path, int number)
{
    memset(path, 0, DL_HDD_PATH_SIZE);
    if (dlupdateFolderCheckFlag == 1)
        sprintf(path, "/usbstor/0/fwstore/%d", number);
    else if (dlupdateFolderCheckFlag == 0)
        sprintf(path, "/usbstor/0/%d", number);
}

int dlFirmUsbCheckHDD(INT32 *count, INT32 *sizes)
{
    char path[DL_HDD_PATH_SIZE];
    char found[DL_HDD_FILES_MAX];
    INT32 files = 0;
    int missing = 0;
    int fd;
    int n;

    if (count == NULL || sizes == NULL)
        return -1;
    memset(found, 0, sizeof found);
    *count = 0;

    for (n = 1; n <= DL_HDD_FILES_MAX; n++) {
        dlFirmHddPathMake(path, n);
        if (path[0] == '\0')
            continue;
        fd = open(path, O_RDONLY, 0);
        if (fd < 0)
            continue;
        sizes[n - 1] += lseek(fd, 0, SEEK_END);
        printf("file Size  %d  %ld\n", n - 1, (long)sizes[n - 1]);
        if (dl_fp != NULL)
            fprintf(dl_fp, "[dlFirmUsbCheckHDD] file Size  %d  %ld\n", n - 1, (long)sizes[n - 1]);
        files++;
        close(fd);
        found[n - 1] = 1;
    }
    if (files == 0)
        return -1;

    // A present number after a missing one breaks the series.
    for (n = 0; n < DL_HDD_FILES_MAX; n++) {
        if (found[n] == 0)
            missing = 1;
        else if (missing)
            return -1;
    }
    *count = files;
    return 0;
}

char *bootUsbStrageTenkai_HDD(const char *path, INT32 *length, INT32 offset)
{
    char *buffer = NULL;
    char *result = NULL;
    INT32 capacity = 0;
    INT32 total = 0;
    int fd = -1;
    int end;
    int unmeasured = 0;

    if (length == NULL)
        return NULL;
    capacity = *length;
    if (capacity >= 0)
        buffer = (char *)malloc((size_t)capacity);
    if (buffer == NULL) {
        printf("bootUsbStrageTenkai_HDD malloc error \n");
        if (dl_fp != NULL)
            fprintf(dl_fp, "[bootUsbStrageTenkai_HDD] bootUsbStrageTenkai_HDD malloc error \n");
        goto out;
    }
    printf("hdfile %s\n", path != NULL ? path : "");
    if (dl_fp != NULL)
        fprintf(dl_fp, "[bootUsbStrageTenkai_HDD] hdfile %s\n", path != NULL ? path : "");
    memset(buffer, 0, (size_t)capacity);

    if (path != NULL)
        fd = open(path, O_RDONLY, 0);
    if (fd >= 0) {
        // The swap reader takes no bound: measure the file first, so that
        // content longer than the room behind the offset is never read.
        end = lseek(fd, 0, SEEK_END);
        lseek(fd, 0, SEEK_SET);
        /* a size beyond 32 bits cannot be stated: it fits no buffer */
        unmeasured = end < 0;
        if (end > 0)
            total = end + (end & 1);
        if (offset >= 0 && offset <= capacity && total > 0 && total <= capacity - offset) {
            // The update task must answer the session even without memory.
            total = dlFirmUsbReadMem_SwapTry(buffer + offset, fd);
            if (total < 0) {
                if (dl_fp != NULL)
                    fprintf(dl_fp, "[bootUsbStrageTenkai_HDD] malloc error \n");
                goto out;
            }
        }
        printf("total_HDDsize=%d\n", (int)total);
        if (dl_fp != NULL)
            fprintf(dl_fp, "[bootUsbStrageTenkai_HDD] total_HDDsize=%d\n", (int)total);
    }

    if (unmeasured || offset < 0 || offset > capacity || total > capacity - offset) {
        printf("file size over \n");
        if (dl_fp != NULL)
            fprintf(dl_fp, "[bootUsbStrageTenkai_HDD] file size over \n");
    } else if (total > 0) {
        *length = total;
        result = buffer;
        buffer = NULL;
    }

out:
    if (result == NULL)
        *length = 0;
    free(buffer);
    if (fd >= 0)
        close(fd);
    return result;
}

DL_NAMESPACE_END
