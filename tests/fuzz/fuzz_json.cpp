// SPDX-License-Identifier: MIT
// The JSON string writer on arbitrary bytes, judged by a JSON parser of its
// own: what it writes parses as one string, which is the input itself
// exactly when the input is UTF-8, as the parser's library judges UTF-8.
#include "report.hpp"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string json;
    const bool utf8 = json_string(json, input.data(), input.size());
    const nlohmann::json parsed = nlohmann::json::parse(json);
    bool valid = true;
    try {
        (void)nlohmann::json(input).dump();
    } catch (const nlohmann::json::type_error&) {
        valid = false;
    }
    if (!parsed.is_string() || utf8 != valid || (valid && parsed.get<std::string>() != input))
        std::abort();
    return 0;
}
