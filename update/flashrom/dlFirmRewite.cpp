// The flash ROM rewrite of the OS UI image: the image is written unchanged
// and checked only by reading it back byte for byte.
#include "update/flashrom/dlFirmRewite.h"

#include "bootenv/bootEnv.h"
#include "bootenv/dlNamespace.h"
#include "update/session/dlFirmUpMain.h"

#include <stdint.h>
#include <string.h>

DL_NAMESPACE_BEGIN

volatile INT32 dlFirmfromRewriteStatus = -1;

// Erase, write and verify rounds repeated after a failed one.
static const int DL_FRW_RETRY_MAX = 1;

namespace {

constexpr int DL_FRW_TARGET_FROM = 1;
constexpr int DL_FRW_TARGET_NUM = 2;
constexpr UINT32 DL_FROM_ALL_BASE = 0xFF000000u;
constexpr UINT32 DL_FROM_ALL_SIZE = 0x01000000u;
constexpr int DL_FROM_IOCTL_ERASE = 2;
// Slack behind the image in its buffer.
constexpr int DL_FRW_IMAGE_PAD = 18;

// Indexed by target number; entry 0 stays empty.
char devName[DL_FRW_TARGET_NUM][16] = {"", "/dlfromALL/"};
char srcFile[DL_FRW_TARGET_NUM][16] = {"", "from.bin"};

// A stage's first success sets its progress value and step and restarts
// the repetition count, so each stage gets its own repetition; a repeated
// success advances the progress by the step. Volatile operands may not be
// compound-assigned: one load, one store.
void dlFrwStageDone(INT32 value, INT32 stageStep, INT32 *step, int *retry)
{
    if (dlFirmfromRewriteStatus < value) {
        dlFirmfromRewriteStatus = value;
        *step = stageStep;
        *retry = 0;
    } else {
        dlFirmfromRewriteStatus = dlFirmfromRewriteStatus + *step;
    }
}

} // namespace

int dlfrwInit() { return dlfrwCreateDevice(); }

int dlfrwCreateDevice()
{
    if (fromDevCreate(devName[DL_FRW_TARGET_FROM], DL_FROM_ALL_BASE, DL_FROM_ALL_SIZE) != OK)
        return ERROR;
    return OK;
}

char *dlgetDefaultFile(int target)
{
    if (target != DL_FRW_TARGET_FROM)
        return NULL;
    return srcFile[target];
}

long getFileSize(FILE *stream)
{
    fseek(stream, 0, SEEK_END);
    return ftell(stream);
}

int readFileNoCheck(FILE *stream, char **buffer)
{
    long size = getFileSize(stream);
    if (size <= 0)
        return (int)size;
    // The size and its slack must fit the int the callers pass around.
    if (size > INT32_MAX - DL_FRW_IMAGE_PAD)
        return ERROR;

    char *image = (char *)malloc((size_t)size + DL_FRW_IMAGE_PAD);
    if (image == NULL)
        return ERROR;
    memset(image, 0, (size_t)size + DL_FRW_IMAGE_PAD);
    dlFirmfromRewriteStatus = 20;

    fseek(stream, 0, SEEK_SET);
    if (fread(image, 1, (size_t)size, stream) != (size_t)size) {
        free(image);
        return 0;
    }
    dlFirmfromRewriteStatus = 30;
    dlFirmfromRewriteStatus = 40;
    *buffer = image;
    return (int)size;
}

int verifyFRom(int fd, char *start, char *end)
{
    if (lseek(fd, 0, SEEK_SET) != 0)
        return ERROR;
    for (char *p = start; p < end; ++p) {
        char c = 0;
        if (read(fd, &c, 1) < 1 || c != *p)
            return ERROR;
    }
    return OK;
}

int rewriteFRomDevice(int fd, char *buffer, int size, int /*mode*/)
{
    int retry = 0;
    INT32 step = 0;

    for (;;) {
        if (ioctl(fd, DL_FROM_IOCTL_ERASE, 0) == OK) {
            dlFrwStageDone(70, 3, &step, &retry);
            if (lseek(fd, 0, SEEK_SET) != 0)
                return ERROR;

            bootDispString(0, 24, 4, "Installing  ");
            if (write(fd, buffer, (size_t)size) == size) {
                dlFrwStageDone(80, 2, &step, &retry);
                bootDispString(0, 24, 4, "Completed   ");
                bootDispString(0, 24, 5, "Verifying   ");
                int verified = verifyFRom(fd, buffer, buffer + size);
                bootDispString(0, 24, 5, "Completed   ");
                if (verified == OK)
                    return OK;
            }
        }
        ++retry;
        if (retry > DL_FRW_RETRY_MAX)
            return ERROR;
    }
}

int rewriteFRom(int target, int nvFlag, char *buffer, int size)
{
    FROM_DEV_INFO info;
    int result = ERROR;
    int fd;

    if (target != DL_FRW_TARGET_FROM)
        return ERROR;

    memset(&info, 0, sizeof info);
    if (fromDevGetInfo(devName[target], &info) != OK) {
        printf("Cannot get device(%s) \n", devName[target]);
        return ERROR;
    }
    if (size > info.size) {
        printf("Data size(%d) is larger than target area\n", size);
        return ERROR;
    }

    fd = open(devName[target], O_RDWR, 0);
    if (fd == ERROR) {
        printf("Cannot open device file.\n");
        return ERROR;
    }
    dlFirmfromRewriteStatus = 50;
    // Marked before the area is unlocked: an interrupted rewrite stays
    // visible in NVRAM.
    if (setBitNvFlag(DL_NVFLAG_FROM, nvFlag) != OK)
        goto out;
    dlFirmfromRewriteStatus = 60;

    fromDevUnlock(info.lockArg1, info.lockArg2);
    if (rewriteFRomDevice(fd, buffer, size, 1) == OK)
        result = OK;
    fromDevLock(info.lockArg1, info.lockArg2);

out:
    close(fd);
    return result;
}

int dlFirmRewriteNoCheckSum(int target, int nvFlag, const char *path)
{
    const char *file = path;
    if (file == NULL || file[0] == '\0')
        file = dlgetDefaultFile(target);
    if (file == NULL)
        return ERROR;

    FILE *fp = fopen(file, "rb");
    if (fp == NULL)
        return ERROR;
    dlFirmfromRewriteStatus = 10;

    char *image = NULL;
    int size = readFileNoCheck(fp, &image);
    fclose(fp);
    if (size <= 0)
        return ERROR;

    int result = rewriteFRom(target, nvFlag, image, size);
    free(image);
    if (result != OK)
        return ERROR;
    dlFirmfromRewriteStatus = 90;

    // Cleared only after a verified write.
    if (clearBitNvRAMFlags(DL_NVFLAG_FROM) != OK) {
        printf("[dlFirmRewrite]NVMFlagClearERROR!!\n");
        return ERROR;
    }
    dlFirmfromRewriteStatus = 100;
    printf("[dlFirmRewrite]frwRewrite: done.\n");
    return OK;
}

DL_NAMESPACE_END
