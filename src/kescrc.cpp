// SPDX-License-Identifier: MIT
#include "kescrc.hpp"

std::uint32_t kes_crc_end(std::uint32_t c)
{
    for (int i = 0; i < 3; ++i)
        c = (c >> 8) ^ crc_tab[c & 0xff];
    return c & 0xff;
}

std::uint32_t kes_crc_buf(const std::uint8_t* d, std::int32_t len)
{
    if (len == 0)
        return 0;
    std::uint32_t c = 0;
    for (std::int32_t i = 0; i < len; ++i)
        c = kes_crc(c, d[i]);
    return kes_crc_end(c);
}
