// SPDX-License-Identifier: MIT
// The bit reader.
//
// A bitreader is a window of 1024 bit cells held in 32 words. Cell k lives in
// word k / 32; which bit of the word depends on the reader's order:
//
//   least significant first (msb == 0):  cell k is bit  (k % 32)      of the word
//   most significant first  (msb != 0):  cell k is bit  31 - (k % 32) of the word
//
//            word 0                         word 1
//   msb:  [c0 c1 c2 ... c31]  (c0 = bit 31)  [c32 ... c63]
//   lsb:  [c31 ... c2 c1 c0]  (c0 = bit 0)   [c63 ... c32]
//
// Cells bitpos..bitend-1 are buffered and unread. A read that does not fit
// first drops the whole words already consumed (bitpos % 32 stays the same),
// then asks fill_bits for more; if that still is not enough, eof_cb runs.
//
// The window limit: since only whole words are dropped, a read of n cells
// starting offs cells after bitpos fits only when
//
//     bitpos % 32 + offs + n <= 1024
//
// and a larger one runs the end-of-data path even while the source has
// data. Readers here ask for at most 64 cells beyond bitpos.
//
// The operations are plain functions that reach their state through the
// reader, as a decoder's callbacks get their client data: the refill
// through the reader it is handed (source, or data for fill_bits_buf), the
// observer and the end-of-data operation through opaque, their first
// argument. A reader owns none of it, so readers of separate scans never
// meet.
#pragma once

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>

struct bitreader {
    std::array<std::uint32_t, 32> bitbuf;                 // the window: 1024 bit cells
    std::uint32_t bitpos;                                 // cell of the next unread bit
    std::uint32_t bitend;                                 // cells bitpos..bitend-1 are unread
    std::uint32_t msb;                                    // 0: least significant bit first
    void (*fill_bits)(bitreader& r, std::int32_t needed); // append cells: needed counts from bitpos
    void (*get_bits_cb)(void* opaque, std::uint64_t bits, std::int32_t n); // sees every value read
    void (*eof_cb)(void* opaque);                         // the source ran dry
    const void* data;                                     // next byte for fill_bits_buf
    void* source;                                         // any other refill's own record
    void* opaque;                                         // for get_bits_cb and eof_cb
};

void init_bits(bitreader& r);
void fill_bits_buf(bitreader& r, std::int32_t n);
std::int32_t find_sync(bitreader& r, std::uint64_t magic, std::int32_t len, std::int32_t max);

// Appends the byte v (0..255) at cell bitend in least-significant-first
// placement; at bitend % 32 > 24 its high bits spill into the next word.
inline void put_byte(bitreader& r, std::int32_t v)
{
    assert(v >= 0 && v <= 255 && r.bitend + 8 <= 1024);
    const std::uint32_t w = r.bitend / 32;
    const std::uint32_t s = r.bitend % 32;
    const std::uint64_t mask = std::uint64_t{0xff} << s;
    const std::uint64_t bits = static_cast<std::uint64_t>(v) << s;
    r.bitbuf[w] = static_cast<std::uint32_t>((r.bitbuf[w] & ~mask) | bits);
    if (s > 24)
        r.bitbuf[w + 1] = static_cast<std::uint32_t>((r.bitbuf[w + 1] & ~(mask >> 32)) | (bits >> 32));
    r.bitend += 8;
}

// Makes end cells beyond bitpos available: drops the consumed words, then
// asks fill_bits. False, after eof_cb, when the source cannot supply them.
bool refill_bits(bitreader& r, std::uint32_t end);

// The reads are inline: they run for every field and every byte of the
// stream, and nearly always find their bits already in the window.

// The n bits (1 <= n <= 32) that start offs cells after bitpos, first cell
// in the order's first place; 0 after eof_cb.
inline std::uint32_t peek_bits(bitreader& r, std::uint32_t n, std::uint32_t offs)
{
    assert(n >= 1 && n <= 32);
    if (r.bitpos + offs + n > r.bitend && !refill_bits(r, offs + n)) [[unlikely]]
        return 0;
    const std::uint32_t q = r.bitpos + offs;
    const std::uint32_t w = q / 32;
    const std::uint32_t s = q % 32;
    // Word w + 1 is touched only when the bits cross into it: a read that
    // ends inside word 31 must not look past the window. A shift by 32 is
    // undefined, and cross implies s > 0.
    const bool cross = s + n > 32;
    if (r.msb) {
        std::uint32_t x = r.bitbuf[w] << s;
        if (cross)
            x |= r.bitbuf[w + 1] >> (32 - s);
        return x >> (32 - n);
    }
    std::uint32_t x = r.bitbuf[w] >> s;
    if (cross)
        x |= r.bitbuf[w + 1] << (32 - s);
    return n == 32 ? x : x & ((1u << n) - 1);
}

// The same for 33 <= n <= 64: most significant first, the first n - 32
// cells are the high part; least significant first, the first 32 the low.
std::uint64_t peek_wide_bits(bitreader& r, std::uint32_t n, std::uint32_t offs);

// The same for 1 <= n <= 64. Values wider than 32 bits are rare, and out
// of line, so that the common read stays short where it is inlined.
inline std::uint64_t peek_bits64(bitreader& r, std::uint32_t n, std::uint32_t offs)
{
    assert(n >= 1 && n <= 64);
    if (n <= 32) [[likely]]
        return peek_bits(r, n, offs);
    return peek_wide_bits(r, n, offs);
}

// Reads and consumes 1 <= n <= 64 bits. The observer sees the whole value
// once, after the position has moved past it. When the read ran out of data
// and eof_cb returned (or there is none), the value is 0 and the position
// stops at bitend rather than passing it, so the window stays consistent.
[[gnu::always_inline]] inline std::uint64_t get_ubits(bitreader& r, std::int32_t n)
{
    const std::uint64_t v = peek_bits64(r, static_cast<std::uint32_t>(n), 0);
    r.bitpos = std::min(r.bitpos + static_cast<std::uint32_t>(n), r.bitend);
    if (r.get_bits_cb)
        r.get_bits_cb(r.opaque, v, n);
    return v;
}

// Reads 1 <= n <= 64 bits and sign-extends them from bit n - 1.
inline std::int64_t get_sbits(bitreader& r, std::int32_t n)
{
    const std::uint64_t v = get_ubits(r, n) << (64 - n);
    return static_cast<std::int64_t>(v) >> (64 - n);
}
