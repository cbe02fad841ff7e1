// Sub-unit firmware rewrite (frwRewriteMAIN).
#include "host/Console.h"
#include "host/Faults.h"
#include "host/io/IoSystem.h"
#include "host/io/RamDisk.h"
#include "host/machine/Units.h"
#include "services_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using testing_support::cutPowerAt;
using testing_support::PowerCut;
using testing_support::randomBytes;
using testing_support::readHostFile;
using testing_support::sameBytes;
using testing_support::TempDir;

class Units : public ::testing::Test {
protected:
    Units()
        : io(console), captured(console), memory(8u << 20), blocks(memory.data(), memory.size(), 512),
          units(machine.path() / "units", io, faults)
    {
        io.addDevice(std::make_unique<host::DosFsDevice>("/TMP", blocks, console));
    }

    void put(const std::string &path, const std::string &content)
    {
        int fd = io.open(path, host::iof::kRdWr | host::iof::kCreat | host::iof::kTrunc, 0644);
        ASSERT_GT(fd, 0) << path;
        ASSERT_EQ(io.write(fd, content.data(), content.size()), static_cast<int>(content.size()));
        io.close(fd);
    }

    std::filesystem::path unitFile(const std::string &name) const
    {
        return machine.path() / "units" / (name + ".bin");
    }

    TempDir machine;
    host::Console console;
    host::Faults faults;
    host::IoSystem io;
    host::CapturedConsole captured;
    std::vector<char> memory;
    host::RamBlockDevice blocks;
    host::Units units;
};

TEST_F(Units, EachCodeRewritesItsUnit)
{
    const struct {
        int code;
        const char *image;
        const char *unit;
    } cases[] = {
        {15, "/TMP/lsrfirm.tz", "lsr"},
        {14, "/TMP/pfcfirm.tz", "pfc"},
        {11, "/TMP/mfirm.tz", "engine"},
        {13, "/TMP/scmfirm.tz", "scanner"},
    };
    std::vector<std::string> written;
    std::uint32_t seed = 1;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.unit);
        written.push_back(randomBytes(100000 + seed, seed));
        ++seed;
        put(c.image, written.back());
        EXPECT_EQ(units.firmwareSize(c.unit), std::nullopt);
        ASSERT_EQ(units.rewrite(c.code, 0, c.image), 0);
        EXPECT_EQ(units.firmwareSize(c.unit), written.back().size());
    }
    // Each write reached only its own unit.
    for (std::size_t i = 0; i < written.size(); ++i)
        EXPECT_TRUE(sameBytes(readHostFile(unitFile(cases[i].unit)), written[i])) << cases[i].unit;
    // Nothing but the four firmware files is left in the folder.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(machine.path() / "units"),
                            std::filesystem::directory_iterator()),
              4);
}

TEST_F(Units, RewriteReplacesOlderFirmware)
{
    put("/TMP/lsrfirm.tz", std::string(5000, 'a'));
    ASSERT_EQ(units.rewrite(15, 0, "/TMP/lsrfirm.tz"), 0);
    put("lsrfirm.tz", "bb"); // relative: in "/TMP"
    ASSERT_EQ(units.rewrite(15, 0, "lsrfirm.tz"), 0);
    EXPECT_EQ(readHostFile(unitFile("lsr")), "bb");
}

TEST_F(Units, UnknownCodeChangesNothing)
{
    put("/TMP/lsrfirm.tz", "firmware");
    for (int code : {0, 1, 12, 16, -1, 1000}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(units.rewrite(code, 0, "/TMP/lsrfirm.tz"), -1);
    }
    EXPECT_FALSE(std::filesystem::exists(machine.path() / "units"));
    EXPECT_EQ(units.firmwareSize("lsr.bin"), std::nullopt);
    EXPECT_EQ(units.firmwareSize("other"), std::nullopt);
}

TEST_F(Units, UnreadableOrEmptyImageKeepsTheOldFirmware)
{
    put("/TMP/pfcfirm.tz", "old pfc");
    ASSERT_EQ(units.rewrite(14, 0, "/TMP/pfcfirm.tz"), 0);

    put("/TMP/empty.tz", "");
    EXPECT_EQ(units.rewrite(14, 0, "/TMP/empty.tz"), -1);
    EXPECT_EQ(units.rewrite(14, 0, "/TMP/missing.tz"), -1);
    EXPECT_EQ(units.rewrite(14, 0, "/NODEV/pfcfirm.tz"), -1);
    EXPECT_EQ(units.rewrite(14, 0, "/TMP"), -1); // a folder
    EXPECT_EQ(units.rewrite(14, 0, ""), -1);
    EXPECT_EQ(readHostFile(unitFile("pfc")), "old pfc");
}

TEST_F(Units, InjectedFaultFailsOnlyItsUnit)
{
    faults.add("unit.engine:1:1");
    put("/TMP/mfirm.tz", "engine v1");
    ASSERT_EQ(units.rewrite(11, 0, "/TMP/mfirm.tz"), 0);
    put("/TMP/mfirm.tz", "engine v2");
    put("/TMP/lsrfirm.tz", "laser");
    EXPECT_EQ(units.rewrite(15, 0, "/TMP/lsrfirm.tz"), 0);
    EXPECT_EQ(units.rewrite(11, 0, "/TMP/mfirm.tz"), -1);
    EXPECT_EQ(readHostFile(unitFile("engine")), "engine v1");
    EXPECT_EQ(units.rewrite(11, 0, "/TMP/mfirm.tz"), 0);
    EXPECT_EQ(readHostFile(unitFile("engine")), "engine v2");
    EXPECT_NE(captured.reports().find("unit.engine"), std::string::npos);
}

TEST_F(Units, PowerCutTearsTheUnitFile)
{
    const std::string older = randomBytes(4000, 20);
    const std::string newer = randomBytes(9001, 21);
    put("/TMP/scmfirm.tz", older);
    cutPowerAt(faults, "unit:2");
    // An image that cannot be read is no rewrite and no event.
    EXPECT_EQ(units.rewrite(13, 0, "/TMP/missing.tz"), -1);
    ASSERT_EQ(units.rewrite(13, 0, "/TMP/scmfirm.tz"), 0);
    put("/TMP/scmfirm.tz", newer);
    EXPECT_THROW(units.rewrite(13, 0, "/TMP/scmfirm.tz"), PowerCut);
    EXPECT_TRUE(sameBytes(readHostFile(unitFile("scanner")), newer.substr(0, newer.size() / 2)));
    EXPECT_EQ(faults.eventCounts().at("unit"), 2);
}

} // namespace
