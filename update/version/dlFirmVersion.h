// Version table, version text, version screen and ROMDATA check.
#pragma once

#include "bootenv/vxWorks.h"
#include "update/staging/dlFirmUpSubFunction.h"

namespace vx {

// Modes of dlFirmUsbVersionGet.
constexpr int DL_VER_FROM = 1;  // flash ROM image packages
constexpr int DL_VER_ENG = 2;   // engine image packages
constexpr int DL_VER_TEXT = 3;  // version text of the HDD system
constexpr int DL_VER_HEAD = 4;  // head of the flash image file

int dlFirmUsbVersionGet(char *table, int n, DL_DB_INFO *records, char *text, int mode);
int dlFirmVersionTxtFindByKey(char *text, const char *key, char *value, int len);
int dlFirmUsbVersionShow(char *table);
// Shows the ROMDATA warning and ends the calling task.
[[noreturn]] void dlFirmUpdateFalseSysVer(char *table);

} // namespace vx
