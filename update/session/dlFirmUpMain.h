// Module state shared by the whole storage update, owned by the session
// driver, and the driver's own entry points.
#pragma once

#include "bootenv/vxWorks.h"
#include "bootenv/dlNamespace.h"

DL_NAMESPACE_BEGIN

// Update item bits of the selection mask and of the available items.
constexpr UINT32 DL_ITEM_OSUI = 0x02;
constexpr UINT32 DL_ITEM_HDD = 0x04;
constexpr UINT32 DL_ITEM_LSR = 0x08;
constexpr UINT32 DL_ITEM_PFC = 0x10;
constexpr UINT32 DL_ITEM_ENGINE = 0x20;
constexpr UINT32 DL_ITEM_SCANNER = 0x40;
constexpr UINT32 DL_ITEM_ALL = 0x7E;

constexpr int DL_VERSION_TABLE_SIZE = 160;
constexpr int DL_PATH_SIZE = 256;

// NVRAM flags that bracket a rewrite: set before the target is touched,
// cleared only after success.
constexpr UINT32 DL_NVFLAG_FROM = 0x01;
constexpr UINT32 DL_NVFLAG_HDD = 0x10;

// Files of the RAM disk: the images the update tasks consume and the
// intermediate files of staging and of the HDD update.
inline constexpr char DL_TMP_DEV[] = "/TMP";
inline constexpr char DL_TMP_FROM_BIN[] = "/TMP/from.bin";
inline constexpr char DL_TMP_LSR_FIRM[] = "/TMP/lsrfirm.tz";
inline constexpr char DL_TMP_PFC_FIRM[] = "/TMP/pfcfirm.tz";
inline constexpr char DL_TMP_ENG_FIRM[] = "/TMP/mfirm.tz";
inline constexpr char DL_TMP_SCN_FIRM[] = "/TMP/scmfirm.tz";
inline constexpr char DL_TMP_IMAGE0[] = "/TMP/firmImage0.bin";
inline constexpr char DL_TMP_IMAGE1[] = "/TMP/firmImage1.bin";
inline constexpr char DL_TMP_IMAGE2[] = "/TMP/firmImage2.bin";
inline constexpr char DL_TMP_TEMP_DB[] = "/TMP/temp.db";
inline constexpr char DL_TMP_SYS_DUMMY[] = "/TMP/sysDummy.txt";
inline constexpr char DL_TMP_HDD_BIN[] = "/TMP/hdd.bin";
// What a flash ROM package expands to while it is checked; removed after.
inline constexpr char DL_TMP_FROM_CHECK[] = "/TMP/fromchk.bin";
inline constexpr char DL_TMP_PROGRESS_LOG[] = "/TMP/HddUpdateProgress.log";
// What a failed HDD update leaves on the hard disk for the service engineer.
inline constexpr char DL_UND_PROGRESS_LOG[] = "/UND/HddUpdateProgress.log";
inline constexpr char DL_UND_TEMP_DB[] = "/UND/temp.db";
inline constexpr char DL_UND_NG_BIN[] = "/UND/NG.bin";

// 1: image files from "/usbstor/0/fwstore", 0: from the storage root.
extern INT32 dlupdateFolderCheckFlag;
extern char firmImageFile0[DL_PATH_SIZE];
extern char firmImageFile1[DL_PATH_SIZE];
extern char firmImageFile2[DL_PATH_SIZE];
// 1 once a system version was read from the media; never cleared.
extern INT32 bootUpdateFRWCheck;
// Update item bits of the items the media offers.
extern UINT32 dlFirmUpdateModuleEnableFlag;

extern MSG_Q_ID dlFirmUpdateFROMQId;
extern MSG_Q_ID dlFirmUpdateHdQId;
extern MSG_Q_ID dlFirmUpdateEngQId;
extern MSG_Q_ID dlFirmUpdateScnQId;

// ---- session driver ----
int dlFirmUpdateUSBMediaMain();

// ---- availability and service flags ----
void bootUpdateUSBMediaModeuleCheck(UINT32 mask);
int dlFirmSCFlagClear();

// The result message of an update task to the driver: one 32-bit word in
// the machine's own byte order.
STATUS dlFirmSendResult(MSG_Q_ID queue, INT32 result);

// ---- update tasks (entries of "tdlFirmFromUpdate", "tdlFirmEngUpdate",
// "tdlFirmScnUpdate") ----
int dlFirmFromUpdate_USB(UINT32 selection);
int dlFirmEngUpdate_USB(UINT32 selection);
int dlFirmScnUpdate_USB(UINT32 selection);

DL_NAMESPACE_END
