// Which device a path reaches, and that nothing outside the machine's
// folders can be reached at all.
#include "io_support.h"

#include <gtest/gtest.h>

#include <functional>

#include <sys/stat.h>

using namespace host;
using namespace testing_support;

namespace {

// A device that serves nothing: only its name matters here.
struct NameDevice : Device {
    using Device::Device;
    std::unique_ptr<OpenFile> open(std::string_view, int, int) override { return nullptr; }
};

TEST(IoDeviceTable, FindIsIosDevFind)
{
    Console console;
    IoSystem io(console);
    for (const char *name : {"/usbstor/", "/usbstor/0", "/ROM"})
        ASSERT_TRUE(io.addDevice(std::make_unique<NameDevice>(name)));
    EXPECT_FALSE(io.addDevice(std::make_unique<NameDevice>("/ROM")));

    std::string_view rest;
    auto found = [&](std::string_view name) { return io.find(name, &rest); };
    EXPECT_EQ(found("/usbstor/0/fwstore/a.bin"), io.device("/usbstor/0"));
    EXPECT_EQ(rest, "/fwstore/a.bin");
    EXPECT_EQ(found("/usbstor/1"), io.device("/usbstor/"));
    EXPECT_EQ(rest, "1");
    EXPECT_EQ(found("/ROM/PRF/x.txt"), io.device("/ROM")) << "a folder of /ROM";
    EXPECT_EQ(rest, "/PRF/x.txt");
    EXPECT_EQ(found("/ROMX"), io.device("/ROM")) << "a plain prefix, as the OS matches";
    EXPECT_EQ(rest, "X");

    // The default device is "/TMP", once it exists, with nothing consumed.
    EXPECT_EQ(found("nowhere/a"), nullptr);
    io.addDevice(std::make_unique<NameDevice>("/TMP"));
    EXPECT_EQ(found("/XYZ/a"), io.device("/TMP"));
    EXPECT_EQ(rest, "/XYZ/a");
}

TEST(IoDeviceTable, ResolveStopsAtNameBoundariesAndStartsRelativeNamesInTmp)
{
    Console console;
    IoSystem io(console);
    for (const char *name : {"/TMP", "/dlfromALL/", "/a", "/a/b"})
        io.addDevice(std::make_unique<NameDevice>(name));
    std::string rest;
    auto resolved = [&](std::string_view path) { return io.resolve(path, &rest); };
    EXPECT_EQ(resolved("from.bin"), io.device("/TMP"));
    EXPECT_EQ(rest, "/from.bin");
    EXPECT_EQ(resolved("/TMP"), io.device("/TMP"));
    EXPECT_EQ(rest, "");
    EXPECT_EQ(resolved("/dlfromALL/flash"), io.device("/dlfromALL/"));
    EXPECT_EQ(rest, "flash");
    EXPECT_EQ(resolved("/a/b/c"), io.device("/a/b"));
    EXPECT_EQ(rest, "/c");
    EXPECT_EQ(resolved("/a/bc"), io.device("/a")) << "the longest at a boundary";
    EXPECT_EQ(rest, "/bc");
    for (const char *none : {"/TMPX/a", "/tmp/a", "/XYZ/a", "/dlfromALL"})
        EXPECT_EQ(resolved(none), nullptr) << none;
}

TEST(IoDeviceTable, NamesAreCaseSensitiveAndUnservedPathsAreReported)
{
    Board board;
    writeFile(board.media() / "Firm.bin", "media");
    EXPECT_EQ(board.slurp("/usbstor/0/Firm.bin"), "media");
    EXPECT_EQ(board.slurp("/usbstor/0/firm.bin"), "<none>");
    board.put("/TMP/a.txt", "lower");
    board.put("A.txt", "upper");
    EXPECT_EQ(board.slurp("a.txt"), "lower");
    EXPECT_EQ(board.slurp("/TMP/A.txt"), "upper");

    EXPECT_TRUE(board.captured.reports().empty());
    EXPECT_EQ(board.io.open("/XYZ/a", kCreate, 0), -1);
    EXPECT_NE(board.captured.reports().find("\"/XYZ/a\": no device"), std::string::npos);
}

// --- escapes -------------------------------------------------------------------

class IoEscape : public ::testing::Test {
protected:
    void SetUp() override
    {
        writeFile(board.outside() / "secret.txt", "secret");
        writeFile(board.media() / "fw" / "image.bin", "image");
        fs::create_directory_symlink(board.outside(), board.media() / "leakdir");
        fs::create_symlink(board.outside() / "secret.txt", board.media() / "leak");
        fs::create_directory_symlink(board.outside(), board.disk("SYS") / "leakdir");
        fs::create_symlink(board.outside() / "planted.txt", board.disk("SYS") / "dangling");
        fs::create_symlink(board.media() / "fw" / "image.bin", board.media() / "alias");
        fs::create_directory_symlink(board.media() / "fw", board.media() / "fwlink");
        board.put("/TMP/a", "ram");
    }
    Board board;
};

TEST_F(IoEscape, EveryEscapeFailsIsReportedAndCreatesNothingOutside)
{
    auto &io = board.io;
    auto opens = [&io](std::string path, int flags) {
        return [&io, path, flags] { return io.open(path, flags, 0644) >= 0; };
    };
    const std::vector<std::pair<std::string, std::function<bool()>>> cases = {
        {"'..' above the media root", opens("/usbstor/0/../outside/secret.txt", kRdOnly)},
        {"'..' to the host's /etc", opens("/usbstor/0/../../etc/passwd", kRdOnly)},
        {"'..' from deep down", opens("/usbstor/0/fw/../../../../etc/passwd", kRdOnly)},
        {"'..' out of a disk, creating", opens("/SYS/../../outside/planted.txt", kCreate)},
        {"relative '..'", opens("../x", kCreate)},
        {"bare '..'", opens("..", kRdOnly)},
        {"'..' out of the RAM disk", opens("/TMP/../SYS/x", kCreate)},
        {"link to a file outside", opens("/usbstor/0/leak", kRdOnly)},
        {"linked folder outside", opens("/usbstor/0/leakdir/secret.txt", kRdOnly)},
        {"create via a linked folder", opens("/SYS/leakdir/planted.txt", kCreate)},
        {"create via a dangling link", opens("/SYS/dangling", kCreate)},
        {"host path of a file outside", opens((board.outside() / "secret.txt").string(), kRdOnly)},
        {"host path of a media file", opens((board.media() / "fw/image.bin").string(), kRdOnly)},
        {"mkdir via a linked folder", [&] { return io.mkdir("/SYS/leakdir/sub") == 0; }},
        {"remove above the root", [&] { return io.remove("/SYS/../../outside/secret.txt") == 0; }},
        {"remove via a linked folder", [&] { return io.remove("/SYS/leakdir/secret.txt") == 0; }},
        {"opendir of a linked folder", [&] { return io.opendir("/usbstor/0/leakdir") != nullptr; }},
        {"opendir above the root", [&] { return io.opendir("/usbstor/0/..") != nullptr; }},
        {"copy from a link", [&] { return io.copy("/usbstor/0/leak", "/TMP/b") == 0; }},
        {"copy into a linked folder", [&] { return io.copy("/TMP/a", "/SYS/leakdir/a") == 0; }},
        {"fopen above the root", [&] { return io.fopen("/SYS/../../outside/f", "w") != nullptr; }},
    };
    for (const auto &[what, succeeds] : cases) {
        SCOPED_TRACE(what);
        board.captured.clear();
        EXPECT_FALSE(succeeds());
        EXPECT_FALSE(board.captured.reports().empty());
    }
    // An absolute host path after a device name is a name within the device.
    EXPECT_EQ(io.open("/usbstor/0/" + (board.outside() / "secret.txt").string(), kRdOnly, 0), -1);
    EXPECT_EQ(board.put("/SYS//" + (board.outside() / "new.txt").string(), "x"), -1);

    EXPECT_EQ(hostTree(board.outside()), std::vector<std::string>{"secret.txt"});
    EXPECT_EQ(readText(board.outside() / "secret.txt"), "secret");
    EXPECT_FALSE(fs::exists(board.scratch / "x"));
    EXPECT_EQ(board.slurp("/TMP/b"), "<none>");
}

TEST_F(IoEscape, LinksAndDotsThatStayInsideWork)
{
    EXPECT_EQ(board.slurp("/usbstor/0/alias"), "image");
    EXPECT_EQ(board.slurp("/usbstor/0/fwlink/image.bin"), "image");
    EXPECT_EQ(board.slurp("/usbstor/0/fw/../fw/./image.bin"), "image");
    EXPECT_EQ(board.slurp("/TMP/./x/../a"), "ram");
    EXPECT_EQ(board.put("/SYS//plain.txt", "x"), 1);
    EXPECT_TRUE(fs::exists(board.disk("SYS") / "plain.txt"));
    EXPECT_TRUE(board.captured.reports().empty()) << board.captured.reports();

    // A listing leaves out what leads outside.
    auto entries = board.io.list("/usbstor/0");
    ASSERT_TRUE(entries);
    std::vector<std::string> names;
    for (const auto &e : *entries)
        names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"alias", "fw", "fwlink"}));
}

// --- host folders ----------------------------------------------------------------

TEST(IoHostFolder, ReadOnlyMediaRefusesEveryChangeAndReads)
{
    Board board;
    writeFile(board.media() / "fwstore" / "firmImage0.bin", "0123456789");
    const std::string image = "/usbstor/0/fwstore/firmImage0.bin";
    auto &io = board.io;
    for (int flags : {kWrOnly, kRdWr, kRdOnly | kTrunc, kCreate}) {
        board.captured.clear();
        EXPECT_EQ(io.open(image, flags, 0), -1) << flags;
        EXPECT_NE(board.captured.reports().find("read-only"), std::string::npos);
    }
    EXPECT_EQ(io.open("/usbstor/0/new.bin", kRdOnly | kCreat, 0), -1);
    EXPECT_EQ(io.remove(image), -1);
    EXPECT_EQ(io.mkdir("/usbstor/0/newdir"), -1);
    EXPECT_EQ(io.copy(image, "/usbstor/0/copied"), -1);
    for (const char *mode : {"w", "a", "r+", "a+"})
        EXPECT_EQ(io.fopen(image, mode), nullptr) << mode;
    EXPECT_EQ(hostTree(board.media()), (std::vector<std::string>{"fwstore", "fwstore/firmImage0.bin"}));

    EXPECT_EQ(board.slurp(image), "0123456789");
    EXPECT_EQ(io.copy(image, "/TMP/image"), 0);
    EXPECT_EQ(board.slurp("/TMP/image"), "0123456789");
}

TEST(IoHostFolder, ReadAheadSeesWritesThroughOtherDescriptors)
{
    Board board;
    board.put("/SYS/log", std::string(100, 'a'));
    auto &io = board.io;
    int reader = io.open("/SYS/log", kRdOnly, 0);
    int writer = io.open("/SYS/log", kWrOnly, 0);
    char c = 0;
    ASSERT_EQ(io.read(reader, &c, 1), 1);
    io.lseek(writer, 1, iof::kSeekSet);
    io.write(writer, "Z", 1);
    ASSERT_EQ(io.read(reader, &c, 1), 1);
    EXPECT_EQ(c, 'Z');
    io.lseek(writer, 0, iof::kSeekEnd);
    io.write(writer, "tail", 4);
    std::string rest(200, '\0');
    ASSERT_EQ(io.read(reader, rest.data(), rest.size()), 102);
    EXPECT_EQ(rest.substr(98, 4), "tail");
}

TEST(IoHostFolder, PipesAndFoldersAreNotFiles)
{
    Board board;
    ASSERT_EQ(::mkfifo((board.media() / "pipe").c_str(), 0600), 0);
    fs::create_directories(board.media() / "dir");
    for (const char *path : {"/usbstor/0/pipe", "/usbstor/0/dir", "/usbstor/0"})
        EXPECT_EQ(board.io.open(path, kRdOnly, 0), -1) << path; // and does not hang
    EXPECT_TRUE(board.io.isDirectory("/usbstor/0/dir"));
    EXPECT_FALSE(board.io.isDirectory("/usbstor/0/pipe"));
}

} // namespace
