#include "bits.hpp"

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
// and reach stdio a frame at a time. What is held is written when the text
// goes out of scope, also when the end of the samples unwinds through a
// frame, so every line begun before it stays printed.
struct line_text {
    std::array<char, 1024> buf;
    char* p = buf.data();

    ~line_text() { flush(); }
    void flush()
    {
        if (p != buf.data())
            std::fwrite(buf.data(), 1, static_cast<std::size_t>(p - buf.data()), stdout);
        p = buf.data();
    }
    // Every piece but a text is at most 64 bytes long.
    void room()
    {
        if (buf.data() + buf.size() - p < 64)
            flush();
    }
    void text(const char* s, std::size_t n)
    {
        if (n > 64) {
            flush();
            std::fwrite(s, 1, n, stdout);
            return;
        }
        room();
        std::memcpy(p, s, n);
        p += n;
    }
    void text(const char* s) { text(s, std::strlen(s)); }
    // The fixed pieces: at most 64 bytes, with room made first.
    template <std::size_t N>
    void fixed(const char (&s)[N])
    {
        room();
        std::memcpy(p, s, N - 1);
        p += N - 1;
    }
    void put(char c)
    {
        room();
        *p++ = c;
    }
    void number(std::uint64_t v) { room(); p = std::to_chars(p, p + 24, v).ptr; }
    void number(std::int64_t v) { room(); p = std::to_chars(p, p + 24, v).ptr; }
    // "%0*x": at least width (<= 16) hexadecimal digits, zero-filled.
    void hex(std::uint64_t v, std::size_t width)
    {
        room();
        const auto digits = static_cast<std::size_t>((64 - std::countl_zero(v | 1) + 3) / 4);
        std::memcpy(p, "0000000000000000", 16);
        p += digits < width ? width - digits : 0;
        p = std::to_chars(p, p + 16, v, 16).ptr;
    }
};

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

void put_kept(line_text& t, const prefix_text& c)
{
    t.room();
    std::memcpy(t.p, c.text.data(), c.text.size());
    t.p += c.len;
}

// A prefix the cache does not keep: built for this line only, and a name
// longer than its column pushes the width right, unpadded.
[[gnu::noinline]] void put_unkept(line_text& t, const char* name, std::int32_t size)
{
    prefix_text built;
    if (make_prefix(built, name, size)) {
        put_kept(t, built);
        return;
    }
    t.fixed("          ");
    t.text(name);
    t.room();
    t.p = put_width(t.p, size);
}

void put_prefix(line_text& t, const char* name, std::int32_t size)
{
    if (const prefix_text* c = find_prefix(name, size)) [[likely]]
        put_kept(t, *c);
    else
        put_unkept(t, name, size);
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
    va_list ap;
    va_start(ap, format);
    const int n = std::vprintf(format, ap);
    va_end(ap);
    return n;
}

namespace {

std::uint64_t print_field_to(line_text& t, bitreader& r, std::int32_t size, std::int32_t flags,
                             const char* name, const char* const* values)
{
    if (flags & BF_DATA) {
        t.flush();  // the dump writes to stdout itself
        if (!observer) {
            print_data(r, size, flags, name, nullptr);
            return 0;
        }
        // Kept between blocks: it grows to the largest one, and no more.
        static std::vector<std::uint8_t> bytes;
        bytes.resize(size > 0 ? (static_cast<std::size_t>(size) + 7) / 8 : 0);
        print_data(r, size, flags, name, bytes.data());
        observer({size, flags, name, values}, 0, bytes.data(), bytes.size());
        return 0;
    }
    // The bits are consumed whatever the level.
    const std::uint64_t v = read_value(r, size, flags);
    if (observer)
        observer({size, flags, name, values}, v, nullptr, 0);
    if (verbosity <= 0)
        return v;
    put_prefix(t, name, size);
    if (flags & BF_HEX) {  // "0x%0*lx", (size + 3) / 4 digits
        t.fixed("0x");
        t.hex(v, static_cast<std::size_t>(std::clamp((size + 3) / 4, 0, 16)));
    } else if (flags & BF_SIGNED) {  // "%ld"
        t.number(static_cast<std::int64_t>(v));
    } else if (flags & BF_CHAR) {  // "0x%02x '%c'" of the low 32 bits
        t.fixed("0x");
        t.hex(static_cast<std::uint32_t>(v), 2);
        t.fixed(" '");
        t.put(static_cast<char>(v));
        t.put('\'');
    } else {  // "%lu"
        t.number(v);
    }
    if (values && values[v]) {  // " [%s]"
        t.fixed(" [");
        t.text(values[v]);
        t.put(']');
    }
    if (!(flags & BF_NONL))
        t.put('\n');
    return v;
}

std::uint64_t print_fields_to(line_text& t, bitreader& r, const bitfield* table, std::uint64_t* out)
{
    // The values of the last 16 entries, by table position mod 16, for
    // BF_VARSIZE entries. A slot no entry has written yet reads as 0.
    std::array<std::uint64_t, 16> history{};
    std::uint64_t result = 0;
    for (std::uint32_t i = 0; table[i].name; ++i) {
        const bitfield& f = table[i];
        const std::uint64_t v = print_field_to(t, r, field_width(f, history), f.flags, f.name, f.values);
        history[i % 16] = v;
        if (f.flags & BF_RET) {
            if (out)
                *out++ = v;
            result = v;
        }
    }
    return result;
}

}  // namespace

std::uint64_t print_field(bitreader& r, std::int32_t size, std::int32_t flags,
                          const char* name, const char* const* values)
{
    line_text t;
    return print_field_to(t, r, size, flags, name, values);
}

std::uint64_t print_fields(bitreader& r, const bitfield* table, std::uint64_t* out)
{
    line_text t;
    return print_fields_to(t, r, table, out);
}

std::uint64_t print_frame(bitreader& r, const frame& f, std::int32_t type, std::uint64_t pos)
{
    line_text t;
    if (verbosity != 0) {  // "%08lx: [%x] %s\n"
        t.hex(pos, 8);
        t.fixed(": [");
        t.hex(static_cast<std::uint32_t>(type), 1);
        t.fixed("] ");
        t.text(f.name ? f.name : "unknown type");
        t.put('\n');
    }
    if (f.handler) {
        t.flush();  // a decoder of its own prints as it likes
        return static_cast<std::uint64_t>(std::int64_t{f.handler(r, static_cast<std::uint32_t>(type))});
    }
    if (f.fields)
        return print_fields_to(t, r, f.fields, nullptr);
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
