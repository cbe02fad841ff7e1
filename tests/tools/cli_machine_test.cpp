// dlupdate machine init / show, run as a firmware engineer would.
#include "host/machine/MachineFolder.h"
#include "support/Harness.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <functional>
#include <sys/wait.h>

namespace {

using testing_support::readText;
using testing_support::TempDir;
using testing_support::writeFile;

struct Result {
    int status = -1;
    std::string out;
};

Result dlupdate(const std::string &args)
{
    Result r;
    std::string cmd = std::string(DL_DLUPDATE) + " " + args + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        r.out.append(buf.data(), n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

TEST(CliMachine, InitMakesAFreshMachineThatShowDecodes)
{
    TempDir dir;
    auto m = dir / "m1";
    Result init = dlupdate("machine init " + m.string());
    ASSERT_EQ(init.status, 0) << init.out;
    EXPECT_EQ(std::filesystem::file_size(m / "nvram.bin"), 65536u);
    EXPECT_EQ(readText(m / "flashrom.bin"), std::string(16777216, '\xFF'));
    EXPECT_EQ(readText(m / "bootversion.txt"), "BOOT V1.00\n");
    for (const char *p : {"SYS", "ROM", "PRF", "UND"})
        EXPECT_TRUE(std::filesystem::is_directory(m / "disk" / p));

    Result show = dlupdate("machine show " + m.string());
    ASSERT_EQ(show.status, 0) << show.out;
    EXPECT_NE(show.out.find("rewrite flags 0x00000000: none"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("erased (all 0xFF)"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("lsr: never rewritten"), std::string::npos) << show.out;

    // A second init must not clobber it.
    EXPECT_EQ(dlupdate("machine init " + m.string()).status, 5);
}

TEST(CliMachine, ShowDecodesFlagsFlashUnitsAndDisk)
{
    TempDir dir;
    auto m = dir / "m";
    host::MachineFolder::init(m);
    std::string nv(65536, '\0');
    nv[3] = 0x11;   // both rewrite flags
    nv[7] = 1;      // update mode on
    nv[0x150] = 7;  // service area touched
    nv[0x780A] = 2; // F200 set
    writeFile(m / "nvram.bin", nv);
    std::string flash(16777216, '\xFF');
    flash.replace(0x10, 3, "abc");
    writeFile(m / "flashrom.bin", flash);
    writeFile(m / "units" / "pfc.bin", std::string(1234, 'p'));
    writeFile(m / "disk" / "SYS" / "bin" / "app", std::string(100, 'a'));
    writeFile(m / "disk" / "SYS" / "etc.txt", "xy");

    Result show = dlupdate("machine show " + m.string());
    ASSERT_EQ(show.status, 0) << show.out;
    for (const char *want : {"FLASH_REWRITE (0x01) HDD_UPDATE (0x10)", "update mode 1 (on)", "not all zero",
                             "F200 set", "programmed extent 0x000010-0x000012 (3 bytes)", "pfc: 1234 bytes",
                             "/SYS: 2 files, 102 bytes", "/UND: 0 files, 0 bytes"})
        EXPECT_NE(show.out.find(want), std::string::npos) << want << "\n" << show.out;
}

TEST(CliMachine, UnusableFoldersAndBadUsage)
{
    TempDir dir;
    auto m = dir / "m";
    host::MachineFolder::init(m);
    writeFile(m / "nvram.bin", std::string(100, '\0'));
    Result wrong = dlupdate("machine show " + m.string());
    EXPECT_EQ(wrong.status, 5);
    EXPECT_NE(wrong.out.find("nvram.bin holds 100 bytes"), std::string::npos) << wrong.out;
    EXPECT_EQ(std::filesystem::file_size(m / "nvram.bin"), 100u); // left as it was

    EXPECT_EQ(dlupdate("machine show " + (dir / "nothing").string()).status, 5);
    writeFile(dir / "plain" / "file.txt", "x");
    EXPECT_EQ(dlupdate("machine show " + (dir / "plain").string()).status, 5);
    EXPECT_EQ(dlupdate("machine init " + (dir / "plain").string()).status, 5);
    EXPECT_EQ(dlupdate("machine").status, 64);
    EXPECT_EQ(dlupdate("machine frob x").status, 64);
    EXPECT_EQ(dlupdate("").status, 64);
}

// show --json of folders whose bytes are no text: still one document, the
// bytes that are no UTF-8 shown as U+FFFD, and the boot version the machine
// itself reports.
TEST(CliMachine, ShowJsonOfBytesThatAreNoText)
{
    const std::string replaced = "\xEF\xBF\xBD";
    struct Case {
        const char *what;
        std::function<void(const std::filesystem::path &)> spoil;
        const char *field; // a JSON pointer
        std::function<bool(const std::string &)> holds;
    } cases[] = {
        {"a flash head of 0xFF bytes",
         [](const std::filesystem::path &m) {
             std::string flash(16777216, '\xFF');
             flash[0] = 'V';
             flash.back() = 0;
             writeFile(m / "flashrom.bin", flash);
         },
         "/flash/versionHead/version",
         [&](const std::string &v) { return v.find(replaced) != std::string::npos; }},
        {"a boot version that is no UTF-8",
         [](const std::filesystem::path &m) { writeFile(m / "bootversion.txt", "BOOT \xFF\n"); },
         "/bootVersion", [&](const std::string &v) { return v == "BOOT " + replaced; }},
        {"a boot version line ending in CR LF",
         [](const std::filesystem::path &m) { writeFile(m / "bootversion.txt", "BOOT V9\r\n"); },
         "/bootVersion", [](const std::string &v) { return v == "BOOT V9"; }},
        {"a boot version with a NUL",
         [](const std::filesystem::path &m) { writeFile(m / "bootversion.txt", std::string("AB\0CD\n", 6)); },
         "/bootVersion", [](const std::string &v) { return v == "AB"; }},
    };
    TempDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const auto m = dir / c.what;
        host::MachineFolder::init(m);
        c.spoil(m);
        Result show = dlupdate("machine show --json '" + m.string() + "'");
        ASSERT_EQ(show.status, 0) << show.out;
        const auto doc = nlohmann::json::parse(show.out, nullptr, false);
        ASSERT_FALSE(doc.is_discarded()) << show.out;
        const std::string value = doc.at(nlohmann::json::json_pointer(c.field));
        EXPECT_TRUE(c.holds(value)) << value;
    }
}

} // namespace
