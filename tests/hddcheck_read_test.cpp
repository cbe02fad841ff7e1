// One HDD package file read into a new part buffer behind the remainder's
// room: content, length, console and log lines, and every failure leaving
// nothing allocated and nothing written past the buffer.
#include "hddcheck_support.h"
#include "tools/media/PairSwap.h"

#include <cstring>
#include <string>

namespace {

using hddcheck_test::HddFiles;

std::string swapped(const std::string &content)
{
    media::Bytes bytes = media::pairSwap(
        std::span(reinterpret_cast<const std::uint8_t *>(content.data()), content.size()));
    return std::string(bytes.begin(), bytes.end());
}

struct Read {
    char *buffer = nullptr;
    vx::INT32 length = 0;

    ~Read() { vx::free(buffer); }
    std::string bytes(std::size_t from, std::size_t n) const { return std::string(buffer + from, n); }
};

class HddRead : public HddFiles {
protected:
    void read(Read &r, const char *path, vx::INT32 capacity, vx::INT32 offset)
    {
        r.length = capacity;
        r.buffer = vx::bootUsbStrageTenkai_HDD(path, &r.length, offset);
    }
};

TEST_F(HddRead, OddFileGetsItsPadBeforeTheLastByte)
{
    putFile("1", std::string("\x01\x02\x03\x04\x05", 5));
    Read r;
    read(r, "/usbstor/0/1", 133, 0);
    ASSERT_NE(r.buffer, nullptr);
    EXPECT_EQ(r.length, 6);
    EXPECT_EQ(r.bytes(0, 6), std::string("\x02\x01\x04\x03\xFF\x05", 6));
    EXPECT_EQ(r.bytes(6, 127), std::string(127, '\0'));
    EXPECT_EQ(h.console(), "hdfile /usbstor/0/1\ntotal_HDDsize=6\n");
}

TEST_F(HddRead, ContentLiesBehindTheOffsetOnACleanBuffer)
{
    // Longer than one 64 KiB piece of the reader.
    std::string content = testing_support::randomBytes(150000, 7);
    putFile("2", swapped(content), true);
    vx::dlupdateFolderCheckFlag = 1;
    openLog();
    Read r;
    read(r, "/usbstor/0/fwstore/2", 150000 + 300 + 128, 300);
    ASSERT_NE(r.buffer, nullptr);
    EXPECT_EQ(r.length, 150000);
    EXPECT_EQ(r.bytes(0, 300), std::string(300, '\0'));
    EXPECT_TRUE(r.bytes(300, 150000) == content);
    EXPECT_EQ(r.bytes(150300, 128), std::string(128, '\0'));
    EXPECT_EQ(closeLog(), "[bootUsbStrageTenkai_HDD] hdfile /usbstor/0/fwstore/2\n"
                          "[bootUsbStrageTenkai_HDD] total_HDDsize=150000\n");
    EXPECT_EQ(h.console(), "hdfile /usbstor/0/fwstore/2\ntotal_HDDsize=150000\n");
}

TEST_F(HddRead, ContentThatExactlyFillsTheRoomIsAccepted)
{
    putFile("1", swapped(std::string(100, 'k')));
    Read r;
    read(r, "/usbstor/0/1", 160, 60);
    ASSERT_NE(r.buffer, nullptr);
    EXPECT_EQ(r.length, 100);
    EXPECT_EQ(r.bytes(60, 100), std::string(100, 'k'));
}

// The swap reader takes no bound; however long the file, nothing may be
// written past the buffer (the sanitizer build sees any overrun).
TEST_F(HddRead, ContentLongerThanTheRoomIsRefusedUnread)
{
    putFile("1", std::string(101, 'k'));
    putFile("2", std::string(5, 'k'));
    putFile("3", testing_support::randomBytes(200000, 3));
    openLog();

    struct Case {
        const char *path;
        vx::INT32 capacity, offset;
        int total;
    } cases[] = {
        {"/usbstor/0/1", 160, 60, 102},   // one byte over, by the pad
        {"/usbstor/0/2", 65, 60, 6},      // five bytes fit, the pad does not
        {"/usbstor/0/3", 1000, 0, 200000}, // far longer than the buffer
        {"/usbstor/0/2", 40, 50, 6},      // an offset beyond the buffer
    };
    std::string console, log;
    for (const Case &c : cases) {
        Read r;
        read(r, c.path, c.capacity, c.offset);
        EXPECT_EQ(r.buffer, nullptr) << c.path;
        EXPECT_EQ(r.length, 0) << c.path;
        std::string total = "total_HDDsize=" + std::to_string(c.total) + "\n";
        console += std::string("hdfile ") + c.path + "\n" + total + "file size over \n";
        log += std::string("[bootUsbStrageTenkai_HDD] hdfile ") + c.path + "\n" +
               "[bootUsbStrageTenkai_HDD] " + total + "[bootUsbStrageTenkai_HDD] file size over \n";
    }
    EXPECT_EQ(h.console(), console);
    EXPECT_EQ(closeLog(), log);
}

TEST_F(HddRead, MissingOrEmptyFileGivesNoBuffer)
{
    putFile("1", "");
    openLog();
    Read missing;
    read(missing, "/usbstor/0/9", 200, 0);
    EXPECT_EQ(missing.buffer, nullptr);
    EXPECT_EQ(missing.length, 0);
    Read empty;
    read(empty, "/usbstor/0/1", 200, 10);
    EXPECT_EQ(empty.buffer, nullptr);
    EXPECT_EQ(empty.length, 0);
    EXPECT_EQ(h.console(), "hdfile /usbstor/0/9\nhdfile /usbstor/0/1\ntotal_HDDsize=0\n");
    EXPECT_EQ(closeLog(), "[bootUsbStrageTenkai_HDD] hdfile /usbstor/0/9\n"
                          "[bootUsbStrageTenkai_HDD] hdfile /usbstor/0/1\n"
                          "[bootUsbStrageTenkai_HDD] total_HDDsize=0\n");
}

TEST_F(HddRead, BufferThatCannotBeHadIsReportedAlone)
{
    putFile("1", "abcd");
    openLog();
    h.machine().faults().add("malloc:0:1");
    Read r;
    read(r, "/usbstor/0/1", 200, 0);
    EXPECT_EQ(r.buffer, nullptr);
    EXPECT_EQ(r.length, 0);
    // A negative capacity is not handed to the allocator at all.
    Read negative;
    read(negative, "/usbstor/0/1", -1, 0);
    EXPECT_EQ(negative.buffer, nullptr);
    EXPECT_EQ(negative.length, 0);
    EXPECT_EQ(h.console(), "bootUsbStrageTenkai_HDD malloc error \n"
                           "bootUsbStrageTenkai_HDD malloc error \n");
    EXPECT_EQ(closeLog(), "[bootUsbStrageTenkai_HDD] bootUsbStrageTenkai_HDD malloc error \n"
                          "[bootUsbStrageTenkai_HDD] bootUsbStrageTenkai_HDD malloc error \n");

    // Only that one allocation failed.
    h.clearConsole();
    Read again;
    read(again, "/usbstor/0/1", 200, 0);
    ASSERT_NE(again.buffer, nullptr);
    EXPECT_EQ(again.bytes(0, 4), "badc");
}

} // namespace
