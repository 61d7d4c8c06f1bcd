#include "scan.hpp"

#include "bits.hpp"
#include "catalogue.hpp"
#include "flacbits.hpp"
#include "kescrc.hpp"
#include "print.hpp"
#include "sfbits.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace {

// The sync pattern, bytes 00 04 8C 49 E0 AB 2C, is itself a complete frame:
// type 0, size 4, payload 8C 49 E0 AB, checksum 2C. The frame grid starts at
// its first bit.
constexpr std::uint64_t SYNC_PATTERN = 0x00048C49E0AB2C;
constexpr std::int32_t SYNC_SEARCH_LIMIT = 1024;

// Positions are 32-bit and wrap after 2^32 sample frames, a little over 12
// hours at 96 kHz. The frame layer counts a frame's bytes rather than
// comparing positions, so a frame across the wrap needs no care.

// Everything one file's scan holds, owned by scan_file.
struct scan {
    const scan_settings* settings;
    const char* name;
    output_sink out;
    bitreader br;              // sample reader: the parity bits, most significant first
    bitreader fb;              // frame reader: one frame's bytes, least significant first
    std::uint32_t sample_pos;  // sample frame of the next bit taken from br
    std::uint64_t errors;      // checksum errors
    printer pr;
    const report* reporter;    // an output beside the text, or none
    void* report_self;         // its state: sum or js
    summary_state sum;
    json_state js;
    sample_source src;
};

// Thrown by a reader's end-of-data operation from however deep the read
// that ran out of samples is nested; scan_samples catches it.
struct end_of_samples {};

[[noreturn]] void eof_cb(void*)
{
    throw end_of_samples{};
}

// Problems with a file go to standard error as "NAME: TEXT"; what is
// already decoded goes first, so that the two streams stay in order when
// they share a file.
void complain(scan& s, const char* text)
{
    print_flush(s.pr);
    std::string line = s.name;
    line.append(": ").append(text).append("\n");
    s.out.write(s.out.opaque, out_messages, line.data(), line.size());
}

// ---------------------------------------------------------------------------
// Frame scanner
//
// Bytes are 8 parity bits, the first the most significant, on a grid that
// starts at the sync pattern's first bit. A frame is type, size, size bytes
// of payload and a checksum byte over all before it.
//
// The frame grid is walked a whole frame at a time: the type and size bytes
// tell how many bytes the frame has, they are taken straight from br's
// window and checksummed on the way, and what the printer reads of them goes
// into fb. A frame no output shows never reaches fb or the printer.

// br's observer, while the sync search steps over bits one at a time.
void get_bits_cb(void* opaque, std::uint64_t, std::int32_t n)
{
    static_cast<scan*>(opaque)->sample_pos += static_cast<std::uint32_t>(n);
}

// The next byte of the grid, most significant bit first. At the end of the
// samples br's end-of-data operation throws.
std::uint32_t take_byte(scan& s)
{
    const std::uint32_t b = peek_bits(s.br, 8, 0);
    s.br.bitpos += 8;
    s.sample_pos += 8;
    return b;
}

struct frame_bytes {
    std::uint32_t sum;  // the checksum of all before the checksum byte
    std::uint32_t crc;  // the checksum byte
    bool whole;         // false: the samples ended inside the frame
};

// Takes the rest of the frame whose type byte came: size, the payload its
// layout reads or its size gives, whichever is longer, and the checksum
// byte. For a frame to be shown, r (emptied first) gets what the printer
// reads: the type and size bytes, the layout's payload bytes and the
// checksum byte, which the rest of the payload, read unprinted, would
// separate. When the samples end inside the frame, r holds what came.
frame_bytes load_frame(scan& s, bitreader* r, std::uint32_t type)
{
    frame_bytes f{0, 0, false};
    const auto keep = [r](std::uint32_t b) {
        if (r)
            put_byte(*r, static_cast<std::int32_t>(b));
    };
    if (r)
        r->bitpos = r->bitend = 0;
    keep(type);
    std::uint32_t reg = kes_crc(0, static_cast<std::uint8_t>(type));
    try {
        const std::uint32_t size = take_byte(s);
        keep(size);
        reg = kes_crc(reg, static_cast<std::uint8_t>(size));
        const std::uint32_t printed = layout_bytes[type];
        const std::uint32_t payload = frame_types[type].fields ? std::max(size, printed) : 0;
        for (std::uint32_t i = 0; i < payload; ++i) {
            const std::uint32_t b = take_byte(s);
            if (i < printed)
                keep(b);
            reg = kes_crc(reg, static_cast<std::uint8_t>(b));
        }
        f.crc = take_byte(s);
        keep(f.crc);
        f.whole = true;
    } catch (const end_of_samples&) {
    }
    f.sum = kes_crc_end(reg);
    return f;
}

// Prints a frame from fb, loaded by load_frame, as the text shows it:
// header, fields (seen by the output beside the text, if any) and the
// checksum byte; a type without a layout has its size byte passed over. A
// frame cut short prints as far as its bytes go, and then fb's end-of-data
// operation ends the scan.
void print_frame_bytes(scan& s, std::uint32_t type, std::uint32_t spos)
{
    bitreader& r = s.fb;
    get_ubits(r, 8);
    if (s.reporter)
        print_observer(s.pr, s.reporter->field, s.report_self);
    print_frame(s.pr, r, frame_types[type], static_cast<std::int32_t>(type), spos);
    print_observer(s.pr, nullptr, nullptr);
    const std::uint32_t crc_at = 8 * (2 + layout_bytes[type]);
    if (r.bitpos < crc_at)
        get_ubits(r, static_cast<std::int32_t>(crc_at - r.bitpos));
    print_field(s.pr, r, 8, BF_HEX, "crc", nullptr);
}

// "%08x: checksum error\n", the position just after the checksum byte.
void print_checksum_error(scan& s)
{
    char line[32];
    const int n = std::snprintf(line, sizeof line, "%08x: checksum error\n", s.sample_pos);
    print_text(s.pr, line, static_cast<std::size_t>(n));
}

bool selected(const scan_settings& settings, std::uint32_t type)
{
    return settings.packet_type < 0 || type == static_cast<std::uint32_t>(settings.packet_type);
}

std::uint32_t print_kes_frame(scan& s)
{
    const std::uint32_t spos = s.sample_pos;
    const std::uint32_t type = take_byte(s);
    const bool chosen = selected(*s.settings, type);
    const bool shown = s.reporter ? s.reporter->frame_begin(s.report_self, spos, type, frame_types[type], chosen)
                                  : chosen;
    const frame_bytes f = load_frame(s, shown ? &s.fb : nullptr, type);
    // A frame the filter passes over is not printed at all, rather than
    // printed at level 0: only its checksum is checked.
    if (shown) {
        s.fb.eof_cb = f.whole ? nullptr : eof_cb;
        print_frame_bytes(s, type, spos);
    } else if (!f.whole) {
        throw end_of_samples{};
    }
    s.errors += f.sum != f.crc;
    if (s.reporter)
        s.reporter->frame_end(s.report_self, f.crc, f.sum == f.crc, s.sample_pos);
    else if (f.sum != f.crc)
        print_checksum_error(s);
    return type;
}

// Runs until single mode or the output beside the text is satisfied, or
// standard output has failed and nothing more can be printed; otherwise
// only the end of the samples ends it.
void scan_kes(scan& s)
{
    const scan_settings& settings = *s.settings;
    const bool single = settings.single && !settings.summary;
    for (;;) {
        const std::uint32_t type = print_kes_frame(s);
        if (settings.interactive)
            print_flush(s.pr);
        if (single && selected(settings, type))
            return;
        if ((s.reporter && s.reporter->satisfied(s.report_self)) || stdout_failed())
            return;
    }
}

// ---------------------------------------------------------------------------
// File driver

// A descriptor the scan opened, closed with it; standard input stays open.
struct input_fd {
    int fd = -1;
    bool owned = false;
    ~input_fd()
    {
        if (owned)
            close(fd);
    }
};

// Puts file at sample frame start. A pipe cannot seek, so there the frames
// before start are read and dropped. libsndfile refuses a negative start
// and one past the last frame, and would leave the file at frame 0; a start
// at the last frame gives an empty stream.
bool seek_start(scan& s, const sndfile_api& sf, SNDFILE* file, const SF_INFO& info)
{
    const std::int32_t start = s.settings->start;
    if (start == 0)
        return true;
    if (start < 0)
        return false;
    if (!info.seekable)
        return skip_frames(s.src, file, start) == start;
    return sf.seek(file, start, SEEK_SET) == start;
}

// Wires the readers with wire, which sets br up over the input, already at
// the start; searches for the sync pattern and decodes frames until single
// mode stops or the samples end. Whether the sync pattern was found.
template <typename Wire>
bool scan_samples(scan& s, Wire wire)
{
    s.sample_pos = static_cast<std::uint32_t>(s.settings->start);
    bool found = false;
    try {
        wire();
        s.br.msb = 1;
        s.br.opaque = &s;
        s.br.eof_cb = eof_cb;
        s.br.get_bits_cb = get_bits_cb;
        init_bits(s.fb);
        found = find_sync(s.br, SYNC_PATTERN, 56, SYNC_SEARCH_LIMIT) == 0;
        s.br.get_bits_cb = nullptr;
        if (found) {
            if (s.reporter)
                s.reporter->sync_found(s.report_self, s.sample_pos);
            scan_kes(s);
        }
    } catch (const end_of_samples&) {
        print_observer(s.pr, nullptr, nullptr);
    }
    return found;
}

file_status start_outside(scan& s)
{
    char text[64];
    std::snprintf(text, sizeof text, "start position %d is outside the file", s.settings->start);
    complain(s, text);
    return file_status::error;
}

// Any format libsndfile reads, from fd where it stands.
file_status scan_sndfile(scan& s, int fd, std::atomic<std::uint64_t>* read)
{
    const char* why = nullptr;
    const sndfile_api* sf = sndfile(&why);
    if (!sf) {
        complain(s, why);
        return file_status::error;
    }
    SF_INFO info{};
    std::string refused;
    const sndfile_ptr file{sndfile_open(*sf, fd, info, refused)};
    if (!file) {
        complain(s, refused.c_str());
        return file_status::error;
    }
    if (info.channels != 2) {
        complain(s, "Only 2 channels supported");
        return file_status::error;
    }
    print_verbosity(s.pr, s.reporter ? 0 : s.settings->verbosity);
    const bool placed = seek_start(s, *sf, file.get(), info);
    const bool found = placed && scan_samples(s, [&] {
        init_bits_sf(s.br, s.src, file.get(), 0);
        struct stat st;
        if (read && info.frames > 0 && fstat(fd, &st) == 0) {
            s.src.bytes_read = read;
            s.src.bytes_per_frame = static_cast<double>(st.st_size) / static_cast<double>(info.frames);
        }
    });
    // libsndfile ends a damaged or cut file as if it were the end of the
    // samples; only its error state tells the two apart. A pipe may end so
    // before the start; a refused seek leaves an error state of its own.
    if ((placed || !info.seekable) && sf->error(file.get()) != SF_ERR_NO_ERROR) {
        complain(s, sf->strerror(file.get()));
        return file_status::damaged;
    }
    if (!placed)
        return start_outside(s);
    return found ? file_status::stream : file_status::none;
}

// Native FLAC, its metadata read, started when that went well. A damaged
// stream ends at the decoder's first error, which is told in libsndfile's
// words. A file whose metadata is broken goes to libsndfile, which tells
// what is wrong; from a pipe that cannot be, and broken metadata is told as
// libsndfile tells it of a file: no stream information is a format it does
// not know, anything else an error of the decoder, but for an empty stream.
file_status scan_flac(scan& s, flac_input& flac, bool started)
{
    if (!flac.have_info) {
        complain(s, "File contains data in an unimplemented format.");
        return file_status::error;
    }
    if (!started && (flac.error >= 0 || flac.total)) {
        complain(s, "Error : unknown error in flac decoder.");
        return file_status::error;
    }
    if (flac.channels != 2) {
        complain(s, "Only 2 channels supported");
        return file_status::error;
    }
    print_verbosity(s.pr, s.reporter ? 0 : s.settings->verbosity);
    const bool placed = s.settings->start >= 0 && flac_seek(flac, static_cast<std::uint64_t>(s.settings->start));
    const bool found = placed && scan_samples(s, [&] { init_bits_flac(s.br, s.src, flac, 0); });
    if (const char* text = flac_error_text(flac); text && (placed || !flac.seekable)) {
        complain(s, text);
        return file_status::damaged;
    }
    if (!placed)
        return start_outside(s);
    return found ? file_status::stream : file_status::none;
}

// Reads n bytes at offset, or as many as there are.
std::size_t read_at(int fd, unsigned char* buf, std::size_t n, off_t offset)
{
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = pread(fd, buf + got, n - got, offset + static_cast<off_t>(got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += static_cast<std::size_t>(r);
    }
    return got;
}

// Reads n bytes a pipe certainly holds.
void drain(int fd, unsigned char* buf, std::size_t n)
{
    for (std::size_t got = 0; got < n;) {
        const ssize_t r = read(fd, buf + got, n - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += static_cast<std::size_t>(r);
    }
}

// The first n bytes in a pipe, copied with tee(2), which leaves them for
// the reader that comes after. A writer may be slow to give n bytes: the
// copy is taken again until there are, or until the writer has gone.
std::size_t peek_pipe(int fd, unsigned char* buf, std::size_t n)
{
    int copy[2];
    if (pipe2(copy, O_CLOEXEC) != 0)
        return 0;
    if (n > 65536) {
        fcntl(fd, F_SETPIPE_SZ, static_cast<int>(n));
        fcntl(copy[1], F_SETPIPE_SZ, static_cast<int>(n));
    }
    std::size_t got = 0;
    for (bool last = false;;) {
        const ssize_t t = tee(fd, copy[1], n, 0);
        if (t < 0 && errno == EINTR)
            continue;
        if (t <= 0)
            break;  // the end of the input, or not a pipe
        got = static_cast<std::size_t>(t);
        drain(copy[0], buf, got);
        if (got >= n || last)
            break;
        pollfd p{fd, POLLIN, 0};
        last = poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
        if (!last)
            usleep(1000);
    }
    close(copy[0]);
    close(copy[1]);
    return got;
}

// The first n bytes of the input, left where they are for the decoder.
std::size_t peek_input(int fd, bool seekable, unsigned char* buf, std::size_t n)
{
    return seekable ? read_at(fd, buf, n, lseek(fd, 0, SEEK_CUR)) : peek_pipe(fd, buf, n);
}

// Whether the input is native FLAC, from its first bytes, and those of an
// ID3v2 tag before them; a tag too large to look past is taken for none.
bool flac_input_at(int fd, bool seekable)
{
    constexpr std::size_t most = std::size_t{1} << 20;
    std::vector<unsigned char> head(12);
    std::size_t need = 0;
    std::size_t got = peek_input(fd, seekable, head.data(), head.size());
    while (!is_flac(head.data(), got, need)) {
        if (need <= head.size() || need > most)
            return false;
        head.resize(need);
        got = peek_input(fd, seekable, head.data(), head.size());
    }
    return true;
}

// libsndfile's words for a file the system would not open.
std::string open_failure(int err)
{
    return "System error : " + std::generic_category().message(err) + ".";
}

file_status scan_status(scan& s, std::atomic<std::uint64_t>* read)
{
    // The file is opened here and handed to the decoder: libsndfile would
    // refuse a name of 1024 bytes or more that the system opens.
    input_fd in;
    in.owned = std::strcmp(s.name, "-") != 0;
    in.fd = in.owned ? open(s.name, O_RDONLY | O_CLOEXEC | O_NOCTTY) : STDIN_FILENO;
    if (in.fd < 0) {
        in.owned = false;
        complain(s, open_failure(errno).c_str());
        return file_status::error;
    }
    struct stat st;
    const bool known = fstat(in.fd, &st) == 0;
    if (known && S_ISDIR(st.st_mode)) {
        complain(s, "is a folder; --recursive walks it");
        return file_status::error;
    }
    // Native FLAC goes to libFLAC, which reads it faster and from a pipe
    // too. A file whose FLAC stream it cannot start on goes to libsndfile
    // as every other format does, which tells what is wrong with it.
    const bool seekable = known && S_ISREG(st.st_mode);
    if (flac_input_at(in.fd, seekable)) {
        flac_input flac;
        const bool started = open_flac(flac, in.fd, seekable, read);
        if (started || !seekable)
            return scan_flac(s, flac, started);
        lseek(in.fd, flac.base, SEEK_SET);
    }
    return scan_sndfile(s, in.fd, read);
}

}  // namespace

scan_result scan_file(const scan_settings& settings, const char* name, output_sink out,
                      std::atomic<std::uint64_t>* read)
{
    // Not zeroed as a whole: the blocks of text and samples are large and
    // written before they are read, and a quick survey opens many files.
    const std::unique_ptr<scan> s{new scan};
    s->settings = &settings;
    s->name = name;
    s->out = out;
    s->sample_pos = 0;
    s->errors = 0;
    s->reporter = nullptr;
    s->report_self = nullptr;
    init_bits(s->br);
    init_bits(s->fb);
    init_printer(s->pr, out);
    // The summary counts every frame whatever -p says, and its -1 waits for
    // a sound stream_params frame rather than any type-1 frame.
    if (settings.summary) {
        init_summary(s->sum, s->pr, settings.json, settings.single);
        s->reporter = &summary_report;
        s->report_self = &s->sum;
    } else if (settings.json) {
        init_json(s->js, s->pr, settings.verbosity);
        s->reporter = &json_report;
        s->report_self = &s->js;
    }
    if (settings.show_name) {
        print_text(s->pr, name, std::strlen(name));
        print_text(s->pr, "\n", 1);
    }
    if (s->reporter)
        s->reporter->file_begin(s->report_self, name);
    const file_status status = scan_status(*s, read);
    if (s->reporter)
        s->reporter->file_end(s->report_self, status);
    print_flush(s->pr);
    return {status, s->errors};
}
