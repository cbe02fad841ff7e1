#include "Files.h"

#include <fstream>
#include <stdexcept>

namespace testing_support {

namespace {

template <typename Buffer>
Buffer readWhole(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    Buffer b;
    if (!in)
        return b;
    std::error_code ec;
    if (std::filesystem::is_regular_file(file, ec)) {
        const auto size = std::filesystem::file_size(file, ec);
        if (ec)
            return b;
        b.resize(static_cast<std::size_t>(size));
        in.read(reinterpret_cast<char *>(b.data()), static_cast<std::streamsize>(b.size()));
        b.resize(static_cast<std::size_t>(in.gcount()));
        return b;
    }
    // Not a regular file (a pipe, a device; a folder reads as nothing): as
    // far as it reads.
    for (char c; in.get(c);)
        b.push_back(static_cast<typename Buffer::value_type>(c));
    return b;
}

void writeWhole(const std::filesystem::path &file, const char *data, std::size_t size)
{
    if (file.has_parent_path())
        std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(data, static_cast<std::streamsize>(size));
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

} // namespace

Bytes readBytes(const std::filesystem::path &file) { return readWhole<Bytes>(file); }

std::string readText(const std::filesystem::path &file) { return readWhole<std::string>(file); }

void writeFile(const std::filesystem::path &file, std::string_view bytes)
{
    writeWhole(file, bytes.data(), bytes.size());
}

void writeFile(const std::filesystem::path &file, std::span<const std::uint8_t> bytes)
{
    writeWhole(file, reinterpret_cast<const char *>(bytes.data()), bytes.size());
}

} // namespace testing_support
