// What the transcripts cannot reach: the reader's window and refill
// contract, and the printer's features that no frame layout uses.
#include "bits.hpp"
#include "ker-common.hpp"

#include <gtest/gtest.h>

#include <functional>
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
    r.eof_cb = [] { throw out_of_data{}; };
    r.get_bits_cb = [](std::uint64_t v, std::int32_t n) { observed.emplace_back(v, n); };
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

// ---------------------------------------------------------------------------
// Printer

bitreader byte_reader(std::initializer_list<int> bytes)
{
    bitreader r;
    init_bits(r);
    for (const int b : bytes)
        put_byte(r, b);
    return r;
}

std::string printed(const std::function<void()>& f, std::int32_t level = 1)
{
    print_verbosity(level);
    testing::internal::CaptureStdout();
    f();
    print_flush();
    std::string out = testing::internal::GetCapturedStdout();
    print_verbosity(1);
    return out;
}

const std::string pad(10, ' ');

TEST(Printer, FieldValueFormats)
{
    struct {
        std::int32_t size, flags;
        std::initializer_list<int> bytes;
        const char* const* values;
        std::uint64_t value;
        std::string text;
    } const cases[] = {
        {5, BF_HEX, {0x09}, nullptr, 9, "f                          5: 0x09\n"},
        {10, BF_SIGNED | BF_HEX, {0xf4, 0x03}, nullptr, ~11ull, "f                         10: 0xfffffffffffffff4\n"},
        {61, BF_HEX, {1, 0, 0, 0, 0, 0, 0, 0}, nullptr, 1, "f                         61: 0x0000000000000001\n"},
        {64, BF_HEX, {0xef, 0xcd, 0xab, 0x89, 0x67, 0x45, 0x23, 0x01}, nullptr, 0x0123456789abcdef,
         "f                         64: 0x0123456789abcdef\n"},
        {64, 0, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, nullptr, ~0ull, "f                         64: 18446744073709551615\n"},
        {64, BF_SIGNED, {0, 0, 0, 0, 0, 0, 0, 0x80}, nullptr, 1ull << 63, "f                         64: -9223372036854775808\n"},
        {8, BF_CHAR, {0x41}, nullptr, 0x41, "f                          8: 0x41 'A'\n"},
        {8, BF_CHAR, {0x07}, nullptr, 0x07, "f                          8: 0x07 '\x07'\n"},
        {5, BF_HEX, {0x01}, ker_rates, 1, "f                          5: 0x01 [88.1 KHz]\n"},
        {5, BF_HEX, {0x18}, ker_rates, 24, "f                          5: 0x18\n"},
        {3, BF_NONL, {0x05}, nullptr, 5, "f                          3: 5"},
    };
    for (const auto& c : cases) {
        bitreader r = byte_reader(c.bytes);
        EXPECT_EQ(printed([&] { EXPECT_EQ(print_field(r, c.size, c.flags, "f", c.values), c.value); }), pad + c.text);
    }
    bitreader r = byte_reader({1});
    EXPECT_EQ(printed([&] { print_field(r, 1, 0, "a_name_longer_than_its_column", nullptr); }),
              pad + "a_name_longer_than_its_column   1: 1\n");
}

// The fixed columns are built once per name and width and then reused; a
// line must not depend on what was printed before it, also when more widths
// of one name come than are kept, or a name is too long to keep.
TEST(Printer, FieldColumnsRepeatExactly)
{
    for (int pass = 0; pass < 2; ++pass)
        for (const char* name : {"n", "name_of_24_characters___", "name_of_25_characters____"})
            for (std::int32_t size = 1; size <= 64; ++size) {
                bitreader r = byte_reader({1, 0, 0, 0, 0, 0, 0, 0});
                char expected[80];
                std::snprintf(expected, sizeof expected, "%10s%-24s%4d: 1\n", "", name, size);
                EXPECT_EQ(printed([&] { print_field(r, size, 0, name, nullptr); }), expected);
            }
}

TEST(Printer, FieldTablesReturnAndStoreMarkedValues)
{
    // 19 entries: widths by value from the entry 16 back, and by position
    // mod 16; the last marked value is the result.
    static constexpr bitfield table[] = {
        {4, BF_RET, "a", nullptr}, {3, 0, "w", nullptr}, {4, 0, "c", nullptr}, {4, 0, "c", nullptr},
        {4, 0, "c", nullptr},      {4, 0, "c", nullptr}, {4, 0, "c", nullptr}, {4, 0, "c", nullptr},
        {4, 0, "c", nullptr},      {4, 0, "c", nullptr}, {4, 0, "c", nullptr}, {4, 0, "c", nullptr},
        {4, 0, "c", nullptr},      {4, 0, "c", nullptr}, {4, 0, "c", nullptr}, {4, 0, "c", nullptr},
        {17, BF_VARSIZE | BF_RET | BF_NONL, "v", nullptr},  // entry 1's value, 5
        {0, BF_VARSIZE, "u", nullptr},                      // entry 16's value, 21
        {2, BF_VARSIZE, "z", nullptr},                      // entry 2's value, 0: none
        {0, 0, nullptr, nullptr},
    };
    // a 3, w 5, the c fields 0 up to bit 62, v 0x15 in bits 63..67, u 0.
    bitreader r = byte_reader({0x53, 0, 0, 0, 0, 0, 0, 0x80, 0x0a, 0, 0, 0});
    std::uint64_t out[2] = {};
    const std::string text = printed([&] { EXPECT_EQ(print_fields(r, table, out), 0x15u); });
    EXPECT_EQ(out[0], 3u);
    EXPECT_EQ(out[1], 0x15u);
    EXPECT_NE(text.find("v                          5: 21" + pad + "u                         21: 0\n" +
                        pad + "z                          0: 0\n"), std::string::npos) << text;

    static constexpr bitfield unmarked[] = {{8, 0, "x", nullptr}, {0, 0, nullptr, nullptr}};
    r = byte_reader({7});
    out[0] = 99;
    EXPECT_EQ(printed([&] { EXPECT_EQ(print_fields(r, unmarked, out), 0u); }), pad + "x                          8: 7\n");
    EXPECT_EQ(out[0], 99u) << "nothing stored without a marked field";
}

TEST(Printer, FramesAtEveryLevel)
{
    static constexpr bitfield table[] = {
        {8, BF_RET, "size", nullptr},
        {16, BF_SIGNED, "gain", nullptr},
        {24, BF_DATA | BF_CHAR, "data", nullptr},
        {0, 0, nullptr, nullptr},
    };
    bitreader r = byte_reader({0x02, 0xf4, 0xff, 'a', 'b', 'c', 0x07, 0x08});
    const auto minus = [](bitreader& b, std::uint32_t type) { return -static_cast<std::int32_t>(get_ubits(b, 8) + type); };
    EXPECT_EQ(printed([&] {
                  EXPECT_EQ(print_frame(r, frame{"gain", table, nullptr}, 2, 0x1234), 2u);
                  EXPECT_EQ(print_verbosity(-1), 0) << "a negative level only asks";
                  EXPECT_EQ(print_verbose(0, "x"), 1);
                  EXPECT_EQ(print_verbose(1, "y"), 0);
              }, 0),
              "x");
    EXPECT_EQ(printed([&] {
                  EXPECT_EQ(print_frame(r, frame{nullptr, nullptr, minus}, 0xab, 0x123456789), static_cast<std::uint64_t>(-0xb2));
                  EXPECT_EQ(print_frame(r, frame{}, 255, 0), 0u);
              }),
              "123456789: [ab] unknown type\n00000000: [ff] unknown type\n");
    EXPECT_EQ(r.bitpos, 56u) << "every field is read at level 0; a frame without fields reads nothing";
}

// The observer sees every field at every level: a value with its table, a
// block with its bytes.
std::vector<std::string> seen;

TEST(Printer, ObserverSeesEveryField)
{
    static constexpr bitfield table[] = {
        {4, BF_SIGNED, "v", nullptr},
        {9, BF_DATA, "d", nullptr},
        {0, BF_DATA, "e", nullptr},
        {8, BF_DATA, "f", nullptr},
        {0, 0, nullptr, nullptr},
    };
    bitreader r = byte_reader({0xab, 0xcd, 0xef});
    seen.clear();
    EXPECT_EQ(print_observer([](const bitfield& f, std::uint64_t v, const std::uint8_t* b, std::size_t n) {
                  seen.push_back(std::string(f.name) + " " + std::to_string(f.size) + " " +
                                 std::to_string(static_cast<std::int64_t>(v)) + " " + std::to_string(n) +
                                 (n ? " " + std::to_string(b[0]) + " " + std::to_string(b[n - 1]) : ""));
              }), nullptr);
    EXPECT_EQ(printed([&] { print_fields(r, table, nullptr); }, 0), "");
    EXPECT_NE(print_observer(nullptr), nullptr);
    EXPECT_EQ(seen, (std::vector<std::string>{"v 4 -5 0", "d 9 0 2 218 0", "e 0 0 0", "f 8 0 1 126 126"}));
}

TEST(Printer, DataDumps)
{
    const auto dump = [](std::int32_t level, std::int32_t bits, std::int32_t flags, std::vector<std::uint8_t> bytes,
                         std::uint8_t* out = nullptr) {
        bitreader r;
        init_bits(r);
        for (const auto b : bytes)
            put_byte(r, b);
        return printed([&] {
            print_data(r, bits, BF_DATA | flags, "data", out);
            EXPECT_EQ(r.bitpos, static_cast<std::uint32_t>(bits)) << "every bit is read";
        }, level);
    };
    const std::string head = pad + "data                    ", row(14, ' ');
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 20; ++i)
        bytes.push_back(static_cast<std::uint8_t>(i < 16 ? i : 0xff - (i - 16)));
    EXPECT_EQ(dump(2, 160, 0, bytes), head + " 160: \n" +
              row + "00000000:  00 01 02 03 04 05 06 07  08 09 0a 0b 0c 0d 0e 0f\n" +
              row + "00000080:  ff fe fd fc\n");
    EXPECT_EQ(dump(1, 128, 0, bytes), head + " 128: [skipped]\n");
    EXPECT_EQ(dump(0, 128, 0, bytes), "");
    EXPECT_EQ(dump(2, 0, 0, {}), "");
    EXPECT_EQ(dump(2, 1, 0, {0xff}), head + "   1: \n" + row + "00000000:  01\n");
    std::uint8_t out[3] = {};
    EXPECT_EQ(dump(0, 21, 0, {0xab, 0xcd, 0xef}, out), "");
    EXPECT_EQ(out[2], 0x0f) << "the last byte is short";

    const std::string text = "The quick brown fox jumps over the\x7f\x1f\xa0 \x7e!";
    EXPECT_EQ(dump(2, 320, BF_CHAR, {text.begin(), text.end()}),
              head + " 320: \n" + row + "00000000: |The quick brown fox jumps over t|\n" + row + "00000100: |he... ~!\n");

    // Cut short: the open row is ended by print_end, once.
    bitreader r = byte_reader({1, 2, 3});
    r.eof_cb = [] { throw out_of_data{}; };
    EXPECT_EQ(printed([&] {
                  EXPECT_THROW(print_data(r, 64, 0, "d", nullptr), out_of_data);
                  print_end();
                  print_end();
              }, 2),
              pad + "d                         64: \n" + row + "00000000:  01 02 03\n");
}

// A text longer than the printer's whole block goes out past it, in place.
TEST(Printer, TextLongerThanTheBlock)
{
    static const std::string name(70000, 'n');
    bitreader r = byte_reader({0x2a});
    EXPECT_EQ(printed([&] { print_field(r, 8, 0, name.c_str(), nullptr); }), pad + name + "   8: 42\n");
}

// The printer holds its lines back; a dump, a decoder of its own and
// print_verbose write to standard output themselves, after them.
TEST(Printer, HeldLinesKeepTheirPlace)
{
    static constexpr bitfield table[] = {
        {8, BF_RET, "size", nullptr},
        {16, BF_DATA | BF_CHAR, "data", nullptr},
        {8, BF_HEX, "crc", nullptr},
        {0, 0, nullptr, nullptr},
    };
    bitreader r = byte_reader({0x02, 'h', 'i', 0x5a, 0x07, 0x09});
    const auto own = [](bitreader& b, std::uint32_t) {
        std::printf("own %d\n", static_cast<int>(get_ubits(b, 8)));
        return 0;
    };
    EXPECT_EQ(printed([&] {
                  print_frame(r, frame{"t", table, nullptr}, 3, 0x10);
                  print_verbose(1, "between\n");
                  print_frame(r, frame{"h", nullptr, own}, 4, 0x20);
                  print_field(r, 8, 0, "last", nullptr);
              }, 2),
              "00000010: [3] t\n" + pad + "size                       8: 2\n" + pad + "data                      16: \n" +
                  std::string(14, ' ') + "00000000: |hi\n" + pad + "crc                        8: 0x5a\nbetween\n" +
                  "00000020: [4] h\nown 7\n" + pad + "last                       8: 9\n");
}

}  // namespace
