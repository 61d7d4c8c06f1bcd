// SPDX-License-Identifier: MIT
// Scanning the files of a command line: one after another on the calling
// thread, or several at once on threads of their own. Either way each
// file's text and messages come out whole and in order, byte for byte the
// same.
#pragma once

#include "cache.hpp"
#include "scan.hpp"
#include "stats.hpp"
#include "walk.hpp"

#include <vector>

// The processors this process may run on.
unsigned processors();

struct survey_result {
    bool trouble;  // a file was damaged, had a checksum error or could not
                   // be scanned, or a folder could not be read
    bool failed;   // a scan itself failed (out of memory, say)
};

// Scans entries on up to jobs threads (1: the calling thread), writing to
// standard output and error, with a progress line on standard error when
// asked; a folder that could not be read gets "PATH: REASON", and so does a
// scan that failed. Stops once standard output has failed. With a cache,
// summaries come from it where they can, and are kept in it.
// With stats, the totals are added to it. With to, the outcomes go there
// instead of to the process's streams.
// The entries are taken from the queue as their turn comes, and may be
// found by a walk that goes on while they are scanned; their stamps are
// taken to tell how the files stand when their turn comes.
survey_result scan_entries(const scan_settings& settings, entry_queue& entries, unsigned jobs, bool show_progress,
                           summary_cache* cache = nullptr, survey_stats* stats = nullptr,
                           const struct survey_sink* to = nullptr);

// Where a survey's outcomes go, other than the process's streams: to out,
// in order, one write at a time, for as long as wanted(out.opaque) says
// they are wanted, as a failed standard output ends a survey.
struct survey_sink {
    output_sink out;
    bool (*wanted)(void* opaque);
};
