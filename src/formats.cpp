// SPDX-License-Identifier: MIT
#include "formats.hpp"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

std::string lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Entry i of one of libsndfile's format lists.
SF_FORMAT_INFO format_entry(int list, int i)
{
    SF_FORMAT_INFO f{};
    f.format = i;
    if (sf_command(nullptr, list, &f, sizeof f) != 0)
        f.extension = nullptr;
    return f;
}

int format_count(int list)
{
    int count = 0;
    sf_command(nullptr, list, &count, sizeof count);
    return count;
}

}  // namespace

std::vector<std::string> sound_extensions()
{
    std::vector<std::string> names = {"aif"};
    for (const auto& [count_of, each] : {std::pair{SFC_GET_FORMAT_MAJOR_COUNT, SFC_GET_FORMAT_MAJOR},
                                         std::pair{SFC_GET_SIMPLE_FORMAT_COUNT, SFC_GET_SIMPLE_FORMAT}}) {
        const int count = format_count(count_of);
        for (int i = 0; i < count; ++i)
            if (const SF_FORMAT_INFO f = format_entry(each, i); f.extension)
                names.push_back(lower(f.extension));
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::string extension_of(const char* name)
{
    const char* dot = std::strrchr(name, '.');
    return dot ? lower(dot + 1) : std::string{};
}

int major_format_of(const std::string& ext)
{
    const std::string wanted = ext == "aif" ? "aiff" : ext;
    const int count = format_count(SFC_GET_FORMAT_MAJOR_COUNT);
    for (int i = 0; i < count; ++i)
        if (const SF_FORMAT_INFO f = format_entry(SFC_GET_FORMAT_MAJOR, i); f.extension && wanted == f.extension)
            return f.format;
    return 0;
}
