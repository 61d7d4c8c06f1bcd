#include "sfbits.hpp"

#include "testfiles.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

sndfile_ptr open_read(const std::string& path)
{
    SF_INFO info{};
    sndfile_ptr f{sf_open(path.c_str(), SFM_READ, &info)};
    EXPECT_TRUE(f) << path << ": " << sf_strerror(nullptr);
    return f;
}

std::vector<unsigned> read_bits(bitreader& r, std::size_t n)
{
    std::vector<unsigned> bits;
    for (std::size_t i = 0; i < n; ++i)
        bits.push_back(static_cast<unsigned>(get_ubits(r, 1)));
    return bits;
}

TEST(SampleParity, TakesBit8OfLeftXorRight)
{
    struct {
        std::int32_t left, right;
        unsigned bit;
    } const cases[] = {
        {256, 0, 1},
        {0, 256, 1},
        {12345, 12345, 0},
        {0x7ffffeff, 0, 0},          // every bit but 8
        {-257, 0x7fffffff, 1},       // 0xfffffeff ^ 0x7fffffff = 0x80000100
        {0x1ff, 0xff, 1},            // bits 0-7 agree or not, bit 8 differs
        {0x10000ff, 0x0000000, 0},
    };
    std::vector<std::int32_t> samples;
    for (const auto& c : cases)
        samples.insert(samples.end(), {c.left, c.right});
    const auto path = sndfile_write("parity.wav", samples, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_32);
    for (const std::uint32_t msb : {0u, 1u}) {
        const sndfile_ptr f = open_read(path);
        bitreader r;
        init_bits_sf(r, f.get(), 0);
        EXPECT_EQ(r.msb, 0u);
        EXPECT_EQ(r.get_bits_cb, nullptr);
        EXPECT_EQ(r.eof_cb, nullptr);
        r.msb = msb;
        // 1, 1, 0, 0, 1, 1, 0 with the first frame's bit first in the
        // reader's order.
        EXPECT_EQ(peek_bits(r, 7, 0), msb ? 0b1100110u : 0b0110011u);
        EXPECT_EQ(r.bitend, 7u);
    }
}

TEST(SampleParity, StreamRunsOnAcrossBlocksOfFrames)
{
    // 3 blocks of 4096 frames and a part block, in 24-bit WAV and FLAC.
    std::vector<unsigned> bits;
    std::vector<std::int32_t> samples;
    std::uint32_t x = 1;
    for (int i = 0; i < 3 * 4096 + 777; ++i) {
        x = x * 1103515245u + 12345u;
        const auto left = static_cast<std::int32_t>(x & 0xffffff00u);
        const unsigned bit = (x >> 7) & 1;
        bits.push_back(bit);
        samples.insert(samples.end(), {left, static_cast<std::int32_t>(static_cast<std::uint32_t>(left) ^ (bit << 8) ^ 0x7f000000u)});
    }
    for (const int format : {SF_FORMAT_WAV | SF_FORMAT_PCM_24, SF_FORMAT_FLAC | SF_FORMAT_PCM_24}) {
        const auto path = sndfile_write(format == (SF_FORMAT_FLAC | SF_FORMAT_PCM_24) ? "blocks.flac" : "blocks.wav", samples, 2, format);
        const sndfile_ptr f = open_read(path);
        bitreader r;
        init_bits_sf(r, f.get(), 0);
        r.msb = 1;
        EXPECT_EQ(read_bits(r, bits.size()), bits);
        EXPECT_EQ(r.bitpos, r.bitend) << "nothing beyond the last frame";
        r.fill_bits(r, 1);
        EXPECT_EQ(r.bitpos, r.bitend);
    }
}

TEST(SampleParity, ShortFileFillsWhatItHas)
{
    std::vector<std::int32_t> samples;
    for (int i = 0; i < 100; ++i)
        samples.insert(samples.end(), {0, i % 3 == 0 ? 256 : 0});
    const sndfile_ptr f = open_read(sndfile_write("short.w64", samples, 2, SF_FORMAT_W64 | SF_FORMAT_PCM_24));
    bitreader r;
    init_bits_sf(r, f.get(), 0);
    r.msb = 1;
    r.fill_bits(r, 1);
    EXPECT_EQ(r.bitend, 100u) << "fills to 1024 or as far as the samples go";
    EXPECT_EQ(peek_bits(r, 6, 0), 0b100100u);
    r.fill_bits(r, 1);
    EXPECT_EQ(r.bitend, 100u);
}

// A WAV in memory behind libsndfile's virtual I/O, whose reads return no
// more bytes than the next entry of a schedule allows.
struct memory_file {
    std::string bytes;
    sf_count_t pos = 0;
    std::deque<sf_count_t> caps;
    int reads = 0;
};

sf_count_t vio_length(void* u) { return static_cast<sf_count_t>(static_cast<memory_file*>(u)->bytes.size()); }
sf_count_t vio_tell(void* u) { return static_cast<memory_file*>(u)->pos; }
sf_count_t vio_seek(sf_count_t offset, int whence, void* u)
{
    auto* m = static_cast<memory_file*>(u);
    m->pos = whence == SEEK_SET ? offset : whence == SEEK_CUR ? m->pos + offset : vio_length(u) + offset;
    return m->pos;
}
sf_count_t vio_read(void* ptr, sf_count_t count, void* u)
{
    auto* m = static_cast<memory_file*>(u);
    if (!m->caps.empty()) {
        count = std::min(count, m->caps.front());
        m->caps.pop_front();
    }
    count = std::min(count, vio_length(u) - m->pos);
    std::memcpy(ptr, m->bytes.data() + m->pos, static_cast<std::size_t>(count));
    m->pos += count;
    ++m->reads;
    return count;
}

TEST(SampleParity, ShortReadDoesNotEndTheStream)
{
    std::vector<std::int32_t> samples;
    std::vector<unsigned> bits;
    for (int i = 0; i < 5000; ++i) {
        bits.push_back((i * 7 / 3) & 1);
        samples.insert(samples.end(), {i << 8, (i << 8) ^ static_cast<std::int32_t>(bits.back() << 8)});
    }
    memory_file m;
    std::ifstream in(sndfile_write("vio.wav", samples, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_24), std::ios::binary);
    m.bytes.assign(std::istreambuf_iterator<char>(in), {});
    SF_VIRTUAL_IO vio{vio_length, vio_seek, vio_read, nullptr, vio_tell};
    SF_INFO info{};
    const sndfile_ptr f{sf_open_virtual(&vio, SFM_READ, &info, &m)};
    ASSERT_TRUE(f) << sf_strerror(nullptr);

    m.caps = {300 * 6, 2700 * 6};  // 24-bit stereo: 6 bytes a frame
    m.reads = 0;
    bitreader r;
    init_bits_sf(r, f.get(), 0);
    r.msb = 1;
    r.fill_bits(r, 1);
    EXPECT_GE(m.reads, 2) << "the first read came back short";
    EXPECT_EQ(r.bitend, 1024u);
    EXPECT_EQ(read_bits(r, 5000), bits);
}

TEST(SampleParity, SyncFoundWithin1024PositionsOfTheStart)
{
    static std::uint32_t skipped;
    for (const unsigned pad : {0u, 1u, 1023u, 1024u}) {
        const auto path = kesgen_file("pad" + std::to_string(pad) + ".flac",
                                      "zeros " + std::to_string(pad) + "\nsync\nzeros 8\n");
        const sndfile_ptr f = open_read(path);
        bitreader r;
        init_bits_sf(r, f.get(), 0);
        r.msb = 1;
        skipped = 0;
        r.get_bits_cb = [](std::uint64_t, std::int32_t n) { skipped += static_cast<std::uint32_t>(n); };
        const std::int32_t found = find_sync(r, 0x00048C49E0AB2C, 56, 1024);
        EXPECT_EQ(found, pad < 1024 ? 0 : -1) << pad;
        EXPECT_EQ(skipped, std::min(pad, 1024u)) << pad;
    }
}

}  // namespace
