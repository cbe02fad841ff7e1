// The F200 service flag in the board's NVRAM, cleared after a complete
// session of all six update items.
#include "bootenv/bootEnv.h"
#include "bootenv/dlNamespace.h"
#include "update/session/dlFirmUpMain.h"

DL_NAMESPACE_BEGIN

namespace {

// The flag's two NVRAM words.
constexpr UINT32 DL_F200_WORD_A = NVRAM_BASE_ADRS + 0x7808;
constexpr UINT32 DL_F200_WORD_B = NVRAM_BASE_ADRS + 0x780A;
constexpr UINT16 DL_F200_SET = 2; // high byte of word B

} // namespace

int dlFirmSCFlagClear()
{
    UINT16 wordA;
    UINT16 wordB;

    wordA = sysInWord(DL_F200_WORD_A);
    wordB = sysInWord(DL_F200_WORD_B);
    if ((wordB >> 8) != DL_F200_SET)
        return 0;

    nvramWriteEnable();
    // Word A keeps its high byte, as read above.
    sysOutWord(DL_F200_WORD_A, (UINT16)((wordA >> 8) << 8));
    sysOutWord(DL_F200_WORD_B, 0);
    vxEieio();
    nvramWriteDisable();
    printf("[dlFirmSCFlagClear] F200 Clear.\n");
    return 0;
}

DL_NAMESPACE_END
