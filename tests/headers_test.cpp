// SPDX-License-Identifier: MIT
// What a sound file's header says of its samples, read from a file and
// through a pipe: headers written here byte by byte, little- and
// big-endian, with the placeholders streaming writers leave.
#include "headers.hpp"
#include "input.hpp"

#include "testfiles.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <tuple>

namespace {

std::string le(std::uint64_t v, int n)
{
    std::string s;
    for (int i = 0; i < n; ++i)
        s += static_cast<char>(v >> (8 * i) & 0xff);
    return s;
}

std::string be(std::uint64_t v, int n)
{
    std::string s;
    for (int i = n - 1; i >= 0; --i)
        s += static_cast<char>(v >> (8 * i) & 0xff);
    return s;
}

std::string chunk(const std::string& name, const std::string& body, bool big = false, std::uint32_t length = 0)
{
    const std::uint32_t n = length ? length : static_cast<std::uint32_t>(body.size());
    return name + (big ? be(n, 4) : le(n, 4)) + body + (body.size() % 2 ? std::string(1, '\0') : "");
}

// A WAV "fmt " body: format tag, channels, 48 kHz, block align, bits.
std::string fmt(unsigned tag, unsigned align, bool big = false, unsigned channels = 2)
{
    const auto w = [big](std::uint64_t v, int n) { return big ? be(v, n) : le(v, n); };
    return w(tag, 2) + w(channels, 2) + w(48000, 4) + w(48000 * align, 4) + w(align, 2) + w(align * 4, 2);
}

// An AIFF "COMM" body: 2 channels, frames, bits, an 80-bit rate, and for
// AIFC the compression type.
std::string comm(std::uint32_t frames, unsigned bits, const std::string& compression = "")
{
    return be(2, 2) + be(frames, 4) + be(bits, 2) + std::string("\x40\x0e\xbb\x80\0\0\0\0\0\0", 10) + compression;
}

// Frames, whether the length is open, where the samples begin, their
// format and the trailer's bytes.
using said = std::tuple<std::uint64_t, bool, std::uint64_t, int, std::uint64_t>;

// What bytes say, the same as a file and through a pipe, which keeps them.
said layout_of(const std::string& bytes)
{
    const std::string path = scratch_dir() + "/header";
    std::ofstream(path, std::ios::binary) << bytes;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const sound_layout f = read_layout(fd, true);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0) << "left where it stood";
    close(fd);
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    EXPECT_EQ(write(p[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(p[1]);
    const sound_layout l = read_layout(p[0], false);
    std::string left(bytes.size() + 1, '\0');
    EXPECT_EQ(read(p[0], left.data(), left.size()), static_cast<ssize_t>(bytes.size())) << "nothing taken";
    close(p[0]);
    const said from_file{f.frames, f.open, f.data_at, f.format, f.trailer};
    EXPECT_EQ(from_file, (said{l.frames, l.open, l.data_at, l.format, f.trailer})) << "the same through a pipe";
    return from_file;
}

constexpr int le24 = SF_FORMAT_RAW | SF_FORMAT_PCM_24 | SF_ENDIAN_LITTLE;
constexpr int be24 = SF_FORMAT_RAW | SF_FORMAT_PCM_24 | SF_ENDIAN_BIG;
constexpr int le16 = SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;
constexpr int be16 = SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_BIG;

TEST(SoundLayout, WavAndAiffHeaders)
{
    const std::string audio(600, '\x11');
    // RIFF, with a chunk of odd length and its pad byte before the audio.
    const std::string riff = chunk("fmt ", fmt(1, 6)) + chunk("LIST", "abc") + chunk("data", audio);
    EXPECT_EQ(layout_of("RIFF" + le(4 + riff.size(), 4) + "WAVE" + riff), (said{100, false, 56, le24, 0}));
    // The data's length is what counts, whatever is there.
    EXPECT_EQ(layout_of("RIFF" + le(0, 4) + "WAVE" + chunk("fmt ", fmt(3, 8)) + chunk("data", audio, false, 48000)),
              (said{6000, false, 44, SF_FORMAT_RAW | SF_FORMAT_FLOAT | SF_ENDIAN_LITTLE, 0}));
    // 8-bit WAV samples are unsigned, AIFF's signed.
    EXPECT_EQ(layout_of("RIFF" + le(0, 4) + "WAVE" + chunk("fmt ", fmt(1, 2)) + chunk("data", audio)),
              (said{300, false, 44, SF_FORMAT_RAW | SF_FORMAT_PCM_U8 | SF_ENDIAN_LITTLE, 0}));
    EXPECT_EQ(layout_of("FORM" + be(0, 4) + "AIFF" + chunk("COMM", comm(7, 8), true) +
                        chunk("SSND", std::string(8, '\0') + audio, true)),
              (said{300, false, 54, SF_FORMAT_RAW | SF_FORMAT_PCM_S8 | SF_ENDIAN_BIG, 0}));
    // RIFX is big-endian; extensible integer samples are plain ones.
    const std::string extensible = fmt(0xfffe, 6, true) + be(22, 2) + be(24, 2) + be(3, 4) + be(1, 2) +
                                   std::string(14, '\0');
    EXPECT_EQ(layout_of("RIFX" + be(0, 4) + "WAVE" + chunk("fmt ", extensible, true) + chunk("data", audio, true)),
              (said{100, false, 12 + 8 + 40 + 8, be24, 0}));
    // RF64 gives the length in ds64, after the whole file's.
    const std::string ds64 = chunk("ds64", le(1, 8) + le(3000000000ull, 8) + le(0, 8) + le(0, 4));
    EXPECT_EQ(layout_of("RF64" + le(~0u, 4) + "WAVE" + ds64 + chunk("fmt ", fmt(1, 6)) +
                        chunk("data", audio, false, 0xffffffff)),
              (said{500000000, false, 12 + 36 + 24 + 8, le24, 0}));
    // AIFF: the frame's bytes from COMM, the audio after SSND's offset and
    // block size, and as far again as the offset says.
    const std::string ssnd = chunk("SSND", be(4, 4) + std::string(8, '\0') + audio, true, 8 + 600);
    EXPECT_EQ(layout_of("FORM" + be(0, 4) + "AIFF" + chunk("COMM", comm(7, 24), true) + ssnd),
              (said{100, false, 12 + 26 + 20, be24, 0}));
    EXPECT_EQ(layout_of("FORM" + be(0, 4) + "AIFC" + chunk("COMM", comm(7, 16, "sowt"), true) + ssnd),
              (said{150, false, 12 + 30 + 20, SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE, 0}));
    // Nothing said: compressed samples, no audio chunk, an extensible
    // format without its subformat, no channels or a frame they do not
    // divide, or not a file read here at all.
    const said nothing{0, false, 0, 0, 0};
    EXPECT_EQ(layout_of("FORM" + be(0, 4) + "AIFC" + chunk("COMM", comm(7, 16, "ima4"), true) + ssnd), nothing);
    EXPECT_EQ(layout_of("RIFF" + le(0, 4) + "WAVE" + chunk("fmt ", fmt(2, 6)) + chunk("data", audio)), nothing);
    EXPECT_EQ(layout_of("RIFF" + le(0, 4) + "WAVE" + chunk("fmt ", fmt(1, 6))), nothing);
    EXPECT_EQ(layout_of("RIFF" + le(0, 4) + "WAVE" + chunk("fmt ", fmt(0xfffe, 6)) + chunk("data", audio)), nothing);
    for (const unsigned channels : {0u, 4u})
        EXPECT_EQ(layout_of("RIFF" + le(0, 4) + "WAVE" + chunk("fmt ", fmt(1, 6, false, channels)) + chunk("data", audio)),
                  nothing)
            << channels;
    EXPECT_EQ(layout_of("fLaC" + std::string(40, '\0')), nothing);
}

TEST(SoundLayout, LengthsLeftOpen)
{
    const std::string audio(600, '\x11');
    const auto wav = [&](std::uint32_t length, unsigned align) {
        return layout_of("RIFF" + le(0, 4) + "WAVE" + chunk("fmt ", fmt(1, align)) + chunk("data", audio, false, length));
    };
    EXPECT_EQ(wav(~0u, 6), (said{0, true, 44, le24, 0}));
    EXPECT_EQ(layout_of("RIFF" + le(0, 4) + "WAVE" + chunk("fmt ", fmt(1, 6)) + chunk("data", "") + audio),
              (said{0, true, 44, le24, 0}));
    // sox's: the most whole frames below its limit, and no frame fewer.
    EXPECT_EQ(wav(0x7fffeffc, 6), (said{0, true, 44, le24, 0}));
    EXPECT_EQ(wav(0x7ffff000, 4), (said{0, true, 44, le16, 0}));
    EXPECT_EQ(wav(0x7fffeffc - 6, 6), (said{0x7fffeffc / 6 - 1, false, 44, le24, 0}));
    const auto aiff = [&](std::uint32_t length) {
        return layout_of("FORM" + be(0, 4) + "AIFF" + chunk("COMM", comm(7, 24), true) +
                         chunk("SSND", std::string(8, '\0') + audio, true, length));
    };
    EXPECT_EQ(aiff(0x7f000004), (said{0, true, 54, be24, 0}));
    EXPECT_EQ(aiff(8), (said{0, true, 54, be24, 0}));
    EXPECT_EQ(aiff(0x7f000004 - 6), (said{(0x7f000004 - 6 - 8) / 6, false, 54, be24, 0}));
    // RF64 whose ds64 leaves the length open too, as ffmpeg writes it.
    const std::string ds64 = chunk("ds64", std::string(28, '\0'));
    EXPECT_EQ(layout_of("RF64" + le(~0u, 4) + "WAVE" + ds64 + chunk("fmt ", fmt(1, 6)) +
                        chunk("data", audio, false, 0xffffffff)),
              (said{0, true, 12 + 36 + 24 + 8, le24, 0}));
}

// Wave64's GUIDs: "riff", then "wave", "fmt " and "data" with a tail of
// their own.
std::string guid(const char* name)
{
    if (std::string(name) == "riff")
        return std::string("riff\x2e\x91\xcf\x11\xa5\xd6\x28\xdb\x04\xc1\x00\x00", 16);
    return name + std::string("\xf3\xac\xd3\x11\x8c\xd1\x00\xc0\x4f\x8e\xdb\x8a", 12);
}

std::string w64(std::uint64_t data_length)
{
    const std::string f = fmt(1, 6);
    return guid("riff") + le(0, 8) + guid("wave") + guid("fmt ") + le(24 + f.size(), 8) + f + guid("data") +
           le(data_length, 8);
}

std::string caf(std::uint64_t data_length, std::uint32_t flags = 0, std::uint32_t bits = 24)
{
    const std::string desc = be(0x40e7700000000000, 8) + "lpcm" + be(flags, 4) + be(bits / 4, 4) + be(1, 4) +
                             be(2, 4) + be(bits, 4);
    return std::string("caff\0\1\0\0", 8) + "desc" + be(32, 8) + desc + "free" + be(3, 8) + "abc" + "data" +
           be(data_length, 8) + be(0, 4);
}

std::string au(std::uint32_t length, std::uint32_t encoding = 4)
{
    return ".snd" + be(28, 4) + be(length, 4) + be(encoding, 4) + be(48000, 4) + be(2, 4) + "abcd";
}

TEST(SoundLayout, Wave64CafAndAu)
{
    const std::string audio(600, '\x11');
    EXPECT_EQ(layout_of(w64(24 + 600) + audio), (said{100, false, 104, le24, 0}));
    EXPECT_EQ(layout_of(w64(~0ull) + audio), (said{0, true, 104, le24, 0}));
    EXPECT_EQ(layout_of(w64(0x7fffffffffffffff) + audio), (said{0, true, 104, le24, 0}));
    EXPECT_EQ(layout_of(caf(4 + 600) + audio), (said{100, false, 8 + 44 + 15 + 16, be24, 0}));
    EXPECT_EQ(layout_of(caf(~0ull, 2) + audio), (said{0, true, 83, le24, 0}));
    EXPECT_EQ(layout_of(caf(4 + 600, 0, 16) + audio), (said{150, false, 83, be16, 0}));
    EXPECT_EQ(layout_of(caf(4 + 600, 1, 32) + audio),
              (said{75, false, 83, SF_FORMAT_RAW | SF_FORMAT_FLOAT | SF_ENDIAN_BIG, 0}));
    // A chunk whose length would take the walk back to where it was.
    std::string looping = w64(24 + 600);
    looping.replace(56, 8, le(~0ull, 8));
    EXPECT_EQ(layout_of(looping + audio), (said{0, false, 0, 0, 0}));
    EXPECT_EQ(layout_of(au(600) + audio), (said{100, false, 28, be24, 0}));
    EXPECT_EQ(layout_of(au(~0u) + audio), (said{0, true, 28, be24, 0}));
    EXPECT_EQ(layout_of(au(600, 2) + audio), (said{300, false, 28, SF_FORMAT_RAW | SF_FORMAT_PCM_S8 | SF_ENDIAN_BIG, 0}));
    EXPECT_EQ(layout_of(au(600, 5) + audio), (said{75, false, 28, SF_FORMAT_RAW | SF_FORMAT_PCM_32 | SF_ENDIAN_BIG, 0}));
    EXPECT_EQ(layout_of(au(600, 6) + audio), (said{75, false, 28, SF_FORMAT_RAW | SF_FORMAT_FLOAT | SF_ENDIAN_BIG, 0}));
    EXPECT_EQ(layout_of(au(600, 7) + audio), (said{37, false, 28, SF_FORMAT_RAW | SF_FORMAT_DOUBLE | SF_ENDIAN_BIG, 0}));
    EXPECT_EQ(layout_of(au(600, 1) + audio), (said{0, false, 0, 0, 0})) << "mu-law";
    EXPECT_EQ(layout_of(".snd" + be(8, 4) + std::string(16, '\0')), (said{0, false, 0, 0, 0})) << "inside its header";
}

// libsndfile, writing where it cannot seek, puts the header again before
// the samples and once more after them; only a file shows the last.
TEST(SoundLayout, AHeaderWrittenAgain)
{
    const std::string audio(600, '\x11');
    const std::string first = w64(0x17);
    const std::string again = w64(24);
    EXPECT_EQ(layout_of(first + again + audio + first), (said{0, true, 208, le24, 104}));
    EXPECT_EQ(layout_of(first + again + audio), (said{0, true, 208, le24, 0}));
    const std::string head = caf(4);
    EXPECT_EQ(layout_of(head + head + audio + head), (said{0, true, 2 * head.size(), be24, head.size()}));
    // Twice at most: a third copy is taken for samples.
    EXPECT_EQ(layout_of(first + first + first + first + audio), (said{0, true, 3 * 104, le24, 0}));
}

}  // namespace
