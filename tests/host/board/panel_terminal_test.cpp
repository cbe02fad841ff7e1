// The live view: key bytes, the framed rendering, and the reader driven
// through a pipe in place of a terminal.
#include "host/kernel/Kernel.h"
#include "host/machine/Keys.h"
#include "host/machine/Panel.h"
#include "host/machine/Terminal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using host::Kernel;
using host::Keys;
using host::MsgQueue;
using host::Panel;
using host::Terminal;
using Kind = Terminal::KeyAction::Kind;

TEST(TerminalKeys, DigitsEnterAndQuitBytesOnly)
{
    const int digitCodes[10] = {37, 4, 5, 6, 7, 20, 21, 22, 23, 36};
    for (int d = 0; d < 10; ++d)
        EXPECT_EQ(Terminal::mapKey(static_cast<unsigned char>('0' + d)),
                  (Terminal::KeyAction{Kind::Press, digitCodes[d]}));
    EXPECT_EQ(Terminal::mapKey('\r'), (Terminal::KeyAction{Kind::Press, 52}));
    EXPECT_EQ(Terminal::mapKey('\n'), (Terminal::KeyAction{Kind::Press, 52}));
    for (int quit : {int{'q'}, int{'Q'}, 3})
        EXPECT_EQ(Terminal::mapKey(static_cast<unsigned char>(quit)).kind, Kind::Quit) << quit;
    int mapped = 0;
    for (int b = 0; b < 256; ++b)
        mapped += Terminal::mapKey(static_cast<unsigned char>(b)).kind != Kind::None;
    EXPECT_EQ(mapped, 15);
}

TEST(TerminalFrame, BoxAroundTheCellsAndAPrintableStatusLine)
{
    Panel p;
    p.drawString(0, 0, "top left", "t");
    p.drawString(74, 14, "bottom right", "t");
    p.drawString(10, 7, "\x1b[31mred", "t");
    std::string frame = Terminal::renderFrame(p.snapshot(), "\x07" + std::string(100, 's'));
    std::vector<std::string> l;
    std::istringstream in(frame);
    for (std::string s; std::getline(in, s);)
        l.push_back(s);
    ASSERT_EQ(frame.back(), '\n');
    ASSERT_EQ(l.size(), 18u);
    std::string border = "+" + std::string(82, '-') + "+";
    EXPECT_EQ(l[0], border);
    EXPECT_EQ(l[16], border);
    EXPECT_EQ(l[1], "|top left" + std::string(74, ' ') + "|");
    EXPECT_EQ(l[15], "|" + std::string(74, ' ') + "bottom r|");
    EXPECT_EQ(l[8].substr(0, 20), "|" + std::string(10, ' ') + "?[31mred ");
    EXPECT_EQ(l[17], "?" + std::string(83, 's'));
    EXPECT_EQ(Terminal::renderFrame(p.snapshot(), "ok").substr(frame.size() - 85),
              "ok" + std::string(82, ' ') + "\n");
}

// The compact view of a small window, drawn as the module draws: the items
// with their marks, or with their states, first; what else fits under
// them from the bottom of the panel up; the status line last, broken at a
// blank when long. Every line is exactly the window's width.
TEST(TerminalCompact, ItemsMarksStatesAndTheStatusFitTheWindow)
{
    auto menu = [](Panel &p) {
        p.drawString(42, 0, "dlFirmWare Version V1.05", "t");
        p.drawString(2, 1, "Download Storage Firmware Update Mode", "t");
        p.drawString(42, 4, "UIF Version...", "t");
        p.drawString(57, 4, "V1.21 JA", "t");
        p.drawString(5, 5, "1. OS UI Update", "t");
        p.drawString(5, 6, "2. HDD SYS Update", "t");
        p.drawString(4, 6, "*", "t");
        p.drawString(42, 11, "SCN Version...", "t");
        p.drawString(57, 11, "S1.07", "t");
    };
    auto update = [](Panel &p) {
        p.drawString(2, 0, "Download Storage Firmware Update Mode", "t");
        p.drawString(42, 4, "HDD SYS Update .......", "t");
        p.drawString(42, 5, "LSR Firm Update ......", "t");
        p.drawString(67, 5, "Failed         ", "t");
        p.drawString(0, 7, "  Download Storage -> HDD copying", "t");
        p.drawString(42, 13, "    Update Failed.", "t");
    };
    const std::string status =
        "[keys off] the device cannot stop the update: q or Ctrl-C again cuts the power";
    struct Case {
        const char *what;
        void (*draw)(Panel &);
        std::string status;
        int columns, rows;
        std::vector<std::string> lines;
    } cases[] = {
        {"menu, 40x8: both items, then the rest of the panel",
         +menu,
         "[keys on]  1 -> key 4 sent",
         40,
         8,
         {" 1. OS UI Update", "*2. HDD SYS Update", "dlFirmWare Version V1.05",
          "Download Storage Firmware Update Mode", "UIF Version... V1.21 JA", "SCN Version... S1.07", "",
          "[keys on]  1 -> key 4 sent"}},
        {"menu, 24x3: the items, one status line cut to the width",
         +menu,
         "[keys on]  0-9 keys, Enter confirm, q quit",
         24,
         3,
         {" 1. OS UI Update", "*2. HDD SYS Update", "[keys on]  0-9 keys, Ent"}},
        {"update, 40x8: states first, the ending kept, the long status in two lines",
         +update,
         status,
         40,
         8,
         {"HDD SYS Update .......", "LSR Firm Update ......   Failed",
          "Download Storage Firmware Update Mode", "Download Storage -> HDD copying", "Update Failed.", "",
          "[keys off] the device cannot stop the", "update: q or Ctrl-C again cuts the power"}},
        {"update, 40x5: the items and the ending, nothing of the title",
         +update,
         status,
         40,
         5,
         {"HDD SYS Update .......", "LSR Firm Update ......   Failed", "Update Failed.",
          "[keys off] the device cannot stop the", "update: q or Ctrl-C again cuts the power"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Panel p;
        c.draw(p);
        std::string view = Terminal::renderCompact(p.snapshot(), c.status, c.columns, c.rows);
        std::vector<std::string> lines;
        std::istringstream in(view);
        for (std::string line; std::getline(in, line);) {
            EXPECT_EQ(line.size(), static_cast<std::size_t>(c.columns)) << line;
            line.erase(line.find_last_not_of(' ') + 1);
            lines.push_back(line);
        }
        EXPECT_EQ(lines, c.lines);
    }
}

// A view reading a pipe and drawing into a temporary file.
struct PipeTerminal : ::testing::Test {
    Kernel kernel;
    Panel panel;
    Keys keys{kernel};
    MsgQueue *queue = kernel.createQueue(10, 4, 0);
    int in[2] = {-1, -1};
    std::FILE *out = std::tmpfile();
    std::atomic<int> quits{0};

    void SetUp() override
    {
        ASSERT_EQ(::pipe(in), 0);
        ASSERT_NE(out, nullptr);
        std::uint16_t *table = keys.getFocus(queue);
        table[0] = (1u << 4) | (1u << 5); // digits 1 and 2
        table[3] = 1u << 4;               // confirm
        keys.unlock();
    }
    void TearDown() override
    {
        closeInput();
        ::close(in[0]);
        if (out)
            std::fclose(out);
    }
    std::atomic<int> cuts{0};
    Terminal::Options options()
    {
        return {in[0], ::fileno(out), true, [this] { ++cuts; }, "dlupdate run"};
    }
    std::function<void()> countQuits()
    {
        return [this] { ++quits; };
    }
    void type(const std::string &bytes) const
    {
        ASSERT_EQ(::write(in[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void closeInput()
    {
        if (in[1] >= 0)
            ::close(in[1]);
        in[1] = -1;
    }
    template <class Pred>
    static bool eventually(Pred pred)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!pred() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return pred();
    }
    std::vector<int> codes()
    {
        std::vector<int> got;
        unsigned char b[4];
        while (kernel.receive(queue, reinterpret_cast<char *>(b), 4, Kernel::kNoWait) == 4)
            got.push_back(b[1]);
        return got;
    }
    std::string written() const
    {
        // pread: the view writes through the same open file, so moving its
        // offset here would make the next frame land over an older one.
        std::string s;
        char buf[4096];
        for (ssize_t n; (n = ::pread(::fileno(out), buf, sizeof buf, static_cast<off_t>(s.size()))) > 0;)
            s.append(buf, static_cast<std::size_t>(n));
        return s;
    }
};

TEST_F(PipeTerminal, TypedKeysArePressedAndQuitEndsOnce)
{
    {
        Terminal view(panel, keys, kernel, countQuits(), options());
        type("1x2\r3");
        ASSERT_TRUE(eventually([&] { return kernel.numMsgs(queue) == 3; }));
        type("q");
        ASSERT_TRUE(eventually([&] { return quits.load() == 1; }));
        type("1Q\x03");
        closeInput();
    }
    EXPECT_EQ(quits.load(), 1);
    // Digit 3 is not enabled; nothing after the quit is pressed.
    EXPECT_EQ(codes(), (std::vector<int>{4, 5, 52}));
}

TEST_F(PipeTerminal, ChangesAreCoalescedAndTheLastIsDrawn)
{
    auto start = std::chrono::steady_clock::now();
    {
        Terminal view(panel, keys, kernel, countQuits(), options());
        view.setStatus("session 1");
        for (int i = 0; i < 3000; ++i)
            panel.drawString(5, 5, "progress " + std::to_string(i) + " ", "tUpdate");
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                  .count();
    std::string s = written();
    std::size_t frames = 0;
    for (std::size_t at = 0; (at = s.find("\x1b"
                                          "7",
                                          at)) != std::string::npos;
         ++at)
        ++frames;
    // At most one frame per 33 ms, plus the first and the last.
    EXPECT_GE(frames, 1u);
    EXPECT_LE(frames, static_cast<std::size_t>(ms / 33 + 3)) << ms << " ms";
    std::string last = s.substr(s.rfind("\x1b"
                                        "7"));
    EXPECT_NE(last.find("|     progress 2999 " + std::string(63, ' ') + "|"), std::string::npos);
    EXPECT_NE(last.find("session 1"), std::string::npos);
    for (char c : s)
        ASSERT_TRUE((c >= 0x20 && c < 0x7f) || c == '\x1b') << int(c);
}

TEST_F(PipeTerminal, HoldsTheIdleMachineUntilTheKeyboardCloses)
{
    std::atomic<int> got{-1};
    kernel.spawn("tMenu", 100, 0, 0, [&] {
        unsigned char b[4];
        if (kernel.receive(queue, reinterpret_cast<char *>(b), 4, Kernel::kWaitForever) == 4)
            got = b[1];
    });
    Terminal view(panel, keys, kernel, countQuits(), options());
    std::thread typist([&] {
        ASSERT_TRUE(eventually([&] { return kernel.hasReceiver(queue); }));
        type("2");
        ASSERT_TRUE(eventually([&] { return got.load() >= 0; }));
        closeInput();
    });
    // Without the hold, run() would report the waiting task at once.
    host::Quiescence end = kernel.run();
    typist.join();
    EXPECT_TRUE(end.waiting.empty());
    EXPECT_EQ(got.load(), 5);
}

TEST_F(PipeTerminal, CtrlCInterruptsAWaitingMachine)
{
    kernel.spawn("tMenu", 100, 0, 0, [&] {
        char b[4];
        kernel.receive(queue, b, 4, Kernel::kWaitForever);
    });
    Terminal view(
        panel, keys, kernel, [&] { kernel.interrupt(); }, options());
    std::thread typist([&] {
        ASSERT_TRUE(eventually([&] { return kernel.hasReceiver(queue); }));
        type("\x03");
    });
    host::Quiescence end = kernel.run();
    typist.join();
    ASSERT_EQ(end.waiting.size(), 1u);
    EXPECT_EQ(end.waiting[0].taskName, "tMenu");
}

// The status line says what each typed byte did; 'q' once the menu is
// confirmed warns first and cuts the power on the second press, never
// ending the run as a quit would.
TEST_F(PipeTerminal, StatusLineNamesEachKeyAndQDuringTheUpdateWarnsThenCuts)
{
    const std::string arrow = " -> "; // no UTF-8 locale in this test
    ::setenv("LC_ALL", "C", 1);
    struct Step {
        const char *typed;
        std::string status; // the end of the last frame's status line
        int quits, cuts;
    } steps[] = {
        {"1", "1" + arrow + "key 4 sent", 0, 0},
        {"7", "7" + arrow + "key 22 not enabled", 0, 0},
        {"x", "x: not a key; digits, Enter, q", 0, 0},
        {"\x1b", "Esc: not a key; digits, Enter, q", 0, 0},
        {"\x01", "Ctrl-A: not a key; digits, Enter, q", 0, 0},
        {"\r", "Enter" + arrow + "key 52 sent", 0, 0},
        {"", "", 0, 0}, // the menu takes the confirm key and locks the keys
        {"2", "2" + arrow + "key 5 not taken: keys locked", 0, 0},
        {"q", "the device cannot stop the update: q or Ctrl-C again cuts the power", 0, 0},
        {"\x03", "power cut", 0, 1},
        {"q1", "power cut", 0, 1},
    };
    Terminal view(panel, keys, kernel, countQuits(), options());
    for (const Step &step : steps) {
        SCOPED_TRACE(step.typed);
        if (*step.typed == '\0') {
            keys.lock();
            continue;
        }
        type(step.typed);
        ASSERT_TRUE(eventually([&] {
            std::string s = written();
            const std::string at = "\x1b[18;1H\x1b[2K"; // the status line of the last frame
            std::size_t begin = s.rfind(at);
            if (begin == std::string::npos)
                return false;
            begin += at.size();
            std::string line = s.substr(begin, s.find('\x1b', begin) - begin);
            line.erase(line.find_last_not_of(' ') + 1);
            return line.size() >= step.status.size() &&
                   line.compare(line.size() - step.status.size(), std::string::npos, step.status) == 0;
        })) << written().substr(written().size() > 300 ? written().size() - 300 : 0);
        EXPECT_EQ(quits.load(), step.quits);
        EXPECT_EQ(cuts.load(), step.cuts);
    }
    EXPECT_EQ(codes(), (std::vector<int>{4, 52}));
}

} // namespace
