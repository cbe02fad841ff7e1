// The package decompressor: zlib streams from one device file to another.
#include "host/Console.h"
#include "host/Faults.h"
#include "host/io/HostFolderDevice.h"
#include "host/io/IoSystem.h"
#include "host/io/RamDisk.h"
#include "host/machine/Archiver.h"
#include "services_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using host::inflateFile;
using testing_support::cutPowerAt;
using testing_support::PowerCut;
using testing_support::randomBytes;
using testing_support::sameBytes;
using testing_support::TempDir;

inline std::string zlibCompress(const std::string &content)
{
    uLongf size = compressBound(static_cast<uLong>(content.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef *>(out.data()), &size,
                  reinterpret_cast<const Bytef *>(content.data()), static_cast<uLong>(content.size()),
                  6) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(size);
    return out;
}

class Archiver : public ::testing::Test {
protected:
    Archiver() : io(console), captured(console)
    {
        io.addDevice(std::make_unique<host::HostFolderDevice>("/HOST", folder.path(), false, console));
        addRamDisk("/TMP", 32u << 20);
    }

    void addRamDisk(const std::string &name, std::size_t bytes)
    {
        memory.push_back(std::make_unique<std::vector<char>>(bytes));
        blocks.push_back(std::make_unique<host::RamBlockDevice>(memory.back()->data(), bytes, 512));
        ASSERT_TRUE(io.addDevice(std::make_unique<host::DosFsDevice>(name, *blocks.back(), console)));
    }

    void put(const std::string &path, const std::string &content)
    {
        int fd = io.open(path, host::iof::kRdWr | host::iof::kCreat | host::iof::kTrunc, 0644);
        ASSERT_GT(fd, 0) << path;
        std::size_t done = 0;
        while (done < content.size()) {
            int n = io.write(fd, content.data() + done, content.size() - done);
            ASSERT_GT(n, 0) << path;
            done += static_cast<std::size_t>(n);
        }
        io.close(fd);
    }

    std::optional<std::string> get(const std::string &path)
    {
        int fd = io.open(path, host::iof::kRdOnly, 0);
        if (fd <= 0)
            return std::nullopt;
        std::string out;
        char buffer[65536];
        for (int n; (n = io.read(fd, buffer, sizeof buffer)) > 0;)
            out.append(buffer, static_cast<std::size_t>(n));
        io.close(fd);
        return out;
    }

    bool noOpenFiles() const
    {
        for (int fd = 0; fd < 16; ++fd)
            if (io.valid(fd))
                return false;
        return true;
    }

    int run(const std::string &source, const std::string &destination, int command = 100)
    {
        return inflateFile(io, faults, room, command, source, destination, 0);
    }

    TempDir folder;
    host::Console console;
    host::Faults faults;
    host::IoSystem io;
    host::InflateRoom room; // one for all of a test's calls, as a machine keeps
    host::CapturedConsole captured;
    std::vector<std::unique_ptr<std::vector<char>>> memory;
    std::vector<std::unique_ptr<host::RamBlockDevice>> blocks;
};

TEST_F(Archiver, RoundTripOfSeveralSizes)
{
    // Random bytes barely compress, so the large ones span many input and
    // output chunks; the repetitive one expands far beyond its input chunk.
    const std::vector<std::string> contents = {
        "",
        randomBytes(1, 1),
        randomBytes(65535, 2),
        randomBytes(65537, 3),
        randomBytes(200000, 4),
        randomBytes(3u << 20, 5),
        randomBytes(6u << 20, 6, 3),
    };
    for (const std::string &content : contents) {
        SCOPED_TRACE(content.size());
        put("/TMP/temp.db", zlibCompress(content));
        ASSERT_EQ(run("/TMP/temp.db", "/TMP/out.bin"), 0);
        EXPECT_TRUE(sameBytes(get("/TMP/out.bin"), content));
        // Across devices, too: the module expands onto the hard disk.
        ASSERT_EQ(run("/TMP/temp.db", "/HOST/out.bin"), 0);
        EXPECT_TRUE(sameBytes(testing_support::readHostFile(folder.path() / "out.bin"), content));
        // A source that is not in memory already is read in first.
        put("/HOST/temp.db", zlibCompress(content));
        ASSERT_EQ(run("/HOST/temp.db", "/TMP/out.bin"), 0);
        EXPECT_TRUE(sameBytes(get("/TMP/out.bin"), content));
    }
}

TEST_F(Archiver, DestinationIsTruncatedAndRelativeNamesMeanTheRamDisk)
{
    put("/TMP/out.bin", std::string(100000, 'o'));
    put("/TMP/temp.db", zlibCompress("short"));
    ASSERT_EQ(run("temp.db", "out.bin"), 0);
    EXPECT_EQ(get("/TMP/out.bin"), "short");
}

TEST_F(Archiver, BytesAfterTheStreamAreIgnored)
{
    const std::string content = randomBytes(70000, 7);
    put("/TMP/temp.db", zlibCompress(content) + "\r\n" + zlibCompress("another package"));
    ASSERT_EQ(run("/TMP/temp.db", "/TMP/out.bin"), 0);
    EXPECT_TRUE(sameBytes(get("/TMP/out.bin"), content));
}

TEST_F(Archiver, DamagedStreamFails)
{
    const std::string content = randomBytes(100000, 8);
    const std::string good = zlibCompress(content);

    std::string badHeader = good;
    badHeader[0] = 0x7f;
    put("/TMP/temp.db", badHeader);
    EXPECT_EQ(run("/TMP/temp.db", "/TMP/out.bin"), -1);
    EXPECT_EQ(get("/TMP/out.bin"), "");

    // A wrong check value is found only after the whole content came out:
    // the destination keeps it, and the call still fails.
    std::string badCheck = good;
    badCheck.back() = static_cast<char>(badCheck.back() ^ 0x55);
    put("/TMP/temp.db", badCheck);
    EXPECT_EQ(run("/TMP/temp.db", "/TMP/out.bin"), -1);
    EXPECT_TRUE(sameBytes(get("/TMP/out.bin"), content));

    put("/TMP/temp.db", std::string(1000, 'x'));
    EXPECT_EQ(run("/TMP/temp.db", "/TMP/out.bin"), -1);
    EXPECT_NE(captured.reports().find("damaged"), std::string::npos);
    EXPECT_TRUE(noOpenFiles());
}

TEST_F(Archiver, StreamCutShortFailsKeepingWhatCameOut)
{
    const std::string content = randomBytes(300000, 9);
    const std::string good = zlibCompress(content);
    // Without its check value the content is all there, yet the stream is
    // still incomplete.
    for (std::size_t keep : {std::size_t{0}, std::size_t{1}, good.size() / 2, good.size() - 1}) {
        SCOPED_TRACE(keep);
        put("/TMP/temp.db", good.substr(0, keep));
        EXPECT_EQ(run("/TMP/temp.db", "/TMP/out.bin"), -1);
        auto out = get("/TMP/out.bin");
        ASSERT_TRUE(out.has_value());
        if (keep <= 1) {
            EXPECT_TRUE(out->empty());
        } else if (keep == good.size() / 2) {
            EXPECT_GT(out->size(), 0u);
            EXPECT_LT(out->size(), content.size());
        }
        EXPECT_TRUE(sameBytes(out, content.substr(0, std::min(out->size(), content.size()))));
    }
}

// What zlib alone makes of `packed`, all of it at once: the content it
// inflated before it stopped, and whether the stream ended soundly.
std::pair<std::string, bool> zlibAlone(const std::string &packed, std::size_t room)
{
    z_stream z{};
    EXPECT_EQ(inflateInit(&z), Z_OK);
    std::string out(room, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(packed.data()));
    z.avail_in = static_cast<uInt>(packed.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    int rc = inflate(&z, Z_FINISH);
    out.resize(z.total_out);
    inflateEnd(&z);
    return {out, rc == Z_STREAM_END};
}

// Sound streams are inflated whole, in memory; on any failure the streaming
// inflate takes over. Either way the destination and the result are what
// zlib alone makes of the source, whatever the damage.
TEST_F(Archiver, EveryDamageLeavesWhatZlibAloneLeaves)
{
    std::string content;
    for (int i = 0; content.size() < 400000; ++i)
        content += "line " + std::to_string(i * 7919 % 1000) + " of the package\n" + randomBytes(i % 5, i);
    const std::string good = zlibCompress(content);
    auto flip = [&](std::size_t at) {
        std::string s = good;
        s[at] = static_cast<char>(s[at] ^ 0x24);
        return s;
    };
    std::string dictionary = good;
    dictionary[1] = static_cast<char>(0xBB); // FDICT set, header check still right
    const std::pair<const char *, std::string> sources[] = {
        {"sound", good},
        {"sound, another stream behind", good + "\r\n" + zlibCompress("next")},
        {"empty", ""},
        {"header only", good.substr(0, 2)},
        {"wrong header check", flip(1)},
        {"preset dictionary", dictionary},
        {"damaged at a tenth", flip(good.size() / 10)},
        {"damaged at the middle", flip(good.size() / 2)},
        {"damaged near the end", flip(good.size() - 9)},
        {"wrong check value", flip(good.size() - 1)},
        {"cut at a third", good.substr(0, good.size() / 3)},
        {"cut before the check value", good.substr(0, good.size() - 4)},
        {"cut by one byte", good.substr(0, good.size() - 1)},
        {"no stream at all", randomBytes(5000, 99)},
    };
    int partial = 0;
    for (const auto &[name, packed] : sources) {
        SCOPED_TRACE(name);
        auto [expected, sound] = zlibAlone(packed, 2 * content.size());
        if (sound) {
            EXPECT_TRUE(sameBytes(expected, content));
        }
        partial += !sound && !expected.empty() && expected.size() < content.size();
        put("/TMP/temp.db", packed);
        put("/TMP/out.bin", "earlier content");
        EXPECT_EQ(run("/TMP/temp.db", "/TMP/out.bin"), sound ? 0 : -1);
        EXPECT_TRUE(sameBytes(get("/TMP/out.bin"), expected));
        EXPECT_TRUE(noOpenFiles());
    }
    EXPECT_GE(partial, 2) << "damage that stops the inflate halfway";
}

TEST_F(Archiver, BadCommandOrSourceLeavesTheDestinationAlone)
{
    put("/TMP/temp.db", zlibCompress("content"));
    EXPECT_EQ(run("/TMP/temp.db", "/TMP/out.bin", 101), -1);
    EXPECT_EQ(run("/TMP/temp.db", "/TMP/out.bin", 0), -1);
    EXPECT_EQ(get("/TMP/out.bin"), std::nullopt);

    put("/TMP/out.bin", "previous");
    EXPECT_EQ(run("/TMP/missing.db", "/TMP/out.bin"), -1);
    EXPECT_EQ(run("/NODEV/temp.db", "/TMP/out.bin"), -1);
    EXPECT_EQ(get("/TMP/out.bin"), "previous");
}

TEST_F(Archiver, SourceAsDestinationIsRefused)
{
    const std::string packed = zlibCompress(randomBytes(5000, 10));
    put("/TMP/temp.db", packed);
    EXPECT_EQ(run("/TMP/temp.db", "/TMP/temp.db"), -1);
    EXPECT_EQ(run("/TMP/temp.db", "temp.db"), -1);
    EXPECT_EQ(run("/TMP/temp.db", "/TMP//temp.db"), -1);
    EXPECT_TRUE(sameBytes(get("/TMP/temp.db"), packed));

    // A link inside a host folder reaches the same file by another name.
    put("/HOST/temp.db", packed);
    std::filesystem::create_symlink("temp.db", folder.path() / "alias.db");
    EXPECT_EQ(run("/HOST/temp.db", "/HOST/alias.db"), -1);
    EXPECT_TRUE(sameBytes(get("/HOST/temp.db"), packed));
}

TEST_F(Archiver, DestinationThatCannotBeWritten)
{
    put("/TMP/temp.db", zlibCompress("content"));
    EXPECT_EQ(run("/TMP/temp.db", "/NODEV/out.bin"), -1);
    EXPECT_EQ(run("/TMP/temp.db", "/TMP/no/such/folder/out.bin"), -1);
    EXPECT_EQ(run("/TMP/temp.db", "/HOST/../escaped.bin"), -1);
    EXPECT_FALSE(std::filesystem::exists(folder.path().parent_path() / "escaped.bin"));
}

TEST_F(Archiver, RamDiskTooSmallForTheContent)
{
    // 64 KiB of tables plus 32 KiB of room.
    addRamDisk("/SMALL", (64 + 32) * 1024);
    const std::string content = randomBytes(100000, 11);
    put("/TMP/temp.db", zlibCompress(content));
    EXPECT_EQ(run("/TMP/temp.db", "/SMALL/out.bin"), -1);
    auto out = get("/SMALL/out.bin");
    ASSERT_TRUE(out.has_value());
    EXPECT_LE(out->size(), 32u * 1024);
    EXPECT_TRUE(sameBytes(out, content.substr(0, std::min(out->size(), content.size()))));

    EXPECT_TRUE(noOpenFiles());

    // What fits goes through.
    EXPECT_EQ(io.remove("/SMALL/out.bin"), 0);
    put("/TMP/temp.db", zlibCompress(content.substr(0, 20000)));
    EXPECT_EQ(run("/TMP/temp.db", "/SMALL/out.bin"), 0);
}

TEST_F(Archiver, InjectedFaultTruncatesTheDestination)
{
    faults.add("archiver:1:2");
    const std::string content = randomBytes(20000, 12);
    put("/TMP/temp.db", zlibCompress(content));
    put("/TMP/out.bin", "old");

    EXPECT_EQ(run("/TMP/temp.db", "/TMP/out.bin"), 0); // skipped
    EXPECT_TRUE(sameBytes(get("/TMP/out.bin"), content));
    EXPECT_EQ(run("/TMP/temp.db", "/TMP/out.bin"), -1);
    EXPECT_EQ(get("/TMP/out.bin"), "");
    EXPECT_EQ(run("/TMP/temp.db", "/TMP/new.bin"), -1);
    EXPECT_EQ(get("/TMP/new.bin"), "");                // made, empty
    EXPECT_EQ(run("/TMP/temp.db", "/TMP/out.bin"), 0); // count used up
    EXPECT_TRUE(sameBytes(get("/TMP/out.bin"), content));
    EXPECT_NE(captured.reports().find("fault archiver"), std::string::npos);
}

TEST_F(Archiver, EveryCallCountsOnce)
{
    // Failing calls count as well, so a fault lands on the call a sweep
    // expects.
    faults.add("archiver:3:1");
    put("/TMP/temp.db", zlibCompress("x"));
    EXPECT_EQ(run("/TMP/temp.db", "/TMP/out.bin", 7), -1);
    EXPECT_EQ(run("/TMP/missing.db", "/TMP/out.bin"), -1);
    EXPECT_EQ(run("/TMP/temp.db", "/TMP/out.bin"), 0);
    EXPECT_EQ(run("/TMP/temp.db", "/TMP/out.bin"), -1); // the fourth call
    EXPECT_EQ(run("/TMP/temp.db", "/TMP/out.bin"), 0);
    EXPECT_EQ(faults.eventCounts().at("archiver"), 5);
}

TEST_F(Archiver, PowerCutLeavesHalfTheContent)
{
    const std::string content = randomBytes(250001, 13);
    put("/TMP/temp.db", zlibCompress(content));
    put("/TMP/out.bin", "old content");
    cutPowerAt(faults, "archiver:2");

    EXPECT_EQ(run("/TMP/temp.db", "/TMP/first.bin"), 0);
    EXPECT_THROW(run("/TMP/temp.db", "/TMP/out.bin"), PowerCut);
    EXPECT_TRUE(sameBytes(get("/TMP/out.bin"), content.substr(0, content.size() / 2)));
    EXPECT_TRUE(sameBytes(get("/TMP/first.bin"), content));

    // The cut call gave its descriptors back on the way out.
    EXPECT_TRUE(noOpenFiles());
}

} // namespace
