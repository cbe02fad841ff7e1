// Which update items the media offers: one bit per item whose image is in
// the RAM disk, and HDD SYS when its package files on the storage are whole.
#include "bootenv/bootEnv.h"
#include "bootenv/dlNamespace.h"
#include "update/hdd/dlFirmHDDUpdate.h"
#include "update/session/dlFirmUpMain.h"

#include <cstring>

DL_NAMESPACE_BEGIN

namespace {

// Sets `bit` when `path` can be opened, unless `mask` keeps it off.
void dlFirmModuleFileCheck(const char *path, UINT32 bit, UINT32 mask)
{
    int fd;

    fd = open(path, O_RDONLY, 0);
    if (fd > 0) {
        close(fd);
        if ((mask & bit) == 0)
            dlFirmUpdateModuleEnableFlag |= bit;
    }
}

} // namespace

void bootUpdateUSBMediaModeuleCheck(UINT32 mask)
{
    INT32 count = 0;
    INT32 sizes[DL_HDD_FILES_MAX];

    dlFirmUpdateModuleEnableFlag = 0;

    dlFirmModuleFileCheck(DL_TMP_FROM_BIN, DL_ITEM_OSUI, mask);

    // The HDD package files are looked for on the storage, not in /TMP.
    memset(sizes, 0, sizeof(sizes));
    if (dlFirmUsbCheckHDD(&count, sizes) == 0) {
        // The HDD update must find every file of the series offered here.
        dlFirmHddSeriesCount = count;
        if ((mask & DL_ITEM_HDD) == 0)
            dlFirmUpdateModuleEnableFlag |= DL_ITEM_HDD;
    } else {
        dlFirmHddSeriesCount = 0;
    }

    dlFirmModuleFileCheck(DL_TMP_LSR_FIRM, DL_ITEM_LSR, mask);
    dlFirmModuleFileCheck(DL_TMP_PFC_FIRM, DL_ITEM_PFC, mask);
    dlFirmModuleFileCheck(DL_TMP_ENG_FIRM, DL_ITEM_ENGINE, mask);
    dlFirmModuleFileCheck(DL_TMP_SCN_FIRM, DL_ITEM_SCANNER, mask);
}

DL_NAMESPACE_END
