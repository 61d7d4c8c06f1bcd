// The JSON string writer on arbitrary bytes: a JSON parser must accept what
// it writes as one string, and undoing its escapes must give back every
// byte of the input.
#include "report.hpp"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <string>

namespace {

int hex(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The bytes a JSON string stands for, \u00XX as the byte XX (the writer uses
// no other escape); aborts on anything a JSON parser would refuse.
std::string read_back(const std::string& json)
{
    if (json.size() < 2 || json.front() != '"' || json.back() != '"')
        std::abort();
    std::string bytes;
    for (std::size_t i = 1; i + 1 < json.size(); ++i) {
        const auto c = static_cast<unsigned char>(json[i]);
        if (c < 0x20 || c == '"')
            std::abort();
        if (c != '\\') {
            bytes += static_cast<char>(c);
            continue;
        }
        const char e = json.at(++i);
        if (e == '"' || e == '\\') {
            bytes += e;
        } else if (e == 'u' && json.compare(i + 1, 2, "00") == 0 && hex(json.at(i + 3)) >= 0 && hex(json.at(i + 4)) >= 0) {
            bytes += static_cast<char>(hex(json[i + 3]) * 16 + hex(json[i + 4]));
            i += 4;
        } else {
            std::abort();
        }
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string json;
    json_string(json, input.data(), input.size());
    if (read_back(json) != input || !nlohmann::json::parse(json).is_string())
        std::abort();
    return 0;
}
