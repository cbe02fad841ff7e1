// Fault and power-cut specs: parsing and counting.
#include "host/Faults.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace {

template <class... Name>
std::vector<bool> calls(host::Faults &f, int n, Name... name)
{
    std::vector<bool> out;
    for (int i = 0; i < n; ++i)
        out.push_back(f.fail(name...));
    return out;
}

TEST(Faults, SkipAndCountOverTheWholeRun)
{
    host::Faults f;
    f.add("copy");
    f.add("archiver:2");
    f.add("flash-write:1:2");
    EXPECT_EQ(calls(f, 3, host::Fault::copy), (std::vector<bool>{true, true, true}));
    EXPECT_EQ(calls(f, 4, host::Fault::archiver), (std::vector<bool>{false, false, true, true}));
    EXPECT_EQ(calls(f, 5, host::Fault::flashWrite), (std::vector<bool>{false, true, true, false, false}));
    EXPECT_FALSE(f.fail(host::Fault::flashErase)); // not named: never fails
}

TEST(Faults, NamesWithPathsAndTaskNames)
{
    host::Faults f;
    f.add("open@/usbstor/0/fwstore/1");
    f.add("read@/TMP/a:b.bin:1:1"); // a ':' inside the path
    f.add("spawn.tdlFirmHdUpdate");
    EXPECT_TRUE(f.watches("open@/usbstor/0/fwstore/1"));
    EXPECT_TRUE(f.watches("read@/TMP/a:b.bin"));
    EXPECT_EQ(calls(f, 3, host::AimedFault::read, "/TMP/a:b.bin"), (std::vector<bool>{false, true, false}));
    EXPECT_TRUE(f.fail(host::AimedFault::spawn, "tdlFirmHdUpdate"));
}

TEST(Faults, BadSpecsAreRefused)
{
    for (const char *bad : {"", "nosuch", "copy:x", "copy:1:y", "copy:-1", "unit.printer", "spawn.", "open@",
                            "flash-write:1:2:3"}) {
        host::Faults f;
        EXPECT_THROW(f.add(bad), std::invalid_argument) << bad;
        EXPECT_TRUE(f.empty()) << bad;
    }
    host::Faults f;
    for (const char *bad : {"flash-write", "flash-write:0", "bogus:1", "unit:x", "nvram-set:1:2"})
        EXPECT_THROW(f.setPowerCut(bad), std::invalid_argument) << bad;
}

TEST(Faults, PowerCutFallsOnTheNthEventOfItsKind)
{
    host::Faults f;
    f.setPowerCut("archiver:3");
    std::vector<bool> due;
    for (int i = 0; i < 4; ++i) {
        due.push_back(f.powerCutDue(host::Event::archiver));
        EXPECT_FALSE(f.powerCutDue(host::Event::unit));
    }
    EXPECT_EQ(due, (std::vector<bool>{false, false, true, false}));
    EXPECT_EQ(f.eventCounts().at("archiver"), 4);
    EXPECT_EQ(f.eventCounts().at("unit"), 4);
}

} // namespace
