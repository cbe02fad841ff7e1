// Media staging: pair-swap readers and the RAM disk, the package header
// lookup, the target image extraction and the staging sequence.
#pragma once

#include "bootenv/vxWorks.h"
#include "bootenv/dlNamespace.h"

DL_NAMESPACE_BEGIN

// One package found by the lookup; the pointers point into the caller's
// buffer and live as long as it does.
typedef struct {
    char *languageCode; // LANGUAGECODE value (fixed-offset lookup only)
    char *dataStart;    // first byte of the compressed data
    INT32 expandedSize;
    INT32 compressedSize;
    char *dbName;  // where the expanded package goes
    char *version; // VERSION value
    char *comment; // COMMENT value: the target tag
} DL_DB_INFO;

// Capacities of the callers' package tables.
constexpr int DL_DB_TABLE_IMAGE = 16;
constexpr int DL_DB_TABLE_HDD_HEAD = 256;
constexpr int DL_DB_TABLE_HDD = 2048;

// Lookup modes.
constexpr int DL_DB_FIXED = 0;
constexpr int DL_DB_CHAIN = 1;
// A chain that the buffer holds whole (the engine image): with the checks,
// a header where the chain ends, or a last CR LF cut off, is damage too.
constexpr int DL_DB_CHAIN_WHOLE = 2;

// Piece size of every copy between the storage, memory and the RAM disk.
constexpr int DL_SWAP_CHUNK = 65536;
// The RAM disk "/TMP": 98,304 blocks of 512 bytes.
constexpr int DL_RAMDISK_BLOCK = 512;
constexpr int DL_RAMDISK_BLOCKS = 0x18000;
constexpr int DL_RAMDISK_BYTES = DL_RAMDISK_BLOCK * DL_RAMDISK_BLOCKS;
// Image area of the flash ROM image (image 0) and its two halves.
constexpr int DL_FROM_IMAGE_SIZE = 0x800000;
constexpr int DL_FROM_HALF_SIZE = DL_FROM_IMAGE_SIZE / 2;
// Name buffer of an expanded package: 255 characters and a NUL.
constexpr int DL_DB_NAME_SIZE = 256;

// How a lookup ended, for the callers that must tell a damaged package
// from the ordinary end of a chain.
typedef struct {
    INT32 damage; // DL_DB_WHOLE, or what is wrong with the package at `offset`
    INT32 offset; // where the search for that package began, from the buffer's start
} DL_DB_END;

// What can be wrong with a package whose keys and data were all found.
constexpr INT32 DL_DB_WHOLE = 0;
constexpr INT32 DL_DB_NO_HEADER = 1;   // no header where the chain says it begins
constexpr INT32 DL_DB_KEY_OUTSIDE = 2; // a key stands after the DATASTART line
constexpr INT32 DL_DB_TWO_HEADERS = 3; // another package's header before the DATASTART line
constexpr INT32 DL_DB_NO_CRLF = 4;     // the data is not followed by CR LF
constexpr INT32 DL_DB_BROKEN = 5;      // flash ROM image: a header at the origin, but no whole package
constexpr INT32 DL_DB_DAMAGE_KINDS = 6;

// Search origins of the three packages of the flash ROM image.
extern INT32 usbdataStart[3];

// ---- pair-swap readers and RAM disk ----
// 0 when "/TMP" exists or was made; -1 when its memory or device is missing.
STATUS bootUpdateTempDevCreate3();
// The readers return the bytes placed: the length read, rounded up to even
// (an odd last byte gets a 0xFF pad in front of it).
// File to file through two 64 KiB buffers; without them it ends the
// calling task with exit(1).
int dlFirmUsbReadFile_Swap(int destination, int source);
// The memory readers swap each chunk from a 64 KiB working buffer into the
// destination; without the buffer they end the calling task with exit(1).
// The destination holds the whole file rounded up to even.
int bootUsbReadMem_Swap(char *destination, int source);
// The same for an update task, which must send its result whatever
// happens: -1 without the working buffer, the task going on.
int dlFirmUsbReadMem_SwapTry(char *destination, int source);
// Stops after the 64 KiB chunk that reaches `size`: the destination holds
// `size` plus up to one chunk.
int bootUsbReadMem_Swap_Size(char *destination, int source, INT32 size);

// ---- package header lookup ----
// Returns the number of records filled in full. The exported form may fill
// up to DL_DB_TABLE_HDD records (the largest table the module defines);
// the module's own callers use the bounded variant with their table's
// capacity.
int dlFirmGetDBInfo(DL_DB_INFO *table, char *buffer, INT32 size, int mode);
int dlFirmGetDBInfoBounded(DL_DB_INFO *table, char *buffer, INT32 size, int mode, int capacity);
// The same, and with `end` given, a package whose keys and data were found
// is checked as well: `end` tells whether the lookup ended on a damaged
// package, which is not counted, and a console line says what was wrong
// and where. Without `end` nothing is checked beyond the keys and sizes.
int dlFirmGetDBInfoChecked(DL_DB_INFO *table, char *buffer, INT32 size, int mode, int capacity,
                           DL_DB_END *end);
// The check of one record found from `origin` in a buffer ending at `end`;
// `first` when it is the buffer's first package. DL_DB_WHOLE or a damage.
INT32 dlFirmDbCheck(DL_DB_INFO *rec, char *origin, char *end, int mode, int first);
// The words for a damage kind.
const char *dlFirmDbDamageText(INT32 damage);
char *dlFirmFindPtrByKey_USB(char *origin, const char *key, INT32 length);
INT32 dlFirmFindLongValueByKey_USB(char *origin, const char *key, INT32 length);

// ---- target image extraction ----
// 0, or -1 after a console line; see each step for what stays in "/TMP".
int dlFirmFromTenkai(char *versionTable);
int dlFirmEngTenkai(int stagedFd, INT32 length, char *versionTable);
int dlBoardHddTenkai(int fd, INT32 length, char *versionTable);

// ---- staging sequence ----
int dlFirmUsbStrageTenkai(char *versionTable);

DL_NAMESPACE_END
