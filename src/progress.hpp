// SPDX-License-Identifier: MIT
// How far a survey has come, as one status line on standard error, redrawn
// a few times a second by a thread of its own and erased at the end:
//
//   kesscan: 12/40 files, 350.2/1024.0 MiB, 85.3 MiB/s, 0:08 left
//
// While the walk goes on, the totals are those found so far, and the time
// left is not known:
//
//   kesscan: 12/40 files, 350.2/1024.0 MiB, 85.3 MiB/s, walking
#pragma once

#include "sample-source.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

// The clock the rate and the time left are reckoned by.
using progress_clock = std::chrono::steady_clock::time_point (*)();

struct progress {
    std::atomic<std::uint64_t> files_total;  // found so far
    std::atomic<std::uint64_t> bytes_total;
    std::atomic<bool> walking;               // more may be found
    std::atomic<std::uint64_t> files_done;
    std::atomic<std::uint64_t> bytes_done;          // of the files done
    std::unique_ptr<scan_counters[]> reading;  // what each worker's scan has read
    unsigned workers;
    progress_clock now;
    std::chrono::steady_clock::time_point began;
    // Draws the line: the process's status line, or a test's own.
    void (*draw)(void* opaque, std::string_view line);
    void* draw_opaque;
    std::string drawn;  // the text drawn last
    std::mutex lock;
    std::condition_variable wake;
    bool stopping;
    std::thread drawer;
};

// The status line for these counts, after seconds of work.
std::string progress_text(std::uint64_t files_done, std::uint64_t files_total, std::uint64_t bytes_done,
                          std::uint64_t bytes_total, double seconds, bool walking = false);

// Sets p up for files_total files of bytes_total bytes, found so far while
// walking, and workers that count the bytes they read in p.reading; the line
// is drawn on standard error, by the steady clock, unless the caller then
// sets now, began and draw.
void init_progress(progress& p, std::uint64_t files_total, std::uint64_t bytes_total, unsigned workers,
                   bool walking = false);
// The files found so far, and whether the walk goes on.
void found_files(progress& p, std::uint64_t files_total, std::uint64_t bytes_total, bool walking);
// The status line now: the files done, and the bytes of the files done and
// read of the others.
std::string progress_now(const progress& p);
// Draws the line when its text is not the one drawn last; whether it drew.
bool redraw(progress& p);
// Draws the line now and then, when it changes, every quarter of a second,
// on a thread of its own; without one (none could be started) only now.
void start_progress(progress& p);
// A worker's file is done: its bytes count whole, whatever was read of it.
void file_done(progress& p, unsigned worker, std::uint64_t size);
// Stops the drawing and erases the line.
void stop_progress(progress& p);
