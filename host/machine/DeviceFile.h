// A descriptor of the machine's I/O system that closes itself, for the
// boot environment's services that read and write device files.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace host {

class IoSystem;

class DeviceFile {
public:
    // Opens `path` with the device OS's flags; check with isOpen().
    DeviceFile(IoSystem &io, std::string_view path, int flags, int mode = 0644);
    ~DeviceFile();
    DeviceFile(const DeviceFile &) = delete;
    DeviceFile &operator=(const DeviceFile &) = delete;

    bool isOpen() const { return fd_ > 0; }
    // Bytes read (0 at the end) or -1.
    long read(char *buffer, std::size_t n);
    // Writes all of `n` bytes, going on after short writes; false when the
    // device takes no more.
    bool writeAll(const char *buffer, std::size_t n);
    bool rewind();
    // The file's length, the position left at the start; -1 when unknown.
    long length();
    // The rest of the file from the current position; false on a read error.
    bool readAll(std::vector<char> &content);
    // The whole content in place, when the device holds it in one run of
    // memory (see OpenFile::contiguous); nullptr otherwise.
    const char *contiguous(std::size_t *size) const;

private:
    IoSystem &io_;
    int fd_;
};

} // namespace host
