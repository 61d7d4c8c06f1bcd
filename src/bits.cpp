#include "bits.hpp"
#include "ker-common.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cctype>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

// ---------------------------------------------------------------------------
// Bit reader

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
        r.eof_cb();
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

// ---------------------------------------------------------------------------
// Field and frame printer

namespace {

std::int32_t verbosity = 1;  // the printer's current level, never negative
std::int32_t need_nl = 0;    // a dump row is started and not yet ended
field_observer observer;     // sees every field read, or none

// Field and header lines are the bulk of the output: millions of lines for
// an hour of audio. They are put together here, the fixed columns by hand
// and numbers with to_chars, with the bytes the printf formats would give,
// and gathered in one block that is written out when it is nearly full or
// when print_flush is called. The block is written straight, not copied
// into stdio's buffer first: a call into stdio for every frame, and its
// copy of every byte, took about a quarter of the printing's time. Text
// gathered when the end of the samples unwinds through a frame stays, and
// goes out in order at the next flush.
struct text_block {
    std::array<char, 1 << 16> buf;
    char* p = buf.data();

    void flush()
    {
        const auto n = static_cast<std::size_t>(p - buf.data());
        p = buf.data();
        if (n)
            write_stdout(buf.data(), n);
    }
    // Makes room for n more bytes and returns where they go; the writer
    // moves p past what it wrote. Lines are built through such a cursor,
    // so that the block's state is touched once a line.
    char* reserve(std::size_t n)
    {
        if (static_cast<std::size_t>(buf.data() + buf.size() - p) < n) [[unlikely]]
            flush();
        return p;
    }
    void text(const char* s)
    {
        const std::size_t n = std::strlen(s);
        if (n > buf.size() / 2) {
            flush();
            std::fwrite(s, 1, n, stdout);
            return;
        }
        p = std::copy_n(s, n, reserve(n));
    }
};
text_block lines;

// The most a line takes apart from its texts (a value's name, a frame's
// name, a name too long for its column): a kept prefix of 48 bytes, and
// "0x" with 16 digits, or 20 digits and a sign, and the line's end.
constexpr std::size_t line_room = 128;

// The pieces of a line, written at a cursor with room made beforehand;
// each returns the end of what it wrote.

template <std::size_t N>
char* put_fixed(char* p, const char (&s)[N])
{
    std::memcpy(p, s, N - 1);
    return p + N - 1;
}

template <typename T>
char* put_number(char* p, T v)
{
    return std::to_chars(p, p + 24, v).ptr;
}

// The two hexadecimal digits of every byte value, "00" to "ff".
constexpr std::array<char, 512> hex_pairs = [] {
    std::array<char, 512> t{};
    for (std::size_t b = 0; b < 256; ++b) {
        t[2 * b] = "0123456789abcdef"[b >> 4];
        t[2 * b + 1] = "0123456789abcdef"[b & 15];
    }
    return t;
}();

// "%0*lx": at least width (<= 16) hexadecimal digits, zero-filled; written
// from the last digit back, a byte's two at a time.
char* put_hex(char* p, std::uint64_t v, std::size_t width)
{
    const auto digits = static_cast<std::size_t>((64 - std::countl_zero(v | 1) + 3) / 4);
    std::size_t n = std::max(digits, width);
    char* const end = p + n;
    char* e = end;
    for (; n >= 2; n -= 2, v >>= 8) {
        e -= 2;
        std::memcpy(e, &hex_pairs[2 * (v & 0xff)], 2);
    }
    if (n)
        *--e = hex_pairs[2 * (v & 15) + 1];
    return end;
}

// "%4d: ", the width of a field right-aligned in 4 columns, at out (room
// for 14 bytes); returns the end.
char* put_width(char* out, std::int32_t size)
{
    char digits[12];
    const auto n = std::to_chars(digits, digits + sizeof digits, size).ptr - digits;
    if (n < 4) {
        std::memset(out, ' ', 4);
        out += 4 - n;
    }
    std::memcpy(out, digits, static_cast<std::size_t>(n));
    std::memcpy(out + n, ": ", 2);
    return out + n + 2;
}

// The fixed columns of a field line, "%10s%-24s%4d: " with an empty text,
// the name and the width, depend only on the name and the width, and a
// stream repeats the same few fields millions of times. They are kept ready
// in a small cache keyed by the name's address: names are constant text
// that outlives the scan, as in the frame tables.
struct prefix_text {
    const char* name;
    std::int32_t size;
    std::uint32_t len;
    std::array<char, 48> text;  // a name of up to 24 characters and any width
};
std::array<prefix_text, 64> prefixes;
static_assert(std::has_single_bit(prefixes.size()));

// Builds the prefix of name and size into c; false, with c left alone, for
// a name too long to keep. Out of line, like put_unkept, so that the path of
// a kept prefix stays short.
[[gnu::noinline]] bool make_prefix(prefix_text& c, const char* name, std::int32_t size)
{
    const std::size_t n = std::strlen(name);
    if (n > 24)
        return false;
    std::memset(c.text.data(), ' ', 34);
    std::memcpy(c.text.data() + 10, name, n);
    c.name = name;
    c.size = size;
    c.len = static_cast<std::uint32_t>(put_width(c.text.data() + 34, size) - c.text.data());
    return true;
}

// The cached prefix of name and size, kept on first use; nullptr when it
// is not kept. A key is looked for in four slots from its hash on: a table
// filled by many different widths of a stream-sized field keeps working,
// only without the cache.
const prefix_text* find_prefix(const char* name, std::int32_t size)
{
    const auto key = reinterpret_cast<std::uintptr_t>(name) + static_cast<std::uint32_t>(size);
    // Fibonacci hashing: the top bits of the product pick the slot.
    constexpr int slot_bits = std::countr_zero(prefixes.size());
    auto slot = static_cast<std::size_t>(key * 0x9E3779B97F4A7C15u >> (64 - slot_bits));
    for (int probe = 0; probe < 4; ++probe, slot = (slot + 1) % prefixes.size()) {
        prefix_text& c = prefixes[slot];
        if (c.name == name && c.size == size) {
            assert(std::strncmp(c.text.data() + 10, name, std::strlen(name)) == 0 && "field names are static");
            return &c;
        }
        if (!c.name)
            return make_prefix(c, name, size) ? &c : nullptr;
    }
    return nullptr;
}

// The prefix of a new line, with room made for the rest of it but its
// texts; returns the cursor after the prefix.
char* put_kept(const prefix_text& c)
{
    char* p = lines.reserve(line_room);
    std::memcpy(p, c.text.data(), c.text.size());
    return p + c.len;
}

// A prefix the cache does not keep: built for this line only, and a name
// longer than its column pushes the width right, unpadded.
[[gnu::noinline]] char* put_unkept(const char* name, std::int32_t size)
{
    prefix_text built;
    if (make_prefix(built, name, size))
        return put_kept(built);
    lines.p = put_fixed(lines.reserve(line_room), "          ");
    lines.text(name);
    return put_width(lines.reserve(line_room), size);
}

char* put_prefix(const char* name, std::int32_t size)
{
    if (const prefix_text* c = find_prefix(name, size)) [[likely]]
        return put_kept(*c);
    return put_unkept(name, size);
}

// " [%s]" after the value at p: the text goes through the block, which
// may flush; returns the cursor after it, with room for the line's end.
char* put_value_name(char* p, const char* name)
{
    lines.p = put_fixed(p, " [");
    lines.text(name);
    p = lines.reserve(line_room);
    *p++ = ']';
    return p;
}

// A BF_VARSIZE width comes from the stream and may be anything: a block
// takes it as it is, a value holds at most 64 bits.
std::int32_t field_width(const bitfield& f, const std::array<std::uint32_t, 16>& history)
{
    if (!(f.flags & BF_VARSIZE))
        return f.size;
    const std::uint32_t w = history[static_cast<std::uint32_t>(f.size) % 16];
    return static_cast<std::int32_t>((f.flags & BF_DATA) ? w : std::min(w, 64u));
}

// A value of width 0, which only a BF_VARSIZE field can have, is 0.
std::uint64_t read_value(bitreader& r, std::int32_t size, std::int32_t flags)
{
    if (size == 0)
        return 0;
    return (flags & BF_SIGNED) ? static_cast<std::uint64_t>(get_sbits(r, size)) : get_ubits(r, size);
}

// A raw block, dumped, and shown to the observer as bytes.
[[gnu::noinline]] void print_block(bitreader& r, std::int32_t size, std::int32_t flags,
                                   const char* name, const char* const* values)
{
    if (!observer) {
        print_data(r, size, flags, name, nullptr);
        return;
    }
    // Kept between blocks: it grows to the largest one, and no more.
    static std::vector<std::uint8_t> bytes;
    bytes.resize(size > 0 ? (static_cast<std::size_t>(size) + 7) / 8 : 0);
    print_data(r, size, flags, name, bytes.data());
    observer({size, flags, name, values}, 0, bytes.data(), bytes.size());
}

}  // namespace

std::int32_t print_verbosity(std::int32_t v)
{
    const std::int32_t old = verbosity;
    if (v >= 0)
        verbosity = v;
    return old;
}

field_observer print_observer(field_observer f)
{
    const field_observer old = observer;
    observer = f;
    return old;
}

std::int32_t print_verbose(std::int32_t v, const char* format, ...)
{
    if (verbosity < v)
        return 0;
    print_flush();
    va_list ap;
    va_start(ap, format);
    const int n = std::vprintf(format, ap);
    va_end(ap);
    return n;
}

std::uint64_t print_field(bitreader& r, std::int32_t size, std::int32_t flags,
                          const char* name, const char* const* values)
{
    if (flags & BF_DATA) [[unlikely]] {
        print_block(r, size, flags, name, values);
        return 0;
    }
    // The bits are consumed whatever the level.
    const std::uint64_t v = read_value(r, size, flags);
    if (observer) [[unlikely]]
        observer({size, flags, name, values}, v, nullptr, 0);
    if (verbosity <= 0)
        return v;
    char* p = put_prefix(name, size);
    if (flags & BF_HEX) {  // "0x%0*lx", (size + 3) / 4 digits
        p = put_hex(put_fixed(p, "0x"), v, static_cast<std::size_t>(std::clamp((size + 3) / 4, 0, 16)));
    } else if (flags & BF_SIGNED) {  // "%ld"
        p = put_number(p, static_cast<std::int64_t>(v));
    } else if (flags & BF_CHAR) {  // "0x%02x '%c'" of the low 32 bits
        p = put_fixed(put_hex(put_fixed(p, "0x"), static_cast<std::uint32_t>(v), 2), " '");
        *p++ = static_cast<char>(v);
        *p++ = '\'';
    } else {  // "%lu"
        p = put_number(p, v);
    }
    if (values && values[v])
        p = put_value_name(p, values[v]);
    if (!(flags & BF_NONL))
        *p++ = '\n';
    lines.p = p;
    return v;
}

std::uint64_t print_fields(bitreader& r, const bitfield* table, std::uint64_t* out)
{
    // The values of the last 16 entries, by table position mod 16, for
    // BF_VARSIZE entries, which take a width from their low 32 bits. A slot
    // no entry has written yet reads as 0. Kept as 32 bits, the history is
    // cleared with four vector stores; as 64 bits the compiler cleared it
    // with a string instruction, which slowed the printing by a tenth.
    std::array<std::uint32_t, 16> history{};
    std::uint64_t result = 0;
    for (std::uint32_t i = 0; table[i].name; ++i) {
        const bitfield& f = table[i];
        const std::uint64_t v = print_field(r, field_width(f, history), f.flags, f.name, f.values);
        history[i % 16] = static_cast<std::uint32_t>(v);
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
    if (verbosity != 0) {  // "%08lx: [%x] %s\n"
        char* p = put_hex(lines.reserve(line_room), pos, 8);
        lines.p = put_fixed(put_hex(put_fixed(p, ": ["), static_cast<std::uint32_t>(type), 1), "] ");
        lines.text(f.name ? f.name : "unknown type");
        p = lines.reserve(1);
        *p++ = '\n';
        lines.p = p;
    }
    if (f.handler) {
        print_flush();  // a decoder of its own prints as it likes
        return static_cast<std::uint64_t>(std::int64_t{f.handler(r, static_cast<std::uint32_t>(type))});
    }
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
    // The dump writes to stdout itself: print_verbose first puts out the
    // lines held before it, and at level 0 the dump writes nothing.
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
    if (need_nl) {
        print_flush();
        std::putchar('\n');
    }
    need_nl = 0;
}

void print_flush()
{
    lines.flush();
}
