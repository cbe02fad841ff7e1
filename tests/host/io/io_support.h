// Helpers of the I/O tests: a scratch host folder that is removed again,
// and a board with the machine's devices on scratch folders.
#pragma once

#include "host/Console.h"
#include "host/io/HostFolderDevice.h"
#include "host/io/IoSystem.h"
#include "host/io/RamDisk.h"

#include "support/Files.h"
#include "support/TempDir.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;
using host::iof::kCreat, host::iof::kRdOnly, host::iof::kRdWr, host::iof::kTrunc, host::iof::kWrOnly;
constexpr int kCreate = kRdWr | kCreat | kTrunc;

using testing_support::readText;
using testing_support::TempDir;
using testing_support::writeFile;

// Every path below `root`, relative to it, sorted.
inline std::vector<std::string> hostTree(const fs::path &root)
{
    std::vector<std::string> paths;
    for (const auto &e : fs::recursive_directory_iterator(root))
        paths.push_back(fs::relative(e.path(), root).string());
    std::sort(paths.begin(), paths.end());
    return paths;
}

// A machine's devices over scratch folders: "/usbstor/0" (read-only media),
// "/SYS" and "/ROM" (disk folders) and a RAM disk "/TMP" of `clusters`.
class Board {
    std::vector<char> memory_; // before io: outlives the file system on it
    host::RamBlockDevice blocks_;

public:
    explicit Board(std::size_t clusters = 64)
        : memory_(host::DosFsDevice::kTableBytes + clusters * 512, '\x5A'),
          blocks_(memory_.data(), memory_.size(), 512), captured(console), io(console)
    {
        addFolder("/usbstor/0", media(), true);
        addFolder("/SYS", disk("SYS"), false);
        addFolder("/ROM", disk("ROM"), false);
        auto ram = std::make_unique<host::DosFsDevice>("/TMP", blocks_, console);
        ramDisk = ram.get();
        io.addDevice(std::move(ram));
    }

    fs::path media() const { return scratch / "media"; }
    fs::path disk(const std::string &part) const { return scratch / "disk" / part; }
    fs::path outside() const { return scratch / "outside"; }
    std::vector<char> &memory() { return memory_; }

    // The whole file through the I/O system; "<none>" when it cannot be opened.
    std::string slurp(const std::string &path)
    {
        int fd = io.open(path, kRdOnly, 0);
        std::string s = fd < 0 ? "<none>" : "";
        char chunk[700];
        for (int n; fd >= 0 && (n = io.read(fd, chunk, sizeof chunk)) > 0;)
            s.append(chunk, static_cast<std::size_t>(n));
        io.close(fd);
        return s;
    }

    // What write() returned, or -1 when the file cannot be opened.
    int put(const std::string &path, const std::string &content, int flags = kCreate)
    {
        int fd = io.open(path, flags, 0644);
        int n = fd < 0 ? -1 : io.write(fd, content.data(), content.size());
        io.close(fd);
        return n;
    }

    long size(const std::string &path)
    {
        int fd = io.open(path, kRdOnly, 0);
        long n = io.lseek(fd, 0, host::iof::kSeekEnd);
        io.close(fd);
        return n;
    }

    TempDir scratch;
    host::Console console;
    host::CapturedConsole captured;
    host::IoSystem io;
    host::DosFsDevice *ramDisk = nullptr;

private:
    void addFolder(const char *name, const fs::path &dir, bool readOnly)
    {
        fs::create_directories(dir);
        io.addDevice(std::make_unique<host::HostFolderDevice>(name, dir, readOnly, console));
    }
};

} // namespace testing_support
