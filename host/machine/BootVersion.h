// The boot environment's OS version text, fromGetBootVersion: the first
// line of bootversion.txt in the machine folder.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace host {

class Console;

// What a machine without bootversion.txt reports.
inline constexpr std::string_view kDefaultBootVersion = "BOOT V1.00";
// Characters of the text; the caller's buffer holds one more for the NUL.
inline constexpr std::size_t kBootVersionLength = 23;

// The first line of machineDir/bootversion.txt (without its CR LF or LF),
// cut at a NUL and to kBootVersionLength characters; the default text when
// the file is missing or unreadable.
std::string readBootVersion(const std::filesystem::path &machineDir);

// Writes the version text and its NUL into `buffer`, which holds at least
// kBootVersionLength + 1 bytes. Reports when the default text stands in
// for a missing file. 0, or -1 for a null buffer.
int copyBootVersion(const std::filesystem::path &machineDir, char *buffer, Console &console);

} // namespace host
