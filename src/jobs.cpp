// SPDX-License-Identifier: MIT
#include "jobs.hpp"

#include "output.hpp"
#include "progress.hpp"

#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace {

// The file whose turn it is writes its output straight to the process's
// streams. A file whose turn has not come holds its output, up to a few
// MiB, then waits; all such files together hold no more than a few times
// that. The worker that ends the file whose turn it is writes out what the
// files after it hold, and hands the turn on: each file's output stays
// whole, in the operands' order, whatever order the scans end in, and no
// thread is woken for a file whose output needs no waiting.
constexpr std::size_t slot_cap = std::size_t{4} << 20;
constexpr std::size_t waiting_cap = std::size_t{16} << 20;

struct chunk {
    int stream;
    std::string text;
};

// One entry's output while its turn has not come.
struct slot {
    std::vector<chunk> chunks;  // not yet written
    std::size_t bytes = 0;      // in chunks
    bool done = false;
};

struct ordered_run {
    const scan_settings* settings;
    summary_cache* cache;       // or nullptr
    survey_stats* stats;        // or nullptr
    const std::vector<walk_entry>* entries;
    progress* shown;            // or nullptr
    std::mutex lock;
    std::condition_variable turned;  // the turn moved on, or the run stopped
    std::size_t next = 0;       // the entry the next worker takes
    std::size_t current = 0;    // the entry whose turn it is
    std::size_t waiting = 0;    // bytes held by entries after current
    bool stop = false;          // standard output failed: nothing more is wanted
    // Standard input is read by one entry at a time, in their order, as
    // it is one after another: this one's turn it is, or none left.
    std::size_t stdin_turn;
    std::atomic<bool> trouble{false};
    std::atomic<bool> failed{false};
    std::vector<slot> slots;
};

bool reads_stdin(const walk_entry& e)
{
    return !e.walked && e.path == "-";
}

// The first entry from i on that reads standard input, or the end.
std::size_t next_stdin(const std::vector<walk_entry>& entries, std::size_t i)
{
    while (i < entries.size() && !reads_stdin(entries[i]))
        ++i;
    return i;
}

// The output sink of one entry's scan.
struct slot_sink {
    ordered_run* run;
    std::size_t index;
};

void write_chunks(const std::vector<chunk>& chunks)
{
    const output_sink out = standard_sink();
    for (const chunk& c : chunks)
        out.write(out.opaque, c.stream, c.text.data(), c.text.size());
}

void hold_output(void* opaque, int stream, const char* s, std::size_t n)
{
    const slot_sink& sink = *static_cast<slot_sink*>(opaque);
    ordered_run& run = *sink.run;
    std::unique_lock hold(run.lock);
    slot& mine = run.slots[sink.index];
    run.turned.wait(hold, [&] {
        return run.stop || sink.index == run.current || (mine.bytes < slot_cap && run.waiting < waiting_cap);
    });
    if (run.stop)
        return;
    if (sink.index == run.current) {
        // Only the file whose turn it is writes, and its worker is here.
        hold.unlock();
        standard_sink().write(nullptr, stream, s, n);
        return;
    }
    if (mine.chunks.empty() || mine.chunks.back().stream != stream)
        mine.chunks.push_back({stream, {}});
    mine.chunks.back().text.append(s, n);
    mine.bytes += n;
    run.waiting += n;
}

// With the lock held, by the worker whose file's turn it was and has ended:
// writes out what the files after it hold, up to one still being scanned,
// whose turn it then is. The turn moves only once what that file held is
// out: until then its worker goes on holding its output.
void hand_on(ordered_run& run, std::unique_lock<std::mutex>& hold)
{
    std::size_t k = run.current + 1;
    while (k < run.slots.size() && !run.stop) {
        slot& turn = run.slots[k];
        if (!turn.chunks.empty()) {
            std::vector<chunk> out;
            out.swap(turn.chunks);
            run.waiting -= turn.bytes;
            turn.bytes = 0;
            run.turned.notify_all();
            hold.unlock();
            write_chunks(out);
            hold.lock();
            run.stop = run.stop || stdout_failed();
            continue;
        }
        if (!turn.done)
            break;
        ++k;
    }
    run.current = k;
    run.turned.notify_all();
}

bool troubled(const scan_settings& settings, const scan_result& r)
{
    return r.status == file_status::damaged || r.status == file_status::error || r.errors > 0 ||
           (settings.expect_stream && r.status == file_status::none);
}

enum class entry_outcome { sound, trouble, failed };

void write_line(output_sink out, int stream, const std::string& line)
{
    out.write(out.opaque, stream, line.data(), line.size());
}

void tell_lost(output_sink out, const summary_cache& cache, std::string& lost)
{
    if (!lost.empty())
        write_line(out, out_messages, "kesscan: cache " + cache.file + ": " + lost + "; scanning without it\n");
    lost.clear();
}

// What the cache kept of a file, written as its scan wrote it: what
// standard error was told of the file, then its summary. False when the
// cache has nothing sure of it. A cache that fails says so once, in the
// output's order.
bool recall_entry(const scan_settings& settings, const walk_entry& e, output_sink out, summary_cache& cache,
                  scan_result& r)
{
    std::string lost;
    const bool hit = recall_summary(cache, e, r, lost);
    tell_lost(out, cache, lost);
    if (!hit)
        return false;
    if (!r.reason.empty())
        write_line(out, out_messages, e.path + ": " + r.reason + "\n");
    std::string line;
    put_summary(line, e.path.c_str(), summary_form_of(settings), r.summary, r.reason);
    write_line(out, out_text, line);
    return true;
}

// The scan of a file, or what the cache kept of it.
scan_result scan_or_recall(const scan_settings& settings, const walk_entry& e, output_sink out,
                           std::atomic<std::uint64_t>* read, summary_cache* cache)
{
    const input_kind kind = e.walked ? input_kind::walked : input_kind::named;
    if (!cache)
        return scan_file(settings, e.path.c_str(), out, read, kind);
    scan_result r;
    if (recall_entry(settings, e, out, *cache, r))
        return r;
    const std::int64_t began = wall_clock_ns();
    r = scan_file(settings, e.path.c_str(), out, read, kind);
    std::string lost;
    keep_summary(*cache, e, began, r, lost);
    tell_lost(out, *cache, lost);
    return r;
}

// Adds an entry's outcome to the totals, when asked: a folder that could
// not be read (r is nullptr), or a scan or a recall and the bytes it read.
void count(survey_stats* stats, const scan_result* r, std::uint64_t bytes)
{
    if (!stats)
        return;
    const std::lock_guard hold(stats->lock);
    if (!r) {
        ++stats->unread;
        return;
    }
    ++stats->by_status[static_cast<int>(r->status)];
    stats->with_errors += r->errors > 0;
    stats->frames += r->frames;
    stats->bytes += bytes;
}

// Scans one entry, or tells why a folder could not be read. A scan that
// fails for want of memory or the like is told as the entry's own message;
// the run goes on.
entry_outcome scan_entry(const scan_settings& settings, const walk_entry& e, output_sink out,
                         std::atomic<std::uint64_t>* read, summary_cache* cache, survey_stats* stats)
{
    if (e.error) {
        count(stats, nullptr, 0);
        // A folder that could not be read has a summary of its own, so that
        // a survey's lines say what it could not see.
        const std::string why = std::generic_category().message(e.error);
        write_line(out, out_messages, e.path + ": " + why + "\n");
        if (settings.summary) {
            summary_facts f{};
            f.status = file_status::error;
            std::string line;
            put_summary(line, e.path.c_str(), summary_form_of(settings), f, why);
            write_line(out, out_text, line);
        }
        return entry_outcome::trouble;
    }
    std::string failure;
    try {
        // The totals count the bytes the scan read, as the progress line
        // does, in a counter of their own when there is no line.
        std::atomic<std::uint64_t> bytes{0};
        if (stats && !read)
            read = &bytes;
        const std::uint64_t before = read ? read->load(std::memory_order_relaxed) : 0;
        const scan_result r = scan_or_recall(settings, e, out, read, cache);
        count(stats, &r, read ? read->load(std::memory_order_relaxed) - before : 0);
        return troubled(settings, r) ? entry_outcome::trouble : entry_outcome::sound;
    } catch (const std::bad_alloc&) {
        failure = "out of memory";
    } catch (const std::exception& x) {
        failure = x.what();
    }
    write_line(out, out_messages, e.path + ": " + failure + "\n");
    return entry_outcome::failed;
}

void note(ordered_run& run, entry_outcome o)
{
    if (o == entry_outcome::failed)
        run.failed = true;
    else if (o == entry_outcome::trouble)
        run.trouble = true;
}

void work(ordered_run& run, unsigned worker)
{
    const std::vector<walk_entry>& entries = *run.entries;
    for (;;) {
        std::size_t i;
        {
            std::unique_lock hold(run.lock);
            if (run.stop || run.next == entries.size())
                return;
            i = run.next++;
            if (reads_stdin(entries[i]))
                run.turned.wait(hold, [&] { return run.stop || run.stdin_turn == i; });
            if (run.stop)
                return;
        }
        slot_sink sink{&run, i};
        note(run, scan_entry(*run.settings, entries[i], {hold_output, &sink},
                             run.shown ? &run.shown->reading[worker] : nullptr, run.cache, run.stats));
        if (run.shown && !entries[i].error)
            file_done(*run.shown, worker, entries[i].stamp.size);
        std::unique_lock hold(run.lock);
        run.slots[i].done = true;
        if (reads_stdin(entries[i])) {
            run.stdin_turn = next_stdin(entries, i + 1);
            run.turned.notify_all();
        }
        if (stdout_failed()) {
            run.stop = true;
            run.turned.notify_all();
        } else if (i == run.current) {
            hand_on(run, hold);
        }
    }
}

survey_result scan_in_turn(const scan_settings& settings, const std::vector<walk_entry>& entries, progress* shown,
                           summary_cache* cache, survey_stats* stats)
{
    survey_result r{false, false};
    for (const walk_entry& e : entries) {
        const entry_outcome o =
            scan_entry(settings, e, standard_sink(), shown ? &shown->reading[0] : nullptr, cache, stats);
        r.trouble |= o == entry_outcome::trouble;
        r.failed |= o == entry_outcome::failed;
        if (shown && !e.error)
            file_done(*shown, 0, e.stamp.size);
        if (stdout_failed())
            break;
    }
    return r;
}

// Writes out, on the calling thread, the first entries that the cache
// gives back; the index of the first that must be read. Workers start only
// there: a library that has not changed is told without a hand-off between
// threads, and one that has is read by them from its first change on.
std::size_t recall_leading(const scan_settings& settings, const std::vector<walk_entry>& entries, progress* shown,
                           summary_cache& cache, survey_stats* stats, survey_result& result)
{
    std::size_t i = 0;
    try {
        for (scan_result r; i < entries.size() && !stdout_failed() &&
                            recall_entry(settings, entries[i], standard_sink(), cache, r);
             ++i) {
            count(stats, &r, 0);
            result.trouble |= troubled(settings, r);
            if (shown)
                file_done(*shown, 0, entries[i].stamp.size);
        }
    } catch (const std::exception&) {
        // The entry is left to the workers, whose scan tells what failed.
    }
    return i;
}

}  // namespace

unsigned processors()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
}

survey_result scan_entries(const scan_settings& settings, const std::vector<walk_entry>& entries, unsigned jobs,
                           bool show_progress, summary_cache* cache, survey_stats* stats)
{
    jobs = static_cast<unsigned>(std::clamp<std::size_t>(entries.size(), 1, jobs));
    progress shown;
    if (show_progress) {
        std::uint64_t files = 0, bytes = 0;
        for (const walk_entry& e : entries) {
            files += !e.error;
            bytes += e.stamp.size;
        }
        init_progress(shown, files, bytes, jobs);
        start_progress(shown);
    }
    progress* p = show_progress ? &shown : nullptr;
    survey_result result{false, false};
    if (jobs == 1) {
        result = scan_in_turn(settings, entries, p, cache, stats);
    } else {
        const std::size_t first = cache ? recall_leading(settings, entries, p, *cache, stats, result) : 0;
        ordered_run run;
        run.settings = &settings;
        run.cache = cache;
        run.stats = stats;
        run.entries = &entries;
        run.shown = p;
        run.next = run.current = first;
        run.stop = stdout_failed();
        run.stdin_turn = next_stdin(entries, first);
        run.slots.resize(entries.size());
        {
            // Workers that cannot be started (too many threads, too little
            // memory for their stacks) leave the work to those that were,
            // the calling thread at least.
            std::vector<std::jthread> others;
            try {
                others.reserve(jobs - 1);
                for (unsigned w = 1; w < jobs && w < entries.size() - first; ++w)
                    others.emplace_back(work, std::ref(run), w);
            } catch (const std::system_error&) {
            } catch (const std::bad_alloc&) {
            }
            work(run, 0);
        }
        result.trouble |= run.trouble;
        result.failed |= run.failed;
    }
    if (show_progress)
        stop_progress(shown);
    return result;
}
