// A device served from a folder of the host: the update media
// ("/usbstor/0", read-only) and the hard disk's partitions ("/SYS" ...).
// Nothing outside the folder can be reached through it: ".." above its root
// and symbolic links that lead out of it are refused and reported.
#pragma once

#include "host/io/IoSystem.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

namespace host {

class HostFolderDevice : public Device {
public:
    HostFolderDevice(std::string name, const std::filesystem::path &folder, bool readOnly, Console &console);
    ~HostFolderDevice() override;

    std::unique_ptr<OpenFile> open(std::string_view rest, int flags, int mode) override;
    bool remove(std::string_view rest) override;
    bool makeDirectory(std::string_view rest) override;
    std::optional<std::vector<DirEntry>> list(std::string_view rest) override;
    bool isDirectory(std::string_view rest) override;
    bool sameFile(std::string_view a, std::string_view b) override;

    const std::filesystem::path &folder() const { return root_; }
    bool readOnly() const { return readOnly_; }

private:
    // The host path that `rest` names, every symbolic link on the way
    // resolved (the last one too when followLast); nullopt, reported unless
    // quiet, when it would leave the folder.
    std::optional<std::filesystem::path> hostPath(std::string_view rest, bool followLast, bool quiet = false);
    bool inside(const std::filesystem::path &canonical) const;
    // The file opened with the host's flags in one step when no link lies
    // on its way, or -1: the walk through hostPath then decides.
    int openWithoutLinks(std::string_view rest, int hostFlags);
    bool refuseChange(std::string_view what, std::string_view rest);
    void report(std::string_view rest, std::string_view why);

    std::filesystem::path root_; // canonical
    bool readOnly_;
    Console &console_;
    // Bumped by every write through this device, so that the read-ahead of
    // other open files knows when to drop what it holds.
    std::shared_ptr<std::uint64_t> writes_;
    bool noOpenat2_ = false;
};

} // namespace host
