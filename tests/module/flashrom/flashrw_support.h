// A bound machine as the session leaves it for the flash ROM rewrite and the
// update tasks: the RAM disk "/TMP", the flash device, a panel trace.
#pragma once

#include "bootenv/bootEnv.h"
#include "host/machine/FlashRom.h"
#include "host/machine/Nvram.h"
#include "host/machine/Panel.h"
#include "support/Harness.h"
#include "update/flashrom/dlFirmRewite.h"

#include <sstream>
#include <string>
#include <vector>

namespace testing_support {

using testing_support::randomBytes;
using testing_support::readText;
using testing_support::writeFile;

constexpr std::uint32_t kFromBase = 0xFF000000u;
constexpr std::uint32_t kFromSize = 0x01000000u;

class UpdateMachine {
    std::vector<char> memory_ = std::vector<char>(8192 * 512); // outlives the machine

public:
    testing_support::MachineHarness h;

    UpdateMachine()
    {
        vx::BLK_DEV *dev = vx::ramDevCreate(memory_.data(), 512, 400, 8192, 0);
        if (dev == nullptr || vx::dosFsMkfs("/TMP", dev) == nullptr)
            throw std::runtime_error("no RAM disk");
        h.runTask([] { vx::dlfrwInit(); });
        h.machine().panel().enableTrace(trace_);
        vx::DLBOARD_SCM_DISPLAY_YPOINT = 0;
        vx::dlFirmfromRewriteStatus = -1;
    }
    ~UpdateMachine() { h.machine().panel().disableTrace(); }

    void put(const char *path, const std::string &bytes)
    {
        int fd = vx::open(path, vx::O_RDWR | vx::O_CREAT | vx::O_TRUNC, 0);
        if (fd < 0 ||
            vx::write(fd, const_cast<char *>(bytes.data()), bytes.size()) != static_cast<int>(bytes.size()))
            throw std::runtime_error(std::string("cannot write ") + path);
        vx::close(fd);
    }
    bool exists(const char *path)
    {
        int fd = vx::open(path, vx::O_RDONLY, 0);
        return fd >= 0 && vx::close(fd) == vx::OK;
    }
    std::string flashFile() const { return readText(h.folder() / "flashrom.bin"); }
    std::uint32_t nvFlags() { return h.machine().nvram()->flags(); }
    bool flashLocked() { return h.machine().flash()->locked(kFromBase, kFromSize); }
    std::string cells(int row, int column, size_t n)
    {
        return h.machine().panel().snapshot()[row].substr(column, n);
    }
    bool rowBlank(int row) { return cells(row, 0, 82) == std::string(82, ' '); }

    // Texts drawn at (column, row), in call order.
    std::vector<std::string> drawnAt(int column, int row) const
    {
        std::vector<std::string> texts;
        const std::string all = trace_.str();
        const std::string key =
            "\"col\":" + std::to_string(column) + ",\"row\":" + std::to_string(row) + ",\"text\":\"";
        for (size_t at = all.find(key); at != std::string::npos; at = all.find(key, at + 1)) {
            size_t from = at + key.size();
            texts.push_back(all.substr(from, all.find("\"}", from) - from));
        }
        return texts;
    }

private:
    std::ostringstream trace_;
};

} // namespace testing_support
