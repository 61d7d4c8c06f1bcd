// SPDX-License-Identifier: MIT
// The walk of a survey and nothing else: every sound file below the
// folders named, taken an entry at a time, its size and time written as
// find -printf '%s %T@\n' writes them.
#include "formats.hpp"
#include "walk.hpp"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs("usage: walkonly folder...\n", stderr);
        return 2;
    }
    const std::vector<std::string> operands(argv + 1, argv + argc), extensions = sound_extensions();
    walk_cursor w;
    init_walk(w, operands, true, extensions);
    walk_entry e;
    while (walk_next(w, e))
        std::printf("%llu %lld.%09lld\n", static_cast<unsigned long long>(e.stamp.size),
                    static_cast<long long>(e.stamp.mtime_ns / 1'000'000'000),
                    static_cast<long long>(e.stamp.mtime_ns % 1'000'000'000));
    return 0;
}
