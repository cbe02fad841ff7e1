// The HDD package files on the storage: the series check with its sizes,
// and one file read into a part buffer behind the remainder's room, with
// their console and progress log lines.
#include "tests/support/Harness.h"
#include "tests/support/PairSwap.h"
#include "update/hdd/dlFirmHDDUpdate.h"
#include "update/session/dlFirmUpMain.h"

#include <array>
#include <string>

namespace {

using testing_support::randomBytes;

class HddFiles : public ::testing::Test {
protected:
    void SetUp() override { vx::dlupdateFolderCheckFlag = 0; }
    void TearDown() override
    {
        closeLog();
        vx::dlupdateFolderCheckFlag = 0;
    }

    void put(const std::string &name, const std::string &stored)
    {
        testing_support::writeFile(h.media() / name, stored);
    }
    // The log as the HDD update task holds it, on "/UND" (no RAM disk needed).
    void openLog() { ASSERT_NE(vx::dl_fp = vx::fopen("/UND/progress.log", "a+"), nullptr); }
    std::string closeLog()
    {
        if (vx::dl_fp)
            vx::fclose(vx::dl_fp);
        vx::dl_fp = nullptr;
        return testing_support::readText(h.folder() / "disk/UND/progress.log");
    }

    int check()
    {
        count = 99;
        sizes.fill(0);
        return vx::dlFirmUsbCheckHDD(&count, sizes.data());
    }

    // A part buffer, released with the test.
    struct Read {
        char *buffer = nullptr;
        vx::INT32 length = 0;
        ~Read() { vx::free(buffer); }
        std::string at(std::size_t from, std::size_t n) const { return std::string(buffer + from, n); }
    };
    // Reads path with the given capacity and offset into r.
    void read(Read &r, const char *path, vx::INT32 capacity, vx::INT32 offset)
    {
        r.length = capacity;
        r.buffer = vx::bootUsbStrageTenkai_HDD(path, &r.length, offset);
    }

    testing_support::MachineHarness h;
    vx::INT32 count = 0;
    std::array<vx::INT32, 32> sizes{};
};

TEST_F(HddFiles, SeriesFromOne)
{
    put("1", std::string(10, 'a'));
    put("2", std::string(2000, 'b'));
    put("3", std::string(7, 'c'));
    put("firmImage0.bin", "x");
    put("01", "leading zero");
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(sizes, (std::array<vx::INT32, 32>{10, 2000, 7}));
    EXPECT_EQ(h.console(), "file Size  0  10\nfile Size  1  2000\nfile Size  2  7\n");

    for (int n = 4; n <= 33; ++n)
        put(std::to_string(n), std::string(n, 'x'));
    h.clearConsole();
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(count, 32) << "a file 33 is never looked at";
    EXPECT_EQ(sizes[31], 32);
    EXPECT_EQ(h.console().substr(h.console().rfind("file")), "file Size  31  32\n");
}

TEST_F(HddFiles, GapsAndNoFilesFail)
{
    EXPECT_EQ(check(), -1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(h.console(), "");

    put("2", "22");
    put("3", "333");
    EXPECT_EQ(check(), -1) << "the series must begin at 1";
    EXPECT_EQ(count, 0);
    EXPECT_EQ(h.console(), "file Size  1  2\nfile Size  2  3\n");

    put("1", "1");
    put("5", "55555");
    h.clearConsole();
    EXPECT_EQ(check(), -1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(h.console(), "file Size  0  1\nfile Size  1  2\nfile Size  2  3\nfile Size  4  5\n");
}

TEST_F(HddFiles, FolderFlagAndLogLine)
{
    put("1", "root1");
    put("2", "root2");
    put("fwstore/1", "fwstore1!");
    vx::dlupdateFolderCheckFlag = 1;
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(sizes[0], 9);
    EXPECT_EQ(closeLog(), "") << "no log line while the log is closed";

    vx::dlupdateFolderCheckFlag = 0;
    openLog();
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(closeLog(), "[dlFirmUsbCheckHDD] file Size  0  5\n[dlFirmUsbCheckHDD] file Size  1  5\n");
    EXPECT_EQ(h.console(), "file Size  0  9\nfile Size  0  5\nfile Size  1  5\n");
}

TEST_F(HddFiles, ReadPlacesSwappedContentBehindTheOffset)
{
    put("1", std::string("\x01\x02\x03\x04\x05", 5));
    std::string content = randomBytes(150000, 7); // more than one 64 KiB piece
    put("fwstore/2", testing_support::swapPairs(content));
    openLog();

    Read odd;
    read(odd, "/usbstor/0/1", 133, 0);
    ASSERT_NE(odd.buffer, nullptr);
    EXPECT_EQ(odd.length, 6);
    EXPECT_EQ(odd.at(0, 133), std::string("\x02\x01\x04\x03\xFF\x05", 6) + std::string(127, '\0'));

    Read big;
    read(big, "/usbstor/0/fwstore/2", 150000 + 300 + 128, 300);
    ASSERT_NE(big.buffer, nullptr);
    EXPECT_EQ(big.length, 150000);
    EXPECT_TRUE(big.at(0, 150428) == std::string(300, '\0') + content + std::string(128, '\0'));

    Read exact; // content that fills the room exactly
    read(exact, "/usbstor/0/1", 66, 60);
    EXPECT_EQ(exact.length, 6);

    std::string lines = "hdfile /usbstor/0/1\ntotal_HDDsize=6\n"
                        "hdfile /usbstor/0/fwstore/2\ntotal_HDDsize=150000\n"
                        "hdfile /usbstor/0/1\ntotal_HDDsize=6\n";
    EXPECT_EQ(h.console(), lines);
    std::string log;
    for (std::size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1)
        log += "[bootUsbStrageTenkai_HDD] " + lines.substr(at, end + 1 - at);
    EXPECT_EQ(closeLog(), log);
}

// The swap reader takes no bound: whatever the file, nothing may be written
// past the buffer (the sanitizer build sees any overrun).
TEST_F(HddFiles, ReadRefusesContentThatDoesNotFitUnread)
{
    put("1", std::string(101, 'k'));
    put("2", std::string(5, 'k'));
    put("3", randomBytes(200000, 3));
    openLog();
    struct Case {
        const char *path;
        vx::INT32 capacity, offset;
        int total;
    } cases[] = {
        {"/usbstor/0/1", 160, 60, 102},    // one byte over, by the pad
        {"/usbstor/0/2", 65, 60, 6},       // five bytes fit, the pad does not
        {"/usbstor/0/3", 1000, 0, 200000}, // far longer than the buffer
        {"/usbstor/0/2", 40, 50, 6},       // an offset beyond the buffer
    };
    std::string console, log;
    for (const Case &c : cases) {
        Read r;
        read(r, c.path, c.capacity, c.offset);
        EXPECT_EQ(r.buffer, nullptr) << c.path;
        EXPECT_EQ(r.length, 0) << c.path;
        std::string lines = std::string("hdfile ") + c.path + "\ntotal_HDDsize=" + std::to_string(c.total) +
                            "\nfile size over \n";
        console += lines;
        for (std::size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1)
            log += "[bootUsbStrageTenkai_HDD] " + lines.substr(at, end + 1 - at);
    }
    EXPECT_EQ(h.console(), console);
    EXPECT_EQ(closeLog(), log);
}

TEST_F(HddFiles, ReadFailuresLeaveNothingAllocated)
{
    put("1", "");
    put("2", "abcd");
    openLog();
    Read missing, empty, noMemory, negative, after;
    read(missing, "/usbstor/0/9", 200, 0);
    read(empty, "/usbstor/0/1", 200, 10);
    h.machine().faults().add("malloc:0:1");
    read(noMemory, "/usbstor/0/2", 200, 0);
    read(negative, "/usbstor/0/2", -1, 0); // never handed to the allocator
    for (Read *r : {&missing, &empty, &noMemory, &negative}) {
        EXPECT_EQ(r->buffer, nullptr);
        EXPECT_EQ(r->length, 0);
    }
    read(after, "/usbstor/0/2", 200, 0);
    ASSERT_NE(after.buffer, nullptr);
    EXPECT_EQ(after.at(0, 4), "badc");
    EXPECT_EQ(h.console(), "hdfile /usbstor/0/9\n"
                           "hdfile /usbstor/0/1\ntotal_HDDsize=0\n"
                           "bootUsbStrageTenkai_HDD malloc error \n"
                           "bootUsbStrageTenkai_HDD malloc error \n"
                           "hdfile /usbstor/0/2\ntotal_HDDsize=4\n");
    EXPECT_EQ(closeLog(), "[bootUsbStrageTenkai_HDD] hdfile /usbstor/0/9\n"
                          "[bootUsbStrageTenkai_HDD] hdfile /usbstor/0/1\n"
                          "[bootUsbStrageTenkai_HDD] total_HDDsize=0\n"
                          "[bootUsbStrageTenkai_HDD] bootUsbStrageTenkai_HDD malloc error \n"
                          "[bootUsbStrageTenkai_HDD] bootUsbStrageTenkai_HDD malloc error \n"
                          "[bootUsbStrageTenkai_HDD] hdfile /usbstor/0/2\n"
                          "[bootUsbStrageTenkai_HDD] total_HDDsize=4\n");
}

} // namespace
