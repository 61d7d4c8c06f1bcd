// SPDX-License-Identifier: MIT
// The side stream's 8-bit frame checksum. It runs a 32-bit register over the
// table of the reflected CRC-32 polynomial 0xEDB88320, but each data byte
// enters at the top of the register while the byte leaving at the bottom
// picks the table entry; three flushing steps then leave the checksum in the
// low byte.
#pragma once

#include <array>
#include <cstdint>

inline constexpr std::array<std::uint32_t, 256> crc_tab = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[i] = c;
    }
    return t;
}();
static_assert(crc_tab[1] == 0x77073096u && crc_tab[255] == 0x2D02EF8Du);

// The register c (0 at the start of a frame) after taking in byte d.
// Inline: it runs for every byte of the stream.
inline std::uint32_t kes_crc(std::uint32_t c, std::uint8_t d)
{
    return (std::uint32_t{d} << 24 | c >> 8) ^ crc_tab[c & 0xff];
}
// The checksum, 0..255, of the bytes taken in by register c.
std::uint32_t kes_crc_end(std::uint32_t c);
// The checksum of len >= 0 bytes at d; 0 for none.
std::uint32_t kes_crc_buf(const std::uint8_t* d, std::int32_t len);
