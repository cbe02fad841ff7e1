#include "host/machine/Units.h"

#include "host/Console.h"
#include "host/Faults.h"
#include "host/io/IoSystem.h"
#include "host/machine/DeviceFile.h"
#include "host/machine/MachineLayout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

namespace host {

namespace fs = std::filesystem;

namespace {

struct Unit {
    int code;
    std::string_view name;
    Fault fault;
};

constexpr std::array<Unit, 4> kUnits = {{
    {15, "lsr", Fault::unitLsr},
    {14, "pfc", Fault::unitPfc},
    {11, "engine", Fault::unitEngine},
    {13, "scanner", Fault::unitScanner},
}};

const Unit *unitOf(int code)
{
    for (const Unit &u : kUnits)
        if (u.code == code)
            return &u;
    return nullptr;
}

// A new file beside `target`, made by mkstemp: never an existing file and
// never through a link planted at a temporary name. Removed unless kept.
class TempFile {
public:
    explicit TempFile(const fs::path &target)
    {
        std::string pattern = target.string() + ".XXXXXX";
        fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd_ >= 0) {
            path_ = pattern;
            ::fchmod(fd_, 0644);
        }
    }
    ~TempFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
        if (!path_.empty())
            ::unlink(path_.c_str());
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    bool isOpen() const { return fd_ >= 0; }
    bool writeAll(const char *data, std::size_t n)
    {
        while (n > 0) {
            ssize_t w = ::write(fd_, data, n);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            data += w;
            n -= static_cast<std::size_t>(w);
        }
        return true;
    }
    // Synced, closed and renamed over `target`: the name is replaced, a
    // link standing there included, and nothing is written through it.
    bool replace(const fs::path &target)
    {
        int fd = fd_;
        fd_ = -1;
        bool ok = ::fsync(fd) == 0;
        ok = ::close(fd) == 0 && ok;
        if (!ok || ::rename(path_.c_str(), target.c_str()) != 0)
            return false;
        path_.clear();
        return true;
    }

private:
    int fd_ = -1;
    fs::path path_;
};

// Writes a new file beside the target and renames it over the target, so
// a crash of the host leaves either the old or the new firmware.
bool replaceFile(const fs::path &target, const char *data, std::size_t n)
{
    TempFile out(target);
    return out.isOpen() && out.writeAll(data, n) && out.replace(target);
}

} // namespace

Units::Units(fs::path unitsDir, IoSystem &io, Faults &faults)
    : dir_(std::move(unitsDir)), io_(io), faults_(faults)
{}

int Units::rewrite(int code, int /*arg*/, std::string_view path)
{
    Console &console = io_.console();
    const Unit *unit = unitOf(code);
    if (!unit) {
        console.report("frwRewriteMAIN: no unit has target code " + std::to_string(code));
        return -1;
    }
    if (faults_.fires(
            unit->fault, console, [] { return "frwRewriteMAIN fails"; }, path))
        return -1;

    std::vector<char> firmware;
    {
        DeviceFile in(io_, path, iof::kRdOnly);
        if (!in.isOpen() || !in.readAll(firmware) || firmware.empty())
            return -1;
    }

    std::error_code ec;
    fs::create_directories(dir_, ec);
    const fs::path target = dir_ / machine_layout::unitFile(unit->name);

    if (faults_.powerCutDue(Event::unit, unit->name)) {
        // The cut tears the unit's file: the first half of the new firmware
        // stands where the old one was.
        replaceFile(target, firmware.data(), firmware.size() / 2);
        faults_.cutPower();
    }

    if (!replaceFile(target, firmware.data(), firmware.size())) {
        console.report("frwRewriteMAIN: cannot write " + target.string());
        return -1;
    }
    return 0;
}

std::optional<std::uintmax_t> Units::firmwareSize(std::string_view name) const
{
    for (const Unit &u : kUnits) {
        if (u.name != name)
            continue;
        std::error_code ec;
        auto size = fs::file_size(dir_ / machine_layout::unitFile(name), ec);
        if (ec)
            return std::nullopt;
        return size;
    }
    return std::nullopt;
}

} // namespace host
