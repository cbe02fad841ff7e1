// The boot environment's services as the update module calls them: panel
// and keys, NVRAM flags and the NVRAM window, flash ROM device, sub-unit
// firmware rewrite, hard-disk loader and package services. Declared in
// namespace vx for the reason given in vxWorks.h.
#pragma once

#include "bootenv/vxWorks.h"
#include "bootenv/dlNamespace.h"

DL_NAMESPACE_BEGIN

// ---- panel -----------------------------------------------------------------
void bootDispClear();
void bootDispString(int mode, int column, int row, const char *text);

// ---- keys --------------------------------------------------------------------
void bootKeyDrvInit();
// Key events go to `queue`; returns the 30-byte key table (15 words), or
// null when the panel cannot be taken.
UINT16 *bootGetKeyFocus(MSG_Q_ID queue);
void bootKeyUnlock();
void bootKeyLock();

// Display rows at which the boot environment draws its own progress.
extern int DLBOARD_SCM_DISPLAY_YPOINT;
extern int DLBOARD_ARCHVIER_DISPLAY_YPOINT;

// ---- NVRAM -------------------------------------------------------------------
STATUS setBitNvFlag(UINT32 mask, int arg);
STATUS clearBitNvRAMFlags(UINT32 mask);
STATUS frwClearNvRAMFlags();
STATUS bootUpdateClearNvmAutoMode();
STATUS bootUpdateServiceNvRamAllClear();
void dlBoardUpdateFlagOn();
void nvramWriteEnable();
void nvramWriteDisable();

// The NVRAM window on the board bus.
constexpr UINT32 NVRAM_BASE_ADRS = 0xBA000000u;

// One 16-bit device access at a board address: never merged, reordered or
// left out.
UINT16 sysInWord(UINT32 address);
void sysOutWord(UINT32 address, UINT16 value);

// ---- flash ROM device ----------------------------------------------------------
struct FROM_DEV_INFO {
    INT32 size;      // bytes in the writable area
    UINT32 lockArg1; // handed unchanged to fromDevUnlock / fromDevLock
    UINT32 lockArg2;
    UINT32 reserved[5];
};

STATUS fromDevCreate(const char *name, UINT32 base, UINT32 size);
STATUS fromDevGetInfo(const char *name, FROM_DEV_INFO *info);
STATUS fromDevUnlock(UINT32 arg1, UINT32 arg2);
STATUS fromDevLock(UINT32 arg1, UINT32 arg2);
// Leaves the boot environment's OS version text (at most 23 characters and
// a NUL) in `buffer`.
STATUS fromGetBootVersion(char *buffer);

// ---- sub-unit firmware -----------------------------------------------------------
int frwRewriteMAIN(int target, int arg, const char *path);

// ---- hard disk -------------------------------------------------------------------
int bootHdLoaderInit(int arg);
STATUS bootHdFormatOSPartition();
STATUS bootHdLoaderBackupPartAll(const char *from, const char *to);
STATUS catMkdir(const char *path);

// ---- package services ------------------------------------------------------------
// The byte after the first "DATASTART\n" line at or after `from`, provided it
// lies before `end`; null otherwise.
char *dlFindDataStart(char *from, char *end);
// The number held by a value line; -1 for null or a line that holds none.
long dlBoradFindLongValueByPtr(const char *value);
// Inflates the zlib stream in `source` into `destination`: 0 or -1.
int dlBoardArchiver(int command, const char *source, const char *destination, int option);

DL_NAMESPACE_END
