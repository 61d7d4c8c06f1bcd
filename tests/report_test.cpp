#include "report.hpp"

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
    } cases[] = {
        {"plain.wav", "\"plain.wav\""},
        {"a\"b\\c\td\n\x01\x7f", "\"a\\\"b\\\\c\\u0009d\\u000a\\u0001\x7f\""},
        {"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5 \xf4\x8f\xbf\xbf", "\"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5 \xf4\x8f\xbf\xbf\""},
        {"\xe0\xa0\x80 \xf0\x90\x80\x80", "\"\xe0\xa0\x80 \xf0\x90\x80\x80\""},  // the least of three and four bytes
        {"\xdf\xbf \xef\xbf\xbd", "\"\xdf\xbf \xef\xbf\xbd\""},                  // the greatest lead bytes of two and three
        {"\xc2\x80 \xed\x9f\xbf \xee\x80\x80", "\"\xc2\x80 \xed\x9f\xbf \xee\x80\x80\""},  // U+0080, and either side of the surrogates
        {"\xed\xbf\xbf", "\"\\u00ed\\u00bf\\u00bf\""},        // the last surrogate
        {"\xff\xfe", "\"\\u00ff\\u00fe\""},
        {"\xc0\xaf", "\"\\u00c0\\u00af\""},                   // overlong '/'
        {"\xe0\x9f\xbf", "\"\\u00e0\\u009f\\u00bf\""},        // overlong, three bytes
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},        // a surrogate
        {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},  // beyond U+10FFFF
        {"\xe2\x82", "\"\\u00e2\\u0082\""},                   // cut short
        {"\xc3(", "\"\\u00c3(\""},                           // not continued
        {std::string("a\0b", 3), "\"a\\u0000b\""},
    };
    for (const auto& c : cases) {
        std::string json;
        json_string(json, c.in.data(), c.in.size());
        EXPECT_EQ(json, c.out);
    }
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
        init_json(js, *p, level);
        text.clear();
        json_report.file_begin(&js, "f");
        EXPECT_TRUE(json_report.frame_begin(&js, 8, 9, f, true));
        json_report.field(&js, block, 0, bytes, 2);
        json_report.frame_end(&js, 1, true, 40);
        print_flush(*p);
        EXPECT_EQ(text,
                  std::string("{\"file\":\"f\",\"pos\":8,\"type\":9,\"name\":\"x\",\"fields\":[{\"name\":\"d\",\"bits\":16,\"value\":0") +
                      (level > 1 ? ",\"bytes\":\"0aff\"" : "") + "}],\"crc\":1,\"crc_ok\":true}\n");
    }
}

}  // namespace
