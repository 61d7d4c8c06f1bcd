// kesgen: writes a sound file whose side stream carries the frames of a
// frame list, for tests and demonstrations of kesscan.
//
// Frame list, one item a line ('#' starts a comment):
//   sync                 the sync pattern (the magic frame 00 04 8c 49 e0 ab 2c)
//   TT PP PP ...         a frame: type and payload bytes in hexadecimal; the
//                        size byte and checksum are computed, and the words
//                        size=N and crc=N (C notation) replace them
//   raw HH HH ...        bytes as they stand, no framing
//   bits 0110...         raw bits
//   zeros N              N zero bits
//
// Each bit rides on one sample frame: the lowest bit of a 24-bit sample,
// bit 8 of libsndfile's 32-bit integer form, of left XOR right.
#include "kescrc.hpp"

#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct options {
    int bits = 24;         // sample width in the file: 16, 24 or 32
    int channels = 2;
    int rate = 48000;
    const char* list = "-";  // frame list file, "-" for standard input
    const char* output = nullptr;
};

void usage()
{
    std::fputs("usage: kesgen [-b 16|24|32] [-c channels] [-r rate] [-f list] output\n", stderr);
    std::exit(2);
}

int format_for(const char* path, int bits)
{
    const char* dot = std::strrchr(path, '.');
    const std::string ext = dot ? dot + 1 : "";
    int major = 0;
    if (ext == "wav")
        major = SF_FORMAT_WAV;
    else if (ext == "flac")
        major = SF_FORMAT_FLAC;
    else if (ext == "aiff" || ext == "aif")
        major = SF_FORMAT_AIFF;
    else if (ext == "w64")
        major = SF_FORMAT_W64;
    else if (ext == "caf")
        major = SF_FORMAT_CAF;
    else {
        std::fprintf(stderr, "kesgen: %s: unknown file type (wav, flac, aiff, w64, caf)\n", path);
        std::exit(1);
    }
    const int sub = bits == 16 ? SF_FORMAT_PCM_16 : bits == 32 ? SF_FORMAT_PCM_32 : SF_FORMAT_PCM_24;
    return major | sub;
}

void put_byte_bits(std::vector<std::uint8_t>& bits, unsigned byte)
{
    for (int k = 7; k >= 0; --k)  // most significant bit first
        bits.push_back((byte >> k) & 1);
}

bool parse_hex_byte(const std::string& word, unsigned& v)
{
    char* end = nullptr;
    const unsigned long n = std::strtoul(word.c_str(), &end, 16);
    if (word.empty() || word.size() > 2 || *end != '\0' || n > 255)
        return false;
    v = static_cast<unsigned>(n);
    return true;
}

bool parse_number(const std::string& word, unsigned long& v)
{
    char* end = nullptr;
    v = std::strtoul(word.c_str(), &end, 0);
    return !word.empty() && *end == '\0';
}

// One frame: type, payload, and the size and checksum bytes unless given.
bool parse_frame(std::istringstream& in, const std::string& first, std::vector<std::uint8_t>& bits)
{
    std::vector<std::uint8_t> bytes;
    unsigned v;
    if (!parse_hex_byte(first, v))
        return false;
    bytes.push_back(static_cast<std::uint8_t>(v));
    bytes.push_back(0);
    long size = -1, crc = -1;
    for (std::string word; in >> word;) {
        unsigned long n;
        if (word.rfind("size=", 0) == 0 && parse_number(word.substr(5), n) && n <= 255)
            size = static_cast<long>(n);
        else if (word.rfind("crc=", 0) == 0 && parse_number(word.substr(4), n) && n <= 255)
            crc = static_cast<long>(n);
        else if (parse_hex_byte(word, v))
            bytes.push_back(static_cast<std::uint8_t>(v));
        else
            return false;
    }
    bytes[1] = static_cast<std::uint8_t>(size >= 0 ? size : static_cast<long>(bytes.size() - 2));
    if (crc < 0)
        crc = kes_crc_buf(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    bytes.push_back(static_cast<std::uint8_t>(crc));
    for (const auto b : bytes)
        put_byte_bits(bits, b);
    return true;
}

bool parse_line(const std::string& line, std::vector<std::uint8_t>& bits)
{
    std::istringstream in(line.substr(0, line.find('#')));
    std::string word;
    if (!(in >> word))
        return true;
    if (word == "sync") {
        for (const unsigned b : {0x00, 0x04, 0x8c, 0x49, 0xe0, 0xab, 0x2c})
            put_byte_bits(bits, b);
    } else if (word == "zeros") {
        unsigned long n;
        if (!(in >> word) || !parse_number(word, n))
            return false;
        bits.insert(bits.end(), n, 0);
    } else if (word == "bits") {
        while (in >> word)
            for (const char c : word) {
                if (c != '0' && c != '1')
                    return false;
                bits.push_back(c == '1');
            }
    } else if (word == "raw") {
        unsigned v;
        while (in >> word) {
            if (!parse_hex_byte(word, v))
                return false;
            put_byte_bits(bits, v);
        }
    } else {
        return parse_frame(in, word, bits);
    }
    return !(in >> word);
}

std::vector<std::uint8_t> read_list(const char* path)
{
    std::ifstream file;
    std::istream* in = &std::cin;
    if (std::strcmp(path, "-") != 0) {
        file.open(path);
        if (!file) {
            std::fprintf(stderr, "kesgen: %s: %s\n", path, std::strerror(errno));
            std::exit(1);
        }
        in = &file;
    }
    std::vector<std::uint8_t> bits;
    std::string line;
    for (int n = 1; std::getline(*in, line); ++n)
        if (!parse_line(line, bits)) {
            std::fprintf(stderr, "kesgen: %s:%d: cannot parse: %s\n", path, n, line.c_str());
            std::exit(1);
        }
    return bits;
}

// A deterministic carrier that looks like audio: a 440 Hz tone with noise,
// 24-bit values. The right sample's lowest bit is then set so that left
// XOR right carries the stream's bit. A 32-bit file also gets noise below
// bit 8, which the side stream must ignore.
void write_samples(SNDFILE* out, const options& o, const std::vector<std::uint8_t>& bits)
{
    std::uint32_t seed = 12345;
    auto noise = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    const auto channels = static_cast<std::size_t>(o.channels);
    constexpr std::size_t block = 4096;
    std::vector<std::int32_t> samples(block * channels);
    std::size_t held = 0;
    auto flush = [&] {
        if (sf_writef_int(out, samples.data(), static_cast<sf_count_t>(held)) != static_cast<sf_count_t>(held)) {
            std::fprintf(stderr, "kesgen: %s: %s\n", o.output, sf_strerror(out));
            std::exit(1);
        }
        held = 0;
    };
    for (std::size_t i = 0; i < bits.size(); ++i) {
        const double t = static_cast<double>(i) / o.rate;
        const auto tone = static_cast<std::int32_t>(0x200000 * std::sin(2 * std::numbers::pi * 440 * t));
        std::int32_t* frame = samples.data() + held * channels;
        for (std::size_t ch = 0; ch < channels; ++ch) {
            const std::int32_t v24 = tone + static_cast<std::int32_t>(noise() & 0xfff) - 0x800;
            frame[ch] = static_cast<std::int32_t>(static_cast<std::uint32_t>(v24) << 8);
            if (o.bits == 32)
                frame[ch] |= static_cast<std::int32_t>(noise() & 0xff);
        }
        if (channels >= 2) {
            const std::uint32_t want = std::uint32_t{bits[i]} << 8;
            const auto l = static_cast<std::uint32_t>(frame[0]);
            const auto r = static_cast<std::uint32_t>(frame[1]);
            frame[1] = static_cast<std::int32_t>((r & ~0x100u) | ((l & 0x100u) ^ want));
        }
        if (++held == block)
            flush();
    }
    flush();
}

}  // namespace

int main(int argc, char** argv)
{
    options o;
    int c;
    while ((c = getopt(argc, argv, "b:c:r:f:")) != -1) {
        switch (c) {
        case 'b':
            o.bits = std::atoi(optarg);
            if (o.bits != 16 && o.bits != 24 && o.bits != 32)
                usage();
            break;
        case 'c':
            o.channels = std::atoi(optarg);
            if (o.channels < 1)
                usage();
            break;
        case 'r':
            o.rate = std::atoi(optarg);
            if (o.rate < 1)
                usage();
            break;
        case 'f':
            o.list = optarg;
            break;
        default:
            usage();
        }
    }
    if (argc - optind != 1)
        usage();
    o.output = argv[optind];
    const std::vector<std::uint8_t> bits = read_list(o.list);

    SF_INFO info{};
    info.samplerate = o.rate;
    info.channels = o.channels;
    info.format = format_for(o.output, o.bits);
    SNDFILE* out = sf_open(o.output, SFM_WRITE, &info);
    if (!out) {
        std::fprintf(stderr, "kesgen: %s: %s\n", o.output, sf_strerror(nullptr));
        return 1;
    }
    write_samples(out, o, bits);
    if (sf_close(out) != 0) {
        std::fprintf(stderr, "kesgen: %s: cannot close\n", o.output);
        return 1;
    }
    return 0;
}
