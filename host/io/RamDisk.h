// The RAM disk: a block device over memory the module hands over
// (ramDevCreate) and a DOS file system on it (dosFsMkfs). File data lives in
// that memory, in 512-byte clusters after 64 KiB kept for the file system's
// tables; the tree and the cluster chains, which those tables would hold,
// are kept on the host side.
#pragma once

#include "host/io/IoSystem.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>

namespace host {

class RamBlockDevice {
public:
    // `memory` stays the caller's: it must outlive the device and every
    // file system on it, and is never freed here.
    RamBlockDevice(char *memory, std::size_t bytes, int bytesPerBlock);

    char *memory() const { return memory_; }
    std::size_t bytes() const { return bytes_; }
    int bytesPerBlock() const { return bytesPerBlock_; }
    std::size_t blocks() const { return bytes_ / static_cast<std::size_t>(bytesPerBlock_); }

private:
    char *memory_;
    std::size_t bytes_;
    int bytesPerBlock_;
};

class DosFsDevice : public Device {
public:
    static constexpr std::size_t kClusterShift = 9;
    static constexpr std::size_t kClusterBytes = std::size_t{1} << kClusterShift;
    static constexpr std::size_t kTableBytes = 64 * 1024;

    DosFsDevice(std::string name, const RamBlockDevice &blocks, Console &console);
    ~DosFsDevice() override;
    DosFsDevice(const DosFsDevice &) = delete;
    DosFsDevice &operator=(const DosFsDevice &) = delete;

    std::unique_ptr<OpenFile> open(std::string_view rest, int flags, int mode) override;
    bool remove(std::string_view rest) override;
    bool makeDirectory(std::string_view rest) override;
    std::optional<std::vector<DirEntry>> list(std::string_view rest) override;
    bool isDirectory(std::string_view rest) override;
    bool sameFile(std::string_view a, std::string_view b) override;

    std::size_t clusters() const;
    std::size_t freeClusters() const;

    // Writes every file and folder into the host folder `dir` (made when
    // missing). False on a host error.
    // `refuse`, when given, is asked for each destination first; a file or
    // folder it refuses stops the copy (false), nothing written there.
    bool copyOut(const std::filesystem::path &dir,
                 const std::function<bool(const std::filesystem::path &)> &refuse = {}) const;

private:
    struct Node;
    class Volume;
    class File;

    // The components of `rest`; nullopt, reported, when it is refused.
    std::optional<std::vector<std::string>> components(std::string_view rest);
    std::shared_ptr<Node> walk(const std::vector<std::string> &parts, std::size_t depth) const;
    // The node `rest` names (nullptr: none).
    std::shared_ptr<Node> lookup(std::string_view rest);
    // The folder that would hold `rest` and the last name in it.
    std::shared_ptr<Node> parentOf(std::string_view rest, std::string *leaf);

    std::shared_ptr<Volume> volume_;
    Console &console_;
};

} // namespace host
