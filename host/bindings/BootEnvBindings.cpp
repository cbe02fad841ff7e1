// The boot environment's services as the module calls them, served by the
// bound machine: panel and keys, NVRAM, flash ROM device, sub-units, hard
// disk and package services.
#include "bootenv/bootEnv.h"
#include "host/Machine.h"
#include "host/machine/Archiver.h"
#include "host/machine/BootVersion.h"
#include "host/machine/FlashRom.h"
#include "host/machine/HardDisk.h"
#include "host/machine/Keys.h"
#include "host/machine/Nvram.h"
#include "host/machine/Packages.h"
#include "host/machine/Panel.h"
#include "host/machine/Units.h"

#include <cstdio>
#include <string>

namespace {

host::Machine &machine() { return host::boundMachine(); }

std::string taskName() { return machine().kernel().currentTaskName(); }

// A machine without a folder has no board devices: say so once per call.
template <class T>
T *need(T *device, const char *call)
{
    if (!device)
        machine().console().report(std::string(call) + ": this machine has no machine folder");
    return device;
}

} // namespace

namespace vx {

int DLBOARD_SCM_DISPLAY_YPOINT = 0;
int DLBOARD_ARCHVIER_DISPLAY_YPOINT = 0;

// ---- panel -----------------------------------------------------------------
void bootDispClear() { machine().panel().clear(taskName()); }

void bootDispString(int /*mode*/, int column, int row, const char *text)
{
    if (text)
        machine().panel().drawString(column, row, text, taskName());
}

// ---- keys ----------------------------------------------------------------------
void bootKeyDrvInit() { machine().keys().driverInit(); }

UINT16 *bootGetKeyFocus(MSG_Q_ID queue)
{
    if (machine().faultFires(host::Fault::keys, [&] { return "bootGetKeyFocus fails"; }))
        return nullptr;
    auto *q = reinterpret_cast<host::MsgQueue *>(queue);
    if (!machine().kernel().isQueue(q))
        return nullptr;
    return machine().keys().getFocus(q);
}

void bootKeyUnlock() { machine().keys().unlock(); }

void bootKeyLock() { machine().keys().lock(); }

// ---- NVRAM -------------------------------------------------------------------
STATUS setBitNvFlag(UINT32 mask, int /*arg*/)
{
    auto *nv = need(machine().nvram(), "setBitNvFlag");
    return nv ? nv->setBits(mask) : ERROR;
}

STATUS clearBitNvRAMFlags(UINT32 mask)
{
    auto *nv = need(machine().nvram(), "clearBitNvRAMFlags");
    return nv ? nv->clearBits(mask) : ERROR;
}

STATUS frwClearNvRAMFlags()
{
    auto *nv = need(machine().nvram(), "frwClearNvRAMFlags");
    return nv ? nv->clearAllFlags() : ERROR;
}

STATUS bootUpdateClearNvmAutoMode()
{
    auto *nv = need(machine().nvram(), "bootUpdateClearNvmAutoMode");
    return nv ? nv->clearAutoMode() : ERROR;
}

STATUS bootUpdateServiceNvRamAllClear()
{
    auto *nv = need(machine().nvram(), "bootUpdateServiceNvRamAllClear");
    return nv ? nv->clearService() : ERROR;
}

void dlBoardUpdateFlagOn()
{
    if (auto *nv = need(machine().nvram(), "dlBoardUpdateFlagOn"))
        nv->setUpdateModeOn();
}

void nvramWriteEnable()
{
    if (auto *nv = need(machine().nvram(), "nvramWriteEnable"))
        nv->writeEnable();
}

void nvramWriteDisable()
{
    if (auto *nv = need(machine().nvram(), "nvramWriteDisable"))
        nv->writeDisable();
}

UINT16 sysInWord(UINT32 address)
{
    auto *nv = need(machine().nvram(), "sysInWord");
    return nv ? nv->load16(address) : 0;
}

void sysOutWord(UINT32 address, UINT16 value)
{
    if (auto *nv = need(machine().nvram(), "sysOutWord"))
        nv->store16(address, value);
}

// ---- flash ROM -----------------------------------------------------------------
STATUS fromDevCreate(const char *name, UINT32 base, UINT32 size)
{
    auto *flash = need(machine().flash(), "fromDevCreate");
    if (!flash || !name)
        return ERROR;
    // An existing name stays as it is.
    if (machine().io().device(name))
        return ERROR;
    auto device = flash->createDevice(name, base, size);
    if (!device)
        return ERROR;
    return machine().io().addDevice(std::move(device)) ? OK : ERROR;
}

STATUS fromDevGetInfo(const char *name, FROM_DEV_INFO *info)
{
    auto *flash = need(machine().flash(), "fromDevGetInfo");
    if (!flash || !name || !info)
        return ERROR;
    host::FlashInfo fi;
    if (flash->info(name, fi) != 0)
        return ERROR;
    *info = FROM_DEV_INFO{};
    info->size = fi.size;
    info->lockArg1 = fi.lockArg1;
    info->lockArg2 = fi.lockArg2;
    return OK;
}

STATUS fromDevUnlock(UINT32 arg1, UINT32 arg2)
{
    auto *flash = need(machine().flash(), "fromDevUnlock");
    machine().noteProgress(host::Phase::flashRom);
    return flash ? flash->unlock(arg1, arg2) : ERROR;
}

STATUS fromDevLock(UINT32 arg1, UINT32 arg2)
{
    auto *flash = need(machine().flash(), "fromDevLock");
    return flash ? flash->lock(arg1, arg2) : ERROR;
}

STATUS fromGetBootVersion(char *buffer)
{
    if (!buffer)
        return ERROR;
    if (machine().folder().empty()) {
        std::snprintf(buffer, 24, "%s", std::string(host::kDefaultBootVersion).c_str());
        return OK;
    }
    return host::copyBootVersion(machine().folder(), buffer, machine().console());
}

// ---- sub-units -------------------------------------------------------------------
int frwRewriteMAIN(int target, int arg, const char *path)
{
    auto *units = need(machine().units(), "frwRewriteMAIN");
    if (!units || !path)
        return ERROR;
    machine().noteProgress(host::Phase::units);
    return units->rewrite(target, arg, path);
}

// ---- hard disk -------------------------------------------------------------------
int bootHdLoaderInit(int arg)
{
    auto *disk = need(machine().disk(), "bootHdLoaderInit");
    return disk ? disk->loaderInit(arg) : ERROR;
}

STATUS bootHdFormatOSPartition()
{
    auto *disk = need(machine().disk(), "bootHdFormatOSPartition");
    return disk ? disk->formatOSPartition() : ERROR;
}

STATUS bootHdLoaderBackupPartAll(const char *from, const char *to)
{
    auto *disk = need(machine().disk(), "bootHdLoaderBackupPartAll");
    if (!disk || !from || !to)
        return ERROR;
    return disk->backupPartAll(from, to);
}

STATUS catMkdir(const char *path)
{
    if (!path)
        return ERROR;
    if (auto *disk = machine().disk())
        return disk->catMkdir(path);
    // Without a disk the RAM disk and the media still have folders.
    if (machine().faultFires(host::Fault::mkdir, [&] { return std::string("mkdir ") + path + " fails"; }))
        return ERROR;
    return machine().io().mkdir(path);
}

// ---- package services ------------------------------------------------------------
char *dlFindDataStart(char *from, char *end) { return const_cast<char *>(host::findDataStart(from, end)); }

long dlBoradFindLongValueByPtr(const char *value) { return host::findLongValue(value); }

int dlBoardArchiver(int command, const char *source, const char *destination, int option)
{
    if (!source || !destination)
        return ERROR;
    std::uint64_t inflated = 0;
    int result = host::inflateFile(machine().io(), machine().faults(), machine().inflateRoom(), command,
                                   source, destination, option, &inflated);
    // Into the RAM disk while the media are staged, onto the disk after.
    if (machine().progressWatched())
        machine().noteProgress(std::string_view(destination).starts_with("/TMP") ? host::Phase::staging
                                                                                 : host::Phase::hdd,
                               0, inflated);
    return result;
}

} // namespace vx
