#include "host/machine/BootVersion.h"

#include "host/Console.h"
#include "host/machine/MachineLayout.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace host {

namespace {

std::optional<std::string> firstLine(const std::filesystem::path &machineDir)
{
    const auto path = machineDir / machine_layout::kBootVersionFile;
    // Without blocking: a FIFO in the folder must not hang the boot.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    std::string head;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok) {
        // Only the head of the file matters, however long its first line is.
        head.assign(kBootVersionLength, '\0');
        std::size_t done = 0;
        while (done < head.size()) {
            ssize_t n = ::read(fd, head.data() + done, head.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                ok = false;
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        head.resize(done);
    }
    ::close(fd);
    if (!ok)
        return std::nullopt;
    std::size_t end = head.find_first_of(std::string_view("\n\r\0", 3));
    if (end != std::string::npos)
        head.resize(end);
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
        console.report("fromGetBootVersion: no " + (machineDir / machine_layout::kBootVersionFile).string() +
                       ", using '" + std::string(kDefaultBootVersion) + "'");
        text = std::string(kDefaultBootVersion);
    }
    std::memcpy(buffer, text->data(), text->size());
    buffer[text->size()] = '\0';
    return 0;
}

} // namespace host
