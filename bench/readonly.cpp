// SPDX-License-Identifier: MIT
// The floor under kesscan: read a sound file through libsndfile in blocks
// of 4096 frames as 32-bit integers and do nothing else.
#include <sndfile.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: readonly file\n", stderr);
        return 2;
    }
    SF_INFO info{};
    SNDFILE* f = sf_open(argv[1], SFM_READ, &info);
    if (!f) {
        std::fprintf(stderr, "%s: %s\n", argv[1], sf_strerror(nullptr));
        return 1;
    }
    std::vector<int> buf(4096 * static_cast<std::size_t>(info.channels));
    sf_count_t frames = 0, got;
    while ((got = sf_readf_int(f, buf.data(), 4096)) > 0)
        frames += got;
    sf_close(f);
    return frames == info.frames ? 0 : 1;
}
