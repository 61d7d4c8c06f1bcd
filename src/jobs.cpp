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

// A worker's file whose turn has not come holds its output, up to a few
// MiB, then waits; all such files together hold no more than a few times
// that. A file's output is written to the process's streams only when its
// turn comes, so each file's output stays whole and the order is the
// operands' whatever order the scans end in.
constexpr std::size_t slot_cap = std::size_t{4} << 20;
constexpr std::size_t waiting_cap = std::size_t{16} << 20;

struct chunk {
    int stream;
    std::string text;
};

// One entry's output on its way.
struct slot {
    std::vector<chunk> chunks;  // not yet written
    std::size_t bytes = 0;      // in chunks
    bool done = false;
    bool trouble = false;       // for --check
};

struct ordered_run {
    const scan_settings* settings;
    const std::vector<walk_entry>* entries;
    progress* shown;            // or nullptr
    std::mutex lock;
    std::condition_variable changed;
    std::size_t next = 0;       // the entry the next worker takes
    std::size_t current = 0;    // the entry whose output is being written
    std::size_t waiting = 0;    // bytes held by entries after current
    bool stop = false;          // standard output failed: nothing more is wanted
    std::vector<slot> slots;
};

// The output sink of one entry's scan.
struct slot_sink {
    ordered_run* run;
    std::size_t index;
};

void hold_output(void* opaque, int stream, const char* s, std::size_t n)
{
    const slot_sink& sink = *static_cast<slot_sink*>(opaque);
    ordered_run& run = *sink.run;
    std::unique_lock hold(run.lock);
    slot& mine = run.slots[sink.index];
    run.changed.wait(hold, [&] {
        return run.stop || (mine.bytes < slot_cap && (sink.index == run.current || run.waiting < waiting_cap));
    });
    if (run.stop)
        return;
    if (mine.chunks.empty() || mine.chunks.back().stream != stream)
        mine.chunks.push_back({stream, {}});
    mine.chunks.back().text.append(s, n);
    mine.bytes += n;
    if (sink.index == run.current)
        run.changed.notify_all();
    else
        run.waiting += n;
}

bool troubled(const scan_result& r)
{
    return r.status == file_status::damaged || r.status == file_status::error || r.errors > 0;
}

// Scans one entry, or tells why a folder could not be read; whether it
// went wrong.
bool scan_entry(const scan_settings& settings, const walk_entry& e, output_sink out,
                std::atomic<std::uint64_t>* read)
{
    if (e.error) {
        const std::string line = e.path + ": " + std::generic_category().message(e.error) + "\n";
        out.write(out.opaque, out_messages, line.data(), line.size());
        return true;
    }
    return troubled(scan_file(settings, e.path.c_str(), out, read));
}

void work(ordered_run& run, unsigned worker)
{
    const std::vector<walk_entry>& entries = *run.entries;
    for (;;) {
        std::size_t i;
        {
            const std::lock_guard hold(run.lock);
            if (run.stop || run.next == entries.size())
                return;
            i = run.next++;
        }
        slot_sink sink{&run, i};
        const bool trouble = scan_entry(*run.settings, entries[i], {hold_output, &sink},
                                        run.shown ? &run.shown->reading[worker] : nullptr);
        if (run.shown && !entries[i].error)
            file_done(*run.shown, worker, entries[i].size);
        const std::lock_guard hold(run.lock);
        run.slots[i].done = true;
        run.slots[i].trouble = trouble;
        run.changed.notify_all();
    }
}

// Writes entry k's output as it comes, until its scan is done.
bool write_turn(ordered_run& run, std::size_t k)
{
    std::unique_lock hold(run.lock);
    slot& turn = run.slots[k];
    run.current = k;
    run.waiting -= turn.bytes;
    run.changed.notify_all();
    for (;;) {
        run.changed.wait(hold, [&] { return !turn.chunks.empty() || turn.done; });
        const bool done = turn.done;
        std::vector<chunk> out;
        out.swap(turn.chunks);
        turn.bytes = 0;
        run.changed.notify_all();
        hold.unlock();
        const output_sink sink = standard_sink();
        for (const chunk& c : out)
            sink.write(sink.opaque, c.stream, c.text.data(), c.text.size());
        hold.lock();
        if (done)
            return turn.trouble;
    }
}

bool scan_ordered(ordered_run& run, unsigned jobs)
{
    bool trouble = false;
    std::vector<std::jthread> workers;
    for (unsigned w = 0; w < jobs; ++w)
        workers.emplace_back(work, std::ref(run), w);
    for (std::size_t k = 0; k < run.slots.size(); ++k) {
        trouble |= write_turn(run, k);
        run.slots[k] = {};
        if (stdout_failed())
            break;
    }
    {
        const std::lock_guard hold(run.lock);
        run.stop = true;
    }
    run.changed.notify_all();
    return trouble;
}

bool scan_in_turn(const scan_settings& settings, const std::vector<walk_entry>& entries, progress* shown)
{
    bool trouble = false;
    for (const walk_entry& e : entries) {
        trouble |= scan_entry(settings, e, standard_sink(), shown ? &shown->reading[0] : nullptr);
        if (shown && !e.error)
            file_done(*shown, 0, e.size);
        if (stdout_failed())
            break;
    }
    return trouble;
}

}  // namespace

unsigned processors()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
}

bool scan_entries(const scan_settings& settings, const std::vector<walk_entry>& entries, unsigned jobs,
                  bool show_progress)
{
    jobs = static_cast<unsigned>(std::clamp<std::size_t>(entries.size(), 1, jobs));
    progress shown;
    if (show_progress) {
        std::uint64_t files = 0, bytes = 0;
        for (const walk_entry& e : entries) {
            files += !e.error;
            bytes += e.size;
        }
        start_progress(shown, files, bytes, jobs);
    }
    progress* p = show_progress ? &shown : nullptr;
    bool trouble;
    if (jobs == 1) {
        trouble = scan_in_turn(settings, entries, p);
    } else {
        ordered_run run;
        run.settings = &settings;
        run.entries = &entries;
        run.shown = p;
        run.slots.resize(entries.size());
        trouble = scan_ordered(run, jobs);
    }
    if (show_progress)
        stop_progress(shown);
    return trouble;
}
