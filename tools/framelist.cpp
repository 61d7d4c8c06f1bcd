// SPDX-License-Identifier: MIT
#include "framelist.hpp"

#include "kescrc.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace {

void put_byte_bits(std::vector<std::uint8_t>& bits, unsigned byte)
{
    for (int k = 7; k >= 0; --k)
        bits.push_back(static_cast<std::uint8_t>((byte >> k) & 1));
}

// The words of a line, apart by white space.
struct words {
    std::string_view rest;

    bool next(std::string_view& w)
    {
        constexpr std::string_view space = " \t\r\v\f";
        const std::size_t begin = rest.find_first_not_of(space);
        if (begin == std::string_view::npos)
            return false;
        rest.remove_prefix(begin);
        const std::size_t end = std::min(rest.find_first_of(space), rest.size());
        w = rest.substr(0, end);
        rest.remove_prefix(end);
        return true;
    }
};

bool whole_number(std::string_view w, std::uint64_t& v, int base)
{
    const auto [end, ec] = std::from_chars(w.data(), w.data() + w.size(), v, base);
    return !w.empty() && ec == std::errc{} && end == w.data() + w.size();
}

// One or two hexadecimal digits.
bool hex_byte(std::string_view w, unsigned& v)
{
    std::uint64_t x;
    if (w.size() > 2 || !whole_number(w, x, 16))
        return false;
    v = static_cast<unsigned>(x);
    return true;
}

// A count in C notation: decimal, 0x hexadecimal or 0 octal, no sign.
bool number(std::string_view w, std::uint64_t& v)
{
    if (w.size() > 2 && w[0] == '0' && (w[1] == 'x' || w[1] == 'X'))
        return whole_number(w.substr(2), v, 16);
    if (w.size() > 1 && w[0] == '0')
        return whole_number(w.substr(1), v, 8);
    return whole_number(w, v, 10);
}

// Type, size, up to 255 payload bytes and the checksum; the size and the
// checksum are computed unless given.
bool parse_frame(words& in, std::string_view first, list_line& out)
{
    std::array<std::uint8_t, 2 + 255 + 1> bytes;
    unsigned v;
    if (!hex_byte(first, v))
        return false;
    bytes[0] = static_cast<std::uint8_t>(v);
    std::size_t n = 2;
    std::uint64_t size = n, crc = 256, x;
    bool sized = false;
    for (std::string_view w; in.next(w);) {
        if (w.starts_with("size=") && number(w.substr(5), x) && x <= 255) {
            size = x;
            sized = true;
        } else if (w.starts_with("crc=") && number(w.substr(4), x) && x <= 255) {
            crc = x;
        } else if (hex_byte(w, v) && n < 2 + 255) {
            bytes[n++] = static_cast<std::uint8_t>(v);
        } else {
            return false;
        }
    }
    bytes[1] = static_cast<std::uint8_t>(sized ? size : n - 2);
    bytes[n] = static_cast<std::uint8_t>(crc < 256 ? crc : kes_crc_buf(bytes.data(), static_cast<std::int32_t>(n)));
    for (std::size_t i = 0; i <= n; ++i)
        put_byte_bits(out.bits, bytes[i]);
    return true;
}

std::string located(const frame_list& l, const std::string& what)
{
    return std::string(l.name) + ":" + std::to_string(l.line) + ": " + what;
}

}  // namespace

bool parse_list_line(std::string_view text, list_line& out)
{
    out.bits.clear();
    out.zeros = 0;
    words in{text.substr(0, text.find('#'))};
    std::string_view w;
    unsigned v;
    if (!in.next(w))
        return true;
    if (w == "sync") {
        for (const unsigned b : {0x00, 0x04, 0x8c, 0x49, 0xe0, 0xab, 0x2c})
            put_byte_bits(out.bits, b);
    } else if (w == "zeros") {
        if (!in.next(w) || !number(w, out.zeros))
            return false;
    } else if (w == "bits") {
        while (in.next(w))
            for (const char c : w) {
                if (c != '0' && c != '1')
                    return false;
                out.bits.push_back(c == '1');
            }
    } else if (w == "raw") {
        while (in.next(w)) {
            if (!hex_byte(w, v))
                return false;
            put_byte_bits(out.bits, v);
        }
    } else {
        return parse_frame(in, w, out);
    }
    return !in.next(w);
}

bool open_list(frame_list& l, const char* name)
{
    l.name = name;
    l.line = 0;
    if (std::strcmp(name, "-") == 0) {
        // A standard input the shell closed would be taken over by the next
        // file opened, and the list read from that.
        struct stat st;
        if (fstat(STDIN_FILENO, &st) != 0) {
            l.error = std::string("-: ") + std::strerror(errno);
            return false;
        }
        l.in = stdin;
        return true;
    }
    l.in = std::fopen(name, "r");
    if (!l.in)
        l.error = std::string(name) + ": " + std::strerror(errno);
    return l.in != nullptr;
}

int next_list_line(frame_list& l, list_line& out)
{
    l.text.clear();
    bool too_long = false;
    int c;
    errno = 0;
    while ((c = std::getc(l.in)) != EOF && c != '\n') {
        if (l.text.size() < max_list_line)
            l.text.push_back(static_cast<char>(c));
        else
            too_long = true;
    }
    if (std::ferror(l.in)) {
        l.error = std::string(l.name) + ": " + std::strerror(errno);
        return -1;
    }
    if (c == EOF && l.text.empty())
        return 0;
    ++l.line;
    if (too_long) {
        l.error = located(l, "line longer than " + std::to_string(max_list_line) + " bytes");
        return -1;
    }
    if (!parse_list_line(l.text, out)) {
        l.error = located(l, "cannot parse: " + quote_text(l.text));
        return -1;
    }
    return 1;
}

void close_list(frame_list& l)
{
    if (l.in && l.in != stdin)
        std::fclose(l.in);
    l.in = nullptr;
}

std::string quote_text(std::string_view text)
{
    constexpr std::size_t most = 60;
    std::string q;
    for (const char ch : text.substr(0, most)) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            q += ch;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            q += hex;
        }
    }
    return text.size() > most ? q + "..." : q;
}
