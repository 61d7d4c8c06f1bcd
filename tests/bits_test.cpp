// SPDX-License-Identifier: MIT
// What the transcripts cannot reach: the reader's window and refill
// contract.
#include "bits.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A most-significant-first reader over a list of bits that records what its
// refill is asked for and what its observer sees.
std::vector<unsigned> source;
std::size_t next_bit;
std::vector<std::int32_t> asked;
std::vector<std::pair<std::uint64_t, std::int32_t>> observed;

struct out_of_data {};

bitreader list_reader(std::vector<unsigned> bits)
{
    source = std::move(bits);
    next_bit = 0;
    asked.clear();
    observed.clear();
    bitreader r;
    init_bits(r);
    r.msb = 1;
    r.fill_bits = [](bitreader& b, std::int32_t n) {
        asked.push_back(n);
        for (; b.bitend < 1024 && next_bit < source.size(); ++b.bitend) {
            const std::uint32_t bit = 1u << (31 - b.bitend % 32);
            b.bitbuf[b.bitend / 32] = (b.bitbuf[b.bitend / 32] & ~bit) | (source[next_bit++] ? bit : 0);
        }
    };
    r.eof_cb = [](void*) { throw out_of_data{}; };
    r.get_bits_cb = [](void*, std::uint64_t v, std::int32_t n) { observed.emplace_back(v, n); };
    return r;
}

TEST(BitReader, CompactsOnlyWhenAReadDoesNotFitAndAsksForTheRest)
{
    bitreader r = list_reader(std::vector<unsigned>(100, 1));
    for (std::uint32_t i = 0; i < 32; ++i)
        r.bitbuf[i] = i;
    r.bitpos = 40;
    r.bitend = 70;
    EXPECT_EQ(peek_bits(r, 30, 0), 1u << 6) << "fits: word 1's last 24 cells, word 2's first 6";
    EXPECT_TRUE(asked.empty());
    // Cells 55..74: the last 9 of word 1 (0...01), the 6 of word 2 below
    // bitend (zeros), then 5 ones from the refill.
    EXPECT_EQ(peek_bits(r, 20, 15), 0b00000000'1'000000'11111u);
    EXPECT_EQ(asked, std::vector<std::int32_t>{35}) << "offs + n beyond bitpos, not a cell index";
    EXPECT_EQ(r.bitpos, 8u);
    EXPECT_EQ(r.bitend, 138u);
}

TEST(BitReader, EndOfDataAndTheWindowLimit)
{
    bitreader r = list_reader(std::vector<unsigned>(40, 1));
    EXPECT_EQ(get_ubits(r, 33), 0x1ffffffffu);
    EXPECT_THROW(get_ubits(r, 8), out_of_data);
    EXPECT_EQ(observed.size(), 1u) << "a failed read is not observed";
    r.eof_cb = nullptr;
    EXPECT_EQ(get_ubits(r, 8), 0u);
    EXPECT_LE(r.bitpos, r.bitend);

    // Only whole consumed words are dropped: a read reaching past cell 1023
    // from where bitpos % 32 stands fails though the source has bits.
    r = list_reader(std::vector<unsigned>(2000, 0));
    get_ubits(r, 20);
    peek_bits(r, 32, 1024 - 32 - 20 - 1);
    EXPECT_THROW(peek_bits(r, 32, 1024 - 32 - 20 + 1), out_of_data);
}

TEST(BitReader, FindSyncStopsOnThePatternsFirstBit)
{
    // 1011'0011 from bit 7, after ones that never match.
    const std::vector<unsigned> bits = {1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 0, 0, 1, 1, 0, 0, 0};
    for (const std::int32_t max : {7, 8, 100}) {
        bitreader r = list_reader(bits);
        EXPECT_EQ(find_sync(r, 0xb3, 8, max), max > 7 ? 0 : -1);
        EXPECT_EQ(r.bitpos, 7u);
        EXPECT_EQ(observed, (std::vector<std::pair<std::uint64_t, std::int32_t>>(7, {1, 1})));
    }
    bitreader r = list_reader(bits);
    EXPECT_EQ(find_sync(r, 0xb3, 8, 0), -1);
    EXPECT_TRUE(asked.empty()) << "max 0 does not even peek";
}

TEST(BitReader, PutByteAtEveryOffsetKeepsItsNeighbours)
{
    for (std::uint32_t s = 0; s < 32; ++s) {
        bitreader r;
        init_bits(r);
        r.bitbuf.fill(~0u);
        r.bitend = s;
        put_byte(r, 0x5a);
        r.bitend = 64;
        EXPECT_EQ(peek_bits(r, 8, s), 0x5au) << s;
        EXPECT_EQ(peek_bits64(r, 64, 0) | std::uint64_t{0xff} << s, ~0ull) << s;
    }
}

TEST(BitReader, FillsFromMemoryAByteAtATime)
{
    const std::uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a};
    bitreader r;
    init_bits(r);
    r.fill_bits = fill_bits_buf;
    r.data = bytes;
    EXPECT_EQ(get_ubits(r, 12), 0x201u);
    EXPECT_EQ(r.data, bytes + 2) << "whole bytes, no more than needed";
    EXPECT_EQ(get_ubits(r, 64), 0xa090807060504030u);
}

}  // namespace
