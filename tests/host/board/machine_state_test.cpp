// Reading a machine folder: what its files say, as `machine show` and the
// sweeps see it, from folders written with known flags, mode and flash.
#include "host/machine/Digest.h"
#include "host/machine/MachineFolder.h"
#include "host/machine/MachineState.h"
#include "services_support.h"

#include <functional>
#include <map>
#include <optional>

namespace {

namespace fs = std::filesystem;
using host::MachineState;
using testing_support::readHostFile;
using testing_support::TempDir;
using testing_support::writeFile;

// Sets bytes of a file of the folder at `at`.
void patch(const fs::path &file, std::size_t at, const std::string &bytes)
{
    std::string b = readHostFile(file);
    b.replace(at, bytes.size(), bytes);
    writeFile(file, b);
}

// What a case's folder must read as; a new machine's unless named.
struct Case {
    const char *what;
    std::function<void(const fs::path &)> write;
    std::uint32_t flags = 0, mode = 0;
    bool serviceClear = true;
    std::uint16_t f200A = 0, f200B = 0;
    bool f200Set = false;
    std::optional<std::pair<std::size_t, std::size_t>> extent{}; // first, last
    bool bootVersionFile = true;
    std::string bootVersion = "BOOT V1.00";
    std::map<std::string, std::size_t> units{}; // those present, by size
    std::uintmax_t sysFiles = 0, sysBytes = 0;
    bool prfPresent = true;
    std::string differences{}; // from a new machine
};

TEST(MachineState, ReadsWhatTheFolderSays)
{
    using Extent = std::pair<std::size_t, std::size_t>;
    const Case cases[] = {
        {.what = "a new machine", .write = [](const fs::path &) {}},
        {.what = "both flags, update mode on, service touched, F200 set",
         .write =
             [](const fs::path &m) {
                 patch(m / "nvram.bin", 0, std::string("\0\0\0\x11\0\0\0\x01", 8));
                 patch(m / "nvram.bin", 0x150, "\x07");
                 patch(m / "nvram.bin", 0x7808, "\x12\x34\x02\x05");
                 patch(m / "flashrom.bin", 0x10, "abc");
             },
         .flags = 0x11,
         .mode = 1,
         .serviceClear = false,
         .f200A = 0x1234,
         .f200B = 0x0205,
         .f200Set = true,
         .extent = Extent{0x10, 0x12},
         .differences = "nvram, flash"},
        {.what = "a flag no target names, F200 word B low byte only, flash to its last byte",
         .write =
             [](const fs::path &m) {
                 patch(m / "nvram.bin", 2, "\x01");
                 patch(m / "nvram.bin", 0x780B, "\x02");
                 patch(m / "flashrom.bin", 0, std::string(1, '\0'));
                 patch(m / "flashrom.bin", 0xFFFFFF, "\x7F");
             },
         .flags = 0x100,
         .f200B = 0x0002,
         .extent = Extent{0, 0xFFFFFF},
         .differences = "nvram, flash"},
        {.what = "units and disk written, a boot version of its own",
         .write =
             [](const fs::path &m) {
                 writeFile(m / "units" / "pfc.bin", std::string(1234, 'p'));
                 writeFile(m / "units" / "scanner.bin", "s");
                 writeFile(m / "disk" / "SYS" / "bin" / "app", std::string(100, 'a'));
                 writeFile(m / "disk" / "SYS" / "etc.txt", "xy");
                 writeFile(m / "bootversion.txt", "BOOT V2.00\r\nsecond\n");
             },
         .bootVersion = "BOOT V2.00",
         .units = {{"pfc", 1234}, {"scanner", 1}},
         .sysFiles = 2,
         .sysBytes = 102,
         .differences = "units, disk"},
        {.what = "no boot version, no /PRF",
         .write =
             [](const fs::path &m) {
                 fs::remove(m / "bootversion.txt");
                 fs::remove(m / "disk" / "PRF");
             },
         .bootVersionFile = false,
         .prfPresent = false,
         .differences = "disk"},
    };

    TempDir dir;
    host::MachineFolder::init(dir / "new");
    const MachineState fresh = MachineState::read(dir / "new", MachineState::Scope::everyByte);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path m = dir / c.what;
        host::MachineFolder::init(m);
        c.write(m);
        const MachineState s = MachineState::read(m, MachineState::Scope::everyByte);

        EXPECT_EQ(s.rewriteFlags(), c.flags);
        EXPECT_EQ(s.updateMode(), c.mode);
        EXPECT_EQ(s.serviceAreaClear(), c.serviceClear);
        EXPECT_EQ(s.f200A(), c.f200A);
        EXPECT_EQ(s.f200B(), c.f200B);
        EXPECT_EQ(s.f200Set(), c.f200Set);
        EXPECT_EQ(MachineState::read(m, MachineState::Scope::nvram).rewriteFlags(), c.flags);

        const std::string flash = readHostFile(m / "flashrom.bin");
        EXPECT_EQ(s.flash, flash);
        EXPECT_EQ(s.flashSha256(), host::sha256(flash));
        const auto extent = s.flashExtent();
        ASSERT_EQ(extent.has_value(), c.extent.has_value());
        if (extent) {
            EXPECT_EQ(extent->first, c.extent->first);
            EXPECT_EQ(extent->last, c.extent->second);
            EXPECT_EQ(s.flashSha256ToExtentEnd(), host::sha256(flash.substr(0, c.extent->second + 1)));
        } else {
            EXPECT_EQ(s.flashSha256ToExtentEnd(), "");
        }

        EXPECT_EQ(s.bootVersion.file, c.bootVersionFile);
        EXPECT_EQ(s.bootVersion.text, c.bootVersion);
        std::map<std::string, std::size_t> units;
        for (const auto &u : s.unitFirmware)
            if (u.firmware) {
                units[std::string(u.name)] = u.firmware->size();
                EXPECT_EQ(s.units.at(std::string(u.name) + ".bin"), *u.firmware);
            }
        EXPECT_EQ(units, c.units);

        ASSERT_EQ(s.partitions.size(), 4u);
        EXPECT_EQ(s.partitions[0].name, "SYS");
        EXPECT_EQ(s.partitions[0].files, c.sysFiles);
        EXPECT_EQ(s.partitions[0].bytes, c.sysBytes);
        EXPECT_EQ(s.partitions[2].name, "PRF");
        EXPECT_EQ(s.partitions[2].present, c.prfPresent);
        EXPECT_EQ(s.disk.count("PRF"), c.prfPresent ? 1u : 0u);

        EXPECT_EQ(s.differences(fresh), c.differences);
    }
}

// The bytes the sweeps compare: every disk file by its path, folders marked.
TEST(MachineState, KeepsEveryDiskByteOnlyWhenAsked)
{
    TempDir dir;
    host::MachineFolder::init(dir / "m");
    writeFile(dir / "m" / "disk" / "SYS" / "bin" / "app", "app");
    const MachineState all = MachineState::read(dir / "m", MachineState::Scope::everyByte);
    EXPECT_EQ(all.disk, (std::map<std::string, std::string>{{"SYS", "<dir>"},
                                                            {"SYS/bin", "<dir>"},
                                                            {"SYS/bin/app", "app"},
                                                            {"ROM", "<dir>"},
                                                            {"PRF", "<dir>"},
                                                            {"UND", "<dir>"}}));
    const MachineState summary = MachineState::read(dir / "m", MachineState::Scope::summary);
    EXPECT_TRUE(summary.disk.empty());
    EXPECT_EQ(summary.partitions[0].files, 1u);
    EXPECT_EQ(summary.flash, all.flash);
}

} // namespace
