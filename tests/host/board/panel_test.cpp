// The panel's display: cutting, overwriting, the dump, the trace and
// drawing from several threads.
#include "host/machine/Panel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using host::Panel;

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

std::string row(const Panel &p, int r) { return p.snapshot()[static_cast<std::size_t>(r)]; }

TEST(PanelDrawing, CellsOutsideTheDisplayAreCut)
{
    Panel p;
    p.drawString(78, 0, "ABCDEFGH", "t");
    EXPECT_EQ(row(p, 0), std::string(78, ' ') + "ABCD");
    p.drawString(0, 14, "last row", "t");
    EXPECT_EQ(row(p, 14).substr(0, 9), "last row ");
    p.drawString(-3, 2, "abcdef", "t"); // the part left of column 0 is cut
    EXPECT_EQ(row(p, 2).substr(0, 4), "def ");
    std::string wide(100, 'w');
    wide[10] = 'M';
    p.drawString(-10, 3, wide, "t");
    EXPECT_EQ(row(p, 3), 'M' + std::string(Panel::kColumns - 1, 'w'));

    Panel::Rows before = p.snapshot();
    p.drawString(0, 15, "below", "t");
    p.drawString(82, 4, "right", "t");
    p.drawString(-6, 4, "abcdef", "t");
    p.drawString(0, -1, "above", "t");
    for (int extreme : {INT_MIN, INT_MAX}) {
        p.drawString(extreme, 5, "x", "t");
        p.drawString(5, extreme, "x", "t");
    }
    EXPECT_EQ(p.snapshot(), before);
}

TEST(PanelDrawing, ReplacesOnlyTheCellsItCoversAndDumpsWithoutTrailingBlanks)
{
    Panel p;
    EXPECT_EQ(p.dump(), std::string(15, '\n'));
    p.drawString(42, 4, "Flash Update", "t");
    p.drawString(60, 4, "X", "t");
    p.drawString(42, 4, "Completed   ", "t");
    p.drawString(42, 4, "       ", "t"); // erases "Complet" only
    p.drawString(2, 1, "Download Storage Firmware Update Mode   ", "t");
    auto l = lines(p.dump());
    ASSERT_EQ(l.size(), 15u);
    EXPECT_EQ(l[1], "  Download Storage Firmware Update Mode");
    EXPECT_EQ(l[4], std::string(49, ' ') + "ed         X");
    p.clear("t");
    EXPECT_EQ(p.dump(), std::string(15, '\n'));
}

TEST(PanelDrawing, BytesOutsidePrintableAsciiAreStoredButDumpedSafely)
{
    Panel p;
    p.drawString(0, 0, "a\tb\x1b[2J\x7f\xe9z", "t");
    EXPECT_EQ(row(p, 0).substr(0, 10), "a\tb\x1b[2J\x7f\xe9z");
    p.drawString(20, 1, "x\n", "t"); // not a trailing blank
    auto l = lines(p.dump());
    EXPECT_EQ(l[0], "a?b?[2J??z");
    EXPECT_EQ(l[1], std::string(20, ' ') + "x?");
}

TEST(PanelTrace, OneEscapedJsonObjectPerCallInCallOrder)
{
    Panel p;
    std::ostringstream out;
    p.drawString(0, 0, "before", "tUpdate");
    p.enableTrace(out);
    p.drawString(42, 4, "HDD SYS Update .......", "tdlFirmHdUpdate");
    p.clear("tUpdate");
    p.drawString(-2, 20, "say \"hi\" C:\\dir\n\t\r\b\f\x01\x1f\x7f\xe9~", "t\"x");
    p.disableTrace();
    p.clear("tUpdate");
    EXPECT_EQ(out.str(), "{\"task\":\"tdlFirmHdUpdate\",\"op\":\"text\",\"col\":42,\"row\":4,"
                         "\"text\":\"HDD SYS Update .......\"}\n"
                         "{\"task\":\"tUpdate\",\"op\":\"clear\"}\n"
                         "{\"task\":\"t\\\"x\",\"op\":\"text\",\"col\":-2,\"row\":20,\"text\":"
                         "\"say \\\"hi\\\" C:\\\\dir\\n\\t\\r\\b\\f\\u0001\\u001f\\u007f\\u00e9~\"}\n");
}

TEST(PanelTrace, FileIsWrittenLineByLineAndFailuresAreReported)
{
    auto dir = std::filesystem::temp_directory_path() / ("panel_trace_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    Panel p;
    EXPECT_FALSE(p.enableTrace(dir / "missing" / "trace.jsonl"));
    ASSERT_TRUE(p.enableTrace(dir / "trace.jsonl"));
    p.clear("tUpdate");
    std::ifstream in(dir / "trace.jsonl"); // read while still open
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line, "{\"task\":\"tUpdate\",\"op\":\"clear\"}");
    EXPECT_FALSE(p.traceFailed());
    std::filesystem::remove_all(dir);

    std::ostringstream broken;
    broken.setstate(std::ios::badbit);
    p.enableTrace(broken);
    p.clear("t");
    EXPECT_TRUE(p.traceFailed());
}

TEST(PanelConcurrency, EachCallIsDrawnAndTracedWhole)
{
    Panel p;
    std::ostringstream trace;
    p.enableTrace(trace);
    constexpr int kThreads = 4;
    constexpr int kCalls = 5000;
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done)
            for (const std::string &r : p.snapshot())
                if (r.find_first_not_of(r[0]) != std::string::npos)
                    ++torn;
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([&p, t] {
            std::string text(Panel::kColumns, static_cast<char>('A' + t));
            for (int i = 0; i < kCalls; ++i) {
                if (i % 500 == 499)
                    p.clear("t");
                else
                    p.drawString(0, i % 3, text, "t");
            }
        });
    for (auto &w : writers)
        w.join();
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);

    // The trace is in drawing order: replaying it gives the final panel.
    auto traced = lines(trace.str());
    ASSERT_EQ(traced.size(), static_cast<std::size_t>(kThreads * kCalls));
    Panel replay;
    for (const std::string &l : traced) {
        std::size_t r = l.find("\"row\":");
        std::size_t t = l.find("\"text\":\"");
        if (r == std::string::npos)
            replay.clear("");
        else
            replay.drawString(0, std::stoi(l.substr(r + 6)), std::string(Panel::kColumns, l.at(t + 8)), "");
    }
    EXPECT_EQ(replay.snapshot(), p.snapshot());
}

TEST(PanelListeners, CalledAfterEachCallUntilUnsubscribed)
{
    Panel p;
    std::vector<std::string> seen;
    auto sub = p.onChange([&] { seen.push_back(p.snapshot()[0].substr(0, 5)); });
    p.drawString(0, 0, "first", "t");
    p.clear("t");
    EXPECT_EQ(seen, (std::vector<std::string>{"first", "     "}));
    Panel::Subscription moved = std::move(sub);
    sub.reset(); // moved from: unsubscribes nothing
    p.clear("t");
    EXPECT_EQ(seen.size(), 3u);
    moved.reset();
    p.clear("t");
    EXPECT_EQ(seen.size(), 3u);
}

} // namespace
