#include "sfbits.hpp"

#include "testfiles.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

TEST(SampleParity, TakesBit8OfLeftXorRightInTheReadersOrder)
{
    const std::int32_t samples[] = {
        256, 0,               // 1
        0, 256,               // 1
        12345, 12345,         // 0
        0x7ffffeff, 0,        // 0: every bit but 8
        -257, 0x7fffffff,     // 1: 0xfffffeff ^ 0x7fffffff = 0x80000100
        0x1ff, 0xff,          // 1: bits 0-7 do not count
        0x10000ff, 0,         // 0
    };
    const std::string path = sndfile_write("parity.wav", {std::begin(samples), std::end(samples)}, 2,
                                           SF_FORMAT_WAV | SF_FORMAT_PCM_32);
    for (const std::uint32_t msb : {0u, 1u}) {
        SF_INFO info{};
        const sndfile_ptr f{sf_open(path.c_str(), SFM_READ, &info)};
        bitreader r;
        init_bits_sf(r, f.get(), 0);
        EXPECT_TRUE(r.msb == 0 && !r.get_bits_cb && !r.eof_cb) << "left for the caller";
        r.msb = msb;
        EXPECT_EQ(peek_bits(r, 7, 0), msb ? 0b1100110u : 0b0110011u);
        EXPECT_EQ(r.bitend, 7u) << "as far as the samples go";
    }
}

// A WAV in memory behind libsndfile's virtual I/O, whose reads return no
// more bytes than the next entry of a schedule allows.
struct memory_file {
    std::string bytes;
    sf_count_t pos = 0;
    std::deque<sf_count_t> caps;
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
    return count;
}

TEST(SampleParity, ShortReadsGoOnAndTheEndIsFinal)
{
    std::vector<std::int32_t> samples;
    std::vector<std::uint64_t> bits;
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

    // 24-bit stereo: 6 bytes a frame. A short read is used and the next
    // follows; a read that gives nothing ends the file for good, even where
    // a later read would give more: libsndfile clears the error of a
    // damaged file at every read, so a later read would hide it.
    for (const sf_count_t second : {2700 * 6, 0}) {
        m.caps = {300 * 6, second};
        sf_seek(f.get(), 0, SEEK_SET);
        bitreader r;
        init_bits_sf(r, f.get(), 0);
        r.msb = 1;
        r.eof_cb = [] { throw std::out_of_range("end of samples"); };
        const std::size_t n = second ? bits.size() : 300;
        std::vector<std::uint64_t> got;
        while (got.size() < n)
            got.push_back(get_ubits(r, 1));
        EXPECT_EQ(got, std::vector<std::uint64_t>(bits.begin(), bits.begin() + static_cast<std::ptrdiff_t>(n)));
        EXPECT_THROW(get_ubits(r, 1), std::out_of_range);
    }
}

TEST(SampleParity, SyncFoundWithin1024PositionsOfTheStart)
{
    static std::uint32_t skipped;
    for (const unsigned pad : {0u, 1u, 1023u, 1024u}) {
        const std::string path = kesgen_file("pad" + std::to_string(pad) + ".flac",
                                             "zeros " + std::to_string(pad) + "\nsync\nzeros 8\n");
        SF_INFO info{};
        const sndfile_ptr f{sf_open(path.c_str(), SFM_READ, &info)};
        bitreader r;
        init_bits_sf(r, f.get(), 0);
        r.msb = 1;
        skipped = 0;
        r.get_bits_cb = [](std::uint64_t, std::int32_t n) { skipped += static_cast<std::uint32_t>(n); };
        EXPECT_EQ(find_sync(r, 0x00048C49E0AB2C, 56, 1024), pad < 1024 ? 0 : -1) << pad;
        EXPECT_EQ(skipped, std::min(pad, 1024u)) << pad;
    }
}

}  // namespace
