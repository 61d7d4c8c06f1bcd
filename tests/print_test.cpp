// SPDX-License-Identifier: MIT
// The printer's features that no frame layout uses, its columns, and the
// order of what it holds.
#include "print.hpp"
#include "ker-common.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

struct out_of_data {};

// One printer for the whole program, as a scan has one for a file: its
// kept columns carry over from test to test. Its lines go to text.
std::string text;

printer& the_printer()
{
    static const auto p = [] {
        auto made = std::make_unique<printer>();
        init_printer(*made, {[](void*, int stream, const char* s, std::size_t n) {
                                 EXPECT_EQ(stream, out_text);
                                 text.append(s, n);
                             },
                             nullptr});
        return made;
    }();
    return *p;
}

bitreader byte_reader(std::initializer_list<int> bytes)
{
    bitreader r;
    init_bits(r);
    for (const int b : bytes)
        put_byte(r, b);
    return r;
}

std::string printed(const std::function<void(printer&)>& f, std::int32_t level = 1)
{
    printer& p = the_printer();
    print_verbosity(p, level);
    text.clear();
    f(p);
    print_flush(p);
    print_verbosity(p, 1);
    return text;
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
        EXPECT_EQ(printed([&](printer& p) { EXPECT_EQ(print_field(p, r, c.size, c.flags, "f", c.values), c.value); }), pad + c.text);
    }
    bitreader r = byte_reader({1});
    EXPECT_EQ(printed([&](printer& p) { print_field(p, r, 1, 0, "a_name_longer_than_its_column", nullptr); }),
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
                EXPECT_EQ(printed([&](printer& p) { print_field(p, r, size, 0, name, nullptr); }), expected);
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
    const std::string text = printed([&](printer& p) { EXPECT_EQ(print_fields(p, r, table, out), 0x15u); });
    EXPECT_EQ(out[0], 3u);
    EXPECT_EQ(out[1], 0x15u);
    EXPECT_NE(text.find("v                          5: 21" + pad + "u                         21: 0\n" +
                        pad + "z                          0: 0\n"), std::string::npos) << text;

    static constexpr bitfield unmarked[] = {{8, 0, "x", nullptr}, {0, 0, nullptr, nullptr}};
    r = byte_reader({7});
    out[0] = 99;
    EXPECT_EQ(printed([&](printer& p) { EXPECT_EQ(print_fields(p, r, unmarked, out), 0u); }), pad + "x                          8: 7\n");
    EXPECT_EQ(out[0], 99u) << "nothing stored without a marked field";
}

// A new printer prints at level 1 until it is told another.
TEST(Printer, NewPrintsAtLevelOne)
{
    std::string out;
    const auto p = std::make_unique<printer>();
    init_printer(*p, {[](void* o, int, const char* s, std::size_t n) { static_cast<std::string*>(o)->append(s, n); }, &out});
    print_verbose(*p, 1, "one\n");
    print_verbose(*p, 2, "two\n");
    print_flush(*p);
    EXPECT_EQ(out, "one\n");
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
    const auto minus = [](printer&, bitreader& b, std::uint32_t type) { return -static_cast<std::int32_t>(get_ubits(b, 8) + type); };
    EXPECT_EQ(printed([&](printer& p) {
                  EXPECT_EQ(print_frame(p, r, frame{"gain", table, nullptr}, 2, 0x1234), 2u);
                  EXPECT_EQ(print_verbosity(p, -1), 0) << "a negative level only asks";
                  EXPECT_EQ(print_verbose(p, 0, "x"), 1);
                  EXPECT_EQ(print_verbose(p, 1, "y"), 0);
              }, 0),
              "x");
    EXPECT_EQ(printed([&](printer& p) {
                  EXPECT_EQ(print_frame(p, r, frame{nullptr, nullptr, minus}, 0xab, 0x123456789), static_cast<std::uint64_t>(-0xb2));
                  EXPECT_EQ(print_frame(p, r, frame{}, 255, 0), 0u);
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
    int context = 0;
    print_observer(the_printer(), [](void* opaque, std::uint32_t i, const bitfield& f, std::uint64_t v, const std::uint8_t* b, std::size_t n) {
                  EXPECT_EQ(*static_cast<int*>(opaque), 7);
                  seen.push_back(std::to_string(i) + ":" + std::string(f.name) + " " + std::to_string(f.size) + " " +
                                 std::to_string(static_cast<std::int64_t>(v)) + " " + std::to_string(n) +
                                 (n ? " " + std::to_string(b[0]) + " " + std::to_string(b[n - 1]) : ""));
              }, &context);
    context = 7;
    EXPECT_EQ(printed([&](printer& p) { print_fields(p, r, table, nullptr); }, 0), "");
    EXPECT_EQ(printed([&](printer& p) { print_field(p, r, 0, 0, "alone", nullptr); }, 0), "");
    print_observer(the_printer(), nullptr, nullptr);
    EXPECT_EQ(seen, (std::vector<std::string>{"0:v 4 -5 0", "1:d 9 0 2 218 0", "2:e 0 0 0", "3:f 8 0 1 126 126",
                                              std::to_string(no_field) + ":alone 0 0 0"}));
}

TEST(Printer, DataDumps)
{
    const auto dump = [](std::int32_t level, std::int32_t bits, std::int32_t flags, std::vector<std::uint8_t> bytes,
                         std::uint8_t* out = nullptr) {
        bitreader r;
        init_bits(r);
        for (const auto b : bytes)
            put_byte(r, b);
        return printed([&](printer& p) {
            print_data(p, r, bits, BF_DATA | flags, "data", out);
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
    r.eof_cb = [](void*) { throw out_of_data{}; };
    EXPECT_EQ(printed([&](printer& p) {
                  EXPECT_THROW(print_data(p, r, 64, 0, "d", nullptr), out_of_data);
                  print_end(p);
                  print_end(p);
              }, 2),
              pad + "d                         64: \n" + row + "00000000:  01 02 03\n");
}

// A text longer than the printer's whole block goes out past it, in place;
// one that fills the block exactly too.
TEST(Printer, TextLongerThanTheBlock)
{
    static const std::string name(70000, 'n');
    bitreader r = byte_reader({0x2a});
    EXPECT_EQ(printed([&](printer& p) { print_field(p, r, 8, 0, name.c_str(), nullptr); }), pad + name + "   8: 42\n");
    constexpr std::size_t whole = std::tuple_size_v<decltype(printer::block)>;
    for (const std::size_t n : {whole - 1, whole, whole + 1}) {
        const std::string line = std::string(n - 1, 'v') + "\n";
        const std::string out = printed([&](printer& p) { print_verbose(p, 1, "%s", line.c_str()); });
        EXPECT_TRUE(out == line) << n << " characters: " << out.size() << " written, not as given";
    }
}

// The printer holds its lines back, and what a dump, a decoder of its own
// and print_verbose print takes its place after them.
TEST(Printer, HeldLinesKeepTheirPlace)
{
    static constexpr bitfield table[] = {
        {8, BF_RET, "size", nullptr},
        {16, BF_DATA | BF_CHAR, "data", nullptr},
        {8, BF_HEX, "crc", nullptr},
        {0, 0, nullptr, nullptr},
    };
    bitreader r = byte_reader({0x02, 'h', 'i', 0x5a, 0x07, 0x09});
    const auto own = [](printer& p, bitreader& b, std::uint32_t) {
        print_verbose(p, 1, "own %d\n", static_cast<int>(get_ubits(b, 8)));
        return 0;
    };
    EXPECT_EQ(printed([&](printer& p) {
                  print_frame(p, r, frame{"t", table, nullptr}, 3, 0x10);
                  print_verbose(p, 1, "between\n");
                  print_frame(p, r, frame{"h", nullptr, own}, 4, 0x20);
                  print_field(p, r, 8, 0, "last", nullptr);
              }, 2),
              "00000010: [3] t\n" + pad + "size                       8: 2\n" + pad + "data                      16: \n" +
                  std::string(14, ' ') + "00000000: |hi\n" + pad + "crc                        8: 0x5a\nbetween\n" +
                  "00000020: [4] h\nown 7\n" + pad + "last                       8: 9\n");
}

}  // namespace
