#include "bits.hpp"

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

// ---------------------------------------------------------------------------
// Bit reader

void init_bits(bitreader& r)
{
    r = {};
}

// Appends the byte v (0..255) at cell bitend in least-significant-first
// placement; at bitend % 32 > 24 its high bits spill into the next word.
void put_byte(bitreader& r, std::int32_t v)
{
    assert(v >= 0 && v <= 255 && r.bitend + 8 <= 1024);
    const std::uint32_t w = r.bitend / 32;
    const std::uint32_t s = r.bitend % 32;
    const std::uint64_t mask = std::uint64_t{0xff} << s;
    const std::uint64_t bits = static_cast<std::uint64_t>(v) << s;
    r.bitbuf[w] = static_cast<std::uint32_t>((r.bitbuf[w] & ~mask) | bits);
    if (s > 24)
        r.bitbuf[w + 1] = static_cast<std::uint32_t>(
            (r.bitbuf[w + 1] & ~(mask >> 32)) | (bits >> 32));
    r.bitend += 8;
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

// Drops the whole words before bitpos. The vacated upper words keep stale
// contents; they lie beyond bitend and are overwritten by the next refill.
void compact(bitreader& r)
{
    const std::uint32_t s = r.bitpos / 32;
    if (s == 0)
        return;
    std::memmove(r.bitbuf.data(), r.bitbuf.data() + s, (32 - s) * sizeof(std::uint32_t));
    r.bitpos -= 32 * s;
    r.bitend -= 32 * s;
}

}  // namespace

// 1 <= n <= 32. Yields 0 after eof_cb when the source cannot supply the bits.
std::uint32_t peek_bits(bitreader& r, std::uint32_t n, std::uint32_t offs)
{
    assert(n >= 1 && n <= 32);
    const std::uint32_t end = offs + n;
    if (r.bitpos + end > r.bitend) {
        compact(r);
        if (r.fill_bits)
            r.fill_bits(r, static_cast<std::int32_t>(end));
        if (r.bitpos + end > r.bitend) {
            if (r.eof_cb)
                r.eof_cb();
            return 0;
        }
    }
    const std::uint32_t q = r.bitpos + offs;
    const std::uint32_t w = q / 32;
    const std::uint32_t s = q % 32;
    // Word w + 1 is touched only when the bits cross into it: a read that
    // ends inside word 31 must not look past the window. Shifts by 32 are
    // undefined, hence the s > 0 tests.
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

// 1 <= n <= 64.
std::uint64_t peek_bits64(bitreader& r, std::uint32_t n, std::uint32_t offs)
{
    assert(n >= 1 && n <= 64);
    if (n <= 32)
        return peek_bits(r, n, offs);
    if (r.msb) {
        const std::uint64_t high = peek_bits(r, n - 32, offs);
        return high << 32 | peek_bits(r, 32, offs + n - 32);
    }
    const std::uint64_t low = peek_bits(r, 32, offs);
    return std::uint64_t{peek_bits(r, n - 32, offs + 32)} << 32 | low;
}

// 1 <= n <= 64. The observer sees the whole value once, after the position
// has moved past it.
std::uint64_t get_ubits(bitreader& r, std::int32_t n)
{
    const std::uint64_t v = peek_bits64(r, static_cast<std::uint32_t>(n), 0);
    r.bitpos = std::min(r.bitpos + static_cast<std::uint32_t>(n), r.bitend);
    if (r.get_bits_cb)
        r.get_bits_cb(v, n);
    return v;
}

// 1 <= n <= 64; sign-extends from bit n - 1.
std::int64_t get_sbits(bitreader& r, std::int32_t n)
{
    const std::uint64_t v = get_ubits(r, n) << (64 - n);
    return static_cast<std::int64_t>(v) >> (64 - n);
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

// ---------------------------------------------------------------------------
// Field and frame printer

namespace {

std::int32_t verbosity = 1;  // the printer's current level, never negative
std::int32_t need_nl = 0;    // a dump row is started and not yet ended

void print_prefix(const char* name, std::int32_t size)
{
    std::printf("%10s%-24s%4d: ", "", name, size);
}

// A BF_VARSIZE width comes from the stream and may be anything: a block
// takes it as it is, a value holds at most 64 bits.
std::int32_t field_width(const bitfield& f, const std::array<std::uint64_t, 16>& history)
{
    if (!(f.flags & BF_VARSIZE))
        return f.size;
    const auto w = static_cast<std::uint32_t>(history[static_cast<std::uint32_t>(f.size) % 16]);
    return static_cast<std::int32_t>((f.flags & BF_DATA) ? w : std::min(w, 64u));
}

// A value of width 0, which only a BF_VARSIZE field can have, is 0.
std::uint64_t read_value(bitreader& r, std::int32_t size, std::int32_t flags)
{
    if (size == 0)
        return 0;
    return (flags & BF_SIGNED) ? static_cast<std::uint64_t>(get_sbits(r, size)) : get_ubits(r, size);
}

}  // namespace

std::int32_t print_verbosity(std::int32_t v)
{
    const std::int32_t old = verbosity;
    if (v >= 0)
        verbosity = v;
    return old;
}

std::int32_t print_verbose(std::int32_t v, const char* format, ...)
{
    if (verbosity < v)
        return 0;
    va_list ap;
    va_start(ap, format);
    const int n = std::vprintf(format, ap);
    va_end(ap);
    return n;
}

std::uint64_t print_field(bitreader& r, std::int32_t size, std::int32_t flags,
                          const char* name, const char* const* values)
{
    if (flags & BF_DATA) {
        print_data(r, size, flags, name, nullptr);
        return 0;
    }
    // The bits are consumed whatever the level.
    const std::uint64_t v = read_value(r, size, flags);
    if (verbosity <= 0)
        return v;
    print_prefix(name, size);
    if (flags & BF_HEX)
        std::printf("0x%0*" PRIx64, (size + 3) / 4, v);
    else if (flags & BF_SIGNED)
        std::printf("%" PRId64, static_cast<std::int64_t>(v));
    else if (flags & BF_CHAR)
        std::printf("0x%02x '%c'", static_cast<unsigned>(v), static_cast<int>(static_cast<unsigned>(v)));
    else
        std::printf("%" PRIu64, v);
    if (values && values[v])
        std::printf(" [%s]", values[v]);
    if (!(flags & BF_NONL))
        std::putchar('\n');
    return v;
}

std::uint64_t print_fields(bitreader& r, const bitfield* table, std::uint64_t* out)
{
    // The values of the last 16 entries, by table position mod 16, for
    // BF_VARSIZE entries. A slot no entry has written yet reads as 0.
    std::array<std::uint64_t, 16> history{};
    std::uint64_t result = 0;
    for (std::uint32_t i = 0; table[i].name; ++i) {
        const bitfield& f = table[i];
        const std::uint64_t v = print_field(r, field_width(f, history), f.flags, f.name, f.values);
        history[i % 16] = v;
        if (f.flags & BF_RET) {
            if (out)
                *out++ = v;
            result = v;
        }
    }
    return result;
}

std::uint64_t print_frame(bitreader& r, const frame& f, std::int32_t type, std::uint64_t pos)
{
    if (verbosity != 0)
        std::printf("%08" PRIx64 ": [%x] %s\n", pos, static_cast<unsigned>(type),
                    f.name ? f.name : "unknown type");
    if (f.handler)
        return static_cast<std::uint64_t>(std::int64_t{f.handler(r, static_cast<std::uint32_t>(type))});
    if (f.fields)
        return print_fields(r, f.fields, nullptr);
    return 0;
}

// A raw block of size bits, read a byte at a time (the last byte may be
// short). Rows hold 16 bytes in hexadecimal or 32 in character mode and
// start with the bit offset of their first byte within the block.
void print_data(bitreader& r, std::int32_t size, std::int32_t flags, const char* name,
                std::uint8_t* out)
{
    if (size <= 0)
        return;
    const bool chars = flags & BF_CHAR;
    const std::uint32_t row = chars ? 32 : 16;
    print_verbose(1, "%10s%-24s%4d: ", "", name, size);
    if (verbosity == 1)
        std::puts("[skipped]");
    else if (verbosity >= 2)
        std::putchar('\n');
    const auto bits = static_cast<std::uint32_t>(size);
    for (std::uint32_t i = 0; i < (bits + 7) / 8; ++i) {
        const auto c = static_cast<std::int32_t>(std::min(8u, bits - 8 * i));
        const auto v = static_cast<std::uint32_t>(get_ubits(r, c));
        if (out)
            out[i] = static_cast<std::uint8_t>(v);
        if (verbosity < 2)
            continue;
        if (i % row == 0) {
            std::printf("%14s%08x:", "", 8 * i);
            if (chars)
                std::fputs(" |", stdout);
            need_nl = 1;
        }
        if (chars) {
            std::putchar(std::isprint(static_cast<int>(v)) ? static_cast<int>(v) : '.');
        } else {
            if (i % (row / 2) == 0)
                std::putchar(' ');
            std::printf(" %02x", v);
        }
        if (i % row == row - 1) {
            if (chars)
                std::putchar('|');
            std::putchar('\n');
            need_nl = 0;
        }
    }
    print_end();
}

void print_end()
{
    if (need_nl)
        std::putchar('\n');
    need_nl = 0;
}
