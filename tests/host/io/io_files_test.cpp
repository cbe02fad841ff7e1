// Descriptors, whole-file services, directories and buffered streams.
#include "io_support.h"

#include <gtest/gtest.h>

using namespace host;
using namespace testing_support;

namespace {

class IoFiles : public ::testing::Test {
protected:
    Board board;
    IoSystem &io = board.io;
};

// --- descriptors ---------------------------------------------------------------

TEST_F(IoFiles, DescriptorsStartAtThreeReuseTheLowestAndRunOut)
{
    EXPECT_EQ(io.open("/TMP/a", kCreate, 0), 3);
    EXPECT_EQ(io.open("/SYS/b", kCreate, 0), 4);
    EXPECT_EQ(io.open("/TMP/c", kCreate, 0), 5);
    EXPECT_EQ(io.close(4), 0);
    EXPECT_EQ(io.open("c", kRdOnly, 0), 4);
    EXPECT_EQ(io.pathOf(4), "c") << "the path as it was opened";
    io.setTag(4, 7);
    EXPECT_EQ(io.tag(4), 7u);
    EXPECT_EQ(io.tag(3), 0u);

    std::vector<int> fds;
    for (int fd; (fd = io.open("/TMP/a", kRdOnly, 0)) >= 0;)
        fds.push_back(fd);
    EXPECT_EQ(fds.size(), static_cast<std::size_t>(IoSystem::kMaxFiles - 6));
    EXPECT_NE(board.captured.reports().find("descriptors"), std::string::npos);
    io.close(fds[10]);
    EXPECT_EQ(io.open("/TMP/a", kRdOnly, 0), fds[10]);
}

TEST_F(IoFiles, BadDescriptorsFailEverywhere)
{
    int closed = io.open("/TMP/x", kCreate, 0);
    io.close(closed);
    char c = 0;
    for (int fd : {-1, 0, 1, 2, closed, IoSystem::kMaxFiles, 1 << 30}) {
        SCOPED_TRACE(fd);
        EXPECT_FALSE(io.valid(fd));
        EXPECT_EQ(io.read(fd, &c, 1), -1);
        EXPECT_EQ(io.write(fd, &c, 1), -1);
        EXPECT_EQ(io.lseek(fd, 0, iof::kSeekSet), -1);
        EXPECT_EQ(io.ioctl(fd, 1, 0), -1);
        EXPECT_EQ(io.close(fd), -1);
        EXPECT_EQ(io.pathOf(fd), "");
    }
}

TEST_F(IoFiles, AccessModeCreationAndTruncation)
{
    board.put("/TMP/f", "abc");
    int ro = io.open("/TMP/f", kRdOnly, 0);
    int wo = io.open("/TMP/f", kWrOnly, 0);
    char buf[3];
    EXPECT_EQ(io.write(ro, "x", 1), -1);
    EXPECT_EQ(io.read(wo, buf, 1), -1);
    EXPECT_EQ(io.read(ro, nullptr, 1), -1);
    EXPECT_EQ(io.open("/TMP/f", iof::kAccMode, 0), -1) << "access mode 3 is none";

    EXPECT_EQ(io.open("/SYS/missing", kRdWr, 0), -1);
    EXPECT_EQ(board.put("/SYS/f", "123 content"), 11);
    EXPECT_EQ(board.put("/SYS/f", "abc", kWrOnly), 3);
    EXPECT_EQ(board.slurp("/SYS/f"), "abc content");
    EXPECT_EQ(board.put("/SYS/f", "xy"), 2);
    EXPECT_EQ(board.slurp("/SYS/f"), "xy");

    io.mkdir("/TMP/dir");
    io.mkdir("/ROM/PRF");
    for (const char *folder : {"/TMP/dir", "/TMP", "/TMP/", "/ROM/PRF", "/ROM"}) {
        EXPECT_EQ(io.open(folder, kRdOnly, 0), -1) << folder;
        EXPECT_EQ(io.open(folder, kCreate, 0), -1) << folder;
    }
    EXPECT_EQ(io.open("/TMP/nodir/f", kCreate, 0), -1);
    EXPECT_EQ(io.open("/ROM/nodir/f", kCreate, 0), -1);
}

TEST_F(IoFiles, LseekRefusesNegativePositionsAndGapsReadAsZeros)
{
    for (const char *path : {"/TMP/s", "/SYS/s"}) {
        SCOPED_TRACE(path);
        board.put(path, "0123456789");
        int fd = io.open(path, kRdWr, 0);
        EXPECT_EQ(io.lseek(fd, 0, iof::kSeekEnd), 10);
        EXPECT_EQ(io.lseek(fd, -4, iof::kSeekCur), 6);
        EXPECT_EQ(io.lseek(fd, -7, iof::kSeekCur), -1);
        EXPECT_EQ(io.lseek(fd, 0, 3), -1);
        char c = 0;
        ASSERT_EQ(io.read(fd, &c, 1), 1);
        EXPECT_EQ(c, '6') << "a refused seek leaves the position";
        EXPECT_EQ(io.lseek(fd, 12, iof::kSeekSet), 12);
        EXPECT_EQ(io.write(fd, "!", 1), 1);
        EXPECT_EQ(io.read(fd, &c, 1), 0);
        EXPECT_EQ(board.slurp(path), std::string("0123456789\0\0!", 13));
        io.close(fd);
    }
}

TEST_F(IoFiles, OffsetsBeyondThirtyTwoBitsFailAndNeverWrap)
{
    // Sparse host files: the device's lseek and ftell are 32-bit.
    const struct {
        std::uintmax_t size;
        long end; // lseek to the end
    } sizes[] = {{0x7FFFFFFFu, 0x7FFFFFFF}, {0x80000000u, -1}, {0x100000002u, -1}};
    for (const auto &c : sizes) {
        SCOPED_TRACE(c.size);
        board.put("/SYS/big", "AB");
        fs::resize_file(board.disk("SYS") / "big", c.size);
        int fd = io.open("/SYS/big", kRdOnly, 0);
        ASSERT_GT(fd, 0);
        EXPECT_EQ(io.lseek(fd, 1, iof::kSeekSet), 1);
        EXPECT_EQ(io.lseek(fd, 0, iof::kSeekEnd), c.end);
        char b = 0;
        if (c.end < 0) {
            ASSERT_EQ(io.read(fd, &b, 1), 1);
            EXPECT_EQ(b, 'B') << "a refused seek leaves the position";
        }
        EXPECT_EQ(io.lseek(fd, 0x7FFFFFFF, iof::kSeekSet), 0x7FFFFFFF);
        EXPECT_EQ(io.lseek(fd, 1, iof::kSeekCur), -1);
        io.close(fd);
        IoSystem::Stream *s = io.fopen("/SYS/big", "r");
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(io.fseek(s, 0, iof::kSeekEnd), c.end < 0 ? -1 : 0);
        EXPECT_EQ(io.ftell(s), c.end < 0 ? 0 : c.end);
        io.fclose(s);
    }
}

// --- whole files and folders -----------------------------------------------------

TEST_F(IoFiles, MkdirRemoveAndDirectories)
{
    for (std::string d : {"/TMP", "/SYS"}) {
        SCOPED_TRACE(d);
        EXPECT_EQ(io.mkdir(d + "/a"), 0);
        EXPECT_EQ(io.mkdir(d + "/a"), -1);
        EXPECT_EQ(io.mkdir(d + "/x/y"), -1);
        EXPECT_EQ(io.mkdir(d + "/a/sub"), 0);
        board.put(d + "/a/one", "1");
        board.put(d + "/a/two", "22");
        EXPECT_EQ(io.mkdir(d + "/a/one/x"), -1);
        EXPECT_FALSE(io.isDirectory(d + "/a/one"));

        auto *dir = io.opendir(d + "/a");
        ASSERT_NE(dir, nullptr);
        std::vector<std::string> names;
        while (const char *name = io.readdir(dir))
            names.push_back(name);
        EXPECT_EQ(names, (std::vector<std::string>{"one", "sub", "two"}));
        EXPECT_EQ(io.closedir(dir), 0);
        EXPECT_EQ(io.closedir(dir), -1);
        EXPECT_EQ(io.readdir(dir), nullptr);
        EXPECT_EQ(io.list(d + "/a").value()[2].size, 2);
        EXPECT_EQ(io.opendir(d + "/a/one"), nullptr);
        EXPECT_EQ(io.opendir(d + "/missing"), nullptr);

        EXPECT_EQ(io.remove(d + "/a/one"), 0);
        EXPECT_EQ(io.remove(d + "/a/one"), -1);
        EXPECT_EQ(board.slurp(d + "/a/one"), "<none>");
        EXPECT_EQ(io.remove(d + "/a/sub"), -1);
        EXPECT_TRUE(io.isDirectory(d + "/a/sub"));
        EXPECT_EQ(io.remove(d), -1);
    }
}

TEST_F(IoFiles, CopyMovesWholeFilesAndNeverOntoItself)
{
    std::string big(150000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 251);
    writeFile(board.media() / "big.bin", big);
    board.put("/SYS/out", std::string(200000, 'x'));
    EXPECT_EQ(io.copy("/usbstor/0/big.bin", "/SYS/out"), 0);
    EXPECT_EQ(readText(board.disk("SYS") / "out"), big);
    board.put("/TMP/small", "s");
    board.put("/TMP/dest", std::string(3000, 'y'));
    EXPECT_EQ(io.copy("/TMP/small", "dest"), 0);
    EXPECT_EQ(board.slurp("/TMP/dest"), "s");

    fs::create_symlink(board.disk("SYS") / "out", board.disk("SYS") / "alias");
    for (auto [from, to] : {std::pair{"/TMP/small", "/TMP/./small"},
                            {"small", "/TMP/small"},
                            {"/SYS/out", "/SYS/x/../out"},
                            {"/SYS/alias", "/SYS/out"}})
        EXPECT_EQ(io.copy(from, to), 0) << from << " onto " << to;
    EXPECT_EQ(board.slurp("/TMP/small"), "s");
    EXPECT_EQ(readText(board.disk("SYS") / "out"), big);
}

TEST_F(IoFiles, FailedCopiesLeaveNoDestination)
{
    const std::size_t freeBefore = board.ramDisk->freeClusters();
    writeFile(board.media() / "big.bin", std::string(board.ramDisk->clusters() * 512 + 1, 'b'));
    io.mkdir("/TMP/d");
    EXPECT_EQ(io.copy("/usbstor/0/missing", "/TMP/m"), -1);
    EXPECT_EQ(io.copy("/usbstor/0/missing", "/SYS/m"), -1);
    EXPECT_EQ(io.copy("/usbstor/0/big.bin", "/TMP/big"), -1) << "the RAM disk is too small";
    EXPECT_EQ(io.copy("/TMP/d", "/TMP/e"), -1) << "a folder is not copied";
    EXPECT_EQ(io.copy("/usbstor/0/big.bin", "/TMP/none/big"), -1);
    EXPECT_EQ(io.copy("/usbstor/0/big.bin", "/XYZ/big"), -1);
    EXPECT_EQ(io.list("/TMP").value().size(), 1u) << "only /TMP/d";
    EXPECT_EQ(board.ramDisk->freeClusters(), freeBefore);
    EXPECT_EQ(hostTree(board.disk("SYS")), std::vector<std::string>{});
}

// --- streams -----------------------------------------------------------------------

TEST_F(IoFiles, StreamWritesWaitForFlushOrAFullBuffer)
{
    for (const char *path : {"/TMP/s", "/SYS/s"}) {
        SCOPED_TRACE(path);
        auto *s = io.fopen(path, "w");
        EXPECT_EQ(io.fwrite("hello", 1, 5, s), 5u);
        EXPECT_EQ(board.size(path), 0) << "held in the stream";
        EXPECT_EQ(io.ftell(s), 5);
        EXPECT_EQ(io.fflush(s), 0);
        EXPECT_EQ(board.size(path), 5);
        std::string fill(IoSystem::kStreamBuffer - 1, 'f');
        EXPECT_EQ(io.fwrite(fill.data(), 1, fill.size(), s), fill.size());
        EXPECT_EQ(board.size(path), 5);
        EXPECT_EQ(io.fwrite("!", 1, 1, s), 1u);
        EXPECT_EQ(board.size(path), static_cast<long>(5 + IoSystem::kStreamBuffer));
        EXPECT_EQ(io.fwrite("end", 3, 1, s), 1u);
        EXPECT_EQ(io.fclose(s), 0);
        EXPECT_EQ(board.slurp(path), "hello" + fill + "!end");
    }
}

TEST_F(IoFiles, StreamSeekTellAndReadPushHeldWritesOut)
{
    auto *s = io.fopen("/TMP/s", "w+");
    io.fwrite("abcdef", 1, 6, s);
    EXPECT_EQ(io.fseek(s, 2, iof::kSeekSet), 0);
    EXPECT_EQ(board.size("/TMP/s"), 6);
    io.fwrite("XY", 1, 2, s);
    char buf[8] = {};
    EXPECT_EQ(io.fread(buf, 1, 8, s), 2u) << "the read pushes XY out first";
    EXPECT_EQ(std::string(buf, 2), "ef");
    EXPECT_EQ(board.slurp("/TMP/s"), "abXYef");
    EXPECT_EQ(io.fseek(s, -1, iof::kSeekSet), -1);
    EXPECT_EQ(io.fseek(s, -2, iof::kSeekEnd), 0);
    EXPECT_EQ(io.fseek(s, 1, iof::kSeekCur), 0);
    EXPECT_EQ(io.ftell(s), 5);
    io.fseek(s, 0, iof::kSeekSet);
    EXPECT_EQ(io.fread(buf, 4, 2, s), 1u) << "whole items only";
    EXPECT_EQ(io.ftell(s), 6);
    io.fclose(s);

    auto *r = io.fopen("/TMP/s", "rb");
    EXPECT_EQ(io.fwrite("x", 1, 1, r), 0u) << "opened for reading";
    io.fclose(r);
    EXPECT_EQ(board.slurp("/TMP/s"), "abXYef");
}

TEST_F(IoFiles, ModesOpenCreateAndAppendAsInC)
{
    EXPECT_EQ(io.fopen("/TMP/none", "r"), nullptr);
    EXPECT_EQ(io.fopen("/TMP/none", "r+"), nullptr);
    EXPECT_EQ(board.slurp("/TMP/none"), "<none>") << "r must not create";
    for (const char *bad : {"", "x", "rw", "r+x", "br"})
        EXPECT_EQ(io.fopen("/TMP/f", bad), nullptr) << bad;

    board.put("/TMP/log", "abc");
    auto *a = io.fopen("/TMP/log", "a");
    io.fwrite("de", 1, 2, a);
    EXPECT_EQ(io.ftell(a), 5);
    io.fclose(a);
    auto *ap = io.fopen("/TMP/log", "a+"); // reads anywhere, writes at the end
    char buf[3] = {};
    EXPECT_EQ(io.fread(buf, 1, 3, ap), 3u);
    EXPECT_EQ(std::string(buf, 3), "abc");
    io.fseek(ap, 0, iof::kSeekSet);
    io.fwrite("XY", 1, 2, ap);
    EXPECT_EQ(io.ftell(ap), 7);
    io.fclose(ap);
    auto *rp = io.fopen("/TMP/log", "r+");
    io.fwrite("Q", 1, 1, rp);
    io.fclose(rp);
    EXPECT_EQ(board.slurp("/TMP/log"), "QbcdeXY");
    io.fclose(io.fopen("/TMP/log", "wb"));
    EXPECT_EQ(board.slurp("/TMP/log"), "");
}

TEST_F(IoFiles, StaleAndMadeUpStreamsAreRefused)
{
    auto *s = io.fopen("/TMP/s", "w");
    int fd = io.fileno(s);
    EXPECT_GE(fd, 3);
    io.fwrite("x", 1, 1, s);
    EXPECT_EQ(io.fclose(s), 0);
    EXPECT_FALSE(io.valid(fd)) << "fclose closes the descriptor";
    auto *bogus = reinterpret_cast<IoSystem::Stream *>(&fd);
    for (auto *bad : {s, bogus, static_cast<IoSystem::Stream *>(nullptr)}) {
        char c = 0;
        EXPECT_EQ(io.fclose(bad), -1);
        EXPECT_EQ(io.fwrite("y", 1, 1, bad), 0u);
        EXPECT_EQ(io.fread(&c, 1, 1, bad), 0u);
        EXPECT_EQ(io.fseek(bad, 0, iof::kSeekSet), -1);
        EXPECT_EQ(io.ftell(bad), -1);
        EXPECT_EQ(io.fflush(bad), -1);
        EXPECT_EQ(io.fileno(bad), -1);
    }
    EXPECT_EQ(board.slurp("/TMP/s"), "x");
}

TEST_F(IoFiles, StreamOnAFullDiskTellsWhatWasLost)
{
    const std::size_t room = board.ramDisk->clusters() * 512;
    std::string data(room + 2 * IoSystem::kStreamBuffer, 'd');
    auto *s = io.fopen("/TMP/big", "w");
    EXPECT_EQ(io.fwrite(data.data(), 1, data.size(), s), room) << "only what reached the disk";
    EXPECT_EQ(io.fclose(s), 0);
    EXPECT_EQ(board.size("/TMP/big"), static_cast<long>(room));

    s = io.fopen("/TMP/big", "w");
    EXPECT_EQ(io.fwrite(data.data(), 1, room, s), room);
    EXPECT_EQ(io.fwrite("more", 1, 4, s), 4u);
    EXPECT_EQ(io.fclose(s), -1) << "held bytes found no room";
}

TEST(IoStreams, EndOfTheIoSystemFlushesOpenStreams)
{
    TempDir scratch;
    Console console;
    {
        IoSystem io(console);
        io.addDevice(std::make_unique<HostFolderDevice>("/SYS", scratch.path(), false, console));
        io.fwrite("pending", 1, 7, io.fopen("/SYS/left-open", "w"));
        EXPECT_EQ(readText(scratch / "left-open"), "");
    }
    EXPECT_EQ(readText(scratch / "left-open"), "pending");
}

} // namespace
