#include "bits.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

// The cell k of a full window, straight from the placement rule.
unsigned cell(const bitreader& r, std::uint32_t k)
{
    const std::uint32_t bit = r.msb ? 31 - k % 32 : k % 32;
    return (r.bitbuf[k / 32] >> bit) & 1;
}

// The value of n cells from cell q, assembled one cell at a time.
std::uint64_t model(const bitreader& r, std::uint32_t q, std::uint32_t n)
{
    std::uint64_t v = 0;
    for (std::uint32_t i = 0; i < n; ++i)
        v = r.msb ? v << 1 | cell(r, q + i) : v | std::uint64_t{cell(r, q + i)} << i;
    return v;
}

bitreader full_window(std::uint32_t msb)
{
    bitreader r;
    init_bits(r);
    std::uint32_t x = 0x9e3779b9;
    for (auto& w : r.bitbuf) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        w = x;
    }
    r.bitend = 1024;
    r.msb = msb;
    return r;
}

TEST(BitReader, PeeksMatchThePlacementOfCellsInBothOrders)
{
    for (const std::uint32_t msb : {0u, 1u}) {
        bitreader r = full_window(msb);
        // Starts at, just before and just after word boundaries, widths up
        // to 64, and reads that end exactly at the last cell.
        for (const std::uint32_t pos : {0u, 1u, 5u, 31u, 32u, 33u, 63u, 100u, 960u, 990u})
            for (std::uint32_t n = 1; n <= 64 && pos + n <= 1024; ++n) {
                r.bitpos = pos;
                ASSERT_EQ(peek_bits64(r, n, 0), model(r, pos, n)) << "msb " << msb << " pos " << pos << " n " << n;
                r.bitpos = 0;
                ASSERT_EQ(peek_bits64(r, n, pos), model(r, pos, n)) << "offs " << pos;
            }
        r.bitpos = 1024 - 32;
        EXPECT_EQ(peek_bits(r, 32, 0), r.bitbuf[31]) << "a word-aligned read is the word";
    }
}

TEST(BitReader, SplitsWideReadsByOrder)
{
    bitreader r;
    init_bits(r);
    r.msb = 1;
    r.bitbuf[0] = 0x00048C49;
    r.bitbuf[1] = 0xE0AB2C5A;
    r.bitend = 64;
    EXPECT_EQ(peek_bits64(r, 56, 0), 0x00048C49E0AB2Cu) << "first 24 cells are bits 55..32";
    r.msb = 0;
    EXPECT_EQ(peek_bits64(r, 40, 0), 0x5A00048C49u) << "the first 32 cells are bits 31..0";
    EXPECT_EQ(peek_bits64(r, 64, 0), 0xE0AB2C5A00048C49u);
}

TEST(BitReader, PutByteAppendsLeastSignificantFirst)
{
    bitreader r;
    init_bits(r);
    for (const int b : {0x8c, 0x49, 0xe0, 0xab, 0xa5})
        put_byte(r, b);
    EXPECT_EQ(r.bitend, 40u);
    EXPECT_EQ(get_ubits(r, 32), 0xabe0498cu);
    EXPECT_EQ(get_ubits(r, 5), 0x05u);
    EXPECT_EQ(get_ubits(r, 3), 0x05u);

    // An unaligned end spills the byte into the next word and keeps every
    // other bit of both words.
    init_bits(r);
    r.bitbuf[0] = 0x0fffffff;
    r.bitbuf[1] = 0xfffffff0;
    r.bitend = 28;
    put_byte(r, 0x5a);
    EXPECT_EQ(r.bitbuf[0], 0xafffffffu);
    EXPECT_EQ(r.bitbuf[1], 0xfffffff5u);
    EXPECT_EQ(r.bitend, 36u);
}

TEST(BitReader, FillsFromMemoryAsNeeded)
{
    const std::uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a};
    bitreader r;
    init_bits(r);
    r.fill_bits = fill_bits_buf;
    r.data = bytes;
    EXPECT_EQ(get_ubits(r, 12), 0x201u);
    EXPECT_EQ(r.data, bytes + 2) << "takes whole bytes, no more than needed";
    EXPECT_EQ(get_ubits(r, 64), 0xa090807060504030u);
    EXPECT_EQ(r.data, bytes + 10);
}

// A refill that records its argument and appends cells from a list.
std::vector<std::int32_t> refill_args;
std::vector<unsigned> source_bits;
std::size_t source_next;

void list_refill(bitreader& r, std::int32_t n)
{
    refill_args.push_back(n);
    while (r.bitend < 1024 && source_next < source_bits.size()) {
        const std::uint32_t k = r.bitend++;
        const std::uint32_t bit = r.msb ? 31 - k % 32 : k % 32;
        r.bitbuf[k / 32] = (r.bitbuf[k / 32] & ~(1u << bit)) | source_bits[source_next++] << bit;
    }
}

struct out_of_data {};
void throw_eof()
{
    throw out_of_data{};
}

std::vector<std::pair<std::uint64_t, std::int32_t>> observed;
const bitreader* watched;
std::vector<std::uint32_t> observed_pos;
void observe(std::uint64_t v, std::int32_t n)
{
    observed.emplace_back(v, n);
    if (watched)
        observed_pos.push_back(watched->bitpos);
}

bitreader list_reader(std::vector<unsigned> bits)
{
    source_bits = std::move(bits);
    source_next = 0;
    refill_args.clear();
    observed.clear();
    observed_pos.clear();
    watched = nullptr;
    bitreader r;
    init_bits(r);
    r.msb = 1;
    r.fill_bits = list_refill;
    r.eof_cb = throw_eof;
    r.get_bits_cb = observe;
    return r;
}

TEST(BitReader, CompactsOnlyWhenAReadDoesNotFit)
{
    bitreader r = list_reader({});
    for (std::uint32_t i = 0; i < 32; ++i)
        r.bitbuf[i] = i;
    r.bitpos = 40;
    r.bitend = 70;
    peek_bits(r, 30, 0);
    EXPECT_TRUE(refill_args.empty()) << "a read that fits never compacts";
    EXPECT_EQ(r.bitbuf[0], 0u);

    source_bits.assign(100, 1);
    peek_bits(r, 20, 15);
    EXPECT_EQ(r.bitpos, 8u);
    EXPECT_EQ(r.bitbuf[0], 1u);
    EXPECT_EQ(r.bitbuf[30], 31u);
    EXPECT_EQ(refill_args, std::vector<std::int32_t>{35}) << "the refill is asked for offs + n beyond bitpos";
    EXPECT_EQ(r.bitend, 138u);
}

TEST(BitReader, ObserverSeesEachReadAfterItsBits)
{
    bitreader r = list_reader({1, 0, 1, 1, 0, 0, 1, 0, 1});
    watched = &r;
    EXPECT_EQ(get_ubits(r, 3), 5u);
    EXPECT_EQ(get_sbits(r, 6), -27);
    EXPECT_EQ(observed, (std::vector<std::pair<std::uint64_t, std::int32_t>>{{5, 3}, {0x25, 6}}));
    EXPECT_EQ(observed_pos, (std::vector<std::uint32_t>{3, 9}));
}

TEST(BitReader, SignExtendsFromTheTopBit)
{
    bitreader r = list_reader({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 0, 1, 0, 0});
    EXPECT_EQ(get_sbits(r, 10), -512);
    EXPECT_EQ(get_sbits(r, 10), -12);
    r = list_reader(std::vector<unsigned>(64, 1));
    EXPECT_EQ(get_sbits(r, 64), -1);
}

TEST(BitReader, EndOfDataWhenTheSourceRunsShort)
{
    bitreader r = list_reader(std::vector<unsigned>(40, 1));
    EXPECT_EQ(get_ubits(r, 33), 0x1ffffffffu);
    EXPECT_THROW(get_ubits(r, 8), out_of_data);
    EXPECT_EQ(observed.size(), 1u) << "a failed read is not observed";

    // Without an end operation a read past the end yields 0 and the window
    // stays consistent.
    r.eof_cb = nullptr;
    EXPECT_EQ(get_ubits(r, 8), 0u);
    EXPECT_LE(r.bitpos, r.bitend);

    // Only whole consumed words are dropped, so a read reaching past cell
    // 1023 from where bitpos % 32 stands fails even though the source has
    // bits to give.
    r = list_reader(std::vector<unsigned>(2000, 0));
    get_ubits(r, 20);
    peek_bits(r, 32, 1024 - 32 - 20 - 1);
    EXPECT_THROW(peek_bits(r, 32, 1024 - 32 - 20 + 1), out_of_data);
}

TEST(BitReader, FindSyncStopsOnThePatternsFirstBit)
{
    // 0b1011'0011 starting at bit 7, preceded by ones that never match.
    const std::vector<unsigned> bits = {1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 0, 0, 1, 1, 0, 0, 0};
    for (const std::int32_t max : {8, 9, 100}) {
        bitreader r = list_reader(bits);
        EXPECT_EQ(find_sync(r, 0xb3, 8, max), 0);
        EXPECT_EQ(r.bitpos, 7u);
        EXPECT_EQ(observed, (std::vector<std::pair<std::uint64_t, std::int32_t>>(7, {1, 1})));
    }
    bitreader r = list_reader(bits);
    EXPECT_EQ(find_sync(r, 0xb3, 8, 7), -1);
    EXPECT_EQ(r.bitpos, 7u);
    EXPECT_EQ(observed.size(), 7u);

    r = list_reader(bits);
    EXPECT_EQ(find_sync(r, 0xb3, 8, 0), -1);
    EXPECT_TRUE(refill_args.empty()) << "max 0 does not even peek";
}

TEST(BitReader, PositionsCompareAcrossTheWrap)
{
    EXPECT_TRUE(pos_before(0xfffffff0u, 0x10u));
    EXPECT_FALSE(pos_before(0x10u, 0xfffffff0u));
    EXPECT_TRUE(pos_before(7u, 8u));
    EXPECT_FALSE(pos_before(8u, 8u));
    EXPECT_TRUE(pos_before(0xffffffffu, 0u));
}

}  // namespace
