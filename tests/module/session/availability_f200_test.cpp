// Clearing the F200 service flag: the test on word B's high byte, the
// stores into the write window in order, the barrier, the one message.
#include "bootenv/bootEnv.h"
#include "host/machine/Nvram.h"
#include "support/Harness.h"
#include "update/session/dlFirmUpMain.h"

#include <vector>

namespace vx {
namespace {

using testing_support::MachineHarness;
using K = host::NvramAccess::Kind;
using Log = std::vector<host::NvramAccess>;

constexpr std::uint32_t kA = 0xBA007808, kB = 0xBA00780A;

struct F200Run {
    int result = -99;
    Log accesses; // those of the call only
};

F200Run clearWith(MachineHarness &h, std::uint16_t a, std::uint16_t b)
{
    host::Nvram &nv = *h.machine().nvram();
    nv.writeEnable();
    nv.store16(kA, a);
    nv.store16(kB, b);
    nv.writeDisable();
    std::size_t before = nv.accesses().size();
    F200Run r;
    EXPECT_TRUE(h.runTask([&] { r.result = dlFirmSCFlagClear(); }).ended);
    r.accesses.assign(nv.accesses().begin() + static_cast<long>(before), nv.accesses().end());
    return r;
}

TEST(AvailabilityF200, SetFlagClearsBAndLowByteOfAInOrderInsideTheWindow)
{
    MachineHarness h;
    F200Run r = clearWith(h, 0x12AB, 0x02FF);
    EXPECT_EQ(r.result, 0);
    host::Nvram &nv = *h.machine().nvram();
    EXPECT_EQ(nv.f200A(), 0x1200);
    EXPECT_EQ(nv.f200B(), 0x0000);
    EXPECT_EQ(r.accesses, (Log{{K::Load, kA, 0x12AB},
                               {K::Load, kB, 0x02FF},
                               {K::Store, kA, 0x1200},
                               {K::Store, kB, 0x0000},
                               {K::Barrier, 0, 0}}));
    EXPECT_FALSE(nv.writeEnabled());
    EXPECT_EQ(nv.ignoredStores(), 0u);
    EXPECT_EQ(h.console(), "[dlFirmSCFlagClear] F200 Clear.\n");
}

TEST(AvailabilityF200, FlagNotSetLeavesBothWordsAndPrintsNothing)
{
    struct Case {
        std::uint16_t b;
    } cases[] = {{0x0302}, {0x0002}, {0x0000}, {0x0102}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.b);
        MachineHarness h;
        F200Run r = clearWith(h, 0x12AB, c.b);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(h.machine().nvram()->f200A(), 0x12AB);
        EXPECT_EQ(h.machine().nvram()->f200B(), c.b);
        EXPECT_EQ(r.accesses, (Log{{K::Load, kA, 0x12AB}, {K::Load, kB, c.b}}));
        EXPECT_FALSE(h.machine().nvram()->writeEnabled());
        EXPECT_EQ(h.console(), "");
    }
}

} // namespace
} // namespace vx
