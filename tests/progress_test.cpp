// SPDX-License-Identifier: MIT
// The progress line: its text, and what it counts as files end.
#include "progress.hpp"

#include "output.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Progress, TextTellsFilesBytesRateAndTimeLeft)
{
    constexpr std::uint64_t mib = 1 << 20;
    EXPECT_EQ(progress_text(12, 40, 350 * mib + mib / 5, 1024 * mib, 4.1),
              "kesscan: 12/40 files, 350.2/1024.0 MiB, 85.4 MiB/s, 0:08 left");
    EXPECT_EQ(progress_text(1, 3, 10 * mib, 40 * mib, 0.4), "kesscan: 1/3 files, 10.0/40.0 MiB")
        << "no rate before half a second";
    EXPECT_EQ(progress_text(0, 3, 0, 40 * mib, 2), "kesscan: 0/3 files, 0.0/40.0 MiB") << "no rate from nothing";
    EXPECT_EQ(progress_text(2, 9, mib, 601 * mib, 1), "kesscan: 2/9 files, 1.0/601.0 MiB, 1.0 MiB/s, 10:00 left");
    EXPECT_EQ(progress_text(2, 9, mib, 66 * mib, 1), "kesscan: 2/9 files, 1.0/66.0 MiB, 1.0 MiB/s, 1:05 left");
    // While the walk goes on, no time left can be told from the totals.
    EXPECT_EQ(progress_text(2, 9, mib, 66 * mib, 1, true), "kesscan: 2/9 files, 1.0/66.0 MiB, 1.0 MiB/s, walking");
    EXPECT_EQ(progress_text(0, 3, 0, 40 * mib, 2, true), "kesscan: 0/3 files, 0.0/40.0 MiB, walking");
}

// A file done counts whole, what its worker had read of it or not; what a
// worker reads of its file counts at once; nothing counts past the total.
TEST(Progress, FilesDoneCountWhole)
{
    constexpr std::uint64_t mib = 1 << 20;
    progress p;
    init_progress(p, 3, 30 * mib, 2);
    p.reading[0].bytes = mib;
    p.reading[1].bytes = 5 * mib / 2;
    EXPECT_EQ(progress_now(p).substr(0, 32), "kesscan: 0/3 files, 3.5/30.0 MiB");
    file_done(p, 0, 10 * mib);
    EXPECT_EQ(progress_now(p).substr(0, 33), "kesscan: 1/3 files, 12.5/30.0 MiB");
    file_done(p, 1, 10 * mib);
    p.reading[0].bytes = 2 * mib;
    EXPECT_EQ(progress_now(p).substr(0, 33), "kesscan: 2/3 files, 22.0/30.0 MiB");
    file_done(p, 0, 15 * mib);
    EXPECT_EQ(progress_now(p).substr(0, 33), "kesscan: 3/3 files, 30.0/30.0 MiB") << "clamped to the total";
}

// A clock the test moves, and the lines drawn by it.
std::chrono::steady_clock::time_point test_time;

std::chrono::steady_clock::time_point test_clock()
{
    return test_time;
}

void keep_line(void* lines, std::string_view line)
{
    static_cast<std::vector<std::string>*>(lines)->emplace_back(line);
}

// The line is drawn only when its text changes: a slow run draws it no more
// often than a quick one, however many times it is asked to.
TEST(Progress, DrawnWhenItsTextChanges)
{
    constexpr std::uint64_t mib = 1 << 20;
    progress p;
    init_progress(p, 2, 10 * mib, 1);
    std::vector<std::string> lines;
    p.now = test_clock;
    p.began = test_time;
    p.draw = keep_line;
    p.draw_opaque = &lines;
    EXPECT_TRUE(redraw(p));
    EXPECT_FALSE(redraw(p));
    test_time += std::chrono::milliseconds(400);
    EXPECT_FALSE(redraw(p)) << "no rate yet, and nothing read";
    p.reading[0].bytes = mib;
    test_time += std::chrono::milliseconds(600);
    EXPECT_TRUE(redraw(p));
    EXPECT_FALSE(redraw(p));
    test_time += std::chrono::milliseconds(1000);
    EXPECT_TRUE(redraw(p)) << "the rate fell";
    file_done(p, 0, 4 * mib);
    EXPECT_TRUE(redraw(p));
    // What a walk still going on finds adds to the totals; its end brings
    // the time left back.
    found_files(p, 3, 12 * mib, true);
    EXPECT_TRUE(redraw(p));
    found_files(p, 3, 12 * mib, false);
    EXPECT_TRUE(redraw(p));
    EXPECT_EQ(lines, (std::vector<std::string>{"kesscan: 0/2 files, 0.0/10.0 MiB",
                                               "kesscan: 0/2 files, 1.0/10.0 MiB, 1.0 MiB/s, 0:09 left",
                                               "kesscan: 0/2 files, 1.0/10.0 MiB, 0.5 MiB/s, 0:18 left",
                                               "kesscan: 1/2 files, 4.0/10.0 MiB, 2.0 MiB/s, 0:03 left",
                                               "kesscan: 1/3 files, 4.0/12.0 MiB, 2.0 MiB/s, walking",
                                               "kesscan: 1/3 files, 4.0/12.0 MiB, 2.0 MiB/s, 0:04 left"}));
}

// On a terminal the line never reaches the last column, where it would
// wrap; of an unknown width it is left whole.
TEST(Progress, CutToTheTerminal)
{
    const std::string line = "kesscan: 12/40 files, 350.2/1024.0 MiB";
    EXPECT_EQ(fit_status(line, 30), "kesscan: 12/40 files, 350.2/1");
    EXPECT_EQ(fit_status(line, static_cast<int>(line.size()) + 1), line);
    EXPECT_EQ(fit_status(line, static_cast<int>(line.size())), line.substr(0, line.size() - 1));
    EXPECT_EQ(fit_status(line, 0), line);
}

}  // namespace
