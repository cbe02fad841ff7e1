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

// ---- update tasks (entries of "tdlFirmFromUpdate", "tdlFirmEngUpdate",
// "tdlFirmScnUpdate") ----
int dlFirmFromUpdate_USB(UINT32 selection);
int dlFirmEngUpdate_USB(UINT32 selection);
int dlFirmScnUpdate_USB(UINT32 selection);

DL_NAMESPACE_END
