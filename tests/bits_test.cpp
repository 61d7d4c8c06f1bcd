#include "bits.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
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

    // Cells 55..74: the last 9 of word 1 (0...01), the 6 of word 2 below
    // bitend (zeros), then 5 ones from the refill.
    source_bits.assign(100, 1);
    EXPECT_EQ(peek_bits(r, 20, 15), 0b00000000'1'000000'11111u);
    EXPECT_EQ(r.bitpos, 8u);
    EXPECT_EQ(r.bitbuf[0], 1u);
    EXPECT_EQ(refill_args, std::vector<std::int32_t>{35}) << "the refill is asked for offs + n beyond bitpos";
    EXPECT_EQ(r.bitend, 138u);
}

TEST(BitReader, ObserverSeesEachReadAfterItsBitsAndSignsExtend)
{
    bitreader r = list_reader({1, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    watched = &r;
    EXPECT_EQ(get_ubits(r, 3), 5u);
    EXPECT_EQ(get_sbits(r, 6), -27);
    EXPECT_EQ(get_sbits(r, 10), -512);
    EXPECT_EQ(observed, (std::vector<std::pair<std::uint64_t, std::int32_t>>{{5, 3}, {0x25, 6}, {0x200, 10}}));
    EXPECT_EQ(observed_pos, (std::vector<std::uint32_t>{3, 9, 19}));
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

// ---------------------------------------------------------------------------
// Printer

#include "ker-common.hpp"

namespace {

bitreader byte_reader(std::initializer_list<int> bytes)
{
    bitreader r;
    init_bits(r);
    for (const int b : bytes)
        put_byte(r, b);
    return r;
}

class Printer : public testing::Test {
protected:
    void SetUp() override { print_verbosity(1); }
    void TearDown() override { print_verbosity(1); }
};

const std::string pad(10, ' ');

TEST_F(Printer, FieldValueFormats)
{
    struct {
        std::int32_t size, flags;
        std::initializer_list<int> bytes;
        const char* const* values;
        std::uint64_t value;
        std::string text;
    } const cases[] = {
        {5, BF_HEX, {0x09}, nullptr, 9, "f                          5: 0x09\n"},
        {32, BF_HEX, {0x8c, 0x49, 0xe0, 0xab}, nullptr, 0xabe0498c, "f                         32: 0xabe0498c\n"},
        {8, BF_HEX, {0x2c}, nullptr, 0x2c, "f                          8: 0x2c\n"},
        {10, BF_SIGNED, {0xf4, 0x03}, nullptr, static_cast<std::uint64_t>(-12), "f                         10: -12\n"},
        {10, BF_SIGNED | BF_HEX, {0xf4, 0x03}, nullptr, static_cast<std::uint64_t>(-12), "f                         10: 0xfffffffffffffff4\n"},
        {16, BF_SIGNED, {0x00, 0x80}, nullptr, static_cast<std::uint64_t>(-32768), "f                         16: -32768\n"},
        {8, BF_CHAR, {0x41}, nullptr, 0x41, "f                          8: 0x41 'A'\n"},
        {8, BF_CHAR, {0x07}, nullptr, 0x07, "f                          8: 0x07 '\x07'\n"},
        {64, 0, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, nullptr, ~0ull, "f                         64: 18446744073709551615\n"},
        {2, 0, {0x02}, kes_bitdepths, 2, "f                          2: 2 [16 bits]\n"},
        {5, BF_HEX, {0x0c}, ker_rates, 12, "f                          5: 0x0c [768 kHz]\n"},
        {5, BF_HEX, {0x18}, ker_rates, 24, "f                          5: 0x18\n"},
        {3, BF_NONL, {0x05}, nullptr, 5, "f                          3: 5"},
    };
    for (const auto& c : cases) {
        bitreader r = byte_reader(c.bytes);
        testing::internal::CaptureStdout();
        EXPECT_EQ(print_field(r, c.size, c.flags, "f", c.values), c.value) << c.text;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), pad + c.text);
    }
    bitreader r = byte_reader({1});
    testing::internal::CaptureStdout();
    print_field(r, 1, 0, "a_name_longer_than_its_column", nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), pad + "a_name_longer_than_its_column   1: 1\n");
}

// The fixed columns are built once per name and width and then reused;
// the line must not depend on what was printed before it, also when more
// widths of one name come than are kept, or a name is too long to keep.
TEST_F(Printer, FieldColumnsRepeatExactly)
{
    const char* const names[] = {"n", "name_of_24_characters___", "name_of_25_characters____"};
    for (int pass = 0; pass < 2; ++pass) {
        for (const char* name : names) {
            for (std::int32_t size = 1; size <= 64; ++size) {
                bitreader r = byte_reader({1, 0, 0, 0, 0, 0, 0, 0});
                char expected[80];
                std::snprintf(expected, sizeof expected, "%10s%-24s%4d: 1\n", "", name, size);
                testing::internal::CaptureStdout();
                print_field(r, size, 0, name, nullptr);
                EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
            }
        }
    }
}

TEST_F(Printer, LevelZeroReadsEverythingAndPrintsNothing)
{
    static constexpr bitfield table[] = {
        {8, BF_RET, "size", nullptr},
        {16, BF_SIGNED, "gain", nullptr},
        {24, BF_DATA | BF_CHAR, "data", nullptr},
        {0, 0, nullptr, nullptr},
    };
    static constexpr frame f = {"gain", table, nullptr};
    bitreader r = byte_reader({0x02, 0xf4, 0xff, 'a', 'b', 'c', 0x99});
    EXPECT_EQ(print_verbosity(0), 1);
    EXPECT_EQ(print_verbosity(-1), 0) << "a negative level only asks";
    testing::internal::CaptureStdout();
    EXPECT_EQ(print_frame(r, f, 2, 0x1234), 2u);
    EXPECT_EQ(print_verbose(0, "x"), 1);
    EXPECT_EQ(print_verbose(1, "y"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "x");
    EXPECT_EQ(r.bitpos, 48u);
}

TEST_F(Printer, FieldTablesReturnAndStoreMarkedValues)
{
    static constexpr bitfield table[] = {
        {4, BF_RET, "first", nullptr},
        {4, 0, "width", nullptr},
        {1, BF_VARSIZE | BF_RET, "sized", nullptr},     // width from entry 1
        {17, BF_VARSIZE | BF_NONL, "again", nullptr},   // 17 mod 16: entry 1 too
        {8, BF_HEX, "tail", nullptr},
        {0, 0, nullptr, nullptr},
    };
    // first 3, width 5, sized 5 bits 0x15, again 5 bits 0x0a, tail 0xa5
    bitreader r = byte_reader({0x53, 0x55, 0xa5, 0x02});
    std::uint64_t out[2] = {};
    testing::internal::CaptureStdout();
    EXPECT_EQ(print_fields(r, table, out), 0x15u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              pad + "first                      4: 3\n" +
              pad + "width                      4: 5\n" +
              pad + "sized                      5: 21\n" +
              pad + "again                      5: 10" +
              pad + "tail                       8: 0xa9\n");
    EXPECT_EQ(out[0], 3u);
    EXPECT_EQ(out[1], 0x15u);
    EXPECT_EQ(r.bitpos, 26u);
}

std::int32_t minus_two(bitreader& r, std::uint32_t type)
{
    get_ubits(r, 8);
    return -static_cast<std::int32_t>(type);
}

TEST_F(Printer, FrameHeaderAndDecoder)
{
    static constexpr bitfield table[] = {{8, BF_RET, "size", nullptr}, {0, 0, nullptr, nullptr}};
    bitreader r = byte_reader({0x07, 0x08});
    testing::internal::CaptureStdout();
    EXPECT_EQ(print_frame(r, frame{"seven", table, nullptr}, 0xab, 0x123456789), 7u);
    EXPECT_EQ(print_frame(r, frame{nullptr, nullptr, minus_two}, 2, 0x10), static_cast<std::uint64_t>(-2));
    EXPECT_EQ(print_frame(r, frame{}, 255, 0), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "123456789: [ab] seven\n" + pad + "size                       8: 7\n"
              "00000010: [2] unknown type\n"
              "00000000: [ff] unknown type\n");
    EXPECT_EQ(r.bitpos, 16u) << "a frame with neither handler nor fields reads nothing";
}

TEST_F(Printer, DataDumps)
{
    const auto dump = [](std::int32_t level, std::int32_t bits, std::int32_t flags, std::initializer_list<int> bytes) {
        print_verbosity(level);
        bitreader r = byte_reader(bytes);
        testing::internal::CaptureStdout();
        EXPECT_EQ(print_field(r, bits, BF_DATA | flags, "data", nullptr), 0u);
        EXPECT_EQ(r.bitpos, static_cast<std::uint32_t>(bits)) << "every bit is read";
        return testing::internal::GetCapturedStdout();
    };
    const std::string prefix = pad + "data                    ";
    const std::string row = std::string(14, ' ');
    std::initializer_list<int> sixteen = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    EXPECT_EQ(dump(2, 128, 0, sixteen),
              prefix + " 128: \n" + row + "00000000:  00 01 02 03 04 05 06 07  08 09 0a 0b 0c 0d 0e 0f\n");
    EXPECT_EQ(dump(2, 160, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0xff, 0xfe, 0xfd, 0xfc}),
              prefix + " 160: \n" +
              row + "00000000:  00 01 02 03 04 05 06 07  08 09 0a 0b 0c 0d 0e 0f\n" +
              row + "00000080:  ff fe fd fc\n");
    EXPECT_EQ(dump(1, 128, 0, sixteen), prefix + " 128: [skipped]\n");
    EXPECT_EQ(dump(0, 128, 0, sixteen), "");
    EXPECT_EQ(dump(2, 0, 0, {}), "");

    std::string text = "The quick brown fox jumps over t";
    text += "he\x7f\x1f\xa0 \x7e!";
    bitreader r;
    init_bits(r);
    for (const char c : text)
        put_byte(r, static_cast<unsigned char>(c));
    print_verbosity(2);
    testing::internal::CaptureStdout();
    print_field(r, 320, BF_DATA | BF_CHAR, "text", nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              pad + "text                     320: \n" +
              row + "00000000: |The quick brown fox jumps over t|\n" +
              row + "00000100: |he... ~!\n");
}

TEST_F(Printer, DataBlocksDeliverTheirBytes)
{
    // 21 bits: two whole bytes and a 5-bit rest.
    bitreader r = byte_reader({0xab, 0xcd, 0xef});
    std::uint8_t out[3] = {};
    print_verbosity(0);
    print_data(r, 21, 0, "d", out);
    EXPECT_EQ(out[0], 0xab);
    EXPECT_EQ(out[1], 0xcd);
    EXPECT_EQ(out[2], 0x0f);
    EXPECT_EQ(r.bitpos, 21u);

    r = byte_reader({0x2d});
    print_verbosity(2);
    testing::internal::CaptureStdout();
    print_data(r, 3, 0, "d", out);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              pad + "d                          3: \n" + std::string(14, ' ') + "00000000:  05\n");
    EXPECT_EQ(r.bitpos, 3u) << "one 3-bit value";
}

struct cut {};
void throw_cut()
{
    throw cut{};
}

TEST_F(Printer, DumpRowCutShortIsEndedLater)
{
    bitreader r = byte_reader({1, 2, 3});
    r.eof_cb = throw_cut;
    print_verbosity(2);
    testing::internal::CaptureStdout();
    EXPECT_THROW(print_data(r, 64, 0, "d", nullptr), cut);
    print_end();
    print_end();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              pad + "d                         64: \n" + std::string(14, ' ') + "00000000:  01 02 03\n");
}

}  // namespace
