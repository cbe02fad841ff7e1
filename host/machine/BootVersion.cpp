#include "host/machine/BootVersion.h"

#include "host/Console.h"

#include <cstring>
#include <fstream>
#include <optional>
#include <system_error>

namespace host {

namespace {

std::optional<std::string> firstLine(const std::filesystem::path &machineDir)
{
    const auto path = machineDir / "bootversion.txt";
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    // Only the head of the file matters, however long its first line is.
    std::string head(kBootVersionLength, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    if (in.bad())
        return std::nullopt;
    head.resize(static_cast<std::size_t>(in.gcount()));
    std::size_t end = head.find_first_of(std::string_view("\n\r\0", 3));
    if (end != std::string::npos)
        head.resize(end);
    if (head.size() > kBootVersionLength)
        head.resize(kBootVersionLength);
    return head;
}

} // namespace

std::string readBootVersion(const std::filesystem::path &machineDir)
{
    return firstLine(machineDir).value_or(std::string(kDefaultBootVersion));
}

int copyBootVersion(const std::filesystem::path &machineDir, char *buffer, Console &console)
{
    if (!buffer)
        return -1;
    auto text = firstLine(machineDir);
    if (!text) {
        console.report("fromGetBootVersion: no " + (machineDir / "bootversion.txt").string() +
                       ", using '" + std::string(kDefaultBootVersion) + "'");
        text = std::string(kDefaultBootVersion);
    }
    std::memcpy(buffer, text->data(), text->size());
    buffer[text->size()] = '\0';
    return 0;
}

} // namespace host
