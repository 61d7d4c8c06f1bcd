// SPDX-License-Identifier: MIT
// The Python module's native part, _kesscan: the library's scans and the
// command line's survey, each giving the objects of the command line's
// JSON as text, which the kesscan package makes its records from. Python's
// lock is let go while a scan runs.
#include <kesscan/kesscan.hpp>

#include "cache.hpp"
#include "formats.hpp"
#include "jobs.hpp"
#include "output.hpp"
#include "walk.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <mutex>
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

// The frames' objects, as --json writes them.
struct frame_lines {
    std::vector<std::string> lines;
    kesscan::frame_receiver receiver{[](void* self, const kesscan::frame& f) {
                                         static_cast<frame_lines*>(self)->lines.emplace_back(f.json);
                                     },
                                     this};
};

// A scan's summary and, with frames, its frames, all as JSON text.
py::object told(const kesscan::summary& sum, const frame_lines* frames)
{
    py::bytes summary(sum.json);
    if (!frames)
        return summary;
    py::list lines;
    for (const std::string& l : frames->lines)
        lines.append(py::bytes(l));
    return py::make_tuple(summary, lines);
}

template <typename Scan>
py::object scan_with(bool with_frames, Scan scan)
{
    frame_lines frames;
    kesscan::summary sum;
    {
        const py::gil_scoped_release unlocked;
        sum = scan(with_frames ? &frames.receiver : nullptr);
    }
    return told(sum, with_frames ? &frames : nullptr);
}

py::object scan_path(const std::string& path, std::int32_t start, bool single, std::int32_t type, bool frames)
{
    const kesscan::settings s = settings_of(start, single, type);
    return scan_with(frames, [&](auto* r) { return kesscan::scan_path(path.c_str(), s, r); });
}

py::object scan_fd(int fd, const std::string& name, std::int32_t start, bool single, std::int32_t type, bool frames)
{
    const kesscan::settings s = settings_of(start, single, type);
    return scan_with(frames, [&](auto* r) { return kesscan::scan_fd(fd, name.c_str(), s, r); });
}

py::object scan_buffer(const py::buffer& data, const std::string& name, std::int32_t start, bool single,
                       std::int32_t type, bool frames)
{
    const kesscan::settings s = settings_of(start, single, type);
    const py::buffer_info view = data.request();
    if (view.ndim != 1 || view.itemsize != 1 || (view.ndim == 1 && view.strides[0] != 1))
        throw py::type_error("the buffer must be contiguous bytes");
    const auto size = static_cast<std::size_t>(view.size);
    return scan_with(frames, [&](auto* r) { return kesscan::scan_buffer(view.ptr, size, name.c_str(), s, r); });
}

using samples_array = py::array_t<std::int32_t, py::array::c_style>;

py::object scan_samples(const samples_array& samples, const std::string& name, std::int32_t start, bool single,
                        std::int32_t type, bool frames)
{
    const kesscan::settings s = settings_of(start, single, type);
    if (samples.ndim() != 2 || samples.shape(1) != 2)
        throw py::value_error("samples must have the shape (n, 2)");
    const auto count = static_cast<std::size_t>(samples.shape(0));
    const std::int32_t* at = samples.data();
    return scan_with(frames, [&](auto* r) { return kesscan::scan_samples(at, count, name.c_str(), s, r); });
}

// A survey's summaries, in order, as one write each.
struct summary_lines {
    std::mutex lock;
    std::vector<std::string> lines;
};

void keep_line(void* self, int stream, const char* s, std::size_t n)
{
    auto& kept = *static_cast<summary_lines*>(self);
    if (stream != out_text)
        return;
    const std::lock_guard hold(kept.lock);
    kept.lines.emplace_back(s, n ? n - 1 : 0);
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

py::list survey(const std::vector<std::string>& paths, unsigned jobs, bool recursive, bool single,
                const std::optional<std::string>& cache_file, const std::vector<std::string>& extensions)
{
    scan_settings settings;
    settings.summary = settings.json = true;
    settings.single = single;
    if (jobs < 1 || jobs > 4096)
        throw py::value_error("jobs must be from 1 to 4096");
    summary_lines kept;
    std::string why;
    {
        const py::gil_scoped_release unlocked;
        const std::vector<walk_entry> entries = walk_operands(paths, recursive, taken(recursive, extensions));
        summary_cache cache;
        const bool cached = cache_file && open_cache(cache, *cache_file, settings, KESSCAN_VERSION, why);
        const output_sink out{keep_line, &kept};
        if (!cache_file || cached)
            scan_entries(settings, entries, jobs, false, cached ? &cache : nullptr, nullptr, &out);
        if (cached)
            close_cache(cache, why);
    }
    if (!why.empty())
        throw std::runtime_error("cache " + *cache_file + ": " + why);
    py::list lines;
    for (const std::string& l : kept.lines)
        lines.append(py::bytes(l));
    return lines;
}

}  // namespace

PYBIND11_MODULE(_kesscan, m)
{
    m.doc() = "kesscan's scans, giving the command line's JSON objects";
    const auto a = [](const char* name) { return py::arg(name); };
    m.def("scan_path", scan_path, a("path"), a("start"), a("single"), a("type"), a("frames"));
    m.def("scan_fd", scan_fd, a("fd"), a("name"), a("start"), a("single"), a("type"), a("frames"));
    m.def("scan_buffer", scan_buffer, a("data"), a("name"), a("start"), a("single"), a("type"), a("frames"));
    m.def("scan_samples", scan_samples, a("samples"), a("name"), a("start"), a("single"), a("type"),
          a("frames"));
    m.def("walk", walk, a("paths"), a("recursive"), a("extensions"));
    m.def("survey", survey, a("paths"), a("jobs"), a("recursive"), a("single"), a("cache"), a("extensions"));
    m.attr("version") = KESSCAN_VERSION;
}
