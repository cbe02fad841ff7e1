// Reads update media the way the module does, with the module's own
// pair-swap readers, header lookup, version readers and HDD file check,
// and judges what it finds. Every call goes to the bound machine, whose
// media device serves the folder as "/usbstor/0": read() must run in one
// of that machine's tasks.
#pragma once

#include "tools/inspect/Report.h"

#include <filesystem>

namespace host {
class CapturedConsole;
}

namespace inspect {

class ModuleReader {
public:
    // `console` captures the module's console, whose last line before a
    // lookup gives up is quoted as the reason.
    ModuleReader(const host::CapturedConsole &console, std::filesystem::path dir);

    // Keeps what each package inflates to (for comparing a machine with
    // the media); off by default, as HDD media run to hundreds of MiB.
    void keepContent(bool keep) { keepContent_ = keep; }

    Report read();

private:
    class Session;

    const host::CapturedConsole &console_;
    std::filesystem::path dir_;
    bool keepContent_ = false;
};

} // namespace inspect
