// kesscan: finds the side stream carried in bit 8 of left XOR right of a
// stereo sound file, and decodes and prints its frames.
#include "bits.hpp"
#include "sfbits.hpp"

#include <sndfile.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// Settings from the command line.
std::int32_t packet_type = -1;  // type selected for printing; negative: every type
std::int32_t verbosity = 1;     // configured output level
std::int32_t single = 0;        // stop after the first selected frame

// The scan in progress.
bitreader br;              // sample reader: the parity bits, most significant first
std::uint32_t sample_pos;  // sample frame of the next bit taken from br

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

// Problems with a file go to standard error; what is already decoded is
// flushed first so that the two streams stay in order when they share a file.
__attribute__((format(printf, 1, 2))) void complain(const char* format, ...)
{
    std::fflush(stdout);
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stderr, format, ap);
    va_end(ap);
}

struct sndfile_closer {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
using sndfile_ptr = std::unique_ptr<SNDFILE, sndfile_closer>;

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

std::int32_t scan_file(const char* name, std::int32_t start)
{
    SF_INFO info{};
    const sndfile_ptr file{sf_open(name, SFM_READ, &info)};
    if (!file) {
        complain("%s: %s\n", name, sf_strerror(nullptr));
        return -1;
    }
    if (info.channels != 2) {
        complain("Only 2 channels supported\n");
        return -1;
    }
    switch (seek_start(file.get(), info, start)) {
    case seek_result::ok:
        break;
    case seek_result::outside:
        complain("%s: start position %d is outside the file\n", name, start);
        return -1;
    case seek_result::ended:
        return 0;
    }
    sample_pos = static_cast<std::uint32_t>(start);
    try {
        init_bits_sf(br, file.get(), 0);
        br.msb = 1;
        br.eof_cb = eof_cb;
        find_sync(br, SYNC_PATTERN, 56, SYNC_SEARCH_LIMIT);
    } catch (const end_of_samples&) {
    }
    return 0;
}

// Options take numbers in C notation (0x.. hexadecimal, 0.. octal), cut to
// 32 bits without further checks.
std::int32_t option_number(const char* text)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(std::strtol(text, nullptr, 0)));
}

}  // namespace

int main(int argc, char** argv)
{
    std::int32_t start = 0;
    int c;
    while ((c = getopt(argc, argv, "1p:s:v")) != -1) {
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
        default:
            return 1;
        }
    }
    if (optind >= argc)
        return 1;
    const bool several = argc - optind > 1;
    for (int i = optind; i < argc; ++i) {
        if (several)
            std::puts(argv[i]);
        scan_file(argv[i], start);
    }
    return 0;
}
