// The boot environment's services as the module calls them, on a machine
// with its folder: panel trace names the calling task, key focus and its
// fault, NVRAM words and window, flash device creation, units, disk.
#include "bootenv/bootEnv.h"
#include "host/machine/Keys.h"
#include "host/machine/Panel.h"
#include "support/Harness.h"

#include <sstream>

namespace vx {
namespace {

using testing_support::MachineHarness;
using testing_support::readText;
using testing_support::writeFile;

TEST(BootEnvPanel, TraceNamesTheCallingTask)
{
    MachineHarness h;
    std::ostringstream trace;
    h.machine().panel().enableTrace(trace);
    h.runTask(
        [] {
            bootDispClear();
            bootDispString(0, 42, 4, "HDD SYS Update .......");
        },
        "tdlFirmHdUpdate");
    EXPECT_EQ(trace.str(), "{\"task\":\"tdlFirmHdUpdate\",\"op\":\"clear\"}\n"
                           "{\"task\":\"tdlFirmHdUpdate\",\"op\":\"text\",\"col\":42,\"row\":4,"
                           "\"text\":\"HDD SYS Update .......\"}\n");
    EXPECT_EQ(h.machine().panel().snapshot()[4].substr(42, 22), "HDD SYS Update .......");
}

TEST(BootEnvKeys, FocusTableAndItsFault)
{
    MachineHarness h;
    h.machine().faults().add("keys:1:1");
    MSG_Q_ID q = msgQCreate(10, 4, MSG_Q_FIFO);
    bootKeyDrvInit();
    UINT16 *table = bootGetKeyFocus(q);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(bootGetKeyFocus(q), nullptr); // the injected failure
    EXPECT_NE(bootGetKeyFocus(q), nullptr);
    EXPECT_EQ(bootGetKeyFocus(reinterpret_cast<MSG_Q_ID>(table)), nullptr); // not a queue

    // Enable the confirm key (52 = word 3, bit 4) only.
    for (int i = 0; i < 15; ++i)
        table[i] = 0;
    table[3] = 1u << 4;
    bootKeyUnlock();
    EXPECT_FALSE(h.machine().keys().press(host::Keys::kDigitCodes[1]));
    EXPECT_TRUE(h.machine().keys().press(host::Keys::kConfirmCode));
    bootKeyLock();
    EXPECT_FALSE(h.machine().keys().press(host::Keys::kConfirmCode));
    char msg[4] = {};
    EXPECT_EQ(msgQReceive(q, msg, 4, NO_WAIT), 4);
    EXPECT_EQ(msg[0], 1);
    EXPECT_EQ(msg[1], 52);
    EXPECT_EQ(msgQReceive(q, msg, 4, NO_WAIT), ERROR);
}

TEST(BootEnvNvram, FlagsAndTheF200WordsReachTheFileBigEndian)
{
    MachineHarness h;
    EXPECT_EQ(setBitNvFlag(0x10, 0), OK);
    EXPECT_EQ(setBitNvFlag(0x01, 0), OK);
    EXPECT_EQ(clearBitNvRAMFlags(0x01), OK);
    dlBoardUpdateFlagOn();

    constexpr UINT32 wordA = NVRAM_BASE_ADRS + 0x7808, wordB = NVRAM_BASE_ADRS + 0x780A;
    sysOutWord(wordB, 0x0200); // window closed: ignored and reported
    EXPECT_EQ(sysInWord(wordB), 0);
    EXPECT_NE(h.reports().find("write window"), std::string::npos) << h.reports();
    nvramWriteEnable();
    sysOutWord(wordA, 0x12AB);
    sysOutWord(wordB, 0x0234);
    vxEieio();
    nvramWriteDisable();
    EXPECT_EQ(sysInWord(wordA), 0x12AB);

    std::string nv = readText(h.folder() / "nvram.bin");
    ASSERT_EQ(nv.size(), 65536u);
    EXPECT_EQ(nv.substr(0, 8), std::string("\0\0\0\x10\0\0\0\x01", 8));
    EXPECT_EQ(nv.substr(0x7808, 4), std::string("\x12\xAB\x02\x34", 4));

    EXPECT_EQ(frwClearNvRAMFlags(), OK);
    EXPECT_EQ(bootUpdateClearNvmAutoMode(), OK);
    nv = readText(h.folder() / "nvram.bin");
    EXPECT_EQ(nv.substr(0, 8), std::string(8, '\0'));
}

TEST(BootEnvFlash, DeviceCreatedOnceWrittenThroughTheIoSystem)
{
    MachineHarness h;
    EXPECT_EQ(fromDevCreate("/dlfromALL/", 0xFF000000u, 0x01000000u), OK);
    EXPECT_EQ(fromDevCreate("/dlfromALL/", 0xFF000000u, 0x01000000u), ERROR);
    FROM_DEV_INFO info{};
    ASSERT_EQ(fromDevGetInfo("/dlfromALL/", &info), OK);
    EXPECT_EQ(info.size, 16777216);

    int fd = open("/dlfromALL/", O_RDWR, 0);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(ioctl(fd, 2, 0), ERROR); // locked
    fromDevUnlock(info.lockArg1, info.lockArg2);
    EXPECT_EQ(ioctl(fd, 2, 0), OK);
    char image[] = "OSUI";
    EXPECT_EQ(write(fd, image, 4), 4);
    fromDevLock(info.lockArg1, info.lockArg2);
    EXPECT_EQ(lseek(fd, 0, SEEK_SET), 0);
    char back = 0;
    EXPECT_EQ(read(fd, &back, 1), 1);
    EXPECT_EQ(back, 'O');
    close(fd);
    EXPECT_EQ(readText(h.folder() / "flashrom.bin").substr(0, 5), std::string("OSUI\xFF"));
}

TEST(BootEnvTargets, UnitsDiskAndBootVersion)
{
    MachineHarness h;
    writeFile(h.folder() / "bootversion.txt", "BOOT V2.34 with a long tail of text\nsecond\n");
    char version[24] = {};
    fromGetBootVersion(version);
    EXPECT_STREQ(version, "BOOT V2.34 with a long ");

    writeFile(h.folder() / "disk" / "PRF" / "a.cfg", "prf");
    EXPECT_EQ(bootHdLoaderInit(0), 0);
    EXPECT_EQ(catMkdir("/ROM/PRF"), OK);
    EXPECT_EQ(catMkdir("/ROM/PRF"), ERROR); // exists
    EXPECT_EQ(catMkdir("/ROM/x/y"), ERROR); // no parent
    EXPECT_EQ(bootHdLoaderBackupPartAll("/PRF", "/ROM/PRF"), OK);
    EXPECT_EQ(readText(h.folder() / "disk" / "ROM" / "PRF" / "a.cfg"), "prf");

    writeFile(h.media() / "lsr.bin", "laser firmware");
    EXPECT_EQ(frwRewriteMAIN(15, 0, "/usbstor/0/lsr.bin"), 0);
    EXPECT_EQ(readText(h.folder() / "units" / "lsr.bin"), "laser firmware");
    EXPECT_EQ(frwRewriteMAIN(12, 0, "/usbstor/0/lsr.bin"), -1);
    h.machine().faults().add("unit.pfc");
    EXPECT_EQ(frwRewriteMAIN(14, 0, "/usbstor/0/lsr.bin"), -1);
    EXPECT_FALSE(std::filesystem::exists(h.folder() / "units" / "pfc.bin"));
}

TEST(BootEnvNoFolder, BoardServicesFailClearly)
{
    MachineHarness h(false);
    EXPECT_EQ(setBitNvFlag(1, 0), ERROR);
    EXPECT_EQ(fromDevCreate("/dlfromALL/", 0xFF000000u, 0x01000000u), ERROR);
    EXPECT_NE(h.reports().find("no machine folder"), std::string::npos);
}

} // namespace
} // namespace vx
