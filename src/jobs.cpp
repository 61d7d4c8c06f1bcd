// SPDX-License-Identifier: MIT
#include "jobs.hpp"

#include "output.hpp"
#include "progress.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
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

// A survey: its entries are taken in order by up to jobs workers, the
// calling thread first. The others start when the first file must be read:
// a library whose summaries the cache holds is told without a hand-off
// between threads.
struct ordered_run {
    const scan_settings* settings;
    outcome_form form;          // of the outcomes
    summary_cache* cache;       // or nullptr
    survey_stats* stats;        // or nullptr
    // The entries, taken in turn under walk_lock, which is never taken
    // while lock is held; nothing else touches them.
    entry_queue* entries;
    std::mutex walk_lock;
    progress* shown;            // or nullptr
    output_sink out;            // where the outcomes go, in order
    bool (*wanted)(void*);      // whether they still are; nullptr: while standard output works
    unsigned jobs;
    unsigned threads;           // asked for: the last files may have more than one each
    bool started = false;       // the others were started; written before they exist
    std::mutex lock;
    std::condition_variable turned;  // the turn moved on, or the run stopped
    std::size_t next = 0;       // the entry the next worker takes
    std::size_t current = 0;    // the entry whose turn it is
    std::size_t waiting = 0;    // bytes held by entries after current
    bool stop = false;          // standard output failed: nothing more is wanted
    // Standard input is read by one entry at a time, in their order, as
    // it is one after another: the entries that read it, by their order
    // among them, taken and done.
    std::size_t stdin_taken = 0, stdin_done = 0;
    std::atomic<bool> trouble{false};
    std::atomic<bool> failed{false};
    // The slots of the entries from current to next, current's first: the
    // entries taken and not yet written out.
    std::deque<slot> slots;
    // Last: the others end before what they use goes.
    std::vector<std::jthread> others;
};

// Whether the outcomes are no longer wanted: nothing more is to be done.
bool unwanted(const ordered_run& run)
{
    return run.wanted ? !run.wanted(run.out.opaque) : stdout_failed();
}

slot& slot_of(ordered_run& run, std::size_t i)
{
    return run.slots[i - run.current];
}

bool reads_stdin(const walk_entry& e)
{
    return !e.walked && e.path == "-";
}

// The output sink of one entry's scan.
struct slot_sink {
    ordered_run* run;
    std::size_t index;
};

void write_chunks(const output_sink& out, const std::vector<chunk>& chunks)
{
    for (const chunk& c : chunks)
        out.write(out.opaque, c.stream, c.text.data(), c.text.size());
}

void hold_output(void* opaque, int stream, const char* s, std::size_t n)
{
    const slot_sink& sink = *static_cast<slot_sink*>(opaque);
    ordered_run& run = *sink.run;
    std::unique_lock hold(run.lock);
    // The slot stays where it is while others are added behind it.
    slot& mine = slot_of(run, sink.index);
    run.turned.wait(hold, [&] {
        return run.stop || sink.index == run.current || (mine.bytes < slot_cap && run.waiting < waiting_cap);
    });
    if (run.stop)
        return;
    if (sink.index == run.current) {
        // Only the file whose turn it is writes, and its worker is here.
        hold.unlock();
        run.out.write(run.out.opaque, stream, s, n);
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
    std::size_t k = 1;
    while (k < run.slots.size() && !run.stop) {
        slot& turn = run.slots[k];
        if (!turn.chunks.empty()) {
            std::vector<chunk> out;
            out.swap(turn.chunks);
            run.waiting -= turn.bytes;
            turn.bytes = 0;
            run.turned.notify_all();
            hold.unlock();
            write_chunks(run.out, out);
            hold.lock();
            run.stop = run.stop || unwanted(run);
            continue;
        }
        if (!turn.done)
            break;
        ++k;
    }
    run.slots.erase(run.slots.begin(), run.slots.begin() + static_cast<std::ptrdiff_t>(k));
    run.current += k;
    run.turned.notify_all();
}

// How an entry's outcome came.
enum class outcome_kind { scanned, recalled, unread };

struct entry_outcome {
    outcome_kind kind;
    scan_result result;
    file_stamp stamp;         // the file's when its turn came, with a cache
    std::int64_t began = 0;   // wall clock when a scan began, with a cache
    std::int64_t ended = 0;   // the file clock when it ended
    std::uint64_t bytes = 0;  // read by the scan
    bool again = false;       // read again though the cache kept it: was is what it kept
    scan_result was;
};

void tell_lost(output_sink out, const summary_cache& cache, std::string& lost)
{
    if (lost.empty())
        return;
    const std::string line = "kesscan: cache " + cache.file + ": " + lost + "; scanning without it\n";
    out.write(out.opaque, out_messages, line.data(), line.size());
    lost.clear();
}

// The text of a file whose content changed beneath unchanged times.
void tell_changed(output_sink out, const walk_entry& e, const scan_result& was, const scan_result& now)
{
    const std::string line = e.path + ": content changed without a change of its times (was " +
                             status_name(was.facts.status) + ", now " + status_name(now.facts.status) + ")\n";
    out.write(out.opaque, out_messages, line.data(), line.size());
}

// Adds an entry's outcome to the totals, when asked.
void count(survey_stats* stats, const entry_outcome& o)
{
    if (!stats)
        return;
    const std::lock_guard hold(stats->lock);
    if (o.kind == outcome_kind::unread) {
        ++stats->unread;
        return;
    }
    const summary_facts& f = o.result.facts;
    ++stats->by_status[static_cast<int>(f.status)];
    stats->with_errors += f.errors > 0;
    stats->frames += f.frames;
    stats->bytes += o.bytes;
}

// Writes an entry's outcome, kept in the cache when it was scanned, and
// counts it. A scan has written its own outcome as it ended, among its
// frames. A folder that could not be read has a summary of its own, so
// that a survey's lines say what it could not see.
void settle(ordered_run& run, const walk_entry& e, const entry_outcome& o, output_sink out)
{
    if (o.kind != outcome_kind::scanned)
        write_outcome(out, e.path.c_str(), run.form, o.result);
    if (o.kind == outcome_kind::scanned && run.cache) {
        std::string lost;
        keep_summary(*run.cache, e, {o.stamp, o.began, o.ended}, o.result, lost);
        tell_lost(out, *run.cache, lost);
        if (o.again && content_changed(e, o.stamp, o.was, o.result)) {
            tell_changed(out, e, o.was, o.result);
            run.trouble = run.trouble || run.form.check;
        }
    }
    if (trouble(run.form, o.result.facts))
        run.trouble = true;
    count(run.stats, o);
}

// The workers but the calling thread's, once a file must be read. Workers
// that cannot be started (too many threads, too little memory for their
// stacks) leave the work to those that were, the calling thread at least.
void start_others(ordered_run& run);

// The outcome of entry e: the folder could not be read, or the cache kept
// what the file's scan would say, or the file is scanned. A cache that
// fails says so once, in the output's order.
entry_outcome obtain(ordered_run& run, const scan_settings& settings, const walk_entry& e, output_sink out,
                     scan_counters& counters)
{
    entry_outcome o{};
    o.kind = outcome_kind::unread;
    if (e.error) {
        o.result.facts.status = file_status::error;
        o.result.reason = std::generic_category().message(e.error);
        return o;
    }
    if (run.cache) {
        // The walk looked at the file as its turn came, not when it listed
        // the folder, which may be hours before.
        o.stamp = e.stamp;
        std::string lost;
        const recall kept = recall_summary(*run.cache, e, o.stamp, o.result, lost);
        tell_lost(out, *run.cache, lost);
        if (kept == recall::kept) {
            o.kind = outcome_kind::recalled;
            return o;
        }
        o.again = kept == recall::again;
        o.was = std::move(o.result);
        o.began = wall_clock_ns();
    }
    start_others(run);
    const std::uint64_t before = counters.bytes.load(std::memory_order_relaxed);
    o.kind = outcome_kind::scanned;
    o.result = scan_file(settings, e.path.c_str(), out, &counters,
                         e.walked ? input_kind::walked : input_kind::named);
    o.bytes = counters.bytes.load(std::memory_order_relaxed) - before;
    o.ended = file_clock_ns();
    return o;
}

// Tells that entry i's scan failed, with text, as its whole outcome: once
// its turn has come, straight to the process's streams. Nothing here asks
// for memory, which may be what the scan lacked.
void tell_failure(ordered_run& run, std::size_t i, const walk_entry& e, const char* text)
{
    {
        std::unique_lock hold(run.lock);
        run.turned.wait(hold, [&] { return run.stop || i == run.current; });
        if (run.stop)
            return;
    }
    for (const char* part : {e.path.c_str(), ": ", text, "\n"})
        run.out.write(run.out.opaque, out_messages, part, std::strlen(part));
}

// An entry a worker has taken: the index of its turn, and how many
// entries were left from it on, counted up to the threads asked for.
struct taken_entry {
    walk_entry entry;
    std::size_t index;
    std::size_t left;
    std::size_t stdin_turn;  // when it reads standard input
};

// Scans taken.entry on worker. A scan that fails for want of memory or the
// like is told as the entry's own message; the run goes on.
void scan_taken(ordered_run& run, const taken_entry& t, unsigned worker, output_sink out)
{
    const walk_entry& e = t.entry;
    // The totals count the bytes the scan read, as the progress line
    // does, in a counter of their own when there is no line.
    scan_counters own;
    scan_counters& counters = run.shown ? run.shown->reading[worker] : own;
    // The last files, fewer than the threads asked for, may be decoded
    // on several each.
    const scan_settings* settings = run.settings;
    scan_settings split;
    if (t.left < run.threads) {
        split = *run.settings;
        split.threads = static_cast<unsigned>(run.threads / t.left);
        settings = &split;
    }
    char failure[256] = "";
    try {
        settle(run, e, obtain(run, *settings, e, out, counters), out);
    } catch (const std::bad_alloc&) {
        std::snprintf(failure, sizeof failure, "out of memory");
    } catch (const std::exception& x) {
        std::snprintf(failure, sizeof failure, "%s", x.what());
    } catch (...) {
        std::snprintf(failure, sizeof failure, "the scan failed");
    }
    if (failure[0]) {
        run.failed = true;
        tell_failure(run, t.index, e, failure);
    }
    if (run.shown && !e.error)
        file_done(*run.shown, worker, e.stamp.size);
}

// With the lock held, the run stops, failed, for want of memory, and says so.
void stop_short(ordered_run& run)
{
    if (!run.stop) {
        constexpr char text[] = "kesscan: out of memory: the survey stops here\n";
        write_stderr(text, sizeof text - 1);
    }
    run.failed = true;
    run.stop = true;
    run.turned.notify_all();
}

// With the lock held: a slot for the next entry, false when the run has
// stopped. Memory that cannot be had for it is waited for until the
// entries before it are written out and have let go of theirs, while the
// others may take what is left; when there is still none, the run stops
// there.
bool add_slot(ordered_run& run, std::unique_lock<std::mutex>& hold)
{
    for (int tries = 0; tries < 2; ++tries) {
        if (run.stop)
            return false;
        try {
            run.slots.emplace_back();
            return true;
        } catch (const std::bad_alloc&) {
            if (tries == 0)
                run.turned.wait(hold, [&] { return run.stop || run.slots.empty(); });
        }
    }
    stop_short(run);
    return false;
}

// Whether the walk has found at least n entries not yet taken, walking on
// as need be, under the walk's lock; the progress line learns what it
// found. A walk that runs out of memory stops the run.
bool found_ahead(ordered_run& run, std::size_t n)
{
    bool ahead;
    try {
        ahead = look_ahead(*run.entries, n);
    } catch (const std::bad_alloc&) {
        const std::lock_guard hold(run.lock);
        stop_short(run);
        return false;
    }
    if (run.shown)
        found_files(*run.shown, run.entries->files, run.entries->bytes, !run.entries->ended);
    return ahead;
}

// Takes the next entry into t, with its turn; false when there is none
// left, or the run stopped.
bool take_turn(ordered_run& run, taken_entry& t)
{
    const std::lock_guard walking(run.walk_lock);
    found_ahead(run, run.threads);
    std::unique_lock hold(run.lock);
    entry_queue& q = *run.entries;
    if (q.ahead.empty() || !add_slot(run, hold))
        return false;
    t.left = q.ahead.size();
    t.entry = std::move(q.ahead.front());
    q.ahead.pop_front();
    t.index = run.next++;
    if (reads_stdin(t.entry))
        t.stdin_turn = run.stdin_taken++;
    return true;
}

void work(ordered_run& run, unsigned worker)
{
    taken_entry t;
    while (take_turn(run, t)) {
        const bool stdin = reads_stdin(t.entry);
        if (stdin) {
            std::unique_lock hold(run.lock);
            run.turned.wait(hold, [&] { return run.stop || run.stdin_done == t.stdin_turn; });
            if (run.stop)
                return;
        }
        slot_sink sink{&run, t.index};
        scan_taken(run, t, worker, {hold_output, &sink});
        std::unique_lock hold(run.lock);
        slot_of(run, t.index).done = true;
        if (stdin) {
            ++run.stdin_done;
            run.turned.notify_all();
        }
        if (unwanted(run)) {
            run.stop = true;
            run.turned.notify_all();
        } else if (t.index == run.current) {
            hand_on(run, hold);
        }
    }
}

void start_others(ordered_run& run)
{
    if (run.started)
        return;
    run.started = true;
    std::size_t left;
    {
        const std::lock_guard walking(run.walk_lock);
        found_ahead(run, run.jobs - 1);
        left = run.entries->ahead.size();
    }
    try {
        run.others.reserve(run.jobs - 1);
        for (unsigned w = 1; w < run.jobs && w <= left; ++w)
            run.others.emplace_back(work, std::ref(run), w);
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace

unsigned processors()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
}

survey_result scan_entries(const scan_settings& settings, entry_queue& entries, unsigned jobs, bool show_progress,
                           summary_cache* cache, survey_stats* stats, const survey_sink* to)
{
    const unsigned threads = std::max(1u, jobs);
    look_ahead(entries, threads);
    jobs = static_cast<unsigned>(std::clamp<std::size_t>(entries.ahead.size(), 1, threads));
    progress shown;
    if (show_progress) {
        init_progress(shown, entries.files, entries.bytes, jobs, !entries.ended);
        start_progress(shown);
    }
    ordered_run run;
    run.settings = &settings;
    run.form = outcome_form_of(settings);
    run.cache = cache;
    run.stats = stats;
    run.entries = &entries;
    run.shown = show_progress ? &shown : nullptr;
    run.out = to ? to->out : standard_sink();
    run.wanted = to ? to->wanted : nullptr;
    run.jobs = jobs;
    run.threads = threads;
    run.stop = unwanted(run);
    work(run, 0);
    run.others.clear();
    if (show_progress)
        stop_progress(shown);
    return {run.trouble, run.failed};
}
