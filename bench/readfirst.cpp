// SPDX-License-Identifier: MIT
// The least a survey of many files can do: open each file, read its first
// block of 4096 frames as 32-bit integers through libsndfile, close it.
#include <sndfile.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv)
{
    std::vector<int> buf;
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        SF_INFO info{};
        SNDFILE* f = sf_open(argv[i], SFM_READ, &info);
        if (!f) {
            std::fprintf(stderr, "%s: %s\n", argv[i], sf_strerror(nullptr));
            status = 1;
            continue;
        }
        buf.resize(4096 * static_cast<std::size_t>(info.channels));
        if (sf_readf_int(f, buf.data(), 4096) <= 0)
            status = 1;
        sf_close(f);
    }
    return status;
}
