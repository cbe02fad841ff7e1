// Hard-disk services: loader init, OS partition format, partition backup
// and catMkdir.
#include "host/Console.h"
#include "host/Faults.h"
#include "host/io/HostFolderDevice.h"
#include "host/io/IoSystem.h"
#include "host/machine/HardDisk.h"
#include "services_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;
using testing_support::readHostFile;
using testing_support::TempDir;
using testing_support::writeFile;

// Every file and folder under `root`, relative, with the size and a hash
// of each file's content.
std::map<std::string, std::string> treeOf(const fs::path &root)
{
    std::map<std::string, std::string> tree;
    for (auto &e : fs::recursive_directory_iterator(root)) {
        auto rel = fs::relative(e.path(), root).generic_string();
        if (e.is_directory()) {
            tree[rel] = "<dir>";
        } else {
            std::string content = readHostFile(e.path());
            tree[rel] =
                std::to_string(content.size()) + ":" + std::to_string(std::hash<std::string>{}(content));
        }
    }
    return tree;
}

class HardDisk : public ::testing::Test {
protected:
    HardDisk() : io(console), captured(console), disk(machine.path() / "disk", io, faults, console)
    {
        for (const char *part : {"SYS", "ROM", "PRF", "UND"}) {
            fs::create_directories(diskDir() / part);
            io.addDevice(std::make_unique<host::HostFolderDevice>(std::string("/") + part, diskDir() / part,
                                                                  false, console));
        }
    }

    fs::path diskDir() const { return machine.path() / "disk"; }

    TempDir machine;
    host::Console console;
    host::Faults faults;
    host::IoSystem io;
    host::CapturedConsole captured;
    host::HardDisk disk;
};

TEST_F(HardDisk, LoaderInitMakesMissingPartitions)
{
    fs::remove_all(diskDir() / "UND");
    fs::remove_all(diskDir() / "ROM");
    EXPECT_EQ(disk.loaderInit(0), 0);
    EXPECT_TRUE(fs::is_directory(diskDir() / "UND"));
    EXPECT_TRUE(fs::is_directory(diskDir() / "ROM"));
    EXPECT_EQ(disk.loaderInit(0), 0);
}

TEST_F(HardDisk, LoaderInitWithoutADisk)
{
    host::HardDisk absent(machine.path() / "nodisk", io, faults, console);
    EXPECT_EQ(absent.loaderInit(0), -1);
    EXPECT_FALSE(fs::exists(machine.path() / "nodisk"));
    host::HardDisk none({}, io, faults, console);
    EXPECT_EQ(none.loaderInit(0), -1);

    // A file where a partition should be cannot become one.
    fs::remove_all(diskDir() / "PRF");
    writeFile(diskDir() / "PRF", "not a folder");
    EXPECT_EQ(disk.loaderInit(0), -1);
}

TEST_F(HardDisk, LoaderInitFault)
{
    faults.add("hd-init:1:1");
    EXPECT_EQ(disk.loaderInit(0), 0);
    EXPECT_EQ(disk.loaderInit(0), -1);
    EXPECT_EQ(disk.loaderInit(0), 0);
    EXPECT_NE(captured.reports().find("hd-init"), std::string::npos);
}

TEST_F(HardDisk, FormatEmptiesOnlyTheOsPartition)
{
    writeFile(diskDir() / "SYS/os.bin", "kernel");
    writeFile(diskDir() / "SYS/deep/er/file.txt", "x");
    writeFile(diskDir() / "UND/keep.txt", "keep");
    writeFile(diskDir() / "PRF/keep.txt", "keep");
    // A link in the partition goes, what it points at stays.
    fs::create_symlink(diskDir() / "UND", diskDir() / "SYS/link");

    // Old files a killed process had no time to remove go with the next
    // machine over the disk.
    writeFile(diskDir() / ".discarded-0/old/os.bin", "old kernel");

    EXPECT_EQ(disk.formatOSPartition(), 0);
    EXPECT_TRUE(fs::is_directory(diskDir() / "SYS"));
    EXPECT_TRUE(fs::is_empty(diskDir() / "SYS"));
    EXPECT_EQ(disk.formatOSPartition(), 0); // empty already
    {
        host::HardDisk next(diskDir(), io, faults, console);
        writeFile(diskDir() / "SYS/again.bin", "x");
        EXPECT_EQ(next.formatOSPartition(), 0);
        EXPECT_TRUE(fs::is_empty(diskDir() / "SYS"));
    }
    // Once settled, the disk folder holds the partitions and nothing else,
    // and nothing was removed through the link.
    disk.settle();
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(diskDir()))
        names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"PRF", "ROM", "SYS", "UND"}));
    EXPECT_EQ(readHostFile(diskDir() / "UND/keep.txt"), "keep");
    EXPECT_EQ(readHostFile(diskDir() / "PRF/keep.txt"), "keep");

    // A partition kept elsewhere through a link: emptied there, the link
    // kept.
    TempDir elsewhere;
    writeFile(elsewhere.path() / "big/os.bin", "kernel");
    fs::remove_all(diskDir() / "SYS");
    fs::create_directory_symlink(elsewhere.path(), diskDir() / "SYS");
    EXPECT_EQ(disk.formatOSPartition(), 0);
    disk.settle();
    EXPECT_TRUE(fs::is_symlink(diskDir() / "SYS"));
    EXPECT_TRUE(fs::is_empty(elsewhere.path()));

    fs::remove(diskDir() / "SYS");
    EXPECT_EQ(disk.formatOSPartition(), -1);
}

TEST_F(HardDisk, BackupReplacesTheTarget)
{
    writeFile(diskDir() / "PRF/a.txt", "alpha");
    writeFile(diskDir() / "PRF/sub/b.bin", testing_support::randomBytes(200000, 3));
    writeFile(diskDir() / "PRF/sub/deeper/c.txt", "");
    fs::create_directories(diskDir() / "PRF/empty");
    writeFile(diskDir() / "ROM/PRF/stale.txt", "stale");
    writeFile(diskDir() / "ROM/PRF/sub/old.txt", "old");
    writeFile(diskDir() / "ROM/other.txt", "other");

    ASSERT_EQ(disk.backupPartAll("/PRF", "/ROM/PRF"), 0);
    EXPECT_EQ(treeOf(diskDir() / "ROM/PRF"), treeOf(diskDir() / "PRF"));
    EXPECT_EQ(readHostFile(diskDir() / "ROM/other.txt"), "other");

    // Again, over its own earlier copy.
    fs::remove(diskDir() / "PRF/a.txt");
    ASSERT_EQ(disk.backupPartAll("/PRF/", "/ROM/PRF/"), 0);
    EXPECT_EQ(treeOf(diskDir() / "ROM/PRF"), treeOf(diskDir() / "PRF"));
}

TEST_F(HardDisk, BackupMakesAMissingTarget)
{
    writeFile(diskDir() / "PRF/a.txt", "alpha");
    ASSERT_EQ(disk.backupPartAll("/PRF", "/ROM/save/PRF"), 0);
    EXPECT_EQ(readHostFile(diskDir() / "ROM/save/PRF/a.txt"), "alpha");

    // A file standing where the target folder goes is replaced.
    writeFile(diskDir() / "UND/PRF", "file");
    ASSERT_EQ(disk.backupPartAll("/PRF", "/UND/PRF"), 0);
    EXPECT_EQ(readHostFile(diskDir() / "UND/PRF/a.txt"), "alpha");
}

TEST_F(HardDisk, BackupRefusals)
{
    writeFile(diskDir() / "ROM/PRF/keep.txt", "keep");
    writeFile(diskDir() / "PRF/a.txt", "alpha");

    EXPECT_EQ(disk.backupPartAll("/PRF/missing", "/ROM/PRF"), -1);
    EXPECT_EQ(disk.backupPartAll("/PRF/a.txt", "/ROM/PRF"), -1);
    EXPECT_EQ(disk.backupPartAll("/NODEV", "/ROM/PRF"), -1);
    EXPECT_EQ(disk.backupPartAll("/PRF", "/NODEV/x"), -1);
    // One tree inside the other.
    EXPECT_EQ(disk.backupPartAll("/ROM", "/ROM/PRF"), -1);
    EXPECT_EQ(disk.backupPartAll("/ROM/PRF", "/ROM"), -1);
    EXPECT_EQ(disk.backupPartAll("/ROM/PRF", "/ROM//PRF/"), -1);
    // Paths that climb out of their device.
    EXPECT_EQ(disk.backupPartAll("/PRF", "/ROM/../escape"), -1);
    EXPECT_EQ(disk.backupPartAll("/PRF/..", "/ROM/PRF"), -1);
    EXPECT_FALSE(fs::exists(diskDir() / "escape"));

    EXPECT_EQ(readHostFile(diskDir() / "ROM/PRF/keep.txt"), "keep");
    EXPECT_EQ(readHostFile(diskDir() / "PRF/a.txt"), "alpha");
}

TEST_F(HardDisk, BackupNeverClearsThroughALinkOrOffTheDisk)
{
    writeFile(diskDir() / "PRF/a.txt", "alpha");
    TempDir outside;
    writeFile(outside.path() / "precious.txt", "precious");
    writeFile(outside.path() / "PRF/precious.txt", "precious");
    fs::create_directory_symlink(outside.path(), diskDir() / "ROM/link");

    EXPECT_EQ(disk.backupPartAll("/PRF", "/ROM/link"), -1);
    EXPECT_EQ(disk.backupPartAll("/PRF", "/ROM/link/PRF"), -1);
    EXPECT_EQ(readHostFile(outside.path() / "precious.txt"), "precious");
    EXPECT_EQ(readHostFile(outside.path() / "PRF/precious.txt"), "precious");

    // A device that is not one of the disk's partitions.
    io.addDevice(std::make_unique<host::HostFolderDevice>("/OTHER", outside.path(), false, console));
    EXPECT_EQ(disk.backupPartAll("/PRF", "/OTHER/PRF"), -1);
    EXPECT_EQ(readHostFile(outside.path() / "PRF/precious.txt"), "precious");
}

TEST_F(HardDisk, CatMkdirMakesOneDirectory)
{
    EXPECT_EQ(disk.catMkdir("/UND/a"), 0);
    EXPECT_TRUE(fs::is_directory(diskDir() / "UND/a"));
    EXPECT_EQ(disk.catMkdir("/UND/a/b/"), 0);
    EXPECT_TRUE(fs::is_directory(diskDir() / "UND/a/b"));

    EXPECT_EQ(disk.catMkdir("/UND/a"), -1);   // exists
    EXPECT_EQ(disk.catMkdir("/UND/x/y"), -1); // parent missing
    EXPECT_FALSE(fs::exists(diskDir() / "UND/x"));
    writeFile(diskDir() / "UND/file", "f");
    EXPECT_EQ(disk.catMkdir("/UND/file"), -1);     // a file of that name
    EXPECT_EQ(disk.catMkdir("/UND/file/sub"), -1); // parent is a file
    EXPECT_EQ(disk.catMkdir("/UND"), -1);          // the device's root
    EXPECT_EQ(disk.catMkdir("/NODEV/x"), -1);
    EXPECT_EQ(disk.catMkdir(""), -1);
    EXPECT_EQ(disk.catMkdir("/UND/A"), 0); // names are case-sensitive
}

TEST_F(HardDisk, CatMkdirStaysInItsDevice)
{
    EXPECT_EQ(disk.catMkdir("/UND/../escape"), -1);
    EXPECT_EQ(disk.catMkdir("/UND/../../escape"), -1);
    EXPECT_EQ(disk.catMkdir("/UND/.."), -1);
    EXPECT_FALSE(fs::exists(diskDir() / "escape"));
    EXPECT_FALSE(fs::exists(machine.path() / "escape"));

    // A link out of the partition is not followed.
    TempDir outside;
    fs::create_directory_symlink(outside.path(), diskDir() / "UND/out");
    EXPECT_EQ(disk.catMkdir("/UND/out/x"), -1);
    EXPECT_TRUE(fs::is_empty(outside.path()));
}

TEST_F(HardDisk, CatMkdirFault)
{
    faults.add("mkdir:0:1");
    EXPECT_EQ(disk.catMkdir("/UND/a"), -1);
    EXPECT_FALSE(fs::exists(diskDir() / "UND/a"));
    EXPECT_EQ(disk.catMkdir("/UND/a"), 0);
}

TEST_F(HardDisk, SummaryCountsFilesAndBytes)
{
    writeFile(diskDir() / "SYS/a", "12345");
    writeFile(diskDir() / "SYS/d/b", "678");
    fs::remove_all(diskDir() / "UND");
    auto parts = disk.summary();
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[0].name, "SYS");
    EXPECT_TRUE(parts[0].present);
    EXPECT_EQ(parts[0].files, 2u);
    EXPECT_EQ(parts[0].bytes, 8u);
    EXPECT_EQ(parts[1].files, 0u);
    EXPECT_EQ(parts[3].name, "UND");
    EXPECT_FALSE(parts[3].present);
}

} // namespace
