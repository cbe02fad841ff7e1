// HDD system update: the update task and the progress log stream.
#include "update/hdd/dlFirmHDDUpdate.h"
#include "bootenv/dlNamespace.h"

#include <cstddef>

DL_NAMESPACE_BEGIN

// Opened by the HDD update task; every writer of the HDD update tests it.
FILE *dl_fp = NULL;

DL_NAMESPACE_END
