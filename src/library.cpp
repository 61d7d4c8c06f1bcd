// SPDX-License-Identifier: MIT
// The library's interface over the scan the command line runs: the same
// settings, the same outcome, told as values rather than written out.
#include <kesscan/kesscan.hpp>

#include "input.hpp"
#include "ker-common.hpp"
#include "output.hpp"
#include "report.hpp"
#include "sample-source.hpp"
#include "scan.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <new>
#include <string>

namespace kesscan {
namespace {

// What a scan would write goes nowhere: its outcome comes back as a value.
void discard(void*, int, const char*, std::size_t) {}

constexpr output_sink nowhere = {discard, nullptr};

// The command line's settings for s: its --summary, or with frames its
// --json.
scan_settings settings_of(const settings& s, const frame_receiver* frames)
{
    scan_settings c;
    c.start = s.start;
    c.packet_type = s.type;
    if (s.single)
        stop_at_first(c);
    c.summary = !frames;
    c.json = true;
    c.frames = frames;
    return c;
}

value value_of(const named_value& v)
{
    return {v.known, v.value, v.name};
}

summary summary_of(const char* name, const scan_result& r)
{
    const summary_facts& f = r.facts;
    summary out;
    out.file = name;
    out.status = status_name(f.status);
    out.synced = f.synced;
    out.sync = f.sync;
    if (f.have_params) {
        out.rate = value_of(f.params.rate);
        out.bits = value_of(f.params.bitdepth);
        out.gain = value_of(f.params.gain);
        out.rate_hz = out.rate.known ? ker_rate_hz(static_cast<std::uint32_t>(out.rate.number)) : 0;
    }
    out.frames = f.frames;
    out.errors = f.errors;
    out.reason = r.reason;
    put_summary(out.json, name, {true, 0, false}, f, r.reason);
    out.json.pop_back();
    return out;
}

// What a scan that could not begin comes to.
summary refused(const char* name, const std::string& why)
{
    scan_result r{};
    r.facts.status = file_status::error;
    r.reason = why;
    return summary_of(name, r);
}

// The summary of scan, a scan of the input name with s, which comes back
// as a value whatever happens to it, a scan that fails as one that could
// not be scanned.
template <typename Scan>
summary guarded(const char* name, const settings& s, const frame_receiver* frames, Scan scan)
{
    if (const char* why = settings_refused(s))
        return refused(name, why);
    try {
        const scan_settings c = settings_of(s, frames);
        return summary_of(name, scan(c));
    } catch (const std::bad_alloc&) {
        return refused(name, "out of memory");
    } catch (const std::exception& x) {
        return refused(name, x.what());
    }
}

}  // namespace

const char* settings_refused(const settings& s)
{
    if (s.start < 0)
        return "start must be 0 or more";
    if (s.type < -1 || s.type > 255)
        return "type must be from 0 to 255, or -1 for every type";
    return nullptr;
}

summary scan_path(const char* path, const settings& s, const frame_receiver* frames)
{
    return guarded(path, s, frames, [&](const scan_settings& c) { return scan_file(c, path, nowhere); });
}

summary scan_fd(int fd, const char* name, const settings& s, const frame_receiver* frames)
{
    return guarded(name, s, frames, [&](const scan_settings& c) { return scan_descriptor(c, name, fd, nowhere); });
}

summary scan_buffer(const void* data, std::size_t size, const char* name, const settings& s,
                    const frame_receiver* frames)
{
    // A file in memory, which both decoders read as any other: the bytes
    // are copied once, into it.
    const owned_fd file{memfd_create("kesscan", MFD_CLOEXEC)};
    const int err = file.fd < 0 ? errno : write_all(file.fd, static_cast<const char*>(data), size);
    if (err)
        return refused(name, system_error_text(err > 0 ? err : EIO));
    if (lseek(file.fd, 0, SEEK_SET) != 0)
        return refused(name, system_error_text(errno));
    return scan_fd(file.fd, name, s, frames);
}

summary scan_samples(const std::int32_t* interleaved, std::size_t frame_count, const char* name, const settings& s,
                     const frame_receiver* frames)
{
    return guarded(name, s, frames, [&](const scan_settings& c) {
        return scan_interleaved(c, name, interleaved, frame_count, nowhere);
    });
}

}  // namespace kesscan
