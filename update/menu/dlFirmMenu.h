// The update item selection menu and its key table.
#pragma once

#include "bootenv/vxWorks.h"
#include "bootenv/dlNamespace.h"

DL_NAMESPACE_BEGIN

// Key messages from the panel's key driver (10 of 4 bytes, FIFO).
extern MSG_Q_ID dlBoardMsgQID;
// The key driver's table: 15 words, bit b of word w enables code 16*w+b.
extern UINT16 *dlBoardKeyTbl;
// Byte 0 event kind, byte 1 key code.
extern UINT8 dlBoardMsgRcvBuf[4];
// Highest digit key the menu enables: one per update item.
extern INT32 dlFirmUpdateKeyMax;

// The selection mask, or -1 when a key message cannot be received.
INT32 bootUpdateSelectUSBMedia();
int dlBoardCpKeyGetProc();
void dlBoardSetKeyTbl(UINT32 min, UINT32 max);
INT32 bootUpdateSelectUSBMediaProc();

DL_NAMESPACE_END
