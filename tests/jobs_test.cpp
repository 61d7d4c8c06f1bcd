// SPDX-License-Identifier: MIT
// A survey takes its files as the walk finds them, not once it has ended.
#include "jobs.hpp"

#include "output.hpp"
#include "testfiles.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <string>
#include <vector>

namespace {

// A walk of n entries, alike, that notes how many outcomes had been written
// when each was asked for.
struct noted_walk {
    std::string path;
    std::size_t n;
    const std::atomic<std::size_t>* written;
    std::vector<std::size_t> at_ask;
};

bool next_noted(void* opaque, walk_entry& e)
{
    noted_walk& w = *static_cast<noted_walk*>(opaque);
    if (w.at_ask.size() == w.n)
        return false;
    w.at_ask.push_back(w.written->load());
    e = {w.path, {}, 0, false};
    return true;
}

void count_lines(void* opaque, int stream, const char* s, std::size_t n)
{
    if (stream == out_text)
        *static_cast<std::atomic<std::size_t>*>(opaque) += static_cast<std::size_t>(std::count(s, s + n, '\n'));
}

bool wanted(void*)
{
    return true;
}

TEST(Survey, ScansWhileTheWalkGoesOn)
{
    const std::string file = kesgen_file("walked.wav", "sync\n01 29 25 c1 00\n");
    for (const unsigned jobs : {1u, 2u, 4u}) {
        std::atomic<std::size_t> written{0};
        noted_walk walk{file, 30, &written, {}};
        entry_queue entries;
        entries.from = {next_noted, &walk};
        scan_settings settings;
        settings.summary = true;
        const survey_sink to{{count_lines, &written}, wanted};
        const survey_result r = scan_entries(settings, entries, jobs, false, nullptr, nullptr, &to);
        EXPECT_FALSE(r.trouble);
        EXPECT_EQ(written.load(), 30u) << jobs << " jobs";
        ASSERT_EQ(walk.at_ask.size(), 30u);
        // On one thread each entry is asked for once the one before it is
        // written; on more, the others run ahead by as much as the output
        // they may hold, so only the order is certain.
        for (std::size_t k = 0; jobs == 1 && k < 30; ++k)
            EXPECT_EQ(walk.at_ask[k], k) << "entry " << k;
        EXPECT_TRUE(std::is_sorted(walk.at_ask.begin(), walk.at_ask.end()));
    }
}

// A walk that runs out of memory stops the survey, failed, and says so
// once; on one thread, after the outcomes of all it found. What the walk
// would find after is not asked for.
TEST(Survey, AWalkOutOfMemoryStopsIt)
{
    const std::string file = kesgen_file("found.wav", "sync\n01 29 25 c1 00\n");
    struct failing_walk {
        std::string path;
        int left;
    };
    const auto next = [](void* opaque, walk_entry& e) {
        failing_walk& w = *static_cast<failing_walk*>(opaque);
        if (w.left-- == 0)
            throw std::bad_alloc();
        e = {w.path, {}, 0, false};
        return w.left >= -5;
    };
    for (const unsigned jobs : {1u, 2u, 4u}) {
        std::atomic<std::size_t> written{0};
        failing_walk walk{file, 5};
        entry_queue entries;
        entries.from = {next, &walk};
        scan_settings settings;
        settings.summary = true;
        const survey_sink to{{count_lines, &written}, wanted};
        testing::internal::CaptureStderr();
        const survey_result r = scan_entries(settings, entries, jobs, false, nullptr, nullptr, &to);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "kesscan: out of memory: the survey stops here\n");
        EXPECT_TRUE(r.failed) << jobs << " jobs";
        EXPECT_FALSE(r.trouble);
        EXPECT_LE(written.load(), 5u);
        EXPECT_TRUE(jobs > 1 || written.load() == 5u) << written.load() << " written";
    }
}

}  // namespace
