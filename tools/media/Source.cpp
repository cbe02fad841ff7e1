#include "tools/media/Source.h"

#include <fstream>
#include <random>
#include <string>

namespace media {

namespace fs = std::filesystem;

namespace {

std::string tooLarge(std::string_view label, std::uint64_t size, std::size_t limit)
{
    return std::string(label) + ": " + std::to_string(size) + " bytes, more than the " +
           std::to_string(limit) + " it may hold";
}

} // namespace

Bytes generate(const Generated &gen)
{
    Bytes out(gen.size, gen.fill);
    if (!gen.seed)
        return out;
    std::mt19937_64 engine(*gen.seed);
    for (std::size_t i = 0; i < out.size(); i += 8) {
        std::uint64_t draw = engine();
        for (std::size_t b = 0; b < 8 && i + b < out.size(); ++b)
            out[i + b] = static_cast<std::uint8_t>(draw >> (8 * b));
    }
    return out;
}

Bytes readInput(const fs::path &file, std::size_t limit, std::string_view label)
{
    std::error_code ec;
    auto status = fs::status(file, ec);
    if (!fs::exists(status))
        throw MediaIoError(std::string(label) + ": cannot read " + file.string() + ": " +
                           (ec ? ec.message() : "no such file"));
    if (!fs::is_regular_file(status))
        throw MediaIoError(std::string(label) + ": " + file.string() + " is not a regular file");
    auto size = fs::file_size(file, ec);
    if (ec)
        throw MediaIoError(std::string(label) + ": cannot read " + file.string() + ": " + ec.message());
    if (size > limit)
        throw MediaError(tooLarge(label, size, limit) + " (" + file.string() + ")");

    std::ifstream in(file, std::ios::binary);
    Bytes bytes(size);
    if (!in || !in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(size)))
        throw MediaIoError(std::string(label) + ": cannot read " + file.string());
    // A file that grew while being read would be taken short.
    if (in.peek() != std::ifstream::traits_type::eof())
        throw MediaIoError(std::string(label) + ": " + file.string() + " changed while read");
    return bytes;
}

Bytes loadSource(const Source &source, std::size_t limit, std::string_view label)
{
    if (const auto *file = std::get_if<fs::path>(&source))
        return readInput(*file, limit, label);
    const auto &gen = std::get<Generated>(source);
    if (gen.size > limit)
        throw MediaError(tooLarge(label, gen.size, limit));
    return generate(gen);
}

} // namespace media
