// The boot environment's OS version text.
#include "host/Console.h"
#include "host/machine/BootVersion.h"
#include "services_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using testing_support::TempDir;
using testing_support::writeFile;

TEST(BootVersion, FirstLineOfTheFile)
{
    TempDir machine;
    writeFile(machine.path() / "bootversion.txt", "BOOT V2.31\nsecond line\n");
    EXPECT_EQ(host::readBootVersion(machine.path()), "BOOT V2.31");
    writeFile(machine.path() / "bootversion.txt", "BOOT V2.32\r\n");
    EXPECT_EQ(host::readBootVersion(machine.path()), "BOOT V2.32");
    writeFile(machine.path() / "bootversion.txt", "NO NEWLINE");
    EXPECT_EQ(host::readBootVersion(machine.path()), "NO NEWLINE");
    writeFile(machine.path() / "bootversion.txt", "");
    EXPECT_EQ(host::readBootVersion(machine.path()), "");
}

TEST(BootVersion, CutToTwentyThreeCharacters)
{
    TempDir machine;
    writeFile(machine.path() / "bootversion.txt", std::string(5000, 'V') + "\nx");
    EXPECT_EQ(host::readBootVersion(machine.path()), std::string(23, 'V'));
    writeFile(machine.path() / "bootversion.txt", std::string("AB\0CD\n", 6));
    EXPECT_EQ(host::readBootVersion(machine.path()), "AB");
}

TEST(BootVersion, MissingFileGivesTheDefaultAndAReport)
{
    TempDir machine;
    EXPECT_EQ(host::readBootVersion(machine.path()), "BOOT V1.00");
    std::filesystem::create_directory(machine.path() / "bootversion.txt");
    EXPECT_EQ(host::readBootVersion(machine.path()), "BOOT V1.00");

    host::Console console;
    host::CapturedConsole captured(console);
    char buffer[24];
    std::memset(buffer, 'X', sizeof buffer);
    ASSERT_EQ(host::copyBootVersion(machine.path() / "absent", buffer, console), 0);
    EXPECT_STREQ(buffer, "BOOT V1.00");
    EXPECT_NE(captured.reports().find("bootversion.txt"), std::string::npos);
}

TEST(BootVersion, CopyFillsTheBufferWithinItsSize)
{
    TempDir machine;
    host::Console console;
    host::CapturedConsole captured(console);
    writeFile(machine.path() / "bootversion.txt", std::string(40, 'Z'));
    // A guard byte after the 24-byte buffer must stay untouched.
    char buffer[25];
    std::memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(host::copyBootVersion(machine.path(), buffer, console), 0);
    EXPECT_EQ(std::string(buffer), std::string(23, 'Z'));
    EXPECT_EQ(buffer[24], '#');
    EXPECT_TRUE(captured.reports().empty());
    EXPECT_EQ(host::copyBootVersion(machine.path(), nullptr, console), -1);
}

} // namespace
