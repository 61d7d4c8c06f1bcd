// kesscan: finds the side stream carried in bit 8 of left XOR right of a
// stereo sound file, and decodes and prints its frames.
#include "bits.hpp"
#include "kescrc.hpp"
#include "ker-common.hpp"
#include "report.hpp"
#include "sfbits.hpp"

#include <getopt.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace {

// Settings from the command line.
std::int32_t packet_type = -1;  // type selected for printing; negative: every type
std::int32_t verbosity = 1;     // configured output level
std::int32_t single = 0;        // stop after the first selected frame
const report* reporter;         // an output beside the text (summary, JSON), or none
bool interactive;               // standard output is a terminal: frames show as they come

// The scan in progress.
bitreader br;              // sample reader: the parity bits, most significant first
bitreader fb;              // frame reader: one frame's bytes, least significant first
std::uint32_t sample_pos;  // sample frame of the next bit taken from br

// Positions are 32-bit and wrap after 2^32 sample frames, a little over 12
// hours at 96 kHz. The frame layer counts a frame's bytes rather than
// comparing positions, so a frame across the wrap needs no care.

// The sync pattern, bytes 00 04 8C 49 E0 AB 2C, is itself a complete frame:
// type 0, size 4, payload 8C 49 E0 AB, checksum 2C. The frame grid starts at
// its first bit.
constexpr std::uint64_t SYNC_PATTERN = 0x00048C49E0AB2C;
constexpr std::int32_t SYNC_SEARCH_LIMIT = 1024;

// Thrown by br's end-of-data operation from however deep the read that ran
// out of samples is nested; scan_file catches it.
struct end_of_samples {};

[[noreturn]] void eof_cb()
{
    throw end_of_samples{};
}

// ---------------------------------------------------------------------------
// Frame catalogue: the payload layouts of the known frame types. Fields are
// read least significant bit first; every table's first field is the size
// byte, the frame's result.

// clang-format off
constexpr bitfield frame_00[] = {
    //  size  flags      name                    values
    {   8,    BF_RET,    "size",                 nullptr },
    {  32,    BF_HEX,    "magic",                nullptr },
    {   0,    0,         nullptr,                nullptr },
};

constexpr bitfield frame_01[] = {
    {   8,    BF_RET,    "size",                 nullptr },
    {   5,    0,         "resampling_filter",    nullptr },
    {   2,    0,         "noise_shaping_filter", nullptr },
    {   2,    0,         "bitdepth",             kes_bitdepths },
    {   1,    0,         "unknown",              nullptr },
    {  10,    BF_SIGNED, "replay_gain",          nullptr },
    {   5,    BF_HEX,    "orig_rate",            ker_rates },
    {   2,    0,         "unknown",              nullptr },
    {   1,    0,         "unknown",              nullptr },
    {   1,    0,         "swizzle",              nullptr },
    {   3,    0,         "pad",                  nullptr },
    {   0,    0,         nullptr,                nullptr },
};

constexpr bitfield frame_02[] = {
    {   8,    BF_RET,    "size",                 nullptr },
    {  16,    BF_SIGNED, "gain",                 nullptr },
    {   0,    0,         nullptr,                nullptr },
};

// Only the first payload byte is described; the scanner reads the rest
// unprinted.
constexpr bitfield frame_04[] = {
    {   8,    BF_RET,    "size",                 nullptr },
    {   8,    0,         "type",                 nullptr },
    {   0,    0,         nullptr,                nullptr },
};
// clang-format on

// Indexed by the type byte; types without an entry print as "unknown type".
constexpr std::array<frame, 256> frame_types = [] {
    std::array<frame, 256> t{};
    t[0] = {"magic", frame_00, nullptr};
    t[1] = {"stream_params", frame_01, nullptr};
    t[2] = {"gain", frame_02, nullptr};
    t[4] = {"metadata", frame_04, nullptr};
    return t;
}();

// The bits a layout reads after its size byte, whatever the size byte says.
constexpr std::int32_t payload_bits(const bitfield* t)
{
    std::int32_t bits = 0;
    for (const bitfield* f = t; f && f->name; ++f)
        bits += f == t ? 0 : f->size;
    return bits;
}

// The scanner finds the checksum byte by counting whole bytes, so the
// fields after the size byte must end on a byte boundary.
constexpr bool catalogue_sound()
{
    for (const frame& f : frame_types)
        if (f.fields && !(f.fields[0].flags & BF_RET && f.fields[0].size == 8 && payload_bits(f.fields) % 8 == 0))
            return false;
    return true;
}
static_assert(catalogue_sound());

// A value holds 1 to 64 bits; no layout here has a block or a width taken
// from the stream.
constexpr bool widths_sound()
{
    for (const frame& f : frame_types)
        for (const bitfield* t = f.fields; t && t->name; ++t)
            if (t->size < 1 || t->size > 64 || t->flags & (BF_DATA | BF_VARSIZE))
                return false;
    return true;
}
static_assert(widths_sound());

// Value names are looked up by the raw value: a table must have an entry
// for every value its field can take.
static_assert(frame_01[3].values == kes_bitdepths && std::size(kes_bitdepths) == 1u << frame_01[3].size);
static_assert(frame_01[6].values == ker_rates && std::size(ker_rates) == 1u << frame_01[6].size);

// ---------------------------------------------------------------------------
// Frame scanner
//
// Bytes are 8 parity bits, the first the most significant, on a grid that
// starts at the sync pattern's first bit. A frame is type, size, size bytes
// of payload and a checksum byte over all before it.

// The frame grid is walked a whole frame at a time: the type and size bytes
// tell how many bytes the frame has, they are taken straight from br's
// window and checksummed on the way, and what the printer reads of them goes
// into fb. A frame no output shows never reaches fb or the printer.

// br's observer, while the sync search steps over bits one at a time.
void get_bits_cb(std::uint64_t, std::int32_t n)
{
    sample_pos += static_cast<std::uint32_t>(n);
}

// The payload bytes each layout reads, whatever the size byte says; a type
// without a layout reads none, and its size byte counts for nothing.
constexpr std::array<std::uint32_t, 256> layout_bytes = [] {
    std::array<std::uint32_t, 256> n{};
    for (std::size_t t = 0; t < n.size(); ++t)
        n[t] = static_cast<std::uint32_t>(payload_bits(frame_types[t].fields)) / 8;
    return n;
}();

// A frame's length follows from its layout, so no type may have a decoder
// of its own instead; and what the printer reads of a frame (type, size,
// the layout's bytes, checksum) must fit fb's window of 128 bytes.
constexpr bool frames_fit()
{
    for (std::size_t t = 0; t < frame_types.size(); ++t)
        if (frame_types[t].handler || layout_bytes[t] > 125)
            return false;
    return true;
}
static_assert(frames_fit());

// The next byte of the grid, most significant bit first. At the end of the
// samples br's end-of-data operation throws.
std::uint32_t take_byte()
{
    const std::uint32_t b = peek_bits(br, 8, 0);
    br.bitpos += 8;
    sample_pos += 8;
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
frame_bytes load_frame(bitreader* r, std::uint32_t type)
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
        const std::uint32_t size = take_byte();
        keep(size);
        reg = kes_crc(reg, static_cast<std::uint8_t>(size));
        const std::uint32_t printed = layout_bytes[type];
        const std::uint32_t payload = frame_types[type].fields ? std::max(size, printed) : 0;
        for (std::uint32_t i = 0; i < payload; ++i) {
            const std::uint32_t b = take_byte();
            if (i < printed)
                keep(b);
            reg = kes_crc(reg, static_cast<std::uint8_t>(b));
        }
        f.crc = take_byte();
        keep(f.crc);
        f.whole = true;
    } catch (const end_of_samples&) {
    }
    f.sum = kes_crc_end(reg);
    return f;
}

// Prints a frame from r, loaded by load_frame, as the text shows it: header,
// fields (seen by fields, if given) and the checksum byte; a type without a
// layout has its size byte passed over. A frame cut short prints as far as
// its bytes go, and then r's end-of-data operation ends the scan.
void print_frame_bytes(bitreader& r, std::uint32_t type, std::uint32_t spos, field_observer fields)
{
    get_ubits(r, 8);
    print_observer(fields);
    print_frame(r, frame_types[type], static_cast<std::int32_t>(type), spos);
    print_observer(nullptr);
    const std::uint32_t crc_at = 8 * (2 + layout_bytes[type]);
    if (r.bitpos < crc_at)
        get_ubits(r, static_cast<std::int32_t>(crc_at - r.bitpos));
    print_field(r, 8, BF_HEX, "crc", nullptr);
}

// The frame's lines are still held by the printer, so they go first.
void print_checksum_error()
{
    print_flush();
    std::printf("%08x: checksum error\n", sample_pos);
}

std::uint32_t print_kes_frame(bitreader& r)
{
    const std::uint32_t spos = sample_pos;
    const std::uint32_t type = take_byte();
    const bool selected = packet_type < 0 || type == static_cast<std::uint32_t>(packet_type);
    const bool shown = reporter ? reporter->frame_begin(spos, type, frame_types[type], selected) : selected;
    const frame_bytes f = load_frame(shown ? &r : nullptr, type);
    // A frame the filter passes over is not printed at all, rather than
    // printed at level 0: only its checksum is checked.
    if (shown) {
        r.eof_cb = f.whole ? nullptr : eof_cb;
        print_frame_bytes(r, type, spos, reporter ? reporter->field : nullptr);
    } else if (!f.whole) {
        throw end_of_samples{};
    }
    if (reporter)
        reporter->frame_end(f.crc, f.sum == f.crc, sample_pos);
    else if (f.sum != f.crc)
        print_checksum_error();
    return type;
}

// Runs until single mode or the output beside the text is satisfied, or
// standard output has failed and nothing more can be printed; otherwise
// only the end of the samples ends it.
void scan_kes(bitreader& r)
{
    for (;;) {
        const std::uint32_t type = print_kes_frame(r);
        if (interactive)
            print_flush();
        if (single && (packet_type < 0 || type == static_cast<std::uint32_t>(packet_type)))
            return;
        if ((reporter && reporter->satisfied()) || stdout_failed())
            return;
    }
}

// ---------------------------------------------------------------------------
// File driver

// Problems with a file go to standard error; what is already decoded is
// flushed first so that the two streams stay in order when they share a file.
__attribute__((format(printf, 1, 2))) void complain(const char* format, ...)
{
    print_flush();
    flush_stdout();
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stderr, format, ap);
    va_end(ap);
}

// Puts file at sample frame start. A pipe cannot seek, so there the frames
// before start are read and dropped; running out of them is the end of the
// samples, not an error. libsndfile refuses a negative start and one past
// the last frame, and would leave the file at frame 0.
enum class seek_result { ok, outside, ended };

seek_result seek_start(SNDFILE* file, const SF_INFO& info, std::int32_t start)
{
    if (start == 0)
        return seek_result::ok;
    if (start < 0)
        return seek_result::outside;
    if (!info.seekable)
        return skip_frames(file, start) == start ? seek_result::ok : seek_result::ended;
    return sf_seek(file, start, SEEK_SET) == start ? seek_result::ok : seek_result::outside;
}

// Wires the readers over file, already at start, searches for the sync
// pattern and decodes frames until single mode stops or the samples end.
// Whether the sync pattern was found.
bool scan_samples(SNDFILE* file, std::int32_t start)
{
    sample_pos = static_cast<std::uint32_t>(start);
    bool found = false;
    try {
        init_bits_sf(br, file, 0);
        br.msb = 1;
        br.eof_cb = eof_cb;
        br.get_bits_cb = get_bits_cb;
        init_bits(fb);
        found = find_sync(br, SYNC_PATTERN, 56, SYNC_SEARCH_LIMIT) == 0;
        br.get_bits_cb = nullptr;
        if (found) {
            if (reporter)
                reporter->sync_found(sample_pos);
            scan_kes(fb);
        }
    } catch (const end_of_samples&) {
        print_observer(nullptr);
    }
    return found;
}

// Scans one file; its status goes to the output beside the text, if any.
file_status scan_status(const char* name, std::int32_t start)
{
    SF_INFO info{};
    const sndfile_ptr file{sf_open(name, SFM_READ, &info)};
    if (!file) {
        complain("%s: %s\n", name, sf_strerror(nullptr));
        return file_status::error;
    }
    if (info.channels != 2) {
        complain("Only 2 channels supported\n");
        return file_status::error;
    }
    print_verbosity(verbosity);
    const seek_result seeked = seek_start(file.get(), info, start);
    if (seeked == seek_result::outside) {
        complain("%s: start position %d is outside the file\n", name, start);
        return file_status::error;
    }
    const bool found = seeked == seek_result::ok && scan_samples(file.get(), start);
    // libsndfile ends a damaged or cut file as if it were the end of the
    // samples; only its error state tells the two apart.
    if (sf_error(file.get()) != SF_ERR_NO_ERROR) {
        complain("%s: %s\n", name, sf_strerror(file.get()));
        return file_status::damaged;
    }
    return found ? file_status::stream : file_status::none;
}

std::int32_t scan_file(const char* name, std::int32_t start)
{
    if (reporter)
        reporter->file_begin(name);
    const file_status status = scan_status(name, start);
    print_flush();
    if (reporter)
        reporter->file_end(status);
    return status == file_status::error ? -1 : 0;
}

// Options take numbers in C notation (0x.. hexadecimal, 0.. octal), cut to
// 32 bits without further checks.
std::int32_t option_number(const char* text)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(std::strtoll(text, nullptr, 0)));
}

constexpr const char* usage_text =
    "usage: kesscan [-1] [-p type] [-s start] [-v] [--summary] [--json] file...\n"
    "  -1         stop after the first selected frame (type 1 unless -p came first)\n"
    "  -p type    print only frames of this type; checksum errors always print\n"
    "  -s start   begin at this sample frame\n"
    "  -v         more detail\n"
    "  --summary  one line per file: status, sync, source, frames, errors\n"
    "  --json     JSON Lines: the frames, or with --summary the summary\n"
    "  --help     this text\n"
    "  --version  the version\n";

}  // namespace

int main(int argc, char** argv)
{
    // Long options only add to the short ones, which getopt takes exactly as
    // POSIX getopt does, diagnostics and status included.
    enum { opt_summary = 256, opt_json, opt_help, opt_version };
    static const option longs[] = {
        {"summary", no_argument, nullptr, opt_summary},
        {"json", no_argument, nullptr, opt_json},
        {"help", no_argument, nullptr, opt_help},
        {"version", no_argument, nullptr, opt_version},
        {nullptr, 0, nullptr, 0},
    };
    std::int32_t start = 0;
    bool summary = false, json = false;
    int c;
    while ((c = getopt_long(argc, argv, "1p:s:v", longs, nullptr)) != -1) {
        switch (c) {
        case '1':
            // A second -1 moves the start on by one frame: the way to look
            // past a frame that a first run stopped at.
            if (single)
                start = static_cast<std::int32_t>(static_cast<std::uint32_t>(start) + 1);
            single = 1;
            if (packet_type < 0)
                packet_type = 1;
            break;
        case 'p':
            packet_type = option_number(optarg);
            break;
        case 's':
            start = option_number(optarg);
            break;
        case 'v':
            verbosity += 1;
            break;
        case opt_summary:
            summary = true;
            break;
        case opt_json:
            json = true;
            break;
        case opt_help:
            std::fputs(usage_text, stdout);
            return close_stdout("kesscan");
        case opt_version:
            std::puts("kesscan " KESSCAN_VERSION);
            return close_stdout("kesscan");
        default:
            return 1;
        }
    }
    if (optind >= argc)
        return 1;
    // The summary counts every frame whatever -p says, and its -1 waits for
    // a sound stream_params frame rather than any type-1 frame.
    if (summary) {
        reporter = summary_report(json, single);
        single = 0;
    } else if (json) {
        reporter = json_report(verbosity);
    }
    if (reporter)
        verbosity = 0;
    // Decoded output can run to millions of lines; into a file or a pipe
    // it goes in large blocks. On a terminal each frame shows as it is
    // decoded.
    static char out_buffer[1 << 16];
    interactive = isatty(STDOUT_FILENO);
    if (!interactive)
        std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
    const bool several = argc - optind > 1 && !reporter;
    // Output that cannot be written ends the work: nothing more can be
    // printed, and the status must not say success.
    for (int i = optind; i < argc && !stdout_failed(); ++i) {
        if (several)
            std::puts(argv[i]);
        scan_file(argv[i], start);
    }
    return close_stdout("kesscan");
}
