// SPDX-License-Identifier: MIT
#include "scan.hpp"

#include "bits.hpp"
#include "catalogue.hpp"
#include "flacbits.hpp"
#include "input.hpp"
#include "kescrc.hpp"
#include "print.hpp"
#include "sfbits.hpp"
#include "split.hpp"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

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
    scan_result result;        // what the scan comes to, as it goes
    bitreader br;              // sample reader: the parity bits, most significant first
    bitreader fb;              // frame reader: one frame's bytes, least significant first
    std::uint32_t sample_pos;  // sample frame of the next bit taken from br
    printer pr;
    const report* reporter;    // the output the settings ask for
    void* report_self;         // its state: text, sum or js
    text_state text;
    summary_state sum;
    json_state js;
    sample_source src;
    sndfile_block block;       // the libsndfile source's
};

// Thrown by a reader's end-of-data operation from however deep the read
// that ran out of samples is nested; scan_samples catches it.
struct end_of_samples {};

[[noreturn]] void eof_cb(void*)
{
    throw end_of_samples{};
}

// What is wrong with a file, told as its outcome at the end of its scan.
void complain(scan& s, const char* text)
{
    s.result.reason = text;
}

// What a FLAC stream read whole can be found to be.
constexpr const char* md5_mismatch = "the decoded audio does not match the stream's MD5 signature";
constexpr const char* past_length = "the stream goes on past the length its information gives";

// Only a stereo file has a side stream.
bool stereo(scan& s, std::uint32_t channels)
{
    if (channels != 2)
        complain(s, "Only 2 channels supported");
    return channels == 2;
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
// header, fields (seen by the output, if it asks) and the checksum byte; a
// type without a layout has its size byte passed over. A frame cut short
// prints as far as its bytes go, and then fb's end-of-data operation ends
// the scan.
void print_frame_bytes(scan& s, std::uint32_t type, std::uint32_t spos)
{
    bitreader& r = s.fb;
    get_ubits(r, 8);
    print_observer(s.pr, s.reporter->field, s.report_self);
    print_frame(s.pr, r, frame_types[type], static_cast<std::int32_t>(type), spos);
    print_observer(s.pr, nullptr, nullptr);
    const std::uint32_t crc_at = 8 * (2 + layout_bytes[type]);
    if (r.bitpos < crc_at)
        get_ubits(r, static_cast<std::int32_t>(crc_at - r.bitpos));
    print_field(s.pr, r, 8, BF_HEX, "crc", nullptr);
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
    const bool shown = s.reporter->frame_begin(s.report_self, spos, type, frame_types[type], chosen);
    const frame_bytes f = load_frame(s, shown ? &s.fb : nullptr, type);
    // A frame the filter passes over is not printed at all, rather than
    // printed at level 0: only its checksum is checked.
    if (shown) {
        s.fb.eof_cb = f.whole ? nullptr : eof_cb;
        print_frame_bytes(s, type, spos);
    } else if (!f.whole) {
        throw end_of_samples{};
    }
    s.result.facts.errors += f.sum != f.crc;
    ++s.result.facts.frames;
    s.reporter->frame_end(s.report_self, f.crc, f.sum == f.crc, s.sample_pos);
    return type;
}

// Runs until single mode or the output is satisfied, or standard output
// has failed and nothing more can be printed; otherwise only the end of
// the samples ends it.
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
        if (s.reporter->satisfied(s.report_self) || stdout_failed())
            return;
    }
}

// ---------------------------------------------------------------------------
// File driver

// How the samples of a file ended, as its source tells it. The outcome of
// every scan is decided from this, whatever read the file.
struct samples_end {
    bool placed = false;         // the start was reached
    bool found = false;          // the sync pattern was found
    bool ran_out = false;        // the samples ended before the scan did
    std::uint64_t end = 0;       // the frame after the last one there was, once
                                 // ran out or not placed
    std::uint64_t promised = 0;  // the frames the input says it holds; 0: it
                                 // does not say
    std::string error;           // what the decoder said went wrong
    const char* cut = nullptr;   // what to say of an input shorter than promised;
                                 // nullptr: say where its samples ended
    std::uint32_t searched = 0;  // the frames the sync pattern was looked for at
    char narrow[24] = "";        // what the samples are when they cannot carry
                                 // the stream ("16-bit"); empty: they can
};

// Wires the readers with wire, which sets br up over the input, already at
// the start; searches for the sync pattern and decodes frames until single
// mode stops or the samples end. Tells e whether the sync pattern was found,
// where it was looked for, and whether the samples ended.
template <typename Wire>
void scan_samples(scan& s, samples_end& e, Wire wire)
{
    const auto start = static_cast<std::uint32_t>(s.settings->start);
    s.sample_pos = start;
    e.found = false;
    try {
        wire();
        s.br.msb = 1;
        s.br.opaque = &s;
        s.br.eof_cb = eof_cb;
        s.br.get_bits_cb = get_bits_cb;
        init_bits(s.fb);
        e.found = find_sync(s.br, SYNC_PATTERN, 56, SYNC_SEARCH_LIMIT) == 0;
        s.br.get_bits_cb = nullptr;
        if (e.found) {
            s.result.facts.synced = true;
            s.result.facts.sync = s.sample_pos;
            scan_kes(s);
        }
    } catch (const end_of_samples&) {
        print_observer(s.pr, nullptr, nullptr);
        e.ran_out = true;
    }
    // Each bit the search stepped over is a frame where the pattern was
    // not.
    if (!e.found)
        e.searched = s.sample_pos - start;
}

// The samples ended before the input's promise: the input was cut short.
// A start that could not be reached, within the promise, is never outside
// the input; at its very end a whole input has an empty stream.
bool short_of_promise(const scan& s, const samples_end& e)
{
    if (!e.promised)
        return false;
    if (!e.placed)
        return s.settings->start >= 0 && static_cast<std::uint64_t>(s.settings->start) <= e.promised;
    return e.ran_out && e.end < e.promised;
}

file_status outcome(scan& s, const samples_end& e)
{
    std::string why = e.error;
    if (why.empty() && short_of_promise(s, e)) {
        if (e.cut) {
            why = e.cut;
        } else {
            char text[96];
            std::snprintf(text, sizeof text, "the samples end at frame %llu, short of the length the header gives",
                          static_cast<unsigned long long>(e.end));
            why = text;
        }
    }
    if (!why.empty()) {
        complain(s, why.c_str());
        return file_status::damaged;
    }
    if (!e.placed) {
        char text[64];
        std::snprintf(text, sizeof text, "start position %d is outside the file", s.settings->start);
        complain(s, text);
        return file_status::error;
    }
    if (e.found)
        return file_status::stream;
    char text[96];
    if (e.narrow[0])
        std::snprintf(text, sizeof text, "%s samples cannot carry the stream", e.narrow);
    else
        std::snprintf(text, sizeof text, "no sync pattern in the %u frames searched from frame %d", e.searched,
                      s.settings->start);
    complain(s, text);
    return file_status::none;
}

// Puts file at sample frame start. A pipe cannot seek, so there the frames
// before start are read and dropped; end is then where they ended, if they
// did. libsndfile refuses a start past the last frame, and leaves the file
// at frame 0; a start at the last frame gives an empty stream.
bool seek_start(scan& s, SNDFILE* file, const SF_INFO& info, std::uint64_t& end)
{
    const std::int32_t start = s.settings->start;
    end = static_cast<std::uint64_t>(info.frames);
    if (start == 0)
        return true;
    if (start < 0)
        return false;
    if (!info.seekable) {
        end = static_cast<std::uint64_t>(skip_frames(s.block, file, start));
        return end == static_cast<std::uint64_t>(start);
    }
    if (static_cast<std::uint64_t>(start) > end || sf_seek(file, start, SEEK_SET) != start)
        return false;
    s.block.left -= std::min<std::uint64_t>(s.block.left, static_cast<std::uint64_t>(start));
    return true;
}

// Bounds raw samples to those of the audio: to the length the header
// gives, or where it leaves the length open, to the end but for a trailer,
// which a pipe holds back until its end. A file's samples are found where
// they begin.
void place_raw(scan& s, SNDFILE* file, int fd, bool seekable, const sound_layout& layout, SF_INFO& info)
{
    s.block.left = layout.open ? ~std::uint64_t{0} : layout.frames;
    const std::uint64_t withheld = layout.trailer / layout.frame_bytes;
    struct stat st;
    if (!seekable) {
        s.block.withhold = withheld < block_frames / 2 ? static_cast<std::uint32_t>(withheld) : 0;
    } else if (fstat(fd, &st) == 0) {
        sf_count_t offset = static_cast<sf_count_t>(layout.data_at);
        sf_command(file, SFC_SET_RAW_START_OFFSET, &offset, sizeof offset);
        sf_seek(file, 0, SEEK_SET);
        const auto size = static_cast<std::uint64_t>(st.st_size);
        const std::uint64_t bytes = size - std::min(size, layout.data_at + layout.trailer);
        s.block.left = std::min(s.block.left, bytes / layout.frame_bytes);
        info.frames = static_cast<sf_count_t>(s.block.left);
    }
}

// Opens fd, where it stands, with libsndfile, as a file of its own format
// or, raw, as the samples the layout gives, from where they begin in a
// pipe (in a file, place_raw finds them). libsndfile is handed a
// descriptor of its own, which it closes.
SNDFILE* open_as(int fd, bool seekable, bool raw, const sound_layout& layout, SF_INFO& info, std::string& refused)
{
    info = {};
    if (raw) {
        info.format = layout.format;
        info.channels = layout.channels;
        info.samplerate = 48000;  // any will do: no rate is reported
    }
    const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) {
        refused = system_error_text(errno);
        return nullptr;
    }
    if (raw && !seekable && !drop_pipe(own, layout.data_at)) {
        close(own);
        refused = "the header ends before its samples begin";
        return nullptr;
    }
    return sndfile_open(own, info, refused);
}

// Opens the samples at fd, where it stands. Most formats are libsndfile's
// to read. Plain samples are read raw, in the layout their header gives,
// where their length is left open, where they come through a pipe, and
// where libsndfile refuses the file: it would take a placeholder length
// for the real one, reads neither CAF nor RF64 from a pipe, and refuses a
// CAF file cut short.
SNDFILE* open_samples(scan& s, int fd, bool seekable, const sound_layout& layout, SF_INFO& info, bool& raw)
{
    raw = layout.format && (layout.open || !seekable);
    std::string refused;
    const off_t base = seekable ? lseek(fd, 0, SEEK_CUR) : 0;
    SNDFILE* file = open_as(fd, seekable, raw, layout, info, refused);
    // The refusal moved the file's offset, which its descriptors share.
    if (!file && seekable && !raw && layout.format && lseek(fd, base, SEEK_SET) == base) {
        raw = true;
        file = open_as(fd, seekable, raw, layout, info, refused);
    }
    // Memory that ran out is the scan's failure, not the file's.
    if (!file && refused == sndfile_no_memory)
        throw std::bad_alloc();
    if (!file)
        complain(s, refused.c_str());
    else if (raw)
        place_raw(s, file, fd, seekable, layout, info);
    return file;
}

std::uint64_t section_bytes(const scan_settings& settings)
{
    return settings.section_bytes ? settings.section_bytes : default_section_bytes;
}

// Reads the samples of file, placed at the start, on the threads the
// settings give where it is worth it: a whole scan of a file of samples
// kept as they are, whose frames a seek finds exactly.
void read_sndfile(scan& s, samples_end& e, SNDFILE* file, const SF_INFO& info, int fd, bool whole_file,
                  scan_counters* counters)
{
    const scan_settings& settings = *s.settings;
    const auto start = static_cast<std::uint64_t>(settings.start);
    const int sub = info.format & SF_FORMAT_SUBMASK;
    const bool fit = whole_file && settings.threads > 1 && !settings.single &&
                     (sub == SF_FORMAT_PCM_24 || sub == SF_FORMAT_PCM_32);
    const split_ptr split =
        fit ? split_sndfile(file, s.block, s.src, info, {fd, settings.threads, section_bytes(settings), start, false, counters})
            : nullptr;
    scan_samples(s, e, [&] {
        if (split) {
            init_bits_split(s.br, *split);
            return;
        }
        init_bits_sf(s.br, s.src, s.block, file, 0);
        struct stat st;
        if (counters && info.frames > 0 && fstat(fd, &st) == 0) {
            s.src.counters = counters;
            s.src.bytes_per_frame = static_cast<double>(st.st_size) / static_cast<double>(info.frames);
        }
    });
    if (!split) {
        e.end = start + s.src.frames_brought;
        return;
    }
    const split_end ended = end_of_split(*split);
    s.result.sections = ended.sections;
    e.end = ended.next + (ended.fell_back ? s.src.frames_brought : 0);
}

// Any format libsndfile reads, from fd where it stands.
file_status scan_sndfile(scan& s, int fd, bool seekable, scan_counters* counters)
{
    const sound_layout layout = read_layout(fd, seekable);
    samples_end e;
    e.promised = layout.frames;
    SF_INFO info{};
    // Only a file that is all the input may be split: its other handles
    // open it from its beginning.
    const bool from_start = seekable && lseek(fd, 0, SEEK_CUR) == 0;
    bool raw;
    const sndfile_ptr file{open_samples(s, fd, seekable, layout, info, raw)};
    if (!file)
        return file_status::error;
    if (!stereo(s, static_cast<std::uint32_t>(info.channels)))
        return file_status::error;
    e.placed = seek_start(s, file.get(), info, e.end);
    const char* unfit;
    if (!carried_width(info.format & SF_FORMAT_SUBMASK, unfit))
        std::snprintf(e.narrow, sizeof e.narrow, "%s", unfit);
    if (e.placed)
        read_sndfile(s, e, file.get(), info, fd, from_start && !raw, counters);
    // libsndfile ends a damaged file as if it were the end of the samples;
    // only its error state tells the two apart. A refused seek leaves an
    // error state of its own.
    if ((e.placed || !seekable) && sf_error(file.get()) != SF_ERR_NO_ERROR)
        e.error = sf_strerror(file.get());
    return outcome(s, e);
}

// Splits a placed FLAC file over the threads the settings give, where it
// is worth it: a whole scan of a file, not one that stops at its first
// frame, which would not use the sections after it.
split_ptr split_placed(scan& s, flac_input& flac)
{
    const scan_settings& settings = *s.settings;
    if (settings.threads < 2 || settings.single || !flac.seekable)
        return nullptr;
    const auto start = static_cast<std::uint64_t>(settings.start);
    return split_flac(flac, {flac.fd, settings.threads, section_bytes(settings), start, start == 0, flac.counters});
}

// What the decoder that read a stream to its end, or the split that did,
// finds there: a frame past the length, or audio unlike its signature. Only
// a stream decoded from its first sample to its end has its audio to
// compare with its signature.
void check_end(scan& s, samples_end& e, flac_input* tail, const split_end& split)
{
    const bool whole = e.ran_out && s.settings->start == 0 && e.error.empty() && !short_of_promise(s, e);
    if (!whole)
        return;
    if (e.promised && (tail ? flac_goes_on(*tail) : split.goes_on))
        e.error = past_length;
    else if (!(tail ? flac_audio_matches(*tail) : split.audio_matches))
        e.error = md5_mismatch;
}

// Native FLAC, its metadata read, started when that went well. A damaged
// stream ends at the decoder's first error, which is told in libsndfile's
// words, and so is a stream that ends before the length its information
// gives.
file_status scan_flac(scan& s, flac_input& flac)
{
    if (!stereo(s, flac.channels))
        return file_status::error;
    samples_end e;
    e.promised = flac.total;
    e.cut = flac_lost_sync;
    e.placed = s.settings->start >= 0 && flac_seek(flac, static_cast<std::uint64_t>(s.settings->start));
    if (flac.bits < 24)
        std::snprintf(e.narrow, sizeof e.narrow, "%u-bit", flac.bits);
    const split_ptr split = e.placed ? split_placed(s, flac) : nullptr;
    if (split)
        scan_samples(s, e, [&] { init_bits_split(s.br, *split); });
    else if (e.placed)
        scan_samples(s, e, [&] { init_bits_flac(s.br, s.src, flac, 0); });
    split_end ended{&flac, false, 0, false, true, 0};
    if (split)
        ended = end_of_split(*split);
    s.result.sections = ended.sections;
    flac_input* tail = ended.whole_stream;
    e.end = tail ? tail->next : ended.next;
    if (tail && tail->no_memory)
        throw std::bad_alloc();
    if (tail)
        e.error = flac_error_text(*tail);
    check_end(s, e, tail, ended);
    return outcome(s, e);
}

// A FLAC stream the decoder could not start on. A file goes to libsndfile,
// which tells what is wrong (broken comments, say); from a pipe that cannot
// be, and it is told as libsndfile tells it of a file: no stream
// information is a format it does not know, anything else an error of the
// decoder, but for an empty stream. Either way a stream whose information
// promises frames, cut short inside its metadata, is damaged.
file_status flac_not_started(scan& s, flac_input& flac, int fd, bool seekable, scan_counters* counters)
{
    // Not the stream's fault: the scan itself fails, as it does wherever
    // memory runs out.
    if (flac.no_memory)
        throw std::bad_alloc();
    if (flac.have_info && flac.total && flac.at_end) {
        complain(s, flac_lost_sync);
        return file_status::damaged;
    }
    if (seekable) {
        lseek(fd, flac.base, SEEK_SET);
        return scan_sndfile(s, fd, seekable, counters);
    }
    if (!flac.have_info) {
        complain(s, unknown_format);
        return file_status::error;
    }
    if (flac.error >= 0 || flac.total) {
        complain(s, flac_failed);
        return file_status::error;
    }
    return scan_flac(s, flac);
}

// The input at fd, a file when seekable, where it stands. Native
// FLAC goes to libFLAC, which reads it faster and from a pipe too.
file_status scan_input(scan& s, int fd, bool seekable, scan_counters* counters)
{
    if (flac_input_at(fd, seekable)) {
        flac_input flac;
        const bool whole = s.settings->single == 0 && s.settings->start == 0;
        if (open_flac(flac, fd, seekable, whole, counters))
            return scan_flac(s, flac);
        return flac_not_started(s, flac, fd, seekable, counters);
    }
    return scan_sndfile(s, fd, seekable, counters);
}

// Whether the input at fd can be scanned: a folder cannot, and a walked
// name must still be a regular file, which it opened without waiting for:
// it may have become a FIFO, which would wait for a writer.
bool fit_to_scan(scan& s, int fd, input_kind kind, bool& seekable)
{
    struct stat st;
    const bool known = fstat(fd, &st) == 0;
    seekable = known && S_ISREG(st.st_mode);
    if (known && S_ISDIR(st.st_mode)) {
        complain(s, "is a folder; --recursive walks it");
        return false;
    }
    if (kind == input_kind::walked) {
        if (!seekable) {
            complain(s, "not a regular file");
            return false;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    return true;
}

file_status scan_status(scan& s, int fd, scan_counters* counters, input_kind kind)
{
    bool seekable = false;
    if (!fit_to_scan(s, fd, kind, seekable))
        return file_status::error;
    return scan_input(s, fd, seekable, counters);
}

// The file is opened here and handed to the decoder: libsndfile would
// refuse a name of 1024 bytes or more that the system opens. A walked name
// is opened without waiting.
file_status scan_named(scan& s, scan_counters* counters, input_kind kind)
{
    const bool named_stdin = kind == input_kind::named && std::strcmp(s.name, "-") == 0;
    owned_fd opened{named_stdin ? -1 : open_path(AT_FDCWD, s.name, kind == input_kind::walked ? O_NONBLOCK : 0)};
    const int fd = named_stdin ? STDIN_FILENO : opened.fd;
    if (fd < 0) {
        complain(s, system_error_text(errno).c_str());
        return file_status::error;
    }
    return scan_status(s, fd, counters, kind);
}

// Samples in memory, from frame start on.
struct memory_samples {
    const std::int32_t* at;
    std::uint64_t left;  // frames
};

bool next_memory_block(sample_source& src)
{
    memory_samples& m = *static_cast<memory_samples*>(src.opaque);
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(m.left, block_frames));
    if (!n)
        return false;
    src.left = m.at;
    src.right = m.at + 1;
    src.bufend = n;
    m.at += 2 * std::size_t{n};
    m.left -= n;
    return true;
}

file_status scan_memory(scan& s, const std::int32_t* samples, std::uint64_t count)
{
    samples_end e;
    e.placed = s.settings->start >= 0 && static_cast<std::uint64_t>(s.settings->start) <= count;
    if (!e.placed)
        return outcome(s, e);
    const auto start = static_cast<std::uint64_t>(s.settings->start);
    memory_samples m{samples + 2 * start, count - start};
    scan_samples(s, e, [&] { init_bits_source(s.br, s.src, block_layout::interleaved, next_memory_block, &m, 0); });
    return outcome(s, e);
}

// The output the settings ask for. A summary tells of every frame whatever
// -p says, and its -1 waits for a sound stream_params frame rather than
// any type-1 frame.
void choose_report(scan& s)
{
    const scan_settings& settings = *s.settings;
    if (settings.summary) {
        init_summary(s.sum, s.pr, s.result.facts, settings.single);
        s.reporter = &summary_report;
        s.report_self = &s.sum;
    } else if (settings.json) {
        init_json(s.js, s.pr, settings.verbosity, settings.frames);
        s.reporter = &json_report;
        s.report_self = &s.js;
    } else {
        init_text(s.text, s.pr, settings.verbosity, settings.show_name);
        s.reporter = &text_report;
        s.report_self = &s.text;
    }
}

}  // namespace

void stop_at_first(scan_settings& settings)
{
    settings.single = 1;
    if (settings.packet_type < 0)
        settings.packet_type = 1;
}

outcome_form outcome_form_of(const scan_settings& settings)
{
    return {settings.summary, {settings.json, settings.list, settings.null_names}, settings.check,
            settings.expect_stream};
}

namespace {

// Scans what status reads, for the file name, and writes its frames and
// its outcome to out.
template <typename Status>
scan_result run_scan(const scan_settings& settings, const char* name, output_sink out, Status status)
{
    // Not zeroed as a whole: the blocks of text and samples are large and
    // written before they are read.
    const std::unique_ptr<scan> s{new scan};
    s->settings = &settings;
    s->name = name;
    s->out = out;
    s->sample_pos = 0;
    s->result.facts = {};
    init_bits(s->br);
    init_bits(s->fb);
    init_printer(s->pr, out);
    choose_report(*s);
    s->reporter->file_begin(s->report_self, name);
    s->result.facts.status = status(*s);
    // What is decoded goes out before what is said of the file, so that
    // the two streams stay in order when they share a file.
    print_flush(s->pr);
    write_outcome(out, name, outcome_form_of(settings), s->result);
    s->reporter->file_end(s->report_self);
    print_flush(s->pr);
    return std::move(s->result);
}

}  // namespace

scan_result scan_file(const scan_settings& settings, const char* name, output_sink out, scan_counters* counters,
                      input_kind kind)
{
    return run_scan(settings, name, out, [&](scan& s) { return scan_named(s, counters, kind); });
}

scan_result scan_descriptor(const scan_settings& settings, const char* name, int fd, output_sink out)
{
    return run_scan(settings, name, out,
                    [&](scan& s) { return scan_status(s, fd, nullptr, input_kind::named); });
}

scan_result scan_interleaved(const scan_settings& settings, const char* name, const std::int32_t* samples,
                             std::uint64_t frame_count, output_sink out)
{
    return run_scan(settings, name, out, [&](scan& s) { return scan_memory(s, samples, frame_count); });
}
