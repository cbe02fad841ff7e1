// The update item selection menu and its key table.
#pragma once

#include "bootenv/vxWorks.h"

namespace vx {

// The selection mask, or -1 when a key message cannot be received.
INT32 bootUpdateSelectUSBMedia();
int dlBoardCpKeyGetProc();
void dlBoardSetKeyTbl(UINT32 min, UINT32 max);
INT32 bootUpdateSelectUSBMediaProc();

} // namespace vx
