// The flash ROM rewrite: erase, write, read-back verification and retries,
// bracketed by the NVRAM flag of the flash ROM.
#pragma once

#include "bootenv/vxWorks.h"
#include "bootenv/dlNamespace.h"

DL_NAMESPACE_BEGIN

// Progress of the rewrite; -1 until one starts.
extern volatile INT32 dlFirmfromRewriteStatus;

int dlfrwInit();
int dlfrwCreateDevice();
int dlFirmRewriteNoCheckSum(int target, int nvFlag, const char *path);
char *dlgetDefaultFile(int target);

// ---- steps of the rewrite ----
// Whole open file into a new buffer (*buffer, freed by the caller): the
// size when above 0; the size when 0 or less; -1 memory short; 0 short read.
int readFileNoCheck(FILE *stream, char **buffer);
long getFileSize(FILE *stream);
int rewriteFRom(int target, int nvFlag, char *buffer, int size);
int rewriteFRomDevice(int fd, char *buffer, int size, int mode);
int verifyFRom(int fd, char *start, char *end);

DL_NAMESPACE_END
