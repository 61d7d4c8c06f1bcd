// SPDX-License-Identifier: MIT
// The whole scan of one file: the input's first four bytes choose the
// options, the rest is opened as a sound file through a memory file's
// /dev/fd path, as a user's file would be.
#include "scan.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

int memfd = -1;
std::string path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    memfd = memfd_create("kesscan-fuzz", 0);
    path = "/dev/fd/" + std::to_string(memfd);
    return memfd < 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 4)
        return 0;
    scan_settings settings;
    // Mostly the known types and "all"; sometimes a type that matches none.
    settings.packet_type = data[0] < 0xf0 ? data[0] % 6 : data[0] == 0xff ? -1 : 256;
    settings.single = data[1] & 1;
    settings.verbosity = (data[1] >> 1) & 3;
    settings.summary = data[1] & 0x10;
    settings.json = data[1] & 0x20;
    settings.start = static_cast<std::int32_t>(static_cast<std::int16_t>(data[2] | data[3] << 8));
    if (ftruncate(memfd, 0) != 0 || pwrite(memfd, data + 4, size - 4, 0) != static_cast<ssize_t>(size - 4))
        std::abort();
    scan_file(settings, path.c_str(), {[](void*, int, const char*, std::size_t) {}, nullptr});
    return 0;
}
