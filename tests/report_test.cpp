// SPDX-License-Identifier: MIT
#include "report.hpp"

#include "catalogue.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

// Well-formed UTF-8 stands; every byte outside it, and the characters JSON
// reserves, are escaped.
TEST(JsonString, EveryByteGivesValidJson)
{
    const struct {
        std::string in, out;
        bool utf8;
    } cases[] = {
        {"plain.wav", "\"plain.wav\"", true},
        {"a\"b\\c\td\n\x01\x7f", "\"a\\\"b\\\\c\\u0009d\\u000a\\u0001\x7f\"", true},
        {"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5 \xf4\x8f\xbf\xbf", "\"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5 \xf4\x8f\xbf\xbf\"", true},
        {"\xe0\xa0\x80 \xf0\x90\x80\x80", "\"\xe0\xa0\x80 \xf0\x90\x80\x80\"", true},  // the least of three and four bytes
        {"\xf1\x80\x80\x80 \xf3\xbf\xbf\xbf", "\"\xf1\x80\x80\x80 \xf3\xbf\xbf\xbf\"", true},  // U+40000, U+FFFFF
        {"\xdf\xbf \xef\xbf\xbd", "\"\xdf\xbf \xef\xbf\xbd\"", true},                  // the greatest lead bytes of two and three
        {"\xc2\x80 \xed\x9f\xbf \xee\x80\x80", "\"\xc2\x80 \xed\x9f\xbf \xee\x80\x80\"", true},  // U+0080, and either side of the surrogates
        {"\xed\xbf\xbf", "\"\\u00ed\\u00bf\\u00bf\"", false},        // the last surrogate
        {"\xff\xfe", "\"\\u00ff\\u00fe\"", false},
        {"\xc0\xaf", "\"\\u00c0\\u00af\"", false},                   // overlong '/'
        {"\xe0\x9f\xbf", "\"\\u00e0\\u009f\\u00bf\"", false},        // overlong, three bytes
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\"", false},        // a surrogate
        {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\"", false},  // beyond U+10FFFF
        {"\xe2\x82", "\"\\u00e2\\u0082\"", false},                   // cut short
        {"\xc3(", "\"\\u00c3(\"", false},                           // not continued
        {"\x80", "\"\\u0080\"", false},                             // a continuation alone
        {std::string("a\0b", 3), "\"a\\u0000b\"", true},
    };
    for (const auto& c : cases) {
        std::string json;
        const bool utf8 = json_string(json, c.in.data(), c.in.size());
        EXPECT_EQ(json, c.out);
        EXPECT_EQ(utf8, c.utf8) << c.out;
    }
}

// The test vectors of RFC 4648.
TEST(Base64, StandardVectors)
{
    const char* const encoded[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (std::size_t n = 0; n <= 6; ++n) {
        std::string out;
        base64(out, "foobar", n);
        EXPECT_EQ(out, encoded[n]);
    }
    std::string out;
    base64(out, "\xff\xfe\x00", 3);
    EXPECT_EQ(out, "//4A");
}

// A data block carries its bytes from level 2 on, as the text dumps them.
TEST(JsonFrames, BlocksCarryTheirBytesFromLevel2)
{
    static constexpr bitfield block = {16, BF_DATA, "d", nullptr};
    static constexpr frame f = {"x", nullptr, nullptr};
    const std::uint8_t bytes[] = {0x0a, 0xff};
    std::string text;
    const auto p = std::make_unique<printer>();
    init_printer(*p, {[](void* o, int, const char* s, std::size_t n) { static_cast<std::string*>(o)->append(s, n); }, &text});
    for (const std::int32_t level : {1, 2}) {
        json_state js;
        init_json(js, *p, level, nullptr);
        text.clear();
        json_report.file_begin(&js, "f");
        EXPECT_TRUE(json_report.frame_begin(&js, 8, 9, f, true));
        json_report.field(&js, 0, block, 0, bytes, 2);
        json_report.frame_end(&js, 1, true, 40);
        print_flush(*p);
        EXPECT_EQ(text,
                  std::string("{\"file\":\"f\",\"pos\":8,\"type\":9,\"name\":\"x\",\"fields\":[{\"name\":\"d\",\"bits\":16,\"value\":0") +
                      (level > 1 ? ",\"bytes\":\"0aff\"" : "") + "}],\"crc\":1,\"crc_ok\":true}\n");
    }
}

// A list names a file when its status's bit is set, or the errors bit and
// it has checksum errors; with null the bytes stand and a NUL ends them,
// without it the separators are escaped and a newline ends the name.
TEST(SummaryForms, ListsNameOnlyTheFilesAskedFor)
{
    const auto bit = [](file_status s) { return 1u << static_cast<unsigned>(s); };
    const struct {
        file_status status;
        std::uint64_t errors;
        unsigned list;
        bool listed;
    } cases[] = {
        {file_status::stream, 0, bit(file_status::stream), true},
        {file_status::stream, 0, bit(file_status::none) | bit(file_status::damaged), false},
        {file_status::none, 0, bit(file_status::none), true},
        {file_status::damaged, 0, bit(file_status::damaged), true},
        {file_status::error, 0, bit(file_status::error), true},
        {file_status::error, 0, list_errors, false},
        {file_status::stream, 3, list_errors, true},
        {file_status::stream, 3, bit(file_status::none), false},
    };
    for (const auto& c : cases) {
        summary_facts f{};
        f.status = c.status;
        f.errors = c.errors;
        std::string text, raw;
        put_summary(text, "a\tb\n", {false, c.list, false}, f, "");
        put_summary(raw, "a\tb\n", {true, c.list, true}, f, "");
        EXPECT_EQ(text, c.listed ? "a\\tb\\n\n" : "") << c.list;
        EXPECT_EQ(raw, c.listed ? std::string("a\tb\n\0", 5) : "") << c.list;
    }
}

// JSON carries the rate in hertz from the code, the label as listed, and
// the reason as a JSON string; the text line carries neither.
TEST(SummaryForms, JsonHasRateInHertzAndReason)
{
    summary_facts f{};
    f.status = file_status::damaged;
    f.have_params = true;
    f.params = {params_value(params_rate, 1), params_value(params_bitdepth, 0), params_value(params_gain, -5)};
    f.frames = 4;
    std::string json, text;
    put_summary(json, "x", {true, 0, false}, f, "lost \"sync\"");
    put_summary(text, "x", {}, f, "lost sync");
    EXPECT_EQ(json, "{\"file\":\"x\",\"status\":\"damaged\",\"sync\":null,\"rate\":\"88.1 KHz\",\"rate_index\":1,"
                    "\"rate_hz\":88200,\"bitdepth\":\"20 bits\",\"bitdepth_index\":0,\"replay_gain\":-5,\"frames\":4,"
                    "\"errors\":0,\"reason\":\"lost \\\"sync\\\"\"}\n");
    EXPECT_EQ(text, "x\tdamaged\t-\t88.1 KHz\t20 bits\t-5\t4\t0\n");
}

}  // namespace
