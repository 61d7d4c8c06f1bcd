// SPDX-License-Identifier: MIT
#include "print.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cctype>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

// Field and header lines are the bulk of the output: millions of lines for
// an hour of audio. They are put together here, the fixed columns by hand
// and numbers with to_chars, with the bytes the printf formats would give,
// and gathered in the printer's block, which goes to the sink when it is
// nearly full or when print_flush is called, rather than a call for every
// frame and a copy of every byte by stdio.
// Text gathered when the end of the samples unwinds through a frame stays,
// and goes out in order at the next flush.

namespace {

// The most a line takes apart from its texts (a value's name, a frame's
// name, a name too long for its column): a kept prefix of 48 bytes, and
// "0x" with 16 digits, or 20 digits and a sign, and the line's end.
constexpr std::size_t line_room = 128;

void flush_block(printer& pr)
{
    const auto n = static_cast<std::size_t>(pr.end - pr.block.data());
    pr.end = pr.block.data();
    if (n)
        pr.sink.write(pr.sink.opaque, out_text, pr.block.data(), n);
}

// Makes room for n more bytes and returns where they go; the writer then
// moves the end past what it wrote with advance. Lines are built through
// such a cursor, so that the block's state is touched once a line.
char* reserve(printer& pr, std::size_t n)
{
    if (static_cast<std::size_t>(pr.block.data() + pr.block.size() - pr.end) < n) [[unlikely]]
        flush_block(pr);
    return pr.end;
}

void advance(printer& pr, char* end)
{
    pr.end = end;
}

// A text of any length; one too large to gather goes straight out.
void put_text(printer& pr, const char* s, std::size_t n)
{
    if (n > pr.block.size() / 2) {
        flush_block(pr);
        pr.sink.write(pr.sink.opaque, out_text, s, n);
        return;
    }
    advance(pr, std::copy_n(s, n, reserve(pr, n)));
}

void put_text(printer& pr, const char* s)
{
    put_text(pr, s, std::strlen(s));
}

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
// the name and the width, are kept ready in a small cache keyed by the
// name's address: names are constant text that outlives the scan, as in
// the frame tables.
static_assert(std::has_single_bit(std::tuple_size_v<decltype(printer::prefixes)>));

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
[[gnu::always_inline]] inline const prefix_text* find_prefix(printer& pr, const char* name, std::int32_t size)
{
    const auto key = reinterpret_cast<std::uintptr_t>(name) + static_cast<std::uint32_t>(size);
    // Fibonacci hashing: the top bits of the product pick the slot.
    constexpr int slot_bits = std::countr_zero(std::tuple_size_v<decltype(printer::prefixes)>);
    auto slot = static_cast<std::size_t>(key * 0x9E3779B97F4A7C15u >> (64 - slot_bits));
    for (int probe = 0; probe < 4; ++probe, slot = (slot + 1) % pr.prefixes.size()) {
        prefix_text& c = pr.prefixes[slot];
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
[[gnu::always_inline]] inline char* put_kept(printer& pr, const prefix_text& c)
{
    char* p = reserve(pr, line_room);
    std::memcpy(p, c.text.data(), c.text.size());
    return p + c.len;
}

// A prefix the cache does not keep: built for this line only, and a name
// longer than its column pushes the width right, unpadded.
[[gnu::noinline]] char* put_unkept(printer& pr, const char* name, std::int32_t size)
{
    prefix_text built;
    if (make_prefix(built, name, size))
        return put_kept(pr, built);
    advance(pr, put_fixed(reserve(pr, line_room), "          "));
    put_text(pr, name);
    return put_width(reserve(pr, line_room), size);
}

// Inline: it is the bulk of every field line.
[[gnu::always_inline]] inline char* put_prefix(printer& pr, const char* name, std::int32_t size)
{
    if (const prefix_text* c = find_prefix(pr, name, size)) [[likely]]
        return put_kept(pr, *c);
    return put_unkept(pr, name, size);
}

// " [%s]" after the value at p: the text goes through the block, which
// may flush; returns the cursor after it, with room for the line's end.
char* put_value_name(printer& pr, char* p, const char* name)
{
    advance(pr, put_fixed(p, " ["));
    put_text(pr, name);
    p = reserve(pr, line_room);
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
[[gnu::noinline]] void print_block(printer& pr, bitreader& r, std::int32_t size, std::int32_t flags,
                                   const char* name, const char* const* values)
{
    if (!pr.observer) {
        print_data(pr, r, size, flags, name, nullptr);
        return;
    }
    // Kept between blocks: it grows to the largest one, and no more.
    pr.bytes.resize(size > 0 ? (static_cast<std::size_t>(size) + 7) / 8 : 0);
    print_data(pr, r, size, flags, name, pr.bytes.data());
    pr.observer(pr.observer_opaque, pr.field_index, {size, flags, name, values}, 0, pr.bytes.data(),
                pr.bytes.size());
}

}  // namespace

void init_printer(printer& pr, output_sink sink)
{
    pr.verbosity = 1;
    pr.need_nl = 0;
    pr.observer = nullptr;
    pr.observer_opaque = nullptr;
    pr.field_index = no_field;
    pr.sink = sink;
    pr.end = pr.block.data();
    pr.prefixes.fill({});
    pr.bytes.clear();
}

std::int32_t print_verbosity(printer& pr, std::int32_t v)
{
    const std::int32_t old = pr.verbosity;
    if (v >= 0)
        pr.verbosity = v;
    return old;
}

void print_observer(printer& pr, field_observer f, void* opaque)
{
    pr.observer = f;
    pr.observer_opaque = opaque;
}

std::int32_t print_verbose(printer& pr, std::int32_t v, const char* format, ...)
{
    if (pr.verbosity < v)
        return 0;
    va_list ap, again;
    va_start(ap, format);
    va_copy(again, ap);
    char* p = reserve(pr, line_room);
    const auto room = static_cast<std::size_t>(pr.block.data() + pr.block.size() - p);
    const int n = std::vsnprintf(p, room, format, ap);
    if (n >= 0 && static_cast<std::size_t>(n) < room) {
        advance(pr, p + n);
    } else if (n >= 0) {
        std::string text(static_cast<std::size_t>(n) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, again);
        put_text(pr, text.data(), static_cast<std::size_t>(n));
    }
    va_end(again);
    va_end(ap);
    return n;
}

std::uint64_t print_field(printer& pr, bitreader& r, std::int32_t size, std::int32_t flags, const char* name,
                          const char* const* values)
{
    if (flags & BF_DATA) [[unlikely]] {
        print_block(pr, r, size, flags, name, values);
        return 0;
    }
    // The bits are consumed whatever the level.
    const std::uint64_t v = read_value(r, size, flags);
    if (pr.observer) [[unlikely]]
        pr.observer(pr.observer_opaque, pr.field_index, {size, flags, name, values}, v, nullptr, 0);
    if (pr.verbosity <= 0)
        return v;
    char* p = put_prefix(pr, name, size);
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
        p = put_value_name(pr, p, values[v]);
    if (!(flags & BF_NONL))
        *p++ = '\n';
    advance(pr, p);
    return v;
}

std::uint64_t print_fields(printer& pr, bitreader& r, const bitfield* table, std::uint64_t* out)
{
    // The values of the last 16 entries, by table position mod 16, for
    // BF_VARSIZE entries, which take a width from their low 32 bits. A slot
    // no entry has written yet reads as 0. A width needs no more than 32
    // bits, and the history is cleared for every frame: kept small, it is
    // cleared in a few stores.
    std::array<std::uint32_t, 16> history{};
    std::uint64_t result = 0;
    for (std::uint32_t i = 0; table[i].name; ++i) {
        const bitfield& f = table[i];
        pr.field_index = i;
        const std::uint64_t v = print_field(pr, r, field_width(f, history), f.flags, f.name, f.values);
        history[i % 16] = static_cast<std::uint32_t>(v);
        if (f.flags & BF_RET) {
            if (out)
                *out++ = v;
            result = v;
        }
    }
    pr.field_index = no_field;
    return result;
}

std::uint64_t print_frame(printer& pr, bitreader& r, const frame& f, std::int32_t type, std::uint64_t pos)
{
    if (pr.verbosity != 0) {  // "%08lx: [%x] %s\n"
        char* p = put_hex(reserve(pr, line_room), pos, 8);
        advance(pr, put_fixed(put_hex(put_fixed(p, ": ["), static_cast<std::uint32_t>(type), 1), "] "));
        put_text(pr, f.name ? f.name : "unknown type");
        p = reserve(pr, 1);
        *p++ = '\n';
        advance(pr, p);
    }
    if (f.handler)
        return static_cast<std::uint64_t>(std::int64_t{f.handler(pr, r, static_cast<std::uint32_t>(type))});
    if (f.fields)
        return print_fields(pr, r, f.fields, nullptr);
    return 0;
}

// A raw block of size bits, read a byte at a time (the last byte may be
// short). Rows hold 16 bytes in hexadecimal or 32 in character mode and
// start with the bit offset of their first byte within the block.
void print_data(printer& pr, bitreader& r, std::int32_t size, std::int32_t flags, const char* name,
                std::uint8_t* out)
{
    if (size <= 0)
        return;
    const bool chars = flags & BF_CHAR;
    const std::uint32_t row = chars ? 32 : 16;
    if (pr.verbosity >= 1) {  // the field prefix, and at level 1 no more
        char* p = put_prefix(pr, name, size);
        advance(pr, pr.verbosity == 1 ? put_fixed(p, "[skipped]\n") : put_fixed(p, "\n"));
    }
    const auto bits = static_cast<std::uint32_t>(size);
    for (std::uint32_t i = 0; i < (bits + 7) / 8; ++i) {
        const auto c = static_cast<std::int32_t>(std::min(8u, bits - 8 * i));
        const auto v = static_cast<std::uint32_t>(get_ubits(r, c));
        if (out)
            out[i] = static_cast<std::uint8_t>(v);
        if (pr.verbosity < 2)
            continue;
        char* p = reserve(pr, line_room);
        if (i % row == 0) {  // "%14s%08x:"
            p = put_hex(put_fixed(p, "              "), 8 * i, 8);
            p = chars ? put_fixed(p, ": |") : put_fixed(p, ":");
            pr.need_nl = 1;
        }
        if (chars) {
            *p++ = std::isprint(static_cast<int>(v)) ? static_cast<char>(v) : '.';
        } else {  // " %02x", and a gap before the first and the ninth byte of a row
            if (i % (row / 2) == 0)
                *p++ = ' ';
            *p++ = ' ';
            p = put_hex(p, v, 2);
        }
        if (i % row == row - 1) {
            if (chars)
                *p++ = '|';
            *p++ = '\n';
            pr.need_nl = 0;
        }
        advance(pr, p);
    }
    print_end(pr);
}

void print_end(printer& pr)
{
    if (pr.need_nl)
        put_text(pr, "\n", 1);
    pr.need_nl = 0;
}

void print_text(printer& pr, const char* s, std::size_t n)
{
    put_text(pr, s, n);
}

void print_flush(printer& pr)
{
    flush_block(pr);
}
