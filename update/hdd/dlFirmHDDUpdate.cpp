// HDD system update: the update task and the progress log stream.
#include "update/hdd/dlFirmHDDUpdate.h"

#include <cstddef>

namespace vx {

// Opened by the HDD update task; every writer of the HDD update tests it.
FILE *dl_fp = NULL;

} // namespace vx
