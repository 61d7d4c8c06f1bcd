// SPDX-License-Identifier: MIT
#include "sfbits.hpp"

#include "testfiles.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <atomic>
#include <deque>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

namespace {

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

// A kesgen WAV of n bits, bit i being (i * step / 3) & 1, in m; the list
// that made it is in list.
sndfile_ptr open_in_memory(memory_file& m, const char* name, int n, int step, std::string& list)
{
    list = "bits ";
    for (int i = 0; i < n; ++i)
        list += (i * step / 3) & 1 ? '1' : '0';
    std::ifstream in(kesgen_file(name, list), std::ios::binary);
    m.bytes.assign(std::istreambuf_iterator<char>(in), {});
    static SF_VIRTUAL_IO vio{vio_length, vio_seek, vio_read, nullptr, vio_tell};
    SF_INFO info{};
    return sndfile_ptr{sf_open_virtual(&vio, SFM_READ, &info, &m)};
}

TEST(SampleParity, ShortReadsGoOnAndTheEndIsFinal)
{
    std::string list;
    memory_file m;
    const sndfile_ptr f = open_in_memory(m, "vio.wav", 5000, 7, list);
    ASSERT_TRUE(f) << sf_strerror(nullptr);

    // 24-bit stereo: 6 bytes a frame. A short read, of one frame too, is
    // used and the next follows; a read that gives nothing ends the file for good, even where
    // a later read would give more: libsndfile clears the error of a
    // damaged file at every read, so a later read would hide it. Both bit
    // orders, gathered with the widest vectors and with the baseline ones.
    decltype(bitreader::fill_bits) fills[2] = {};
    const auto source = std::make_unique<sample_source>();
    const auto block = std::make_unique<sndfile_block>();
    for (const bool wide : {true, false}) {
        sample_wide_vectors(wide);
        for (const std::uint32_t msb : {0u, 1u}) {
            for (const sf_count_t second : {2700 * 6, 6, 0}) {
                m.caps = {300 * 6, second};
                sf_seek(f.get(), 0, SEEK_SET);
                bitreader r;
                init_bits_sf(r, *source, *block, f.get(), 0);
                fills[wide] = r.fill_bits;
                r.msb = msb;
                r.eof_cb = [](void*) { throw std::out_of_range("end of samples"); };
                const std::size_t n = second ? 5000 : 300;
                std::string got = "bits ";
                while (got.size() < 5 + n)
                    got += get_ubits(r, 1) ? '1' : '0';
                EXPECT_EQ(got, list.substr(0, 5 + n)) << wide << msb;
                EXPECT_THROW(get_ubits(r, 1), std::out_of_range);
            }
        }
    }
    EXPECT_FALSE(sample_wide_vectors(true));
#if defined(__x86_64__) && defined(__GNUC__)
    if (__builtin_cpu_supports("avx2")) {
        EXPECT_NE(fills[0], fills[1]) << "the two settings take different paths";
    }
#endif
}

// The frames after the audio are never the reader's: a length stops it,
// and frames held back at the end (a header written again after the
// samples of a pipe) are dropped there, also when a start is skipped to,
// and also when the reads come short.
TEST(SampleParity, TheLengthAndTheFramesHeldBackBoundTheAudio)
{
    std::string list;
    memory_file m;
    const sndfile_ptr f = open_in_memory(m, "held.wav", 9000, 5, list);
    ASSERT_TRUE(f) << sf_strerror(nullptr);
    const auto source = std::make_unique<sample_source>();
    struct bound {
        std::uint64_t left;
        std::uint32_t withhold;
        std::int64_t skip;
        std::deque<sf_count_t> caps;
        std::size_t first, end;
    };
    const bound cases[] = {
        {~std::uint64_t{0}, 700, 0, {}, 0, 8300},
        {~std::uint64_t{0}, 700, 1000, {}, 1000, 8300},
        {~std::uint64_t{0}, 700, 5000, {600 * 6, 100 * 6, 50 * 6}, 5000, 8300},
        {~std::uint64_t{0}, 2047, 8000, {}, 0, 0},  // the start is in what is held back
        {6000, 0, 4500, {}, 4500, 6000},
        {6000, 300, 0, {10 * 6}, 0, 5700},
    };
    for (const bound& c : cases) {
        const auto block = std::make_unique<sndfile_block>();
        block->left = c.left;
        block->withhold = c.withhold;
        m.caps = c.caps;
        sf_seek(f.get(), 0, SEEK_SET);
        const std::int64_t skipped = skip_frames(*block, f.get(), c.skip);
        if (c.end == 0) {
            EXPECT_EQ(skipped, 9000 - 2047);
            continue;
        }
        EXPECT_EQ(skipped, c.skip);
        bitreader r;
        init_bits_sf(r, *source, *block, f.get(), 0);
        r.eof_cb = [](void*) { throw std::out_of_range("end of samples"); };
        std::string got;
        while (got.size() < c.end - c.first)
            got += get_ubits(r, 1) ? '1' : '0';
        EXPECT_EQ(got, list.substr(5 + c.first, c.end - c.first)) << c.skip << " " << c.withhold;
        EXPECT_THROW(get_ubits(r, 1), std::out_of_range);
    }
}

// A decoder's blocks, a buffer a channel in the stream's own width, give the
// bits libsndfile's 32-bit form gives: bit 8 of left XOR right once each
// sample is shifted up by 32 - width, so none below 24 bits carries any.
// Blocks of odd lengths begin and end inside the window's words. Both bit
// orders, both vector paths; the bytes the blocks stand for are counted.
struct planar_decoder {
    std::vector<std::vector<std::int32_t>> left, right;
    std::size_t next = 0;
    std::uint32_t width = 0;
};

bool next_planar(sample_source& s)
{
    auto& d = *static_cast<planar_decoder*>(s.opaque);
    if (d.next == d.left.size())
        return false;
    s.left = d.left[d.next].data();
    s.right = d.right[d.next].data();
    s.bufend = static_cast<std::uint32_t>(d.left[d.next].size());
    set_sample_width(s, d.width);
    ++d.next;
    return true;
}

TEST(SampleParity, PlanarBlocksInTheirOwnWidth)
{
    std::mt19937 random(7);
    for (const std::uint32_t width : {8u, 16u, 20u, 23u, 24u, 25u, 32u}) {
        planar_decoder d;
        d.width = width;
        std::string expected;
        for (const std::size_t n : {37, 4096, 5, 1000, 64}) {
            d.left.emplace_back();
            d.right.emplace_back();
            for (std::size_t i = 0; i < n; ++i) {
                // A sample of width bits, sign-extended as the decoder holds it.
                const auto l = static_cast<std::int32_t>(random() << (32 - width)) >> (32 - width);
                const auto r = static_cast<std::int32_t>(random() << (32 - width)) >> (32 - width);
                d.left.back().push_back(l);
                d.right.back().push_back(r);
                expected += (static_cast<std::uint32_t>(l ^ r) << (32 - width)) >> 8 & 1 ? '1' : '0';
            }
        }
        for (const bool wide : {true, false}) {
            sample_wide_vectors(wide);
            for (const std::uint32_t msb : {0u, 1u}) {
                d.next = 0;
                const auto s = std::make_unique<sample_source>();
                bitreader r;
                init_bits_source(r, *s, block_layout::planar, next_planar, &d, 0);
                scan_counters counted;
                s->counters = &counted;
                s->bytes_per_frame = 6;
                r.msb = msb;
                EXPECT_EQ(bits_to_end(r), expected) << width << " bits, wide " << wide << ", msb " << msb;
                EXPECT_EQ(counted.bytes, 6 * expected.size());
            }
        }
        EXPECT_EQ(expected.find('1') == std::string::npos, width < 24) << width;
    }
    sample_wide_vectors(true);
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
        sample_source source;
        const auto block = std::make_unique<sndfile_block>();
        init_bits_sf(r, source, *block, f.get(), 0);
        r.msb = 1;
        skipped = 0;
        r.get_bits_cb = [](void*, std::uint64_t, std::int32_t n) { skipped += static_cast<std::uint32_t>(n); };
        EXPECT_EQ(find_sync(r, 0x00048C49E0AB2C, 56, 1024), pad < 1024 ? 0 : -1) << pad;
        EXPECT_EQ(skipped, std::min(pad, 1024u)) << pad;
    }
}

}  // namespace
