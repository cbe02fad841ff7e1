// Power cuts in the middle of a rewrite: the machine folder keeps the state
// the cut left, the NVRAM flag marks the unfinished rewrite, and the next
// run on the same machine completes it and clears the flag.
#include "tests/e2e/e2e_support.h"

namespace testing_support {
namespace {

TEST(E2ePowerCut, UnfinishedRewriteStaysMarkedUntilTheNextRunCompletes)
{
    MediaView media(sharedMedia("sample"));
    // The third package of the HDD chain, counted after the expansions of
    // the staging.
    const long hddPackage = 2;
    const long expansion = stagingExpansions(media) + hddPackage + 1;
    const auto hddPackages = testing_support::walkHddFiles(media.hddFiles()).packages;
    const Bytes from = media.flashImage();

    struct Case {
        std::string cut;
        std::uint32_t flags;
        std::function<void(const MachineView &)> leftBehind;
    } cases[] = {
        {"flash-write:1", 0x01,
         [&](const MachineView &m) {
             // Half the image programmed over the erased flash.
             Bytes half(16u << 20, 0xFF);
             std::copy(from.begin(), from.begin() + static_cast<long>(from.size() / 2), half.begin());
             EXPECT_TRUE(sameBytes(m.flash(), half));
             EXPECT_TRUE(m.disk().empty());
         }},
        {"archiver:" + std::to_string(expansion), 0x10,
         [&](const MachineView &m) {
             // The flash ROM was done before the HDD update began; the
             // package being expanded holds half its content.
             EXPECT_TRUE(sameBytes(m.flash(), media.flashAfterUpdate()));
             const auto &cut = hddPackages.at(hddPackage);
             auto disk = m.disk();
             ASSERT_EQ(disk.count(cut.dbName), 1u) << cut.dbName;
             EXPECT_TRUE(sameBytes(disk[cut.dbName],
                                   Bytes(cut.content.begin(),
                                         cut.content.begin() + static_cast<long>(cut.content.size() / 2))));
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cut);
        Session s;
        s.media = sharedMedia("sample");
        Outcome o = s.run({"--keys", "ok", "--power-cut", c.cut});
        EXPECT_EQ(o.status, 9) << o.err;
        std::string event = c.cut.substr(0, c.cut.find(':')), n = c.cut.substr(c.cut.find(':') + 1);
        EXPECT_NE(o.err.find("power cut in " + event + " #" + n), std::string::npos) << o.err;
        EXPECT_EQ(o.err.find("session 1:"), std::string::npos) << "the session never ended: " << o.err;
        EXPECT_EQ(o.out.find("Download ->"), std::string::npos);
        // The panel is written as it stood when the power went: every call
        // of the trace drawn, and no final result.
        Screen atCut;
        for (const auto &d : s.trace())
            d.row < 0 ? void(atCut = Screen()) : void(atCut.put(d.col, d.row, d.text));
        EXPECT_EQ(s.panel(), atCut.dump());
        EXPECT_EQ(cells(s.panel(), 13, 42, 21), std::string(21, ' '));
        EXPECT_EQ(s.machine.rewriteFlags(), c.flags);
        EXPECT_EQ(s.machine.updateMode(), 1u);
        c.leftBehind(s.machine);

        Outcome again = s.run({"--keys", "ok"});
        ASSERT_EQ(again.status, 0) << again.err;
        EXPECT_EQ(again.lines(), completedConsole(media, "FOLROOT", false));
        EXPECT_EQ(s.machine.rewriteFlags(), 0u);
        EXPECT_EQ(s.machine.updateMode(), 0u);
        EXPECT_TRUE(sameBytes(s.machine.flash(), media.flashAfterUpdate()));
        EXPECT_TRUE(sameFiles(s.machine.disk(), diskAfterUpdate(media)));
    }
}

} // namespace
} // namespace testing_support
