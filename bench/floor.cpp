// SPDX-License-Identifier: MIT
// The least a scan for checksum errors can do on top of reading the file:
// the real sample-parity source fills the window, and its words are walked
// byte by byte with the frame checksum, without bit readers or printer. It
// prints the same checksum error lines as `kesscan -p 256` (bench/run
// checks that), so its time is the floor under any frame layer.
//
//   floor file
#include "kescrc.hpp"
#include "sfbits.hpp"

#include <cstdio>

namespace {

// Payload bytes the catalogue's fields read by type: a frame takes the
// larger of that and its size byte.
constexpr std::uint32_t field_bytes(std::uint32_t type)
{
    switch (type) {
    case 0: case 1: return 4;
    case 2: return 2;
    case 4: return 1;
    default: return 0;
    }
}

constexpr std::uint64_t sync_pattern = 0x00048C49E0AB2C;

struct walker {
    std::uint32_t pos = 0;  // sample frame after the last byte taken
    std::uint32_t state = 0, left = 0, type = 0, crc = 0;

    void byte(std::uint32_t b)
    {
        pos += 8;
        switch (state) {
        case 0: type = b; crc = kes_crc(0, static_cast<std::uint8_t>(b)); state = 1; break;
        case 1:
            crc = kes_crc(crc, static_cast<std::uint8_t>(b));
            left = b > field_bytes(type) ? b : field_bytes(type);
            state = left ? 2 : 3;
            break;
        case 2: crc = kes_crc(crc, static_cast<std::uint8_t>(b)); state = --left ? 2 : 3; break;
        default:
            if (kes_crc_end(crc) != b)
                std::printf("%08x: checksum error\n", pos);
            state = 0;
        }
    }
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: floor file\n", stderr);
        return 2;
    }
    SF_INFO info{};
    const sndfile_ptr file{sf_open(argv[1], SFM_READ, &info)};
    if (!file) {
        std::fprintf(stderr, "%s: %s\n", argv[1], sf_strerror(nullptr));
        return 1;
    }
    static bitreader br;
    static sample_source source;
    static sndfile_block block;
    std::uint32_t skipped = 0;
    init_bits_sf(br, source, block, file.get(), 0);
    br.msb = 1;  // the first frame's bit is a word's top bit, as in a byte
    br.opaque = &skipped;
    br.get_bits_cb = [](void* opaque, std::uint64_t, std::int32_t n) {
        *static_cast<std::uint32_t*>(opaque) += static_cast<std::uint32_t>(n);
    };
    if (find_sync(br, sync_pattern, 56, 1024) != 0)
        return 0;
    walker w;
    w.pos = skipped;
    // The rest of the current word, then whole words; the bytes are cut
    // from an accumulator that never holds more than 39 bits.
    const auto head = static_cast<std::int32_t>(32 - br.bitpos % 32);
    std::uint64_t acc = get_ubits(br, head);
    auto have = static_cast<std::uint32_t>(head);
    for (;;) {
        for (; have >= 8; have -= 8)
            w.byte(static_cast<std::uint32_t>(acc >> (have - 8) & 0xff));
        if (br.bitpos + 32 > br.bitend && !refill_bits(br, 32))
            return 0;
        acc = acc << 32 | br.bitbuf[br.bitpos / 32];
        have += 32;
        br.bitpos += 32;
    }
}
