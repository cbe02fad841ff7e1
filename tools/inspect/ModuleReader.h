// Reads update media the way the module does, with the module's own
// pair-swap readers, header lookup, version readers and HDD file check,
// and judges what it finds. Every call goes to the bound machine, whose
// media device serves the folder as "/usbstor/0": read() must run in one
// of that machine's tasks.
#pragma once

#include "tools/inspect/Report.h"

#include <filesystem>
#include <functional>
#include <string>

namespace host {
class BoundMachine;
class CapturedConsole;
struct MachineConfig;
} // namespace host

namespace inspect {

class ModuleReader {
public:
    // `console` captures the module's console, whose last line before a
    // lookup gives up is quoted as the reason.
    ModuleReader(const host::CapturedConsole &console, std::filesystem::path dir);

    // Keeps what each package inflates to (for comparing a machine with
    // the media); off by default, as HDD media run to hundreds of MiB.
    void keepContent(bool keep) { keepContent_ = keep; }
    // Hands each HDD package with what it inflates to to `sink` as it is
    // read, then lets the content go (unless kept): memory stays that of a
    // few packages, however large the media.
    using PackageSink = std::function<void(const PackageReport &)>;
    void onHddPackage(PackageSink sink) { hddSink_ = std::move(sink); }
    // Called in the reading task as each media file has been read, with
    // its name ("firmImage0.bin", "3"), for a command's progress.
    void onFileRead(std::function<void(const std::string &)> f) { onFileRead_ = std::move(f); }

    Report read();

private:
    class Session;

    const host::CapturedConsole &console_;
    std::filesystem::path dir_;
    bool keepContent_ = false;
    PackageSink hddSink_;
    std::function<void(const std::string &)> onFileRead_;
};

// A machine with only the media (or nothing), to run the module's readers
// on in a task of its own.
host::MachineConfig readerConfig(const std::filesystem::path &media = {});

// Runs the module's reader in a task of `m`; false when the task ended by
// exit() or never ended. An error the body throws comes out here.
bool runReader(host::BoundMachine &m, const std::function<void()> &body);

// The system version and FRW target the module reads from a version text
// (mode DL_VER_TEXT) or from a flash image's head (DL_VER_HEAD).
struct ModuleVersion {
    std::string version, target;
};
ModuleVersion readVersion(host::BoundMachine &m, std::string text, int mode);

// Runs the module's staging of a session on the bound machine's media, in
// the calling task: the RAM disk, the flash image file and the unit images.
// 0, or -1 when the module gives up ("   Inflate Error").
int stageAsSession(bool modelFolder);

} // namespace inspect
