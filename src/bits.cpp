// SPDX-License-Identifier: MIT
#include "bits.hpp"

#include <cassert>

void init_bits(bitreader& r)
{
    r = {};
}

// The caller guarantees the buffer behind data holds enough bytes.
void fill_bits_buf(bitreader& r, std::int32_t n)
{
    auto p = static_cast<const std::uint8_t*>(r.data);
    while (r.bitend < r.bitpos + static_cast<std::uint32_t>(n))
        put_byte(r, *p++);
    r.data = p;
}

namespace {

// Drops the whole words before bitpos. Only the words that hold unread
// cells move; the rest of the window lies beyond bitend, and its contents
// do not matter until a refill writes them.
void compact(bitreader& r)
{
    const std::uint32_t s = r.bitpos / 32;
    if (s == 0)
        return;
    const std::uint32_t used = (r.bitend + 31) / 32;
    for (std::uint32_t i = s; i < used; ++i)
        r.bitbuf[i - s] = r.bitbuf[i];
    r.bitpos -= 32 * s;
    r.bitend -= 32 * s;
}

}  // namespace

bool refill_bits(bitreader& r, std::uint32_t end)
{
    compact(r);
    if (r.fill_bits)
        r.fill_bits(r, static_cast<std::int32_t>(end));
    if (r.bitpos + end <= r.bitend)
        return true;
    if (r.eof_cb)
        r.eof_cb(r.opaque);
    return false;
}

std::uint64_t peek_wide_bits(bitreader& r, std::uint32_t n, std::uint32_t offs)
{
    assert(n > 32 && n <= 64);
    if (r.msb) {
        const std::uint64_t high = peek_bits(r, n - 32, offs);
        return high << 32 | peek_bits(r, 32, offs + n - 32);
    }
    const std::uint64_t low = peek_bits(r, 32, offs);
    return std::uint64_t{peek_bits(r, n - 32, offs + 32)} << 32 | low;
}

// Tries max positions one bit apart. On success the reader stands on the
// pattern's first bit; every bit skipped before it went through get_ubits,
// so the observer saw it.
std::int32_t find_sync(bitreader& r, std::uint64_t magic, std::int32_t len, std::int32_t max)
{
    for (std::int32_t i = 0; i < max; ++i) {
        if (peek_bits64(r, static_cast<std::uint32_t>(len), 0) == magic)
            return 0;
        get_ubits(r, 1);
    }
    return -1;
}
