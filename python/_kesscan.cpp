// SPDX-License-Identifier: MIT
// The Python module's native part, _kesscan, beside the package it is part
// of: the library's scans and the command line's survey, each giving the
// objects of the command line's JSON as text, which the kesscan package
// makes its records from. Python's lock is let go while a scan runs. The
// module's definition and pybind11's caches are the interpreter's, held in
// statics of their own.
#include <kesscan/kesscan.hpp>

#include "cache.hpp"
#include "formats.hpp"
#include "jobs.hpp"
#include "output.hpp"
#include "walk.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

kesscan::settings settings_of(std::int32_t start, bool single, std::int32_t type)
{
    const kesscan::settings s{start, single, type};
    if (const char* why = kesscan::settings_refused(s))
        throw py::value_error(why);
    return s;
}

// What a scan reads: a path, a descriptor (the file object's, which the
// caller keeps open), or bytes or samples in memory, held until it goes.
struct scan_source {
    std::string name;      // the path, or the name given
    int fd = -1;
    py::buffer_info view;  // the bytes or samples, when they are in memory
    bool samples = false;
};

kesscan::summary scan_from(const scan_source& in, const kesscan::settings& s, const kesscan::frame_receiver* r)
{
    const char* name = in.name.c_str();
    const auto size = static_cast<std::size_t>(in.view.size);
    if (in.samples)
        return kesscan::scan_samples(static_cast<const std::int32_t*>(in.view.ptr), size / 2, name, s, r);
    if (in.view.ptr)
        return kesscan::scan_buffer(in.view.ptr, size, name, s, r);
    if (in.fd >= 0)
        return kesscan::scan_fd(in.fd, name, s, r);
    return kesscan::scan_path(name, s, r);
}

std::unique_ptr<scan_source> path_source(const std::string& path)
{
    auto in = std::make_unique<scan_source>();
    in->name = path;
    return in;
}

std::unique_ptr<scan_source> fd_source(int fd, const std::string& name)
{
    auto in = path_source(name);
    in->fd = fd;
    return in;
}

std::unique_ptr<scan_source> buffer_source(const py::buffer& data, const std::string& name)
{
    auto in = path_source(name);
    in->view = data.request();
    if (in->view.ndim != 1 || in->view.itemsize != 1 || in->view.strides[0] != 1)
        throw py::type_error("the buffer must be contiguous bytes");
    return in;
}

using samples_array = py::array_t<std::int32_t, py::array::c_style>;

std::unique_ptr<scan_source> samples_source(const samples_array& samples, const std::string& name)
{
    if (samples.ndim() != 2 || samples.shape(1) != 2)
        throw py::value_error("samples must have the shape (n, 2)");
    auto in = path_source(name);
    in->view = samples.request();
    in->samples = true;
    return in;
}

py::bytes scan(const scan_source& in, std::int32_t start, bool single, std::int32_t type)
{
    const kesscan::settings s = settings_of(start, single, type);
    kesscan::summary sum;
    {
        const py::gil_scoped_release unlocked;
        sum = scan_from(in, s, nullptr);
    }
    return sum.json;
}

// Lines made on a thread of their own and taken one at a time on Python's:
// they are never all held at once. The maker waits while a few wait to be
// taken, and is told once they are no longer wanted.
struct line_queue {
    static constexpr std::size_t waiting_cap = 256;
    std::mutex lock;
    std::condition_variable moved;
    std::deque<std::string> ready;
    bool ended = false;      // no more will come
    bool abandoned = false;  // no more are wanted
    std::string failure;     // what ended them, if anything did
};

// Offers a line; false once no more are wanted.
bool offer(line_queue& q, std::string_view line)
{
    std::unique_lock hold(q.lock);
    q.moved.wait(hold, [&] { return q.abandoned || q.ready.size() < line_queue::waiting_cap; });
    if (q.abandoned)
        return false;
    q.ready.emplace_back(line);
    q.moved.notify_all();
    return true;
}

bool still_wanted(void* self)
{
    line_queue& q = *static_cast<line_queue*>(self);
    const std::lock_guard hold(q.lock);
    return !q.abandoned;
}

void end_lines(line_queue& q, std::string failure = {})
{
    const std::lock_guard hold(q.lock);
    q.ended = true;
    q.failure = std::move(failure);
    q.moved.notify_all();
}

// The next line, once it has come; at the end, StopIteration, or the
// failure that ended them.
py::bytes take(line_queue& q)
{
    std::string line;
    bool have = false;
    {
        const py::gil_scoped_release unlocked;
        std::unique_lock hold(q.lock);
        q.moved.wait(hold, [&] { return q.ended || !q.ready.empty(); });
        if (!q.ready.empty()) {
            line = std::move(q.ready.front());
            q.ready.pop_front();
            have = true;
            q.moved.notify_all();
        }
    }
    if (have)
        return line;
    if (!q.failure.empty())
        throw std::runtime_error(std::exchange(q.failure, {}));
    throw py::stop_iteration();
}

// The lines and their maker, which ends, unwanted, before they go.
struct line_stream {
    line_queue lines;
    std::jthread maker;

    ~line_stream()
    {
        {
            const std::lock_guard hold(lines.lock);
            lines.abandoned = true;
        }
        lines.moved.notify_all();
        const py::gil_scoped_release unlocked;
        if (maker.joinable())
            maker.join();
    }
};

bool pass_frame(void* self, const kesscan::frame& f)
{
    return offer(*static_cast<line_queue*>(self), f.json);
}

std::unique_ptr<line_stream> frames(const scan_source& in, std::int32_t start, std::int32_t type)
{
    const kesscan::settings s = settings_of(start, false, type);
    auto stream = std::make_unique<line_stream>();
    line_queue* q = &stream->lines;
    stream->maker = std::jthread([q, &in, s] {
        const kesscan::frame_receiver r{pass_frame, q};
        try {
            scan_from(in, s, &r);
        } catch (...) {
            // A frame that could not be kept ends the frames there.
        }
        end_lines(*q);
    });
    return stream;
}

// A survey's summaries, each written in one piece.
void pass_summary(void* self, int stream, const char* s, std::size_t n)
{
    if (stream == out_text && n > 0)
        offer(*static_cast<line_queue*>(self), std::string_view(s, n - 1));
}

// The extensions a walk takes: those given, or the sound formats'.
std::vector<std::string> taken(bool recursive, const std::vector<std::string>& extensions)
{
    if (!recursive)
        return {};
    return extensions.empty() ? sound_extensions() : extensions;
}

py::list walk(const std::vector<std::string>& paths, bool recursive, const std::vector<std::string>& extensions)
{
    std::vector<walk_entry> entries;
    {
        const py::gil_scoped_release unlocked;
        entries = walk_operands(paths, recursive, taken(recursive, extensions));
    }
    py::list names;
    for (const walk_entry& e : entries)
        names.append(py::bytes(e.path));
    return names;
}

// What a survey of paths needs while it runs on a thread of its own.
struct survey_run {
    std::vector<std::string> paths, extensions;
    bool recursive;
    unsigned jobs;
    scan_settings settings;
    summary_cache cache;
    bool cached = false;
};

void run_survey(survey_run& r, line_queue& q)
{
    std::string why;
    try {
        const std::vector<std::string> extensions = taken(r.recursive, r.extensions);
        walk_cursor walk;
        init_walk(walk, r.paths, r.recursive, extensions);
        entry_queue entries;
        entries.from = walk_source(walk);
        const survey_sink to{{pass_summary, &q}, still_wanted};
        scan_entries(r.settings, entries, r.jobs, false, r.cached ? &r.cache : nullptr, nullptr, &to);
    } catch (const std::bad_alloc&) {
        why = "out of memory";
    }
    if (r.cached && !close_cache(r.cache, why))
        why = "cache " + r.cache.file + ": " + why;
    end_lines(q, why);
}

std::unique_ptr<line_stream> survey(const std::vector<std::string>& paths, unsigned jobs, bool recursive,
                                    bool single, const std::optional<std::string>& cache_file,
                                    const std::vector<std::string>& extensions)
{
    if (jobs < 1 || jobs > 4096)
        throw py::value_error("jobs must be from 1 to 4096");
    auto r = std::make_shared<survey_run>();
    r->paths = paths;
    r->extensions = extensions;
    r->recursive = recursive;
    r->jobs = jobs;
    r->settings.summary = r->settings.json = true;
    // As -1 does, which the cache's keys tell.
    if (single)
        stop_at_first(r->settings);
    std::string why;
    if (cache_file) {
        const py::gil_scoped_release unlocked;
        r->cached = open_cache(r->cache, *cache_file, r->settings, KESSCAN_VERSION, why);
    }
    if (cache_file && !r->cached)
        throw std::runtime_error("cache " + *cache_file + ": " + why);
    auto stream = std::make_unique<line_stream>();
    line_queue* q = &stream->lines;
    stream->maker = std::jthread([r, q] { run_survey(*r, *q); });
    return stream;
}

}  // namespace

PYBIND11_MODULE(_kesscan, m)
{
    m.doc() = "kesscan's scans, giving the command line's JSON objects";
    const auto a = [](const char* name) { return py::arg(name); };
    py::class_<scan_source>(m, "Source", "What a scan reads");
    m.def("path", path_source, a("path"));
    m.def("fd", fd_source, a("fd"), a("name"));
    m.def("buffer", buffer_source, a("data"), a("name"));
    m.def("samples", samples_source, a("samples"), a("name"));
    m.def("scan", scan, a("source"), a("start"), a("single"), a("type"));
    py::class_<line_stream>(m, "Lines", "A scan's frames, or a survey's summaries, one at a time")
        .def("__iter__", [](line_stream& s) -> line_stream& { return s; })
        .def("__next__", [](line_stream& s) { return take(s.lines); });
    m.def("frames", frames, a("source"), a("start"), a("type"), py::keep_alive<0, 1>());
    m.def("walk", walk, a("paths"), a("recursive"), a("extensions"));
    m.def("survey", survey, a("paths"), a("jobs"), a("recursive"), a("single"), a("cache"), a("extensions"));
    m.attr("version") = KESSCAN_VERSION;
}
