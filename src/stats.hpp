// SPDX-License-Identifier: MIT
// The totals of a survey, told at its end with --stats, as rg --stats and
// rsync --stats tell theirs: the files by status, their frames and bytes,
// the time, and what the walks passed over.
#pragma once

#include "report.hpp"
#include "walk.hpp"

#include <cstdint>
#include <mutex>
#include <string>

struct survey_stats {
    std::uint64_t by_status[4] = {};  // files, indexed by file_status
    std::uint64_t with_errors = 0;    // files with checksum errors
    std::uint64_t unread = 0;         // folders, and names in them, that could not be read
    std::uint64_t frames = 0;         // whole frames decoded, or given from the cache
    std::uint64_t bytes = 0;          // read from the files; none from a file given from the cache
    std::mutex lock;                  // the workers add to it in turns
};

// The block of totals, as lines of text or as one JSON object, after
// seconds of wall time; the five commonest extensions passed over are named.
void put_stats(std::string& out, const survey_stats& s, const walk_skipped& skipped, double seconds, bool json);
