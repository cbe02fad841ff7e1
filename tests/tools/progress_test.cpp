// The plain progress lines of a log, by a clock the test moves: a line at
// each tenth of the work passed and after 10 s without one, never more.
#include "tools/progress/Progress.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

TEST(ProgressPlain, ATenthOrTenSecondsMakeALine)
{
    struct Step {
        double done;
        int seconds; // since the start
        bool line;
    };
    struct Case {
        const char *what;
        double total, from;
        bool quiet;
        std::vector<Step> steps;
    } cases[] = {
        {"tenths only, each once, even when passed in one step",
         100,
         0,
         false,
         {{5, 0, false},
          {10, 0, true},
          {15, 1, false},
          {19, 2, false},
          {45, 3, true},
          {49, 4, false},
          {100, 5, true}}},
        {"10 s without a tenth passed",
         1000,
         0,
         false,
         {{1, 9, false}, {2, 10, true}, {3, 15, false}, {4, 20, true}, {100, 21, true}, {101, 30, false}}},
        {"work below the size for plain lines", 100, 1000, false, {{50, 0, false}, {100, 20, false}}},
        {"quiet", 100, 0, true, {{50, 0, false}, {100, 20, false}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        testing_support::TempDir dir;
        const std::string file = (dir / "err").string();
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        progress::Line::Clock::time_point now{};
        std::string expected;
        {
            progress::Line line(fd, progress::Line::Plain{c.quiet, [&now] { return now; }, c.from});
            EXPECT_FALSE(line.active());
            EXPECT_EQ(line.plain(), !c.quiet);
            for (const Step &s : c.steps) {
                now = progress::Line::Clock::time_point{} + std::chrono::seconds(s.seconds);
                const std::string text = "done " + std::to_string(static_cast<int>(s.done));
                line.step(text, s.done, c.total);
                if (s.line)
                    expected += text + "\n";
            }
        }
        ::close(fd);
        std::ifstream in(file);
        std::ostringstream got;
        got << in.rdbuf();
        EXPECT_EQ(got.str(), expected);
    }
}

} // namespace
