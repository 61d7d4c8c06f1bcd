// SPDX-License-Identifier: MIT
#include "progress.hpp"

#include "output.hpp"

#include <algorithm>
#include <cstdio>
#include <system_error>

namespace {

constexpr auto redraw_every = std::chrono::milliseconds(250);

std::uint64_t bytes_so_far(const progress& p)
{
    std::uint64_t n = p.bytes_done.load(std::memory_order_relaxed);
    for (unsigned w = 0; w < p.workers; ++w)
        n += p.reading[w].bytes.load(std::memory_order_relaxed);
    return std::min(n, p.bytes_total.load(std::memory_order_relaxed));
}

void keep_drawing(progress& p)
{
    std::unique_lock hold(p.lock);
    while (!p.wake.wait_for(hold, redraw_every, [&] { return p.stopping; }))
        redraw(p);
}

void draw_status(void*, std::string_view line)
{
    show_status(line);
}

}  // namespace

std::string progress_text(std::uint64_t files_done, std::uint64_t files_total, std::uint64_t bytes_done,
                          std::uint64_t bytes_total, double seconds, bool walking)
{
    constexpr double mib = 1024.0 * 1024.0;
    char text[160];
    int n = std::snprintf(text, sizeof text, "kesscan: %llu/%llu files, %.1f/%.1f MiB",
                          static_cast<unsigned long long>(files_done), static_cast<unsigned long long>(files_total),
                          static_cast<double>(bytes_done) / mib, static_cast<double>(bytes_total) / mib);
    // The rate and the time left once there is something to go by; no
    // time left while the walk goes on and the totals may grow.
    const bool rated = seconds >= 0.5 && bytes_done > 0;
    const double rate = rated ? static_cast<double>(bytes_done) / seconds : 0;
    if (rated)
        n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), ", %.1f MiB/s", rate / mib);
    if (walking) {
        std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), ", walking");
    } else if (rated) {
        const auto left = static_cast<unsigned long long>(static_cast<double>(bytes_total - bytes_done) / rate + 0.5);
        std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), ", %llu:%02llu left", left / 60, left % 60);
    }
    return text;
}

void init_progress(progress& p, std::uint64_t files_total, std::uint64_t bytes_total, unsigned workers,
                   bool walking)
{
    found_files(p, files_total, bytes_total, walking);
    p.files_done = 0;
    p.bytes_done = 0;
    p.workers = workers;
    p.reading = std::make_unique<scan_counters[]>(workers);
    p.now = std::chrono::steady_clock::now;
    p.began = p.now();
    p.draw = draw_status;
    p.draw_opaque = nullptr;
    p.drawn.clear();
    p.stopping = false;
}

std::string progress_now(const progress& p)
{
    const double seconds = std::chrono::duration<double>(p.now() - p.began).count();
    // The walk's end is read first: totals read after it are the whole's.
    const bool walking = p.walking.load(std::memory_order_acquire);
    return progress_text(p.files_done.load(std::memory_order_relaxed), p.files_total.load(std::memory_order_relaxed),
                         bytes_so_far(p), p.bytes_total.load(std::memory_order_relaxed), seconds, walking);
}

void found_files(progress& p, std::uint64_t files_total, std::uint64_t bytes_total, bool walking)
{
    p.files_total.store(files_total, std::memory_order_relaxed);
    p.bytes_total.store(bytes_total, std::memory_order_relaxed);
    p.walking.store(walking, std::memory_order_release);
}

bool redraw(progress& p)
{
    std::string line = progress_now(p);
    if (line == p.drawn)
        return false;
    p.draw(p.draw_opaque, line);
    p.drawn = std::move(line);
    return true;
}

void start_progress(progress& p)
{
    redraw(p);
    try {
        p.drawer = std::thread(keep_drawing, std::ref(p));
    } catch (const std::system_error&) {
    }
}

void file_done(progress& p, unsigned worker, std::uint64_t size)
{
    p.bytes_done.fetch_add(size, std::memory_order_relaxed);
    p.reading[worker].bytes.store(0, std::memory_order_relaxed);
    p.files_done.fetch_add(1, std::memory_order_relaxed);
}

void stop_progress(progress& p)
{
    {
        const std::lock_guard hold(p.lock);
        p.stopping = true;
    }
    p.wake.notify_all();
    if (p.drawer.joinable())
        p.drawer.join();
    clear_status();
}
