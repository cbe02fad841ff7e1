// HDD system update: the HDD image check and staging, the progress log,
// the update task and the package loader.
#pragma once

#include "bootenv/vxWorks.h"
#include "bootenv/dlNamespace.h"

DL_NAMESPACE_BEGIN

constexpr int DL_HDD_FILES_MAX = 32;
// Room for the storage path of an HDD package file.
constexpr int DL_HDD_PATH_SIZE = 80;

// The progress log "/TMP/HddUpdateProgress.log" while the HDD update task
// holds it open; null otherwise.
extern FILE *dl_fp;

// Loader result messages, loader task to HDD update task; made by the HDD
// update task, never deleted.
extern MSG_Q_ID dlFirmUpdateUSBQId;
// 1 after a failed loading of the current file, 0 after a success.
extern INT32 HddRetryCount;

// Files of the HDD series that the availability check of this session
// found (0 when it found none): the HDD update loads every one of them.
extern INT32 dlFirmHddSeriesCount;

// Bytes of a last part buffer's remainder that were never loaded: 0 when
// the remainder is no more than the chain's trailer, followed by filler
// all 0x00 or all 0xFF (media padded to a block).
INT32 dlFirmHddRemainderLost(const char *remainder, INT32 remainderLength);

// Loader result message: status byte, then the consumed length at offset 4
// in the machine's own byte order.
constexpr int DL_HDD_LOADER_MSG_SIZE = 8;
constexpr char DL_HDD_LOADER_OK = 1;
constexpr char DL_HDD_LOADER_NG = 0;

// One entry of the loader's directory table; dlBoardCreateDir reads only
// dbName.
typedef struct {
    char *dataStart;
    INT32 expandedSize;
    char *dbName;
    char *version;
    char *comment;
} DL_DIR_INFO;

// Entry of "tdlFirmHdUpdate".
int dlFirmHdUpdate_USB(UINT32 selection);
// Entry of "tdlFirmHdLoaderUSBUpdate": expands the packages of one part
// buffer; fileIndex chooses the progress row.
int dlFirmHdLoaderUSBHdUpdate(char *buffer, INT32 length, INT32 fileIndex);
// Makes the directory of every entry's dbName, parents first: 0 or -1.
int dlBoardCreateDir(DL_DIR_INFO *entries, int count);

// The storage path of HDD package file `number` (DL_HDD_PATH_SIZE bytes),
// in the folder that dlupdateFolderCheckFlag names; empty when it names
// neither place.
void dlFirmHddPathMake(char *path, int number);
int dlFirmUsbCheckHDD(INT32 *count, INT32 *sizes);
char *bootUsbStrageTenkai_HDD(const char *path, INT32 *length, INT32 offset);

DL_NAMESPACE_END
