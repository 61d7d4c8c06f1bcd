// SPDX-License-Identifier: MIT
// What a WAV or AIFF header promises, read from a file and through a pipe:
// headers written here byte by byte, little- and big-endian.
#include "input.hpp"

#include "testfiles.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <string>

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

// A WAV "fmt " body: format tag, 2 channels, 48 kHz, block align, bits.
std::string fmt(unsigned tag, unsigned align, bool big = false)
{
    const auto w = [big](std::uint64_t v, int n) { return big ? be(v, n) : le(v, n); };
    return w(tag, 2) + w(2, 2) + w(48000, 4) + w(48000 * align, 4) + w(align, 2) + w(align * 4, 2);
}

// An AIFF "COMM" body: 2 channels, frames, bits, an 80-bit rate, and for
// AIFC the compression type.
std::string comm(std::uint32_t frames, unsigned bits, const std::string& compression = "")
{
    return be(2, 2) + be(frames, 4) + be(bits, 2) + std::string("\x40\x0e\xbb\x80\0\0\0\0\0\0", 10) + compression;
}

// The frames promised by bytes, as a file and through a pipe.
std::pair<std::uint64_t, std::uint64_t> promised(const std::string& bytes)
{
    const std::string path = scratch_dir() + "/header";
    std::ofstream(path, std::ios::binary) << bytes;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const std::uint64_t from_file = stated_frames(fd, true);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0) << "left where it stood";
    close(fd);
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    EXPECT_EQ(write(p[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(p[1]);
    const std::uint64_t from_pipe = stated_frames(p[0], false);
    std::string left(bytes.size() + 1, '\0');
    EXPECT_EQ(read(p[0], left.data(), left.size()), static_cast<ssize_t>(bytes.size())) << "nothing taken";
    close(p[0]);
    return {from_file, from_pipe};
}

// A long path is refused as too long when no part of it fits the system's
// limit, and as missing when the part that fits is: never opened as
// something else.
TEST(OpenPath, NameWithoutAPartThatFitsIsTooLong)
{
    const std::string name(PATH_MAX + 10, 'x');
    errno = 0;
    EXPECT_EQ(open_path(AT_FDCWD, name.c_str(), 0), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    // The part that fits is looked for first: here it is missing.
    errno = 0;
    EXPECT_EQ(open_path(AT_FDCWD, ("not-here/" + name).c_str(), 0), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(StatedFrames, WavAndAiffHeaders)
{
    const std::string audio(600, '\x11');
    const auto frames = [](std::uint64_t n) { return std::pair<std::uint64_t, std::uint64_t>{n, n}; };
    // RIFF, with a chunk of odd length and its pad byte before the audio.
    const std::string riff = chunk("fmt ", fmt(1, 6)) + chunk("LIST", "abc") + chunk("data", audio);
    EXPECT_EQ(promised("RIFF" + le(4 + riff.size(), 4) + "WAVE" + riff), frames(100));
    // The data's length is what counts, whatever is there.
    EXPECT_EQ(promised("RIFF" + le(0, 4) + "WAVE" + chunk("fmt ", fmt(3, 8)) + chunk("data", audio, false, 48000)),
              frames(6000));
    // RIFX is big-endian; extensible integer samples count as plain ones.
    EXPECT_EQ(promised("RIFX" + be(0, 4) + "WAVE" + chunk("fmt ", fmt(0xfffe, 4, true), true) +
                       chunk("data", audio, true)),
              frames(150));
    // RF64 gives the length in ds64, after the whole file's.
    const std::string ds64 = chunk("ds64", le(1, 8) + le(3000000000ull, 8) + le(0, 8) + le(0, 4));
    EXPECT_EQ(promised("RF64" + le(~0u, 4) + "WAVE" + ds64 + chunk("fmt ", fmt(1, 6)) +
                       chunk("data", audio, false, 0xffffffff)),
              frames(500000000));
    // AIFF: the frame's bytes from COMM, the audio after SSND's 8 bytes.
    const std::string ssnd = chunk("SSND", std::string(8, '\0') + audio, true);
    EXPECT_EQ(promised("FORM" + be(0, 4) + "AIFF" + chunk("COMM", comm(7, 24), true) + ssnd), frames(100));
    EXPECT_EQ(promised("FORM" + be(0, 4) + "AIFC" + chunk("COMM", comm(7, 16, "sowt"), true) + ssnd),
              frames(150));
    // No promise: compressed samples, a length left open, no audio chunk,
    // or not a WAV or AIFF file at all.
    EXPECT_EQ(promised("FORM" + be(0, 4) + "AIFC" + chunk("COMM", comm(7, 16, "ima4"), true) + ssnd), frames(0));
    EXPECT_EQ(promised("RIFF" + le(0, 4) + "WAVE" + chunk("fmt ", fmt(2, 6)) + chunk("data", audio)), frames(0));
    EXPECT_EQ(promised("RIFF" + le(0, 4) + "WAVE" + chunk("fmt ", fmt(1, 6)) + chunk("data", audio, false, ~0u)),
              frames(0));
    EXPECT_EQ(promised("RIFF" + le(0, 4) + "WAVE" + chunk("fmt ", fmt(1, 6)) + chunk("data", "", false, 0)),
              frames(0));
    EXPECT_EQ(promised("RIFF" + le(0, 4) + "WAVE" + chunk("fmt ", fmt(1, 6))), frames(0));
    EXPECT_EQ(promised("fLaC" + std::string(40, '\0')), frames(0));
}

}  // namespace
