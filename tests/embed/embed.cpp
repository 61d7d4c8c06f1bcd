// SPDX-License-Identifier: MIT
// A program that embeds kesscan as any other would, through its installed
// headers and library: the summary of each file named, and its frames with
// -f, as the command line's JSON.
#include <kesscan/kesscan.hpp>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    const bool frames = argc > 1 && std::strcmp(argv[1], "-f") == 0;
    const kesscan::frame_receiver print{[](void*, const kesscan::frame& f) -> bool {
                                            std::printf("%.*s\n", static_cast<int>(f.json.size()), f.json.data());
                                            return true;
                                        },
                                        nullptr};
    for (int i = frames ? 2 : 1; i < argc; ++i) {
        const kesscan::summary s = kesscan::scan_path(argv[i], {}, frames ? &print : nullptr);
        if (!frames)
            std::printf("%s\n", s.json.c_str());
    }
    return 0;
}
