// What the module lays out in memory, as the device's 32-bit big-endian
// PowerPC lays it out: record sizes and field offsets, the areas whose sizes
// the boot environment and the other tasks count on, and the key table's
// words byte by byte. On another processor each row holds what that
// processor's word size and byte order give, so a layout that only happens
// to fit one of them fails on the other. (The loader's result message and
// the NVRAM words are read byte by byte in HddUpdate and BootEnvNvram.)
#include "bootenv/bootEnv.h"
#include "host/machine/Keys.h"
#include "support/Harness.h"
#include "update/hdd/dlFirmHDDUpdate.h"
#include "update/menu/dlFirmMenu.h"
#include "update/session/dlFirmUpMain.h"
#include "update/staging/dlFirmUpSubFunction.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace vx {
namespace {

using testing_support::MachineHarness;

constexpr bool kPointers32 = sizeof(void *) == 4;

TEST(TargetLayout, RecordsAreasAndKeyTableWordsAsTheMachineLaysThemOut)
{
    struct Row {
        const char *what;
        std::size_t got;
        std::size_t on32; // 32-bit pointers, as on the device
        std::size_t on64; // 64-bit pointers, natural alignment
    };
    const Row rows[] = {
        // The package record: seven fields in this order.
        {"sizeof DL_DB_INFO", sizeof(DL_DB_INFO), 28, 48},
        {"DL_DB_INFO.languageCode", offsetof(DL_DB_INFO, languageCode), 0, 0},
        {"DL_DB_INFO.dataStart", offsetof(DL_DB_INFO, dataStart), 4, 8},
        {"DL_DB_INFO.expandedSize", offsetof(DL_DB_INFO, expandedSize), 8, 16},
        {"DL_DB_INFO.compressedSize", offsetof(DL_DB_INFO, compressedSize), 12, 20},
        {"DL_DB_INFO.dbName", offsetof(DL_DB_INFO, dbName), 16, 24},
        {"DL_DB_INFO.version", offsetof(DL_DB_INFO, version), 20, 32},
        {"DL_DB_INFO.comment", offsetof(DL_DB_INFO, comment), 24, 40},
        // The loader's directory table entry.
        {"sizeof DL_DIR_INFO", sizeof(DL_DIR_INFO), 20, 40},
        {"DL_DIR_INFO.expandedSize", offsetof(DL_DIR_INFO, expandedSize), 4, 8},
        {"DL_DIR_INFO.dbName", offsetof(DL_DIR_INFO, dbName), 8, 16},
        {"DL_DIR_INFO.comment", offsetof(DL_DIR_INFO, comment), 16, 32},
        // The flash device's information record: three 32-bit words used.
        {"FROM_DEV_INFO.size", offsetof(FROM_DEV_INFO, size), 0, 0},
        {"FROM_DEV_INFO.lockArg1", offsetof(FROM_DEV_INFO, lockArg1), 4, 4},
        {"FROM_DEV_INFO.lockArg2", offsetof(FROM_DEV_INFO, lockArg2), 8, 8},
        // Messages and areas handed between tasks and to the boot environment.
        {"result message", sizeof(INT32), 4, 4},
        {"loader result message", DL_HDD_LOADER_MSG_SIZE, 8, 8},
        {"key message", sizeof dlBoardMsgRcvBuf, 4, 4},
        {"key table", 15 * sizeof *dlBoardKeyTbl, 30, 30},
        {"selection mask", sizeof(UINT32), 4, 4},
        {"version table", DL_VERSION_TABLE_SIZE, 160, 160},
        {"search origins", sizeof usbdataStart, 12, 12},
    };
    for (const Row &r : rows)
        EXPECT_EQ(r.got, kPointers32 ? r.on32 : r.on64) << r.what;

    // The key driver reads the table as 15 16-bit words in the machine's
    // order: digits 1 to 6 are bits 4 to 7 of word 0 and 4, 5 of word 1;
    // confirm and cancel bits 4 and 5 of word 3.
    MachineHarness h;
    MSG_Q_ID q = msgQCreate(10, 4, MSG_Q_FIFO);
    dlBoardKeyTbl = bootGetKeyFocus(q);
    ASSERT_NE(dlBoardKeyTbl, nullptr);
    std::memset(dlBoardKeyTbl, 0, 30);
    dlBoardSetKeyTbl(1, 6);
    dlBoardKeyTbl[3] |= 0x30;
    std::vector<unsigned char> got(30);
    std::memcpy(got.data(), dlBoardKeyTbl, got.size());
    std::vector<unsigned char> want(30, 0);
    const unsigned first = std::endian::native == std::endian::big ? 1 : 0;
    want[0 * 2 + first] = 0xF0;
    want[1 * 2 + first] = 0x30;
    want[3 * 2 + first] = 0x30;
    EXPECT_EQ(got, want);
    for (int code : {4, 5, 6, 7, 20, 21, 52, 53})
        EXPECT_TRUE(h.machine().keys().enabled(code)) << "key code " << code;
    EXPECT_FALSE(h.machine().keys().enabled(8));
    EXPECT_FALSE(h.machine().keys().enabled(22));
}

} // namespace
} // namespace vx
