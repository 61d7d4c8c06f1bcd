// SPDX-License-Identifier: MIT
// kesgen: writes a sound file whose side stream carries the frames of a
// frame list (see framelist.hpp), for testing players, converters and
// decoders, and kesscan.
//
// Each bit rides on one stereo sample frame: bit 8 of left XOR right in
// libsndfile's 32-bit integer form, the lowest bit of a 24-bit sample. Only
// the right sample's bit is ever changed.
//
// A user's files are never harmed: the output is written to a temporary file
// beside it and renamed over it only once every write and the close have
// succeeded, the file is on the disk and what kesgen prints is out, so a
// failure or a signal leaves the carrier, an existing output and any
// symbolic link as they were.
#include "eintr.hpp"
#include "formats.hpp"
#include "framelist.hpp"
#include "output.hpp"
#include "sfbits.hpp"

#include <getopt.h>
#include <sndfile.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

namespace {

enum class signal_kind { noise, tone, silence };

struct options {
    const char* list = "-";         // frame list file, "-" for standard input
    const char* carrier = nullptr;  // stereo file whose audio carries the stream
    const char* output = nullptr;
    signal_kind signal = signal_kind::noise;
    int bits = 0;            // 16, 24 or 32; 0: 24, or the carrier's width
    int channels = 2;        // of a generated signal
    int rate = 48000;        // of a generated signal
    long long length = -1;   // frames of a generated signal; -1: the stream's
    long long at = 0;        // frame where the stream begins
};

// Without a carrier or a length, the file is as long as the stream; kesscan
// counts positions in 32 bits, so a longer stream could not be read back.
constexpr std::uint64_t max_stream_frames = std::uint64_t{1} << 32;

// The temporary output being written, removed when kesgen fails or a
// signal ends it. The signal handler reads only the pointer, which is set
// once the path is complete and cleared before the path changes.
std::string temp_output;
std::atomic<const char*> temp_for_signal;
static_assert(std::atomic<const char*>::is_always_lock_free, "read by a signal handler");

void forget_temp()
{
    temp_for_signal = nullptr;
    temp_output.clear();
}

// Removes the temporary output, then ends kesgen as the signal would have:
// the signal stays blocked until the handler returns, and is then taken
// with its default action.
extern "C" void end_on_signal(int sig)
{
    if (const char* temp = temp_for_signal)
        unlink(temp);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Every signal that ends a program by default and can be caught: those a
// user or a session sends, a closed pipe, timers, the faults and the
// real-time signals.
sigset_t ending_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGUSR1, SIGSEGV,
                          SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGPOLL,
                          SIGPWR, SIGSYS})
        sigaddset(&set, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        sigaddset(&set, sig);
    return set;
}

// A signal the caller ignores (as nohup ignores a hangup) stays ignored.
// A file too large for the limit set by ulimit -f is a failed write like
// any other, with the reason EFBIG, rather than the end of kesgen.
void remove_temp_on_signals()
{
    std::signal(SIGXFSZ, SIG_IGN);
    const sigset_t set = ending_signals();
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction old{};
        if (sigismember(&set, sig) != 1 || sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN)
            continue;
        struct sigaction act{};
        act.sa_handler = end_on_signal;
        sigemptyset(&act.sa_mask);
        sigaction(sig, &act, nullptr);
    }
}

[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void remove_temp()
{
    if (!temp_output.empty())
        std::remove(temp_output.c_str());
    forget_temp();
}

[[noreturn]] void fail(const char* format, ...)
{
    remove_temp();
    std::fputs("kesgen: ", stderr);
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stderr, format, ap);
    va_end(ap);
    std::fputc('\n', stderr);
    std::exit(1);
}

// To standard error with status 2 for a bad command line; asked for with
// --help, to standard output with status 0.
[[noreturn]] void usage(bool asked = false)
{
    std::fputs(
        "usage: kesgen [-f list] [--carrier file | -s noise|tone|silence -r rate -n frames]\n"
        "              [--at frame] [-b 16|24|32] [-c channels] output\n",
        asked ? stdout : stderr);
    std::exit(asked ? close_stdout("kesgen") : 2);
}

[[noreturn]] void bad_value(const char* option, const char* value)
{
    std::fprintf(stderr, "kesgen: %s: bad value '%s'\n", option, quote_text(value).c_str());
    usage();
}

// ---------------------------------------------------------------------------
// The stream, pulled a bit at a time from the list as it is read

struct bit_stream {
    frame_list list;
    list_line line;
    std::size_t next = 0;      // next bit of line.bits
    std::uint64_t zeros = 0;   // zero bits of line still to come
    std::uint64_t length = 0;  // bits of the lines read so far
};

std::uint64_t line_length(const list_line& l)
{
    return std::min(l.zeros, UINT64_MAX - l.bits.size()) + l.bits.size();
}

std::uint64_t sum(std::uint64_t a, std::uint64_t b)
{
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// The stream does not fit the file; the rest of the list is counted, not
// held, to say how much it needs.
[[noreturn]] void too_short(bit_stream& s, const options& o, long long frames)
{
    for (int got; (got = next_list_line(s.list, s.line)) != 0;) {
        if (got < 0)
            fail("%s", s.list.error.c_str());
        s.length = sum(s.length, line_length(s.line));
    }
    const auto needed = static_cast<unsigned long long>(sum(static_cast<std::uint64_t>(o.at), s.length));
    if (o.carrier)
        fail("%s: too short: %lld frames, the stream needs %llu", o.carrier, frames, needed);
    if (o.length >= 0)
        fail("%lld frames are too short: the stream needs %llu", frames, needed);
    fail("the stream needs %llu frames; a file holds at most %llu", needed,
         static_cast<unsigned long long>(max_stream_frames));
}

// The next bit, or -1 at the end of the list. Each line is checked against
// room, the bits the file can take, as soon as it is read: a long run of
// zeros is refused before any of it is written.
int next_bit(bit_stream& s, std::uint64_t room, const options& o, long long frames)
{
    while (s.next == s.line.bits.size() && s.zeros == 0) {
        const int got = next_list_line(s.list, s.line);
        if (got < 0)
            fail("%s", s.list.error.c_str());
        if (got == 0)
            return -1;
        s.next = 0;
        s.zeros = s.line.zeros;
        s.length = sum(s.length, line_length(s.line));
        if (s.length > room)
            too_short(s, o, frames);
    }
    if (s.next < s.line.bits.size())
        return s.line.bits[s.next++];
    --s.zeros;
    return 0;
}

// ---------------------------------------------------------------------------
// Sound files

// The major format whose usual extension the path has.
int major_format_for(const char* path)
{
    const std::string ext = extension_of(path);
    if (const int format = major_format_of(ext))
        return format;
    fail("%s: no sound file type has the extension '%s'", path, ext.c_str());
}

int subtype_for_bits(int bits)
{
    return bits == 16 ? SF_FORMAT_PCM_16 : bits == 32 ? SF_FORMAT_PCM_32 : SF_FORMAT_PCM_24;
}

// The sample width of a carrier that can hold the stream: integer samples
// of 24 or 32 bits, stored without loss.
int carrier_bits(const char* path, const SF_INFO& info)
{
    if (info.channels != 2)
        fail("%s: not stereo: %d channel%s; the stream needs two", path, info.channels,
             info.channels == 1 ? "" : "s");
    const char* unfit;
    if (const int width = carried_width(info.format & SF_FORMAT_SUBMASK, unfit))
        return width;
    fail("%s: %s samples cannot carry the stream; 24- or 32-bit integer samples can", path, unfit);
}

// Where the stream's bits go: the right sample's bit 8 is set so that left
// XOR right carries the bit. Returns whether the sample changed.
bool carry(std::int32_t* frame, int bit)
{
    const auto l = static_cast<std::uint32_t>(frame[0]);
    const auto r = static_cast<std::uint32_t>(frame[1]);
    const std::uint32_t want = (l & 0x100u) ^ (static_cast<std::uint32_t>(bit) << 8);
    frame[1] = static_cast<std::int32_t>((r & ~0x100u) | want);
    return (r & 0x100u) != want;
}

// A deterministic signal that looks like audio, in 24-bit steps. A 32-bit
// file also gets noise below bit 8, which the side stream must ignore.
struct generator {
    signal_kind kind;
    int bits;
    int rate;
    std::uint32_t seed = 12345;
    long long n = 0;

    std::uint32_t noise()
    {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    }
    void next(std::int32_t* frame, int channels)
    {
        const double t = static_cast<double>(n++) / rate;
        const auto tone = static_cast<std::int32_t>(0x200000 * std::sin(2 * std::numbers::pi * 440 * t));
        for (int ch = 0; ch < channels; ++ch) {
            std::int32_t v24 = 0;
            if (kind == signal_kind::tone)
                v24 = tone;
            else if (kind == signal_kind::noise)
                v24 = tone / 4 + static_cast<std::int32_t>(noise() & 0x7ffff) - 0x40000;
            frame[ch] = static_cast<std::int32_t>(static_cast<std::uint32_t>(v24) << 8);
            if (bits == 32)
                frame[ch] |= static_cast<std::int32_t>(noise() & 0xff);
        }
    }
};

// The output as it is written: a temporary file beside the file the output
// names (through any symbolic link, which stays), renamed over it at the
// end. A device or standard output ("-") is written straight.
//
// The temporary file is written through I/O of our own that keeps the first
// failed write: libsndfile does not report all of them (the FLAC encoder's
// last blocks, written by sf_close, are lost without a word when the disk
// is full).
struct output_file {
    std::string target;  // the file that gets the result; empty: written straight
    int fd = -1;
    int error = 0;       // errno of the first failed write
    SNDFILE* file = nullptr;
};

output_file& io(void* user)
{
    return *static_cast<output_file*>(user);
}

sf_count_t io_length(void* user)
{
    struct stat st;
    return fstat(io(user).fd, &st) == 0 ? st.st_size : -1;
}

sf_count_t io_seek(sf_count_t offset, int whence, void* user)
{
    return lseek(io(user).fd, offset, whence);
}

sf_count_t io_tell(void* user)
{
    return lseek(io(user).fd, 0, SEEK_CUR);
}

sf_count_t io_read(void* data, sf_count_t count, void* user)
{
    const ssize_t got = read(io(user).fd, data, static_cast<std::size_t>(count));
    return got < 0 ? 0 : got;
}

sf_count_t io_write(const void* data, sf_count_t count, void* user)
{
    output_file& out = io(user);
    sf_count_t done = 0;
    while (done < count && out.error == 0) {
        const ssize_t put = retry_eintr(
            [&] { return write(out.fd, static_cast<const char*>(data) + done, static_cast<std::size_t>(count - done)); });
        if (put < 0)
            out.error = errno;
        done += std::max<ssize_t>(put, 0);
    }
    return done;
}

// The file a name leads to through symbolic links; it need not exist yet,
// so a link that names a file not yet written gets that file.
std::filesystem::path link_target(const char* name)
{
    std::filesystem::path path = name;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        const std::filesystem::path to = std::filesystem::read_symlink(path, ec);
        if (ec)
            return path;
        path = path.parent_path() / to;
    }
    fail("%s: %s", name, std::strerror(ELOOP));
}

// ".NAME.XXXXXX" beside target, NAME cut short where the whole would pass
// the folder's limit on the length of a name.
std::string temp_name(const std::filesystem::path& target)
{
    const std::filesystem::path dir = target.parent_path();
    const long max = pathconf(dir.empty() ? "." : dir.c_str(), _PC_NAME_MAX);
    std::string base = target.filename().string();
    base.resize(std::min(base.size(), static_cast<std::size_t>(max > 8 ? max : 255) - 8));
    return (dir / ("." + base + ".XXXXXX")).string();
}

// Creates the temporary file. The signals that would end kesgen wait until
// the handler knows the file's name, so none can leave it behind.
int make_temp(std::string& temp)
{
    const sigset_t ending = ending_signals();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &ending, &before);
    const int fd = mkstemp(temp.data());
    const int err = errno;
    if (fd >= 0) {
        temp_output = temp;
        temp_for_signal = temp_output.c_str();
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    errno = err;
    return fd;
}

void open_output(output_file& out, const char* name, SF_INFO& info)
{
    const std::filesystem::path target = link_target(name);
    struct stat st;
    const bool exists = stat(target.c_str(), &st) == 0;
    if (std::strcmp(name, "-") == 0 || (exists && !S_ISREG(st.st_mode))) {
        out.file = sf_open(name, SFM_WRITE, &info);
        if (!out.file)
            fail("%s: %s", name, sf_strerror(nullptr));
        return;
    }
    // An existing file is replaced only where writing it would be allowed.
    if (exists) {
        const int fd = open(target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            fail("%s: %s", name, std::strerror(errno));
        close(fd);
    }
    out.target = target.string();
    std::string temp = temp_name(target);
    out.fd = make_temp(temp);
    if (out.fd < 0)
        fail("%s: %s", name, std::strerror(errno));
    // The permissions an existing output had, or those a new file gets.
    mode_t mode = st.st_mode & 07777;
    if (!exists) {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    if (fchmod(out.fd, mode) != 0)
        fail("%s: %s", temp.c_str(), std::strerror(errno));
    static SF_VIRTUAL_IO vio{io_length, io_seek, io_read, io_write, io_tell};
    out.file = sf_open_virtual(&vio, SFM_WRITE, &info, &out);
    if (!out.file)
        fail("%s: %s", name, sf_strerror(nullptr));
}

// Closes the output, whose last data libsndfile writes only now, and puts
// it on the disk.
void close_output(output_file& out, const char* name)
{
    const int e = sf_close(out.file);
    if (out.error)
        fail("%s: %s", name, std::strerror(out.error));
    if (e)
        fail("%s: %s", name, sf_error_number(e));
    if (out.fd >= 0 && (fsync(out.fd) != 0 || close(out.fd) != 0))
        fail("%s: %s", name, std::strerror(errno));
}

// Renames the written file over the output, and puts the rename itself on
// the disk: until the folder is synced, a crash could bring back the old
// file, or none. A folder that can be written but not read (mode -wx)
// cannot be opened to be synced; once the output is in place, that is no
// failure of the write, whose file was synced itself.
void place_output(const output_file& out, const char* name)
{
    if (out.target.empty())
        return;
    const std::filesystem::path dir = std::filesystem::path(out.target).parent_path();
    const int fd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (std::rename(temp_output.c_str(), out.target.c_str()) != 0) {
        const int err = errno;
        if (fd >= 0)
            close(fd);
        fail("%s: %s", name, std::strerror(err));
    }
    forget_temp();
    if (fd < 0)
        return;
    if (fsync(fd) != 0 && errno != EINVAL)
        std::fprintf(stderr, "kesgen: %s: written, but its folder could not be synced: %s\n", name,
                     std::strerror(errno));
    close(fd);
}

// Writes the output block by block, from the carrier or the generator,
// putting the stream's bits from frame at on. frames is the file's length,
// or -1 for as long as the stream. Returns the samples changed, and in
// end the frame where the stream ended, or frames when it filled the file.
long long write_output(const output_file& out, SNDFILE* in, generator& gen, const options& o, long long frames,
                       bit_stream& s, long long& end)
{
    end = frames;
    constexpr long long block = 4096;
    const auto channels = static_cast<std::size_t>(in ? 2 : o.channels);
    std::vector<std::int32_t> samples(static_cast<std::size_t>(block) * channels);
    const auto room = (frames >= 0 ? static_cast<std::uint64_t>(frames) : max_stream_frames) -
                      static_cast<std::uint64_t>(o.at);
    long long changed = 0;
    bool ended = false;
    for (long long done = 0; frames >= 0 ? done < frames : !ended;) {
        long long n = frames >= 0 ? std::min(block, frames - done) : block;
        if (in) {
            if (sf_readf_int(in, samples.data(), n) != n)
                fail("%s: %s", o.carrier, sf_error(in) ? sf_strerror(in) : "ended early");
        } else {
            for (long long i = 0; i < n; ++i)
                gen.next(samples.data() + static_cast<std::size_t>(i) * channels, o.channels);
        }
        for (long long i = 0; i < n; ++i) {
            if (done + i < o.at || ended)
                continue;
            const int bit = next_bit(s, room, o, frames);
            if (bit < 0) {
                ended = true;
                end = done + i;
                if (frames < 0)
                    n = i;
            } else if (channels >= 2) {
                changed += carry(samples.data() + static_cast<std::size_t>(i) * channels, bit);
            }
        }
        if (sf_writef_int(out.file, samples.data(), n) != n)
            fail("%s: %s", o.output, out.error ? std::strerror(out.error) : sf_strerror(out.file));
        done += n;
    }
    // The file is full; anything the list still holds would not fit.
    if (!ended && next_bit(s, room, o, frames) >= 0)
        too_short(s, o, frames);
    return changed;
}

// Whether a and b name one file; "-" is standard input.
bool same_file(const char* a, const char* b)
{
    struct stat sa, sb;
    const int got = std::strcmp(a, "-") == 0 ? fstat(STDIN_FILENO, &sa) : stat(a, &sa);
    return got == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// A number option's value, from low to high.
long long number(const char* option, const char* text, long long low, long long high)
{
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 0);
    if (*text == '\0' || *end != '\0' || errno != 0 || v < low || v > high)
        bad_value(option, text);
    return v;
}

signal_kind signal_named(const char* text)
{
    if (std::strcmp(text, "noise") == 0)
        return signal_kind::noise;
    if (std::strcmp(text, "tone") == 0)
        return signal_kind::tone;
    if (std::strcmp(text, "silence") != 0)
        bad_value("-s/--signal", text);
    return signal_kind::silence;
}

options parse_options(int argc, char** argv)
{
    static const option longs[] = {
        {"list", required_argument, nullptr, 'f'},   {"carrier", required_argument, nullptr, 'C'},
        {"signal", required_argument, nullptr, 's'}, {"rate", required_argument, nullptr, 'r'},
        {"length", required_argument, nullptr, 'n'}, {"at", required_argument, nullptr, 'a'},
        {"bits", required_argument, nullptr, 'b'},   {"channels", required_argument, nullptr, 'c'},
        {"help", no_argument, nullptr, 'h'},         {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    options o;
    int c;
    while ((c = getopt_long(argc, argv, "f:C:s:r:n:a:b:c:h", longs, nullptr)) != -1) {
        switch (c) {
        case 'f':
            o.list = optarg;
            break;
        case 'C':
            o.carrier = optarg;
            break;
        case 's':
            o.signal = signal_named(optarg);
            break;
        case 'r':
            o.rate = static_cast<int>(number("-r/--rate", optarg, 1, 1 << 30));
            break;
        case 'n':
            o.length = number("-n/--length", optarg, 0, 1ll << 40);
            break;
        case 'a':
            o.at = number("-a/--at", optarg, 0, 1ll << 40);
            break;
        case 'b':
            o.bits = static_cast<int>(number("-b/--bits", optarg, 16, 32));
            if (o.bits != 16 && o.bits != 24 && o.bits != 32)
                bad_value("-b/--bits", optarg);
            break;
        case 'c':
            o.channels = static_cast<int>(number("-c/--channels", optarg, 1, 256));
            break;
        case 'h':
            usage(true);
        case 'V':
            std::puts("kesgen " KESSCAN_VERSION);
            std::exit(close_stdout("kesgen"));
        default:
            usage();
        }
    }
    if (argc - optind != 1)
        usage();
    o.output = argv[optind];
    return o;
}

// What the output will be: the carrier's samples, or the generator's, in
// the format, length (-1: as long as the stream) and width the carrier or
// the options give.
struct output_plan {
    sndfile_ptr in;  // the carrier, or none
    SF_INFO info{};
    long long frames;
    int width;
};

// Everything that can be refused before the stream is read is refused
// here, before the output exists.
void plan_output(output_plan& p, const options& o, bit_stream& stream)
{
    p.frames = o.length;
    p.width = o.bits ? o.bits : 24;
    if (o.carrier) {
        SF_INFO info{};
        p.in.reset(sf_open(o.carrier, SFM_READ, &info));
        if (!p.in)
            fail("%s: %s", o.carrier, sf_strerror(nullptr));
        const int carrier_width = carrier_bits(o.carrier, info);
        p.width = o.bits ? o.bits : carrier_width;
        if (o.bits == 16)
            fail("%s: 16-bit samples cannot carry the stream", o.output);
        if (same_file(o.carrier, o.output))
            fail("%s: the output would overwrite the carrier", o.output);
        p.frames = info.frames;
        p.info.samplerate = info.samplerate;
        p.info.channels = 2;
    } else {
        p.info.samplerate = o.rate;
        p.info.channels = o.channels;
    }
    p.info.format = major_format_for(o.output) | subtype_for_bits(p.width);
    if (!sf_format_check(&p.info))
        fail("%s: this file type cannot hold %d-bit integer samples at this rate and channel count",
             o.output, p.width);
    // The stream cannot begin past the end of the file, nor past the most
    // frames kesscan can count.
    const long long frames = p.frames;
    if (static_cast<std::uint64_t>(o.at) > (frames >= 0 ? static_cast<std::uint64_t>(frames) : max_stream_frames))
        too_short(stream, o, frames);
}

}  // namespace

int main(int argc, char** argv)
{
    const options o = parse_options(argc, argv);
    bit_stream stream;
    if (o.carrier && std::strcmp(o.carrier, "-") == 0 && std::strcmp(o.list, "-") == 0)
        fail("the frame list and the carrier cannot both be standard input");
    if (!open_list(stream.list, o.list))
        fail("%s", stream.list.error.c_str());
    output_plan plan;
    plan_output(plan, o, stream);
    const long long frames = plan.frames;
    output_file out;
    remove_temp_on_signals();
    open_output(out, o.output, plan.info);
    generator gen{o.signal, plan.width, plan.info.samplerate};
    long long end;
    const long long changed = write_output(out, plan.in.get(), gen, o, frames, stream, end);
    close_output(out, o.output);
    close_list(stream.list);
    if (o.carrier)
        std::printf("%s: %lld of %lld right-channel samples changed\n", o.output, changed, frames);
    // Past the list's end the bits are the audio's own, which kesscan reads
    // as frames as it reads the list's: mostly checksum errors.
    if (frames >= 0 && end < frames && end > o.at)
        std::fprintf(stderr,
                     "kesgen: %s: the stream ends at frame %lld of %lld; kesscan decodes the rest of the file too"
                     " (end the list with \"zeros %lld\" to fill it)\n",
                     o.output, end, frames, frames - end);
    // What kesgen says goes out before the output takes its place: when it
    // cannot be said, the old output stays.
    if (!flush_stdout()) {
        remove_temp();
        return close_stdout("kesgen");
    }
    place_output(out, o.output);
    return close_stdout("kesgen");
}
