// The flash ROM rewrite: erase, write, read-back verification and retries,
// bracketed by the NVRAM flag of the flash ROM.
#pragma once

#include "bootenv/vxWorks.h"

namespace vx {

// Progress of the rewrite; -1 until one starts.
extern volatile INT32 dlFirmfromRewriteStatus;

int dlfrwInit();
int dlfrwCreateDevice();
int dlFirmRewriteNoCheckSum(int target, int nvFlag, const char *path);
char *dlgetDefaultFile(int target);

} // namespace vx
