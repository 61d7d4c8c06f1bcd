// kesgen as its users run it: carriers kept but for the one bit, refusals
// that leave no file behind, and a round trip through kesscan that must
// give back exactly the frames listed.
#include "testfiles.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

std::string in_scratch(const std::string& name)
{
    return scratch_dir() + "/" + name;
}

run_result kesgen(const std::string& args, const std::string& list)
{
    const std::string list_path = in_scratch("list.txt");
    std::FILE* f = std::fopen(list_path.c_str(), "w");
    std::fputs(list.c_str(), f);
    std::fclose(f);
    return run("cd " + quoted(scratch_dir()) + " && " + quoted(KESGEN_PATH) + " -f list.txt " + args);
}

std::vector<std::int32_t> samples_of(const std::string& path)
{
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(f, nullptr) << path;
    if (!f)
        return {};
    std::vector<std::int32_t> s(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_int(f, s.data(), info.frames);
    sf_close(f);
    return s;
}

TEST(Kesgen, CarrierKeepsItsAudioButTheOneBit)
{
    ASSERT_EQ(kesgen("-s noise -n 20000 carrier.flac", "").status, 0);
    const std::string list = "sync\n02 f4 ff\n01 29 25 c1 00\n";
    const run_result r = kesgen("--carrier carrier.flac --at 5000 out.wav", list);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto before = samples_of(in_scratch("carrier.flac"));
    const auto after = samples_of(in_scratch("out.wav"));
    ASSERT_EQ(before.size(), after.size());
    int changed = 0;
    for (std::size_t i = 0; i < before.size(); ++i) {
        const std::int32_t diff = before[i] ^ after[i];
        const std::size_t frame = i / 2;
        if (diff == 0)
            continue;
        ++changed;
        EXPECT_EQ(diff, 0x100) << "only bit 8 changes, sample " << i;
        EXPECT_EQ(i % 2, 1u) << "only right samples change";
        EXPECT_TRUE(frame >= 5000 && frame < 5000 + 56 + 40 + 56) << "only under the stream, frame " << frame;
    }
    EXPECT_GT(changed, 20);
    EXPECT_EQ(r.out, "out.wav: " + std::to_string(changed) + " of 20000 right-channel samples changed\n");
    // The noise after the stream reads as frames out of step: stop at the gain.
    const run_result scan = run(kesscan_command() + " -s 4500 -p 2 -1 " + quoted(in_scratch("out.wav")));
    EXPECT_EQ(scan.out, "000013c0: [2] gain\n          size                       8: 2\n"
                        "          gain                      16: -12\n          crc                        8: 0x16\n");
}

TEST(Kesgen, RefusesWhatCannotCarryTheStreamAndWritesNothing)
{
    ASSERT_EQ(kesgen("-n 500 long.wav", "").status, 0);
    ASSERT_EQ(kesgen("-c 1 -n 500 mono.wav", "").status, 0);
    ASSERT_EQ(kesgen("-b 16 -n 500 narrow.wav", "").status, 0);
    sndfile_write("float.wav", std::vector<std::int32_t>(1000, 0), 2, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    struct {
        std::string args, list, err;
        int status;
    } const cases[] = {
        {"--carrier mono.wav refused.wav", "sync\n", "kesgen: mono.wav: not stereo: 1 channel; the stream needs two\n", 1},
        {"--carrier narrow.wav refused.wav", "sync\n",
         "kesgen: narrow.wav: 16-bit samples cannot carry the stream; 24- or 32-bit integer samples can\n", 1},
        {"--carrier float.wav refused.wav", "sync\n",
         "kesgen: float.wav: floating-point samples cannot carry the stream; 24- or 32-bit integer samples can\n", 1},
        {"--carrier long.wav --at 450 refused.wav", "sync\n", "kesgen: long.wav: too short: 500 frames, the stream needs 506\n", 1},
        {"--carrier long.wav long.wav", "sync\n", "kesgen: long.wav: the output would overwrite the carrier\n", 1},
        {"--carrier missing.wav refused.wav", "sync\n", "kesgen: missing.wav: System error : No such file or directory.\n", 1},
        {"-n 50 refused.wav", "sync\n", "kesgen: 50 frames are too short: the stream needs 56\n", 1},
        {"refused.ogx", "sync\n", "kesgen: refused.ogx: no sound file type has the extension 'ogx'\n", 1},
        {"refused.wav", "sync\n\n  # fine\n01 02 zz\n", "kesgen: list.txt:4: cannot parse: 01 02 zz\n", 1},
        {"refused.wav", "zeros -3\n", "kesgen: list.txt:1: cannot parse: zeros -3\n", 1},
        {"refused.wav", "bits 0120\n", "kesgen: list.txt:1: cannot parse: bits 0120\n", 1},
        {"refused.wav", "02 01 size=256\n", "kesgen: list.txt:1: cannot parse: 02 01 size=256\n", 1},
        {"-b 20 refused.wav", "sync\n",
         "usage: kesgen [-f list] [--carrier file | -s noise|tone|silence -r rate -n frames]\n"
         "              [--at frame] [-b 16|24|32] [-c channels] output\n", 2},
    };
    for (const auto& c : cases) {
        const run_result r = kesgen(c.args, c.list);
        EXPECT_EQ(r.err, c.err) << c.args;
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_FALSE(std::filesystem::exists(in_scratch("refused.wav"))) << c.args;
    }
    EXPECT_EQ(samples_of(in_scratch("long.wav")).size(), 1000u) << "the carrier is untouched";
}

// The expected output of one frame, from its bytes, by the printf formats.
struct model {
    std::string out;
    std::uint32_t pos = 0;

    void line(const char* name, int size, const std::string& value)
    {
        char prefix[64];
        std::snprintf(prefix, sizeof prefix, "%10s%-24s%4d: ", "", name, size);
        out += prefix + value + "\n";
    }
    static std::string fmt(const char* format, std::int64_t v)
    {
        char text[32];
        std::snprintf(text, sizeof text, format, v);
        return text;
    }
    void frame(const std::vector<std::uint8_t>& f, bool bad_crc)
    {
        static const char* const names[] = {"magic", "stream_params", "gain", nullptr, "metadata"};
        const unsigned type = f[0];
        const char* name = type <= 4 ? names[type] : nullptr;
        char header[64];
        std::snprintf(header, sizeof header, "%08x: [%x] %s\n", pos, type, name ? name : "unknown type");
        out += header;
        std::uint64_t p = 0;  // the payload, least significant bit first
        for (std::size_t i = 2; i + 1 < f.size() && i < 10; ++i)
            p |= std::uint64_t{f[i]} << (8 * (i - 2));
        const auto bits = [&p](int at, int n) { return static_cast<std::int64_t>((p >> at) & ((std::uint64_t{1} << n) - 1)); };
        if (name)
            line("size", 8, std::to_string(f[1]));
        if (type == 0) {
            line("magic", 32, fmt("0x%08" PRIx64, bits(0, 32)));
        } else if (type == 1) {
            static const char* const depth[] = {"20 bits", "18 bits", "16 bits", "15 bits"};
            line("resampling_filter", 5, std::to_string(bits(0, 5)));
            line("noise_shaping_filter", 2, std::to_string(bits(5, 2)));
            line("bitdepth", 2, std::to_string(bits(7, 2)) + " [" + depth[bits(7, 2)] + "]");
            line("unknown", 1, std::to_string(bits(9, 1)));
            line("replay_gain", 10, std::to_string(bits(10, 10) - (bits(19, 1) << 10)));
            const std::int64_t rate = bits(20, 5);
            line("orig_rate", 5, fmt("0x%02" PRIx64, rate) + (rate == 12 ? " [768 kHz]" : rate == 0 ? " [44.1 kHz]" : ""));
            line("unknown", 2, std::to_string(bits(25, 2)));
            line("unknown", 1, std::to_string(bits(27, 1)));
            line("swizzle", 1, std::to_string(bits(28, 1)));
            line("pad", 3, std::to_string(bits(29, 3)));
        } else if (type == 2) {
            line("gain", 16, std::to_string(bits(0, 16) - (bits(15, 1) << 16)));
        } else if (type == 4) {
            line("type", 8, std::to_string(bits(0, 8)));
        }
        line("crc", 8, fmt("0x%02" PRIx64, f.back()));
        pos += static_cast<std::uint32_t>(8 * f.size());
        if (bad_crc)
            out += fmt("%08" PRIx64 ": checksum error\n", pos);
    }
};

// The frame checksum, computed bit by bit from its definition: the reflected
// CRC-32 polynomial, each byte entering at the top of the register, three
// flushing steps.
std::uint8_t checksum(const std::vector<std::uint8_t>& bytes)
{
    const auto step = [](std::uint32_t c) {
        std::uint32_t low = c & 0xff;
        for (int k = 0; k < 8; ++k)
            low = (low >> 1) ^ ((low & 1) ? 0xEDB88320u : 0);
        return (c >> 8) ^ low;
    };
    std::uint32_t c = 0;
    for (const auto b : bytes)
        c = step(c) ^ std::uint32_t{b} << 24;
    for (int k = 0; k < 3; ++k)
        c = step(c);
    return static_cast<std::uint8_t>(c);
}

// Random frame lists of every kind of frame, some with wrong checksums;
// kesscan must print exactly those frames.
TEST(Kesgen, RoundTripThroughKesscan)
{
    for (unsigned seed = 1; seed <= 60; ++seed) {
        std::mt19937 rng(seed);
        model m;
        m.frame({0x00, 0x04, 0x8c, 0x49, 0xe0, 0xab, 0x2c}, false);
        std::string list = "sync\n";
        const int frames = 1 + static_cast<int>(rng() % 40);
        for (int i = 0; i < frames; ++i) {
            static const std::uint8_t kinds[] = {0, 1, 2, 4, 4, 3, 7, 0x80, 0xff};
            const std::uint8_t type = kinds[rng() % std::size(kinds)];
            const std::size_t size = type == 0 || type == 1 ? 4 : type == 2 ? 2 : type == 4 ? 1 + rng() % 12 : 0;
            std::vector<std::uint8_t> f = {type, static_cast<std::uint8_t>(size)};
            for (std::size_t k = 0; k < size; ++k)
                f.push_back(static_cast<std::uint8_t>(rng()));
            if (type == 1) {  // orig_rate 0 or 12, the rates the model names
                f[4] = static_cast<std::uint8_t>((f[4] & 0x0f) | (rng() % 2 ? 0xc0 : 0x00));
                f[5] &= 0xfe;
            }
            char word[16];
            for (std::size_t k = 0; k < f.size(); ++k) {
                if (k != 1) {
                    std::snprintf(word, sizeof word, k ? " %02x" : "%02x", f[k]);
                    list += word;
                }
            }
            const std::uint8_t right = checksum(f);
            const bool bad = rng() % 8 == 0;
            f.push_back(bad ? right ^ 0x5a : right);
            if (bad) {
                std::snprintf(word, sizeof word, " crc=0x%02x", f.back());
                list += word;
            }
            list += "\n";
            m.frame(f, bad);
        }
        const std::string name = "round" + std::to_string(seed) + (seed % 2 ? ".flac" : ".wav");
        kesgen_file(name, list);
        const run_result r = run(kesscan_command() + " " + quoted(in_scratch(name)));
        ASSERT_EQ(r.out, m.out) << "seed " << seed << "\n" << list;
        EXPECT_EQ(r.err, "");
    }
}

}  // namespace
