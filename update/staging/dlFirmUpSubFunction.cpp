// Pair-swap readers, the RAM disk "/TMP" and the package header lookup.
#include "update/staging/dlFirmUpSubFunction.h"

#include "bootenv/bootEnv.h"
#include "bootenv/dlNamespace.h"
#include "bootenv/vxWorks.h"
#include "update/session/dlFirmUpMain.h"

#include <cstring>

DL_NAMESPACE_BEGIN

INT32 usbdataStart[3] = {0x280000, 0x310000, 0x380000};

/*
 * RAM disk
 */

STATUS bootUpdateTempDevCreate3()
{
    char *tail = NULL;
    DEV_HDR *dev;
    char *memory;
    BLK_DEV *blkDev;

    printf("ramdevice_48\n");

    /* Found with part of the name consumed: made by an earlier call. */
    dev = iosDevFind((char *)DL_TMP_DEV, &tail);
    if (dev != NULL && tail != DL_TMP_DEV)
        return OK;

    memory = (char *)malloc(DL_RAMDISK_BYTES);
    if (memory == NULL) {
        printf("malloc failed\n");
        return ERROR;
    }
    memset(memory, 0, DL_RAMDISK_BYTES);

    blkDev = ramDevCreate(memory, DL_RAMDISK_BLOCK, 400, DL_RAMDISK_BLOCKS, 0);
    if (blkDev == NULL) {
        printf("ramDevCreate Failed\n");
        free(memory); /* nothing refers to it yet */
        return ERROR;
    }
    dosFsMkfs((char *)DL_TMP_DEV, blkDev);
    return OK;
}

/*
 * Pair-swap readers: the storage holds every 16-bit unit byte-exchanged.
 */

/* Swaps one chunk of n bytes into `to`, positions counted from the chunk's
 * start; an odd last byte lands at position n, one past the chunk. `to`
 * may be `from`, swapping in place. Whole 128-byte blocks go through a
 * local array of 16-bit units, which the compiler can turn into wide
 * operations; a unit turned by 8 bits has its two bytes exchanged in
 * either byte order of the processor. */
static void dlSwapChunk(char *to, const char *from, int n)
{
    UINT16 unit[64];
    int i = 0;
    int k;
    char c;

    for (; i + (int)sizeof(unit) <= n; i += (int)sizeof(unit)) {
        memcpy(unit, from + i, sizeof(unit));
        for (k = 0; k < 64; k++)
            unit[k] = (UINT16)((unit[k] << 8) | (unit[k] >> 8));
        memcpy(to + i, unit, sizeof(unit));
    }
    for (; i + 1 < n; i += 2) {
        c = from[i]; /* `to` may be `from` */
        to[i] = from[i + 1];
        to[i + 1] = c;
    }
    if (n & 1)
        to[n] = from[n - 1];
}

int dlFirmUsbReadFile_Swap(int destination, int source)
{
    char *inBuf;
    char *outBuf;
    int n;
    int written;
    int total = 0;

    inBuf = (char *)malloc(DL_SWAP_CHUNK);
    outBuf = (char *)malloc(DL_SWAP_CHUNK);
    if (inBuf == NULL || outBuf == NULL) {
        printf("malloc error \n");
        free(inBuf);
        free(outBuf);
        exit(1);
    }

    /* every byte written out is set from the chunk first: no clearing */
    while ((n = read(source, inBuf, DL_SWAP_CHUNK)) > 0) {
        dlSwapChunk(outBuf, inBuf, n);
        if (n & 1) {
            /* only the last chunk of a file can be odd; n < DL_SWAP_CHUNK */
            printf("rare case\n");
            outBuf[n - 1] = (char)0xFF;
            written = write(destination, outBuf, n + 1);
        } else {
            written = write(destination, outBuf, n);
        }
        /* a full RAM disk answers -1: count only what arrived */
        if (written > 0)
            total += written;
    }

    free(inBuf);
    free(outBuf);
    return total;
}

/* Reads chunks into the 64 KiB working buffer and swaps each from there
 * into the destination while it is still in the cache: one pass over the
 * bytes. Stops when a read gives nothing or, with a size of 0 or more, once
 * `size` bytes are placed. */
static int dlFirmReadMemSwap(char *destination, int source, INT32 size, int mayEnd)
{
    char *buf;
    int n;
    int total = 0;

    buf = (char *)malloc(DL_SWAP_CHUNK);
    if (buf == NULL) {
        printf("malloc error \n");
        if (!mayEnd)
            return ERROR;
        exit(1);
    }
    /* every byte swapped out was read into it first: one clearing will do */
    memset(buf, 0, DL_SWAP_CHUNK);

    do {
        n = read(source, buf, DL_SWAP_CHUNK);
        if (n <= 0)
            break;
        dlSwapChunk(destination + total, buf, n);
        total += n;
    } while (size < 0 || total < size);

    /* the last byte already moved one on: pad in front of it */
    if (total & 1) {
        destination[total - 1] = (char)0xFF;
        total++;
    }
    free(buf);
    return total;
}

int bootUsbReadMem_Swap(char *destination, int source)
{
    return dlFirmReadMemSwap(destination, source, -1, 1);
}

int dlFirmUsbReadMem_SwapTry(char *destination, int source)
{
    return dlFirmReadMemSwap(destination, source, -1, 0);
}

int bootUsbReadMem_Swap_Size(char *destination, int source, INT32 size)
{
    /* a size of 0 or less still makes the one read */
    return dlFirmReadMemSwap(destination, source, size > 0 ? size : 1, 1);
}

/*
 * Package header lookup
 */

char *dlFirmFindPtrByKey_USB(char *origin, const char *key, INT32 length)
{
    INT32 keyLen = (INT32)strlen(key);
    INT32 consumed = 0;
    INT32 lineLen;
    char *line;
    char c;

    for (;;) {
        line = origin + consumed;
        lineLen = 0;
        while (consumed + lineLen < length) {
            c = line[lineLen++];
            if (c == '\0' || c == '\n')
                break;
        }
        consumed += lineLen;
        /* a key line ending on the range's last byte has no value line */
        if (consumed >= length)
            return NULL;
        /* leading part: the rest of the key line is not read */
        if (lineLen >= keyLen && strncmp(line, key, keyLen) == 0)
            return origin + consumed;
    }
}

INT32 dlFirmFindLongValueByKey_USB(char *origin, const char *key, INT32 length)
{
    char *value = dlFirmFindPtrByKey_USB(origin, key, length);
    char copy[24];
    INT32 left;
    INT32 i;
    INT32 n;
    char c;

    if (value == NULL)
        return (INT32)dlBoradFindLongValueByPtr(NULL);
    /*
     * The number reader stops at the first byte that is no digit. When the
     * number runs to the end of the range there is none within it, so the
     * reader gets a terminated copy and never reads past the buffer.
     */
    left = length - (INT32)(value - origin);
    for (i = 0; i < left; i++) {
        c = value[i];
        if (!((c >= '0' && c <= '9') || (i == 0 && c == '-')))
            return (INT32)dlBoradFindLongValueByPtr(value);
    }
    n = 0;
    i = 0;
    if (left > 0 && value[0] == '-')
        copy[n++] = value[i++];
    /* leading zeros do not change the number; 20 digits are out of range already */
    while (i + 1 < left && value[i] == '0')
        i++;
    while (i < left && n < (INT32)sizeof(copy) - 2)
        copy[n++] = value[i++];
    copy[n] = '\0';
    return (INT32)dlBoradFindLongValueByPtr(copy);
}

/* Key names a package header may hold; a line that begins with one of
 * them is a key line, and the line after it its value. */
static const char *const DL_DB_KEYS[] = {
    "EXPANDEDSIZE", "COMPRESSEDSIZE", "DBNAME", "LANGUAGECODE", "VERSION", "COMMENT",
};
#define DL_DB_KEY_COUNT ((int)(sizeof(DL_DB_KEYS) / sizeof(DL_DB_KEYS[0])))
/* Length of the line the data follows, "DATASTART\n". */
#define DL_DB_DATASTART_LEN ((int)sizeof("DATASTART\n") - 1)

static const char *const DL_DB_DAMAGE_TEXT[DL_DB_DAMAGE_KINDS] = {
    "whole",
    "no header where the package begins",
    "key after DATASTART",
    "another header before DATASTART",
    "no CR LF after the data",
    "a header without its package",
};

const char *dlFirmDbDamageText(INT32 damage)
{
    if (damage < 0 || damage >= DL_DB_DAMAGE_KINDS)
        return "unknown";
    return DL_DB_DAMAGE_TEXT[damage];
}

/* The key a line begins with (index into DL_DB_KEYS), or -1. */
static int dlFirmDbKeyOfLine(const char *line, INT32 lineLen)
{
    INT32 keyLen;
    int k;

    for (k = 0; k < DL_DB_KEY_COUNT; k++) {
        keyLen = (INT32)strlen(DL_DB_KEYS[k]);
        if (lineLen >= keyLen && strncmp(line, DL_DB_KEYS[k], keyLen) == 0)
            return k;
    }
    return -1;
}

/* Length of the line at `line`, its ending NUL or line feed included, read
 * no further than `left` bytes. */
static INT32 dlFirmDbLineLength(const char *line, INT32 left)
{
    INT32 n = 0;
    char c;

    while (n < left) {
        c = line[n++];
        if (c == '\0' || c == '\n')
            break;
    }
    return n;
}

/*
 * A package whose keys and data were all found is still damaged when its
 * header is not where it must be: the search for the data start and the
 * keys runs on past a broken DATASTART line or a cut into the next
 * package, whose data and sizes would then be taken under this package's
 * name. The header is the text from the origin up to the DATASTART line;
 * it must begin at the origin in a chain (a buffer may begin with the CR LF
 * of the package before it, carried over from the previous file), hold
 * every key it was read from, and hold no key twice; CR LF must follow the
 * data, as far as the buffer reaches.
 */
INT32 dlFirmDbCheck(DL_DB_INFO *rec, char *origin, char *end, int mode, int first)
{
    char *header = origin;
    char *dsLine = rec->dataStart - DL_DB_DATASTART_LEN;
    INT32 headerLen;
    INT32 lineLen;
    INT32 at;
    int seen[DL_DB_KEY_COUNT];
    int k;
    char *after;

    if (first && end - header >= 2 && header[0] == '\r' && header[1] == '\n')
        header += 2;
    if (dsLine < header)
        return DL_DB_KEY_OUTSIDE;
    headerLen = (INT32)(dsLine - header);

    if (mode != DL_DB_FIXED && dlFirmDbKeyOfLine(header, dlFirmDbLineLength(header, headerLen)) < 0)
        return DL_DB_NO_HEADER;

    /* every value the record holds was found before the DATASTART line */
    if (rec->dbName >= dsLine || rec->version >= dsLine || rec->comment >= dsLine ||
        (mode == DL_DB_FIXED && rec->languageCode >= dsLine) ||
        dlFirmFindPtrByKey_USB(origin, "EXPANDEDSIZE", (INT32)(dsLine - origin)) == NULL ||
        dlFirmFindPtrByKey_USB(origin, "COMPRESSEDSIZE", (INT32)(dsLine - origin)) == NULL)
        return DL_DB_KEY_OUTSIDE;

    /* a key line twice: the header of a package whose DATASTART was lost */
    memset(seen, 0, sizeof(seen));
    at = 0;
    while (at < headerLen) {
        lineLen = dlFirmDbLineLength(header + at, headerLen - at);
        k = dlFirmDbKeyOfLine(header + at, lineLen);
        at += lineLen;
        if (k < 0)
            continue;
        if (seen[k]++)
            return DL_DB_TWO_HEADERS;
        /* its value line may begin with any text */
        at += dlFirmDbLineLength(header + at, headerLen - at);
    }

    after = rec->dataStart + rec->compressedSize;
    /* A file of odd length ends behind its pad: CR, 0xFF, LF. */
    if (end - after == 3 && after[0] == '\r' && (unsigned char)after[1] == 0xFF && after[2] == '\n')
        return DL_DB_WHOLE;
    if (mode == DL_DB_CHAIN_WHOLE && end - after < 2)
        return DL_DB_NO_CRLF;
    if ((after < end && after[0] != '\r') || (after + 1 < end && after[1] != '\n'))
        return DL_DB_NO_CRLF;
    return DL_DB_WHOLE;
}

/* 1 when the line at `line` holds the first letters of a key name and
 * ends with a NUL or the buffer: the image area's zeros, or the end of
 * the image, behind a header cut in its name (an odd cut has a 0xFF pad
 * beside its last letter). */
static int dlFirmDbKeyCut(const char *line, INT32 left)
{
    char letters[16];
    INT32 len = dlFirmDbLineLength(line, left) - 1; /* without the NUL */
    INT32 n = 0;
    INT32 i;
    int k;

    /* the line ends with its NUL, or with the buffer */
    if (len >= 0 && line[len] != '\0')
        len++;
    if (len < 1 || len >= (INT32)sizeof(letters) || (len < left && line[len] != '\0'))
        return 0;
    for (i = 0; i < len; i++)
        if (line[i] != (char)0xFF) /* no key name holds one */
            letters[n++] = line[i];
    if (n < 1)
        return 0;
    for (k = 0; k < DL_DB_KEY_COUNT; k++)
        if (n < (INT32)strlen(DL_DB_KEYS[k]) && strncmp(letters, DL_DB_KEYS[k], (size_t)n) == 0)
            return 1;
    return 0;
}

/* A search of the flash ROM image that finds no whole package where a
 * header begins at its origin has found a broken package, not an absent
 * one: the image is then no image to flash. */
static int dlFirmDbUnfound(int count, char *origin, INT32 length, int mode, long originOffset,
                           DL_DB_END *dbEnd)
{
    if (dbEnd == NULL || (mode != DL_DB_FIXED && mode != DL_DB_CHAIN_WHOLE))
        return count;
    if (dlFirmDbKeyOfLine(origin, dlFirmDbLineLength(origin, length)) < 0 && !dlFirmDbKeyCut(origin, length))
        return count;
    printf("damaged package at %ld: %s\n", originOffset, dlFirmDbDamageText(DL_DB_BROKEN));
    dbEnd->damage = DL_DB_BROKEN;
    dbEnd->offset = (INT32)originOffset;
    return count;
}

int dlFirmGetDBInfoChecked(DL_DB_INFO *table, char *buffer, INT32 size, int mode, int capacity,
                           DL_DB_END *dbEnd)
{
    char *end = buffer + size;
    long originOffset;
    char *origin;
    INT32 length;
    INT32 damage;
    DL_DB_INFO *rec;
    int count = 0;

    if (dbEnd != NULL) {
        dbEnd->damage = DL_DB_WHOLE;
        dbEnd->offset = 0;
    }
    originOffset = (mode == DL_DB_FIXED) ? usbdataStart[0] : 0;

    for (;;) {
        /* a full table ends the lookup as the end of a chain would */
        if (count >= capacity)
            return count;
        /* an origin at or past the end starts no package */
        if (originOffset >= size) {
            printf("can not find start address\n");
            return count;
        }
        origin = buffer + originOffset;
        length = (INT32)(size - originOffset);
        rec = &table[count];

        rec->dataStart = dlFindDataStart(origin, end);
        if (rec->dataStart == NULL) {
            printf("can not find start address\n");
            return dlFirmDbUnfound(count, origin, length, mode, originOffset, dbEnd);
        }
        rec->expandedSize = dlFirmFindLongValueByKey_USB(origin, "EXPANDEDSIZE", length);
        if (rec->expandedSize < 0) {
            printf("serch end\n");
            return dlFirmDbUnfound(count, origin, length, mode, originOffset, dbEnd);
        }
        rec->compressedSize = dlFirmFindLongValueByKey_USB(origin, "COMPRESSEDSIZE", length);
        if (rec->compressedSize <= 0) {
            printf("can not find compressed size\n");
            return dlFirmDbUnfound(count, origin, length, mode, originOffset, dbEnd);
        }
        if (rec->compressedSize > size - (INT32)(rec->dataStart - buffer)) {
            printf("range over  \n");
            return dlFirmDbUnfound(count, origin, length, mode, originOffset, dbEnd);
        }
        rec->dbName = dlFirmFindPtrByKey_USB(origin, "DBNAME", length);
        if (rec->dbName == NULL) {
            printf("can not find DB name\n");
            return dlFirmDbUnfound(count, origin, length, mode, originOffset, dbEnd);
        }
        if (mode == DL_DB_FIXED) {
            rec->languageCode = dlFirmFindPtrByKey_USB(origin, "LANGUAGECODE", length);
            if (rec->languageCode == NULL) {
                printf("can not find LANGUAGECODE\n");
                return dlFirmDbUnfound(count, origin, length, mode, originOffset, dbEnd);
            }
        }
        rec->version = dlFirmFindPtrByKey_USB(origin, "VERSION", length);
        if (rec->version == NULL) {
            printf("can not find DB name\n");
            return dlFirmDbUnfound(count, origin, length, mode, originOffset, dbEnd);
        }
        rec->comment = dlFirmFindPtrByKey_USB(origin, "COMMENT", length);
        if (rec->comment == NULL) {
            printf("can not find DB name\n");
            return dlFirmDbUnfound(count, origin, length, mode, originOffset, dbEnd);
        }
        damage = (dbEnd != NULL) ? dlFirmDbCheck(rec, origin, end, mode, count == 0) : DL_DB_WHOLE;
        if (damage != DL_DB_WHOLE) {
            printf("damaged package at %ld: %s\n", originOffset, dlFirmDbDamageText(damage));
            if (dbEnd != NULL) {
                dbEnd->damage = damage;
                dbEnd->offset = (INT32)originOffset;
            }
            return count;
        }
        count++;

        if (mode == DL_DB_FIXED) {
            if (count >= 3)
                return count;
            originOffset = usbdataStart[count];
        } else {
            /* the two bytes after the data are the CR LF checked above */
            originOffset = (rec->dataStart - buffer) + rec->compressedSize + 2;
        }
    }
}

int dlFirmGetDBInfoBounded(DL_DB_INFO *table, char *buffer, INT32 size, int mode, int capacity)
{
    return dlFirmGetDBInfoChecked(table, buffer, size, mode, capacity, NULL);
}

/* The exported form takes no capacity: it is bounded by the largest table
 * the module's callers hold, the HDD loader's 2,048 records. */
int dlFirmGetDBInfo(DL_DB_INFO *table, char *buffer, INT32 size, int mode)
{
    return dlFirmGetDBInfoBounded(table, buffer, size, mode, DL_DB_TABLE_HDD);
}

DL_NAMESPACE_END
