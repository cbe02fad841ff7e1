// HDD system update: the HDD image check and staging, the progress log,
// the update task and the package loader.
#pragma once

#include "bootenv/vxWorks.h"

namespace vx {

constexpr int DL_HDD_FILES_MAX = 32;

// The progress log "/TMP/HddUpdateProgress.log" while the HDD update task
// holds it open; null otherwise.
extern FILE *dl_fp;

// Entry of "tdlFirmHdUpdate".
int dlFirmHdUpdate_USB(UINT32 selection);

int dlFirmUsbCheckHDD(INT32 *count, INT32 *sizes);
char *bootUsbStrageTenkai_HDD(const char *path, INT32 *length, INT32 offset);

} // namespace vx
