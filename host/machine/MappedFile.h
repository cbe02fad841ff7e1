// A machine-folder file of fixed size mapped shared into memory: every store
// is in the file as soon as it is made, so another process, or a process
// killed in the middle of its work, sees exactly what was stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace host {

class MappedFile {
public:
    // std::runtime_error naming the file when it is missing, is not a
    // regular file, is not exactly `size` bytes long or cannot be mapped;
    // the file is not changed then.
    MappedFile(const std::filesystem::path &path, std::size_t size);
    ~MappedFile();
    MappedFile(MappedFile &&other) noexcept;
    MappedFile &operator=(MappedFile &&other) noexcept;
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;

    std::uint8_t *data() const { return data_; }
    std::size_t size() const { return size_; }
    const std::filesystem::path &path() const { return path_; }

    // Writes a file of `size` bytes of `fill`, replacing any file of that
    // name only once the new one is complete. std::runtime_error on a host
    // error.
    static void create(const std::filesystem::path &path, std::size_t size, std::uint8_t fill);

private:
    void unmap() noexcept;

    std::filesystem::path path_;
    std::uint8_t *data_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace host
