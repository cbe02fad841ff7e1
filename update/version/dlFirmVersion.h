// Version table, version text, version screen and ROMDATA check.
#pragma once

#include "bootenv/vxWorks.h"
#include "bootenv/dlNamespace.h"
#include "update/staging/dlFirmUpSubFunction.h"

DL_NAMESPACE_BEGIN

// Modes of dlFirmUsbVersionGet.
constexpr int DL_VER_FROM = 1; // flash ROM image packages
constexpr int DL_VER_ENG = 2;  // engine image packages
constexpr int DL_VER_TEXT = 3; // version text of the HDD system
constexpr int DL_VER_HEAD = 4; // head of the flash image file

// The version table: ten 16-byte fields of at most 15 characters and a NUL.
constexpr int DL_VERSION_FIELD = 16;
constexpr int DL_VT_SYS = 0;
constexpr int DL_VT_UIF = 16;
constexpr int DL_VT_UI0 = 32;
constexpr int DL_VT_UI1 = 48;
constexpr int DL_VT_LSR = 64;
constexpr int DL_VT_ENG = 80;
constexpr int DL_VT_PFC = 96;
constexpr int DL_VT_SCN = 112;
constexpr int DL_VT_FRW = 144; // the field at 128 stays unused

// Bytes of the flash image head that mode 4 reads.
constexpr int DL_VER_HEAD_SIZE = 128;

int dlFirmUsbVersionGet(char *table, int n, DL_DB_INFO *records, char *text, int mode);
int dlFirmVersionTxtFindByKey(char *text, const char *key, char *value, int len);
int dlFirmUsbVersionShow(char *table);
// Shows the ROMDATA warning and ends the calling task.
[[noreturn]] void dlFirmUpdateFalseSysVer(char *table);

DL_NAMESPACE_END
