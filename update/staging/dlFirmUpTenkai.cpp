// Target image extraction and the staging sequence: the media image files
// are copied into the RAM disk and turned into the files the update tasks
// consume.
#include "update/staging/dlFirmUpSubFunction.h"

#include "bootenv/bootEnv.h"
#include "bootenv/dlNamespace.h"
#include "bootenv/vxWorks.h"
#include "update/hdd/dlFirmHDDUpdate.h"
#include "update/session/dlFirmUpMain.h"
#include "update/version/dlFirmVersion.h"

#include <cstdio>
#include <cstring>

DL_NAMESPACE_BEGIN

static const char DL_ROM_SYS_DUMMY[] = "/ROM/sysDummy.txt";

/* Files made afresh for a session; a longer one of an earlier session in
 * the same boot must not leave its tail behind the new content. */
static const int DL_CREATE_NEW = O_RDWR | O_CREAT | O_TRUNC;
/* "/TMP/temp.db": the archiver reads one stream and ignores what follows. */
static const int DL_CREATE_KEEP = O_RDWR | O_CREAT;
static const int DL_FILE_MODE = 0644;

/* Inflate retries per package before giving up. */
static const int DL_INFLATE_RETRY_MAX = 20;

/* The first 128 bytes of image 1 as staged in this session, with a NUL
 * after them; the SYS version's fallback reads them even when the flash
 * image file they head was not made. */
static char dlFirmImage1Head[128 + 1];
static int dlFirmImage1HeadKept = 0;

/* Reads the file from its position into `area` in chunks until `limit`
 * bytes are there or a read gives nothing; returns the bytes read. */
static int dlFirmReadToArea(int fd, char *area, int limit)
{
    int total = 0;
    int piece;
    int n;

    while (total < limit) {
        piece = limit - total;
        if (piece > DL_SWAP_CHUNK)
            piece = DL_SWAP_CHUNK;
        n = read(fd, area + total, piece);
        if (n <= 0)
            break;
        total += n;
    }
    return total;
}

/* Writes `length` bytes in chunks, each advancing by what the write
 * reports, until all are written or a write reports nothing; returns the
 * bytes written. */
static int dlFirmWriteFromArea(int fd, char *area, int length)
{
    int done = 0;
    int piece;
    int n;

    while (done < length) {
        piece = length - done;
        if (piece > DL_SWAP_CHUNK)
            piece = DL_SWAP_CHUNK;
        n = write(fd, area + done, piece);
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

/* Length of an open file, the position left at its start; -1 when it
 * cannot be measured. */
static int dlFirmFileLength(int fd)
{
    int end = lseek(fd, 0, SEEK_END);

    lseek(fd, 0, SEEK_SET);
    return end;
}

/* Writes one package's compressed data to "/TMP/temp.db". */
static int dlFirmWriteTempDb(DL_DB_INFO *rec)
{
    int fd;

    fd = open(DL_TMP_TEMP_DB, DL_CREATE_KEEP, DL_FILE_MODE);
    if (fd <= 0) {
        printf("dlBoardUpdateHDMain: can not open file\n");
        return ERROR;
    }
    dlFirmWriteFromArea(fd, rec->dataStart, rec->compressedSize);
    close(fd);
    return OK;
}

/* Size of the file at `path`; -1 when it cannot be opened or measured. */
static int dlFirmPathSize(const char *path)
{
    int fd = open(path, O_RDONLY, 0);
    int size;

    if (fd == ERROR)
        return ERROR;
    size = lseek(fd, 0, SEEK_END);
    close(fd);
    return size;
}

/* Inflates "/TMP/temp.db" to `name`, retrying a failed inflate, and removes
 * it; a failure leaves it for a look afterwards. An inflate that does not
 * give the package's stated size has failed too: a stream cut or changed
 * where its check cannot see it. */
static int dlFirmInflateTempDb(const char *name, INT32 expandedSize)
{
    int retry = 0;
    int size = 0;
    int inflated;

    for (;;) {
        inflated = dlBoardArchiver(100, DL_TMP_TEMP_DB, name, 0) == 0;
        if (inflated) {
            size = dlFirmPathSize(name);
            if (size == expandedSize)
                break;
        }
        retry++;
        printf("dlBoardUpdateHDMain:reTry\n");
        if (retry > DL_INFLATE_RETRY_MAX) {
            if (inflated)
                printf("dlBoardUpdateHDMain:%s is %d bytes, EXPANDEDSIZE %d\n", name, size,
                       (int)expandedSize);
            printf("dlBoardUpdateHDMain:inflate can not success\n");
            return ERROR;
        }
    }
    remove(DL_TMP_TEMP_DB);
    return OK;
}

/* 1 when each package of the flash ROM image lies within the `imageLen`
 * bytes read from the stick and expands to its stated size. The image is
 * flashed as it stands, packages included, so a package cut or changed on
 * the stick would otherwise reach the flash. */
static int dlFirmFromPackagesWhole(DL_DB_INFO *dbInfo, int dbNumber, char *area, int imageLen)
{
    int i;
    int ok;

    for (i = 0; i < dbNumber; i++) {
        /* the data and its CR LF */
        if ((int)(dbInfo[i].dataStart - area) + dbInfo[i].compressedSize + 2 > imageLen) {
            printf("UI package %d cut short\n", i + 1);
            return 0;
        }
        if (dlFirmWriteTempDb(&dbInfo[i]) != OK)
            return 0;
        ok = dlBoardArchiver(100, DL_TMP_TEMP_DB, DL_TMP_FROM_CHECK, 0) == 0 &&
             dlFirmPathSize(DL_TMP_FROM_CHECK) == dbInfo[i].expandedSize;
        remove(DL_TMP_TEMP_DB);
        remove(DL_TMP_FROM_CHECK);
        if (!ok) {
            printf("UI package %d does not expand to its size\n", i + 1);
            return 0;
        }
    }
    return 1;
}

/* Length of the NUL-ended text at `text`, looked at up to `end` and at most
 * `max` characters; `max` when it is longer. */
static int dlFirmTextLength(const char *text, const char *end, int max)
{
    int len = 0;

    while (len < max && text + len < end && text[len] != '\0')
        len++;
    return len;
}

/*
 * Flash image file "/TMP/from.bin": image 1, then the upper half of the
 * image area, then its lower half.
 */
int dlFirmFromTenkai(char *versionTable)
{
    DL_DB_INFO dbInfo[DL_DB_TABLE_IMAGE];
    DL_DB_END dbEnd;
    char *buf = NULL;
    char *area = NULL;
    int fromFd;
    int fd;
    int n;
    int length;
    int total;
    int imageLen = 0;
    int dbNumber;
    /* cleared by anything that would put a cut or misplaced image into
     * the flash: the file is then not left for the OS UI update */
    int whole = 1;
    /* image 0 longer than the area: neither it nor from.bin stays */
    int tooLong = 0;
    int result = ERROR;

    fromFd = open(DL_TMP_FROM_BIN, DL_CREATE_NEW, DL_FILE_MODE);
    if (fromFd == ERROR) {
        printf("from.bin open error\n");
        return ERROR;
    }

    buf = (char *)malloc(DL_SWAP_CHUNK);
    if (buf == NULL) {
        printf("malloc error \n");
        goto out;
    }
    memset(buf, 0, DL_SWAP_CHUNK);

    /* image 1 goes first: without all of it image 0 lands at the wrong
     * offset of the flash */
    fd = open(DL_TMP_IMAGE1, O_RDONLY, 0);
    if (fd != ERROR) {
        length = dlFirmFileLength(fd);
        total = 0;
        while ((n = read(fd, buf, DL_SWAP_CHUNK)) > 0) {
            if (total == 0) {
                memset(dlFirmImage1Head, 0, sizeof(dlFirmImage1Head));
                memcpy(dlFirmImage1Head, buf, n < 128 ? n : 128);
                dlFirmImage1HeadKept = 1;
            }
            if (write(fromFd, buf, n) != n)
                whole = 0;
            total += n;
        }
        if (total == 0 || total != length)
            whole = 0;
        close(fd);
    } else {
        whole = 0;
    }
    remove(DL_TMP_IMAGE1);

    area = (char *)malloc(DL_FROM_IMAGE_SIZE);
    if (area == NULL) {
        printf("malloc error \n");
        goto out;
    }
    memset(area, 0, DL_FROM_IMAGE_SIZE);
    memset(buf, 0, DL_SWAP_CHUNK);

    fd = open(DL_TMP_IMAGE0, O_RDONLY, 0);
    if (fd != ERROR) {
        /* a longer image is no flash ROM image: write nothing cut */
        length = dlFirmFileLength(fd);
        if (length > DL_FROM_IMAGE_SIZE) {
            printf("firmImage0.bin size over\n");
            close(fd);
            tooLong = 1;
            goto out;
        }
        imageLen = dlFirmReadToArea(fd, area, DL_FROM_IMAGE_SIZE);
        if (imageLen != length)
            whole = 0;
        close(fd);
    } else {
        whole = 0;
    }

    memset(dbInfo, 0, sizeof(dbInfo));
    dbNumber =
        dlFirmGetDBInfoChecked(dbInfo, area, DL_FROM_IMAGE_SIZE, DL_DB_FIXED, DL_DB_TABLE_IMAGE, &dbEnd);
    if (dbNumber == 3)
        dlFirmUsbVersionGet(versionTable, 3, dbInfo, NULL, DL_VER_FROM);
    else
        printf("can not UI Version dbNumber=%d\n", dbNumber);
    /* one or two packages still make an image; none is no OS UI image, and
     * a damaged or cut one is a damaged image */
    if (dbNumber == 0 || dbEnd.damage != DL_DB_WHOLE)
        whole = 0;
    if (whole && !dlFirmFromPackagesWhole(dbInfo, dbNumber, area, imageLen))
        whole = 0;

    if (whole &&
        dlFirmWriteFromArea(fromFd, area + DL_FROM_HALF_SIZE, DL_FROM_HALF_SIZE) != DL_FROM_HALF_SIZE)
        whole = 0;
    if (whole && dlFirmWriteFromArea(fromFd, area, DL_FROM_HALF_SIZE) != DL_FROM_HALF_SIZE)
        whole = 0;
    result = OK;

out:
    free(area);
    free(buf);
    close(fromFd);
    /* a failed allocation leaves the files as they are */
    if (tooLong) {
        remove(DL_TMP_FROM_BIN);
        remove(DL_TMP_IMAGE0);
    } else if (result == OK) {
        remove(DL_TMP_IMAGE0);
        if (!whole) {
            /* no OS UI item is offered and the flash stays as it is */
            printf("from.bin not made: OS UI image incomplete\n");
            remove(DL_TMP_FROM_BIN);
        }
    }
    return result;
}

/*
 * Engine packages: every package of image 2 inflated to its DBNAME.
 */
int dlFirmEngTenkai(int stagedFd, INT32 length, char *versionTable)
{
    DL_DB_INFO dbInfo[DL_DB_TABLE_IMAGE];
    DL_DB_END dbEnd;
    char name[DL_DB_NAME_SIZE];
    char *area;
    int total;
    int dbNumber;
    int nameLen;
    int i;
    int result = ERROR;

    if (length < 0)
        length = 0;
    /* one byte at least, so an empty image is no allocation failure */
    area = (char *)malloc(length > 0 ? length : 1);
    if (area == NULL) {
        printf("malloc failed\n");
        return ERROR;
    }
    printf("totalSizeEng=%d\n", length);

    /* never more than the area holds, whatever the file's length */
    memset(area, 0, length > 0 ? length : 1);
    lseek(stagedFd, 0, SEEK_SET);
    total = dlFirmReadToArea(stagedFd, area, length);
    printf("Eng base  %d\n", total);

    memset(dbInfo, 0, sizeof(dbInfo));
    /* a damaged package ends the chain: it and those after it are not
     * offered, and the lookup has said why */
    dbNumber = dlFirmGetDBInfoChecked(dbInfo, area, length, DL_DB_CHAIN_WHOLE, DL_DB_TABLE_IMAGE, &dbEnd);
    if (dbEnd.damage != DL_DB_WHOLE)
        printf("firmImage2.bin: packages from offset %d not offered\n", (int)dbEnd.offset);
    if (dbNumber == 0) {
        printf("dlBoardUpdateHDMain:can not get DB infomation\n");
        result = OK;
        goto out;
    }

    for (i = 0; i < dbNumber; i++) {
        memset(name, 0, sizeof(name));
        /* the name and its NUL must fit the buffer */
        nameLen = dlFirmTextLength(dbInfo[i].dbName, area + length, DL_DB_NAME_SIZE);
        if (nameLen >= DL_DB_NAME_SIZE) {
            printf("dlBoardUpdateHDMain:DB name too long\n");
            goto out;
        }
        memcpy(name, dbInfo[i].dbName, nameLen);
        if (dlFirmWriteTempDb(&dbInfo[i]) != OK || dlFirmInflateTempDb(name, dbInfo[i].expandedSize) != OK)
            goto out;
    }

    dlFirmUsbVersionGet(versionTable, dbNumber, dbInfo, NULL, DL_VER_ENG);
    result = OK;

out:
    free(area);
    return result;
}

/*
 * Version text of the hard-disk system: the first package of HDD package
 * file 1, inflated to "/TMP/sysDummy.txt".
 */
int dlBoardHddTenkai(int fd, INT32 length, char *versionTable)
{
    DL_DB_INFO dbInfo[DL_DB_TABLE_HDD_HEAD];
    const int nameBytes = (int)sizeof(DL_ROM_SYS_DUMMY); /* NUL included */
    char *area = NULL;
    char *text = NULL;
    int tempFd = ERROR;
    int sysFd = ERROR;
    int fileSize;
    int dbNumber;
    INT32 damage;
    int result = ERROR;

    if (length < 0)
        length = 0;
    /* the reader stops after the chunk that reaches `length`: after a short
     * read that chunk can reach one chunk past it */
    area = (char *)malloc(length + DL_SWAP_CHUNK);
    if (area == NULL) {
        printf("malloc error \n");
        goto out;
    }
    memset(area, 0, length + DL_SWAP_CHUNK);
    bootUsbReadMem_Swap_Size(area, fd, length);
    close(fd);
    fd = ERROR;

    memset(dbInfo, 0, sizeof(dbInfo));
    dbNumber = dlFirmGetDBInfoBounded(dbInfo, area, length, DL_DB_CHAIN, DL_DB_TABLE_HDD_HEAD);
    /* only the first package is taken from the head, whose later ones the
     * 64 KiB cut or the end of the file may cut */
    if (dbNumber > 0 &&
        (damage = dlFirmDbCheck(&dbInfo[0], area, area + length, DL_DB_CHAIN, 1)) != DL_DB_WHOLE) {
        printf("damaged package at 0: %s\n", dlFirmDbDamageText(damage));
        dbNumber = 0;
    }
    if (dbNumber == 0) {
        printf("dlBoardUpdateHDMain:can not get DB infomation\n");
        goto out;
    }

    tempFd = open(DL_TMP_TEMP_DB, DL_CREATE_KEEP, DL_FILE_MODE);
    if (tempFd <= 0) {
        printf("dlBoardUpdateHDMain: can not open file\n");
        goto out;
    }
    if (area + length - dbInfo[0].dbName < nameBytes ||
        memcmp(dbInfo[0].dbName, DL_ROM_SYS_DUMMY, nameBytes) != 0)
        goto out;
    dlFirmWriteFromArea(tempFd, dbInfo[0].dataStart, dbInfo[0].compressedSize);
    close(tempFd);
    tempFd = ERROR;
    /* the head is not needed while the archiver runs */
    free(area);
    area = NULL;

    if (dlFirmInflateTempDb(DL_TMP_SYS_DUMMY, dbInfo[0].expandedSize) != OK)
        goto out;

    sysFd = open(DL_TMP_SYS_DUMMY, O_RDONLY, 0);
    if (sysFd == ERROR) {
        result = OK;
        goto out;
    }
    fileSize = lseek(sysFd, 0, SEEK_END);
    printf("BOOTHDLOADER_SYS_NAME_RAM fileSize=%d\n", fileSize);
    if (fileSize < 0)
        fileSize = 0;

    text = (char *)malloc(fileSize + 1);
    if (text == NULL) {
        printf("malloc error \n");
        goto out;
    }
    lseek(sysFd, 0, SEEK_SET);
    memset(text, 0, fileSize + 1);
    dlFirmReadToArea(sysFd, text, fileSize);
    dlFirmUsbVersionGet(versionTable, fileSize, dbInfo, text, DL_VER_TEXT);
    result = OK;

out:
    free(text);
    if (sysFd != ERROR)
        close(sysFd);
    /* an open that gave 0 counts as failed, as above */
    if (tempFd > 0)
        close(tempFd);
    free(area);
    if (fd != ERROR)
        close(fd);
    return result;
}

/*
 * Staging sequence
 */

/* Copies a media image file into its staged copy with the pair swap.
 * Returns the staged copy's descriptor, left open for the caller, or ERROR
 * when the source or the copy does not open; *found tells which, *whole
 * whether every byte of the source arrived in the copy. The source is
 * closed in every case. */
static int dlFirmStageImage(const char *source, const char *staged, int *found, int *length, int *whole)
{
    int srcFd;
    int dstFd;
    int srcLength;

    *found = 0;
    *length = 0;
    *whole = 0;
    srcFd = open(source, O_RDONLY, 0);
    if (srcFd == ERROR)
        return ERROR;
    *found = 1;
    dstFd = open(staged, DL_CREATE_NEW, DL_FILE_MODE);
    if (dstFd != ERROR) {
        srcLength = dlFirmFileLength(srcFd);
        *length = dlFirmUsbReadFile_Swap(dstFd, srcFd);
        /* a full RAM disk takes only part of it */
        *whole = srcLength >= 0 && *length == srcLength + (srcLength & 1);
    }
    close(srcFd);
    return dstFd;
}

/* Images an earlier session left behind (after a failed update nothing
 * removes them): what is offered must come from the stick in hand. */
static const char *const DL_TMP_STALE_IMAGES[] = {
    DL_TMP_FROM_BIN, DL_TMP_LSR_FIRM, DL_TMP_PFC_FIRM, DL_TMP_ENG_FIRM, DL_TMP_SCN_FIRM,
};

int dlFirmUsbStrageTenkai(char *versionTable)
{
    char hddPath[DL_HDD_PATH_SIZE];
    char head[128 + 1]; /* a NUL always stays after the 128 bytes */
    char osVersion[24];
    int fd;
    int found;
    int length;
    int whole;
    int extracted;
    int sysFallback = 0;
    int i;
    FILE *fp;

    bootUpdateTempDevCreate3();
    dlFirmImage1HeadKept = 0;
    for (i = 0; i < (int)(sizeof(DL_TMP_STALE_IMAGES) / sizeof(DL_TMP_STALE_IMAGES[0])); i++)
        remove(DL_TMP_STALE_IMAGES[i]);

    /* images 0 and 1: the flash image file; without image 0 neither */
    fd = dlFirmStageImage(firmImageFile0, DL_TMP_IMAGE0, &found, &length, &whole);
    if (fd != ERROR) {
        close(fd);
        /* a cut copy is no image 0: the flash image step finds none */
        if (!whole)
            remove(DL_TMP_IMAGE0);
    }
    if (found) {
        fd = dlFirmStageImage(firmImageFile1, DL_TMP_IMAGE1, &found, &length, &whole);
        if (fd != ERROR) {
            close(fd);
            if (!whole)
                remove(DL_TMP_IMAGE1);
            if (dlFirmFromTenkai(versionTable) != 0) {
                printf("FromTenkai error\n");
                return ERROR;
            }
        }
    }

    /* image 2: the engine packages */
    fd = dlFirmStageImage(firmImageFile2, DL_TMP_IMAGE2, &found, &length, &whole);
    if (fd != ERROR) {
        lseek(fd, 0, SEEK_SET);
        extracted = dlFirmEngTenkai(fd, length, versionTable);
        close(fd);
        if (extracted != 0) {
            printf("EngTenkai error\n");
            return ERROR; /* the staged copy stays */
        }
        remove(DL_TMP_IMAGE2);
    }

    /* SYS version from HDD package file 1 */
    dlFirmHddPathMake(hddPath, 1);
    fd = (hddPath[0] != '\0') ? open(hddPath, O_RDONLY, 0) : ERROR;
    if (fd != ERROR) {
        lseek(fd, 0, SEEK_SET);
        if (dlBoardHddTenkai(fd, DL_SWAP_CHUNK, versionTable) != 0) {
            printf("Can not SysVersion\n");
            sysFallback = 1;
        }
    }

    /* fallback: the head of the flash image file, which is image 1's;
     * when that file was not made (an image 0 that cannot be flashed),
     * image 1's head as it was staged, so the ROMDATA check still runs */
    if (sysFallback) {
        fd = open(DL_TMP_FROM_BIN, O_RDONLY, 0);
        if (fd > 0) {
            printf("FROM.bin get SysVersion\n");
            memset(head, 0, sizeof(head));
            dlFirmReadToArea(fd, head, 128);
            dlFirmUsbVersionGet(versionTable, 0, NULL, head, DL_VER_HEAD);
            close(fd);
        } else if (dlFirmImage1HeadKept) {
            printf("FROM.bin get SysVersion\n");
            memcpy(head, dlFirmImage1Head, sizeof(head));
            dlFirmUsbVersionGet(versionTable, 0, NULL, head, DL_VER_HEAD);
        }
    }

    memset(osVersion, 0, sizeof(osVersion));
    fromGetBootVersion(osVersion);

    fp = fopen(DL_TMP_PROGRESS_LOG, "w");
    if (fp == NULL)
        return OK;
    fprintf(fp, "OS Version = %s\n", osVersion);
    fprintf(fp, "SYS Version = %s\n", versionTable);
    fclose(fp);
    return OK;
}

DL_NAMESPACE_END
