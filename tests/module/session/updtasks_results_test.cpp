// The OS UI, engine-side and scanner update tasks, spawned with the
// selection mask as the session driver does: result messages, rewritten
// targets, removed images, panel cells and failed sends.
#include "tests/module/flashrom/flashrw_support.h"
#include "update/session/dlFirmUpMain.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

namespace vx {
namespace {

using namespace testing_support;

const char kFrom[] = "/TMP/from.bin";
const struct Unit {
    const char *image, *name, *title, *failed;
    int row;
} kUnits[] = {
    {"/TMP/lsrfirm.tz", "lsr", "LSR Firm Update ......", "Failed         ", 5},
    {"/TMP/pfcfirm.tz", "pfc", "PFC Firm Update ......", "Failed         ", 6},
    {"/TMP/mfirm.tz", "engine", "Engine MAIN Update ...", "Failed         ", 7},
    {"/TMP/scmfirm.tz", "scanner", "Scanner Firm Update ..", "Failed        ", 8},
};

class Tasks : public UpdateMachine {
public:
    std::map<std::string, std::string> staged;
    int from = 99, eng = 99, scn = 99;

    Tasks()
    {
        unsigned seed = 10;
        for (const char *image : {kFrom, kUnits[0].image, kUnits[1].image, kUnits[2].image, kUnits[3].image})
            put(image, staged[image] = randomBytes(20000 + seed, seed)), ++seed;
    }

    // The driver's part: queues, spawns, one 4-byte result per queue.
    void session(UINT32 mask, const char *fault = nullptr)
    {
        if (fault)
            h.machine().faults().add(fault);
        auto receive = [](MSG_Q_ID q, int &into) {
            char word[8] = {};
            EXPECT_EQ(msgQReceive(q, word, sizeof word, WAIT_FOREVER), 4);
            std::memcpy(&into, word, 4);
        };
        auto run = h.runTask([&] {
            dlFirmUpdateFROMQId = msgQCreate(5, 4, 1);
            dlFirmUpdateEngQId = msgQCreate(5, 4, 1);
            dlFirmUpdateScnQId = msgQCreate(5, 4, 1);
            const long m = mask;
            taskSpawn("tdlFirmFromUpdate", 100, 8, 0x100000, dlFirmFromUpdate_USB, m, 0, 0, 0, 0, 0, 0, 0, 0,
                      0);
            taskSpawn("tdlFirmEngUpdate", 100, 8, 0x100000, dlFirmEngUpdate_USB, m, 0, 0, 0, 0, 0, 0, 0, 0,
                      0);
            taskSpawn("tdlFirmScnUpdate", 100, 8, 0x100000, dlFirmScnUpdate_USB, m, 0, 0, 0, 0, 0, 0, 0, 0,
                      0);
            receive(dlFirmUpdateFROMQId, from);
            receive(dlFirmUpdateEngQId, eng);
            receive(dlFirmUpdateScnQId, scn);
        });
        EXPECT_TRUE(run.ended && run.waiting.empty());
    }

    // The unit's firmware equals its staged image, or is absent.
    bool rewritten(const Unit &u)
    {
        auto file = h.folder() / "units" / (std::string(u.name) + ".bin");
        if (!std::filesystem::exists(file))
            return false;
        EXPECT_EQ(readText(file), staged[u.image]) << u.name;
        return true;
    }
};

TEST(UpdateTasks, NothingSelectedReportsSuccessAtOnceAndRemovesTheImages)
{
    for (UINT32 mask : {0x00u, 0x04u, 0x81u}) {
        SCOPED_TRACE(mask);
        Tasks m;
        m.session(mask);
        EXPECT_EQ(m.from | m.eng | m.scn, 0);
        for (const auto &[image, bytes] : m.staged)
            EXPECT_FALSE(m.exists(image.c_str())) << image;
        for (int row = 0; row < 15; ++row)
            EXPECT_TRUE(m.rowBlank(row)) << row;
        for (const Unit &u : kUnits)
            EXPECT_FALSE(m.rewritten(u));
        EXPECT_EQ(DLBOARD_SCM_DISPLAY_YPOINT, 0);
        EXPECT_EQ(m.h.console(), "");
    }
}

TEST(UpdateTasks, EverySelectedTargetIsRewrittenAndItsImageRemoved)
{
    Tasks m;
    m.session(0x7E);
    EXPECT_EQ(m.from | m.eng | m.scn, 0);
    EXPECT_EQ(m.h.console(), "[dlFirmRewrite]frwRewrite: done.\n");
    EXPECT_EQ(m.flashFile().substr(0, m.staged[kFrom].size()), m.staged[kFrom]);
    EXPECT_FALSE(m.exists(kFrom));
    for (const Unit &u : kUnits) {
        SCOPED_TRACE(u.name);
        EXPECT_TRUE(m.rewritten(u));
        EXPECT_FALSE(m.exists(u.image));
        EXPECT_EQ(m.cells(u.row, 42, 40), std::string(u.title) + "   Completed      ");
        EXPECT_EQ(m.drawnAt(67, u.row),
                  (std::vector<std::string>{"Initialize", "Flash Update", "Completed   "}));
    }
    EXPECT_EQ(DLBOARD_SCM_DISPLAY_YPOINT, 13);
    // OS UI: title and state stay, the left-half steps are erased.
    EXPECT_EQ(m.cells(3, 42, 37), "OS UI Update   .......   Completed   ");
    for (int row = 2; row <= 5; ++row)
        EXPECT_EQ(m.cells(row, 0, 42), std::string(42, ' ')) << row;
    EXPECT_EQ(m.drawnAt(4, 3), (std::vector<std::string>{"Check Devices   -", std::string(29, ' ')}));
    EXPECT_EQ(m.drawnAt(24, 4).front(), "Erasing     ");
}

TEST(UpdateTasks, OnlyTheSelectedUnitIsShownAndRewritten)
{
    Tasks m;
    m.session(0x10); // PFC only
    EXPECT_EQ(m.eng, 0);
    EXPECT_TRUE(m.rewritten(kUnits[1]));
    EXPECT_FALSE(m.rewritten(kUnits[0]) || m.rewritten(kUnits[2]) || m.rewritten(kUnits[3]));
    for (int row = 0; row < 15; ++row)
        EXPECT_EQ(m.rowBlank(row), row != 6) << row;
    for (const auto &[image, bytes] : m.staged)
        EXPECT_FALSE(m.exists(image.c_str())) << image;
    EXPECT_EQ(DLBOARD_SCM_DISPLAY_YPOINT, 0);
}

// The first failing unit ends the engine-side task: later ones are neither
// shown nor tried, and its image and theirs stay.
TEST(UpdateTasks, AFailingUnitStopsItsTaskThere)
{
    const char *faults[] = {"unit.lsr", "unit.pfc", "unit.engine", "unit.scanner"};
    for (int failing = 0; failing < 4; ++failing) {
        SCOPED_TRACE(faults[failing]);
        Tasks m;
        m.session(failing < 3 ? 0x38 : 0x40, faults[failing]);
        EXPECT_EQ(m.eng, failing < 3 ? -1 : 0);
        EXPECT_EQ(m.scn, failing < 3 ? 0 : -1);
        for (int i = failing < 3 ? 0 : 3; i < (failing < 3 ? 3 : 4); ++i) {
            const Unit &u = kUnits[i];
            EXPECT_EQ(m.rewritten(u), i < failing);
            EXPECT_EQ(m.exists(u.image), i >= failing);
            std::string failed = std::string(u.title) + "   " + u.failed;
            failed.resize(40, ' '); // "Flash Update" covered
            if (i < failing) {
                EXPECT_EQ(m.cells(u.row, 67, 12), "Completed   ");
            } else if (i == failing) {
                EXPECT_EQ(m.cells(u.row, 42, 40), failed);
            } else {
                EXPECT_TRUE(m.rowBlank(u.row)) << u.row;
            }
        }
    }
}

TEST(UpdateTasks, FailedOsUiRewriteShowsFailedAndKeepsTheImage)
{
    Tasks m;
    m.session(0x02, "flash-erase");
    EXPECT_EQ(m.from, -1);
    EXPECT_EQ(m.cells(3, 42, 37), "OS UI Update   .......   Failed      ");
    EXPECT_EQ(m.cells(4, 4, 35), "Update Status   -   Failed         ");
    EXPECT_TRUE(m.exists(kFrom));
    EXPECT_EQ(m.nvFlags(), 1u);
}

TEST(UpdateTasks, AResultThatCannotBeSentIsPrinted)
{
    const struct {
        int (*entry)(UINT32);
        UINT32 mask;
        const char *fault, *console, *kept, *gone;
    } cases[] = {
        {dlFirmFromUpdate_USB, 0, nullptr, "F-ROM SendMsgBuf failed\n", kFrom, nullptr},
        {dlFirmFromUpdate_USB, 2, "flash-erase", "ErrMsgBuf failed\n", kFrom, nullptr},
        {dlFirmEngUpdate_USB, 0, nullptr, "Eng SendMsgBuf failed\n", nullptr, kUnits[2].image},
        {dlFirmEngUpdate_USB, 0x08, "unit.lsr", "lsr SendMsgBuf failed\n", kUnits[0].image, nullptr},
        {dlFirmEngUpdate_USB, 0x10, "unit.pfc", "pfc SendMsgBuf failed\n", kUnits[1].image, nullptr},
        {dlFirmEngUpdate_USB, 0x20, "unit.engine", "mcn SendMsgBuf failed\n", kUnits[2].image, nullptr},
        {dlFirmScnUpdate_USB, 0, nullptr, "scn MsgQSend failed\n", nullptr, kUnits[3].image},
        {dlFirmScnUpdate_USB, 0x40, "unit.scanner", "Scn SendMsgBuf failed\n", kUnits[3].image, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.console);
        Tasks m;
        MSG_Q_ID q = msgQCreate(5, 4, 1);
        dlFirmUpdateFROMQId = dlFirmUpdateEngQId = dlFirmUpdateScnQId = q;
        if (c.fault)
            m.h.machine().faults().add(c.fault);
        m.h.machine().faults().add("msgq-send");
        int result = 0;
        m.h.runTask([&] { result = c.entry(c.mask); });
        EXPECT_EQ(result, -1);
        EXPECT_EQ(m.h.console(), c.console);
        EXPECT_EQ(msgQNumMsgs(q), 0);
        EXPECT_TRUE(!c.kept || m.exists(c.kept));
        EXPECT_TRUE(!c.gone || !m.exists(c.gone));
    }
}

} // namespace
} // namespace vx
