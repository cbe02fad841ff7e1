/* The boot environment's services as C declarations: the prototypes of the
 * host machine's bootEnv.h, with global names, C linkage and macros for
 * constants. Used by the device-shaped compile of the module
 * (DL_DEVICE_DECLS), never by the host machine. */
#ifndef DL_DEVICE_BOOTENV_H
#define DL_DEVICE_BOOTENV_H

#include "bootenv/vxWorks.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- panel and keys ---- */
void bootDispClear(void);
void bootDispString(int mode, int column, int row, const char *text);
void bootKeyDrvInit(void);
UINT16 *bootGetKeyFocus(MSG_Q_ID queue);
void bootKeyUnlock(void);
void bootKeyLock(void);
extern int DLBOARD_SCM_DISPLAY_YPOINT;
extern int DLBOARD_ARCHVIER_DISPLAY_YPOINT;

/* ---- NVRAM ---- */
STATUS setBitNvFlag(UINT32 mask, int arg);
STATUS clearBitNvRAMFlags(UINT32 mask);
STATUS frwClearNvRAMFlags(void);
STATUS bootUpdateClearNvmAutoMode(void);
STATUS bootUpdateServiceNvRamAllClear(void);
void dlBoardUpdateFlagOn(void);
void nvramWriteEnable(void);
void nvramWriteDisable(void);
#define NVRAM_BASE_ADRS 0xBA000000
USHORT sysInWord(ULONG address);
void sysOutWord(ULONG address, USHORT data);

/* ---- flash ROM device ---- */
typedef struct {
    INT32 size;
    UINT32 lockArg1;
    UINT32 lockArg2;
    UINT32 reserved[5];
} FROM_DEV_INFO;
STATUS fromDevCreate(const char *name, UINT32 base, UINT32 size);
STATUS fromDevGetInfo(const char *name, FROM_DEV_INFO *info);
STATUS fromDevUnlock(UINT32 arg1, UINT32 arg2);
STATUS fromDevLock(UINT32 arg1, UINT32 arg2);
STATUS fromGetBootVersion(char *buffer);

/* ---- sub-unit firmware ---- */
int frwRewriteMAIN(int target, int arg, const char *path);

/* ---- hard disk ---- */
int bootHdLoaderInit(int arg);
STATUS bootHdFormatOSPartition(void);
STATUS bootHdLoaderBackupPartAll(const char *from, const char *to);
STATUS catMkdir(const char *path);

/* ---- package services ---- */
char *dlFindDataStart(char *from, char *end);
long dlBoradFindLongValueByPtr(const char *value);
int dlBoardArchiver(int command, const char *source, const char *destination, int option);

#ifdef __cplusplus
}
#endif

#endif
