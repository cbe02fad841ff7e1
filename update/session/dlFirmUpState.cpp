// Module state owned by the session driver. It keeps its value from one
// session to the next, as within one boot.
#include "update/session/dlFirmUpMain.h"
#include "bootenv/dlNamespace.h"

DL_NAMESPACE_BEGIN

INT32 dlupdateFolderCheckFlag = 0;
char firmImageFile0[DL_PATH_SIZE];
char firmImageFile1[DL_PATH_SIZE];
char firmImageFile2[DL_PATH_SIZE];
INT32 bootUpdateFRWCheck = 0;
UINT32 dlFirmUpdateModuleEnableFlag = 0x0000FFFF;

MSG_Q_ID dlFirmUpdateFROMQId;
MSG_Q_ID dlFirmUpdateHdQId;
MSG_Q_ID dlFirmUpdateEngQId;
MSG_Q_ID dlFirmUpdateScnQId;

DL_NAMESPACE_END
