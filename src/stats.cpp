// SPDX-License-Identifier: MIT
#include "stats.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

// The commonest extensions first, then in byte order; at most five.
std::vector<std::pair<std::string, std::uint64_t>> commonest(const walk_skipped& skipped)
{
    std::vector<std::pair<std::string, std::uint64_t>> v(skipped.by_extension.begin(), skipped.by_extension.end());
    std::stable_sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    v.resize(std::min<std::size_t>(v.size(), 5));
    return v;
}

void put(std::string& out, const char* format, auto... values)
{
    char text[256];
    const int n = std::snprintf(text, sizeof text, format, values...);
    out.append(text, static_cast<std::size_t>(std::clamp(n, 0, static_cast<int>(sizeof text) - 1)));
}

}  // namespace

void put_stats(std::string& out, const survey_stats& s, const walk_skipped& skipped, double seconds, bool json)
{
    std::uint64_t files = 0;
    for (const std::uint64_t n : s.by_status)
        files += n;
    const auto ull = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
    const auto top = commonest(skipped);
    if (json) {
        put(out, "{\"files\":%llu", ull(files));
        for (int i = 0; i < 4; ++i)
            put(out, ",\"%s\":%llu", status_name(static_cast<file_status>(i)), ull(s.by_status[i]));
        put(out, ",\"with_checksum_errors\":%llu,\"unread\":%llu,\"frames\":%llu,\"bytes_read\":%llu,\"seconds\":%.3f",
            ull(s.with_errors), ull(s.unread), ull(s.frames), ull(s.bytes), seconds);
        put(out, ",\"passed_over\":{\"other_extensions\":%llu,\"commonest\":{", ull(skipped.other_extensions));
        for (std::size_t i = 0; i < top.size(); ++i) {
            out += i ? "," : "";
            json_string(out, top[i].first.data(), top[i].first.size());
            put(out, ":%llu", ull(top[i].second));
        }
        put(out, "},\"symbolic_links\":%llu,\"dot_names\":%llu,\"other_types\":%llu}}\n", ull(skipped.links),
            ull(skipped.dot_names), ull(skipped.other_types));
        return;
    }
    put(out, "files: %llu (", ull(files));
    for (int i = 0; i < 4; ++i)
        put(out, "%s%s %llu", i ? ", " : "", status_name(static_cast<file_status>(i)), ull(s.by_status[i]));
    put(out, "), %llu with checksum errors\n", ull(s.with_errors));
    put(out, "folders or names not read: %llu\n", ull(s.unread));
    put(out, "frames: %llu\nbytes read: %llu\nseconds: %.3f\n", ull(s.frames), ull(s.bytes), seconds);
    put(out, "passed over: %llu of other extensions", ull(skipped.other_extensions));
    for (std::size_t i = 0; i < top.size(); ++i) {
        out += i ? ", " : " (";
        out += top[i].first.empty() ? "no extension" : top[i].first;
        put(out, " %llu", ull(top[i].second));
    }
    out += top.empty() ? "" : ")";
    put(out, ", %llu symbolic links, %llu dot names, %llu of other types\n", ull(skipped.links),
        ull(skipped.dot_names), ull(skipped.other_types));
}
