// kesgen: writes a sound file whose side stream carries the frames of a
// frame list, for testing players, converters and decoders, and kesscan.
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
// Each bit rides on one stereo sample frame: bit 8 of left XOR right in
// libsndfile's 32-bit integer form, the lowest bit of a 24-bit sample. Only
// the right sample's bit is ever changed.
#include "kescrc.hpp"
#include "sfbits.hpp"

#include <getopt.h>
#include <sndfile.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <numbers>
#include <sstream>
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

// An output file begun and not finished is removed when kesgen fails.
const char* partial_output = nullptr;

[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void fail(const char* format, ...)
{
    if (partial_output)
        std::remove(partial_output);
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
    std::exit(asked ? 0 : 2);
}

// ---------------------------------------------------------------------------
// Frame list

void put_byte_bits(std::vector<std::uint8_t>& bits, unsigned byte)
{
    for (int k = 7; k >= 0; --k)  // most significant bit first
        bits.push_back((byte >> k) & 1);
}

bool parse_hex_byte(const std::string& word, unsigned& v)
{
    char* end = nullptr;
    const unsigned long n = std::strtoul(word.c_str(), &end, 16);
    if (word.empty() || word.size() > 2 || *end != '\0' || !std::isxdigit(static_cast<unsigned char>(word[0])))
        return false;
    v = static_cast<unsigned>(n);
    return true;
}

bool parse_number(const std::string& word, unsigned long& v)
{
    char* end = nullptr;
    errno = 0;
    v = std::strtoul(word.c_str(), &end, 0);
    return !word.empty() && std::isdigit(static_cast<unsigned char>(word[0])) && *end == '\0' && errno == 0;
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
        else if (parse_hex_byte(word, v) && bytes.size() < 257)
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
        if (!(in >> word) || !parse_number(word, n) || n > (1ul << 34))
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
        if (!file)
            fail("%s: %s", path, std::strerror(errno));
        in = &file;
    }
    std::vector<std::uint8_t> bits;
    std::string line;
    for (int n = 1; std::getline(*in, line); ++n)
        if (!parse_line(line, bits))
            fail("%s:%d: cannot parse: %s", path, n, line.c_str());
    return bits;
}

// ---------------------------------------------------------------------------
// Sound files

// The major format whose usual extension the path has, from libsndfile's
// own list ("aif" is also taken for AIFF).
int major_format_for(const char* path)
{
    const char* dot = std::strrchr(path, '.');
    std::string ext = dot ? dot + 1 : "";
    for (auto& c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == "aif")
        ext = "aiff";
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO f{};
        f.format = i;
        sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &f, sizeof f);
        if (f.extension && ext == f.extension)
            return f.format;
    }
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
    const char* unfit = "lossy or companded";
    switch (info.format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_ALAC_24:
        return 24;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_ALAC_32:
        return 32;
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
        unfit = "8-bit";
        break;
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_ALAC_16:
        unfit = "16-bit";
        break;
    case SF_FORMAT_ALAC_20:
        unfit = "20-bit";
        break;
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
        unfit = "floating-point";
        break;
    }
    fail("%s: %s samples cannot carry the stream; 24- or 32-bit integer samples can", path, unfit);
}

// Where the stream's bits go: the right sample's bit 8 is set so that left
// XOR right carries the bit. Returns whether the sample changed.
bool carry(std::int32_t* frame, std::uint8_t bit)
{
    const auto l = static_cast<std::uint32_t>(frame[0]);
    const auto r = static_cast<std::uint32_t>(frame[1]);
    const std::uint32_t want = (l & 0x100u) ^ (std::uint32_t{bit} << 8);
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

// Writes the output block by block, from the carrier or the generator,
// putting the stream's bits from frame at on. Returns the samples changed.
long long write_output(SNDFILE* out, SNDFILE* in, generator& gen, const options& o, long long frames,
                       const std::vector<std::uint8_t>& bits)
{
    constexpr long long block = 4096;
    const auto channels = static_cast<std::size_t>(in ? 2 : o.channels);
    std::vector<std::int32_t> samples(static_cast<std::size_t>(block) * channels);
    long long changed = 0;
    for (long long done = 0; done < frames;) {
        const long long n = std::min(block, frames - done);
        if (in) {
            if (sf_readf_int(in, samples.data(), n) != n)
                fail("%s: %s", o.carrier, sf_error(in) ? sf_strerror(in) : "ended early");
        } else {
            for (long long i = 0; i < n; ++i)
                gen.next(samples.data() + static_cast<std::size_t>(i) * channels, o.channels);
        }
        for (long long i = 0; i < n && channels >= 2; ++i) {
            const long long k = done + i - o.at;
            if (k >= 0 && k < static_cast<long long>(bits.size()))
                changed += carry(samples.data() + static_cast<std::size_t>(i) * channels, bits[static_cast<std::size_t>(k)]);
        }
        if (sf_writef_int(out, samples.data(), n) != n)
            fail("%s: %s", o.output, sf_strerror(out));
        done += n;
    }
    return changed;
}

options parse_options(int argc, char** argv)
{
    static const option longs[] = {
        {"list", required_argument, nullptr, 'f'},   {"carrier", required_argument, nullptr, 'C'},
        {"signal", required_argument, nullptr, 's'}, {"rate", required_argument, nullptr, 'r'},
        {"length", required_argument, nullptr, 'n'}, {"at", required_argument, nullptr, 'a'},
        {"bits", required_argument, nullptr, 'b'},   {"channels", required_argument, nullptr, 'c'},
        {"help", no_argument, nullptr, 'h'},         {nullptr, 0, nullptr, 0},
    };
    options o;
    const auto number = [](const char* text, long long low, long long high) {
        char* end = nullptr;
        errno = 0;
        const long long v = std::strtoll(text, &end, 0);
        if (*text == '\0' || *end != '\0' || errno != 0 || v < low || v > high)
            usage();
        return v;
    };
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
            if (std::strcmp(optarg, "noise") == 0)
                o.signal = signal_kind::noise;
            else if (std::strcmp(optarg, "tone") == 0)
                o.signal = signal_kind::tone;
            else if (std::strcmp(optarg, "silence") == 0)
                o.signal = signal_kind::silence;
            else
                usage();
            break;
        case 'r':
            o.rate = static_cast<int>(number(optarg, 1, 1 << 30));
            break;
        case 'n':
            o.length = number(optarg, 0, 1ll << 40);
            break;
        case 'a':
            o.at = number(optarg, 0, 1ll << 40);
            break;
        case 'b':
            o.bits = static_cast<int>(number(optarg, 16, 32));
            if (o.bits != 16 && o.bits != 24 && o.bits != 32)
                usage();
            break;
        case 'c':
            o.channels = static_cast<int>(number(optarg, 1, 256));
            break;
        case 'h':
            usage(true);
        default:
            usage();
        }
    }
    if (argc - optind != 1)
        usage();
    o.output = argv[optind];
    return o;
}

}  // namespace

int main(int argc, char** argv)
{
    const options o = parse_options(argc, argv);
    const std::vector<std::uint8_t> bits = read_list(o.list);
    const auto needed = o.at + static_cast<long long>(bits.size());

    // Everything that can be refused is refused before the output exists.
    sndfile_ptr in;
    SF_INFO out_info{};
    long long frames;
    if (o.carrier) {
        SF_INFO info{};
        in.reset(sf_open(o.carrier, SFM_READ, &info));
        if (!in)
            fail("%s: %s", o.carrier, sf_strerror(nullptr));
        const int width = carrier_bits(o.carrier, info);
        if (o.bits == 16)
            fail("%s: 16-bit samples cannot carry the stream", o.output);
        if (info.frames < needed)
            fail("%s: too short: %lld frames, the stream needs %lld", o.carrier,
                 static_cast<long long>(info.frames), needed);
        std::error_code ec;
        if (std::filesystem::equivalent(o.carrier, o.output, ec))
            fail("%s: the output would overwrite the carrier", o.output);
        frames = info.frames;
        out_info.samplerate = info.samplerate;
        out_info.channels = 2;
        out_info.format = major_format_for(o.output) | subtype_for_bits(o.bits ? o.bits : width);
    } else {
        if (o.length >= 0 && o.length < needed)
            fail("%lld frames are too short: the stream needs %lld", o.length, needed);
        frames = o.length >= 0 ? o.length : needed;
        out_info.samplerate = o.rate;
        out_info.channels = o.channels;
        out_info.format = major_format_for(o.output) | subtype_for_bits(o.bits ? o.bits : 24);
    }
    if (!sf_format_check(&out_info))
        fail("%s: this file type cannot hold %d-bit integer samples at this rate and channel count",
             o.output, o.bits ? o.bits : 24);

    const sndfile_ptr out{sf_open(o.output, SFM_WRITE, &out_info)};
    if (!out)
        fail("%s: %s", o.output, sf_strerror(nullptr));
    partial_output = o.output;
    generator gen{o.signal, o.bits ? o.bits : 24, out_info.samplerate};
    const long long changed = write_output(out.get(), in.get(), gen, o, frames, bits);
    if (o.carrier)
        std::printf("%s: %lld of %lld right-channel samples changed\n", o.output, changed, frames);
    return 0;
}
