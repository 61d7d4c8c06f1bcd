#include "report.hpp"

#include "ker-common.hpp"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// ---------------------------------------------------------------------------
// Pieces of text

// A number in decimal, signed or not by its type.
template <typename T>
void put_number(std::string& s, T v)
{
    char text[24];
    s.append(text, std::to_chars(text, text + sizeof text, v).ptr);
}

// "%0*x": at least width hexadecimal digits.
void put_hex(std::string& s, std::uint64_t v, std::size_t width)
{
    char text[24];
    const auto n = static_cast<std::size_t>(std::to_chars(text, text + sizeof text, v, 16).ptr - text);
    s.append(n < width ? width - n : 0, '0').append(text, n);
}

// The length of the well-formed UTF-8 sequence of two or more bytes at s,
// n bytes long at most; 0 for a byte that starts none (an overlong form, a
// surrogate, a code point beyond U+10FFFF, a sequence cut short, a byte
// below 0x80).
std::size_t utf8_length(const unsigned char* s, std::size_t n)
{
    const unsigned c = s[0];
    std::size_t len;
    std::uint32_t cp, least;
    if (c >= 0xc2 && c <= 0xdf) {
        len = 2, cp = c & 0x1f, least = 0x80;
    } else if (c >= 0xe0 && c <= 0xef) {
        len = 3, cp = c & 0x0f, least = 0x800;
    } else if (c >= 0xf0 && c <= 0xf4) {
        len = 4, cp = c & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (n < len)
        return 0;
    for (std::size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xc0) != 0x80)
            return 0;
        cp = cp << 6 | (s[i] & 0x3f);
    }
    return cp < least || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff) ? 0 : len;
}

// A file name in a tab-separated column: the separators and the backslash
// itself are escaped, every other byte stands as it is.
void put_column(std::string& s, const char* name)
{
    for (; *name; ++name) {
        switch (*name) {
        case '\\': s += "\\\\"; break;
        case '\t': s += "\\t"; break;
        case '\n': s += "\\n"; break;
        case '\r': s += "\\r"; break;
        default: s += *name;
        }
    }
}

// A summary line is handed to the system in one write, so that processes
// writing lines to one pipe never cut into each other's (a pipe keeps
// writes of up to PIPE_BUF bytes whole). Nothing else is left in the buffer
// in summary mode: the line before went out the same way.
void write_line(const std::string& line)
{
    std::fwrite(line.data(), 1, line.size(), stdout);
    flush_stdout();
}

const char* status_name(file_status s)
{
    switch (s) {
    case file_status::stream: return "stream";
    case file_status::none: return "none";
    case file_status::damaged: return "damaged";
    case file_status::error: return "error";
    }
    return "";
}

// ---------------------------------------------------------------------------
// Summary: where the stream starts, its source as the first sound
// stream_params frame tells it, and how many frames were whole and sound.

// A value and the name its field's table gives it, if any.
struct named_value {
    std::int64_t value = 0;
    const char* name = nullptr;
    bool known = false;
};

struct source_params {
    named_value rate, bitdepth, gain;
};

struct {
    bool json, quick;  // from the command line
} sum_settings;

struct {
    const char* file;
    bool synced;
    std::uint32_t sync;
    std::uint64_t frames, errors;
    bool in_params;         // the frame being read is a stream_params frame
    source_params reading;  // its fields so far
    source_params params;   // the first sound one's
    bool have_params;
} sum;

void sum_file_begin(const char* name)
{
    sum = {};
    sum.file = name;
}

void sum_sync_found(std::uint32_t pos)
{
    sum.synced = true;
    sum.sync = pos;
}

bool sum_frame_begin(std::uint32_t, std::uint32_t type, const frame&, bool)
{
    sum.in_params = type == 1 && !sum.have_params;
    sum.reading = {};
    return sum.in_params;
}

void sum_field(const bitfield& f, std::uint64_t v, const std::uint8_t*, std::size_t)
{
    if (!sum.in_params)
        return;
    named_value* slot = std::strcmp(f.name, "orig_rate") == 0     ? &sum.reading.rate
                        : std::strcmp(f.name, "bitdepth") == 0    ? &sum.reading.bitdepth
                        : std::strcmp(f.name, "replay_gain") == 0 ? &sum.reading.gain
                                                                  : nullptr;
    if (slot)
        *slot = {static_cast<std::int64_t>(v), f.values ? f.values[v] : nullptr, true};
}

void sum_frame_end(std::uint32_t, bool ok, std::uint32_t)
{
    ++sum.frames;
    sum.errors += !ok;
    if (sum.in_params && ok) {
        sum.params = sum.reading;
        sum.have_params = true;
    }
    sum.in_params = false;
}

bool sum_satisfied()
{
    return sum_settings.quick && sum.have_params;
}

void put_text_value(std::string& s, const named_value& v, bool hex)
{
    if (!v.known)
        s += '-';
    else if (v.name)
        s += v.name;
    else if (hex)
        s += "0x", put_hex(s, static_cast<std::uint64_t>(v.value), 2);
    else
        put_number(s, v.value);
}

void put_json_value(std::string& s, const char* key, const named_value& v, const char* index_key)
{
    s += ",\"";
    s += key;
    s += "\":";
    if (!v.known) {
        s += "null";
    } else if (v.name) {
        json_string(s, v.name, std::strlen(v.name));
    } else if (index_key) {
        s += "\"0x", put_hex(s, static_cast<std::uint64_t>(v.value), 2), s += '"';
    } else {
        put_number(s, v.value);
    }
    if (index_key) {
        s += ",\"";
        s += index_key;
        s += "\":";
        if (v.known)
            put_number(s, v.value);
        else
            s += "null";
    }
}

void sum_file_end(file_status status)
{
    static std::string line;
    line.clear();
    const source_params none{};
    const source_params& p = sum.have_params ? sum.params : none;
    if (sum_settings.json) {
        line += "{\"file\":";
        json_string(line, sum.file, std::strlen(sum.file));
        line += ",\"status\":\"";
        line += status_name(status);
        line += "\",\"sync\":";
        if (sum.synced)
            put_number(line, sum.sync);
        else
            line += "null";
        put_json_value(line, "rate", p.rate, "rate_index");
        put_json_value(line, "bitdepth", p.bitdepth, "bitdepth_index");
        put_json_value(line, "replay_gain", p.gain, nullptr);
        line += ",\"frames\":";
        put_number(line, sum.frames);
        line += ",\"errors\":";
        put_number(line, sum.errors);
        line += "}\n";
    } else {
        put_column(line, sum.file);
        line += '\t';
        line += status_name(status);
        line += '\t';
        if (sum.synced)
            put_hex(line, sum.sync, 8);
        else
            line += '-';
        line += '\t';
        put_text_value(line, p.rate, true);
        line += '\t';
        put_text_value(line, p.bitdepth, false);
        line += '\t';
        put_text_value(line, p.gain, false);
        line += '\t';
        put_number(line, sum.frames);
        line += '\t';
        put_number(line, sum.errors);
        line += '\n';
    }
    write_line(line);
}

constexpr report summary_ops = {
    sum_file_begin, sum_sync_found, sum_frame_begin, sum_field, sum_frame_end, sum_satisfied, sum_file_end,
};

// ---------------------------------------------------------------------------
// Frames as JSON Lines: an object for each frame the text would print, and
// for each checksum error of a frame it would not.

struct {
    std::int32_t level;
    std::string file;    // "{"file":NAME," to begin every object
    std::string object;  // the frame being read
    bool open;           // a selected frame is being read
    bool first_field;
    std::uint32_t pos, type;
} js;

void js_file_begin(const char* name)
{
    js.file = "{\"file\":";
    json_string(js.file, name, std::strlen(name));
    js.file += ',';
    js.open = false;
}

void js_sync_found(std::uint32_t) {}

bool js_frame_begin(std::uint32_t pos, std::uint32_t type, const frame& f, bool selected)
{
    js.pos = pos;
    js.type = type;
    js.open = selected;
    if (!selected)
        return false;
    js.object = js.file;
    js.object += "\"pos\":";
    put_number(js.object, pos);
    js.object += ",\"type\":";
    put_number(js.object, type);
    js.object += ",\"name\":";
    if (f.name)
        json_string(js.object, f.name, std::strlen(f.name));
    else
        js.object += "null";
    js.object += ",\"fields\":[";
    js.first_field = true;
    return true;
}

void js_field(const bitfield& f, std::uint64_t v, const std::uint8_t* bytes, std::size_t n)
{
    if (!js.open)
        return;
    js.object += js.first_field ? "{\"name\":" : ",{\"name\":";
    js.first_field = false;
    json_string(js.object, f.name, std::strlen(f.name));
    js.object += ",\"bits\":";
    put_number(js.object, f.size);
    js.object += ",\"value\":";
    if (f.flags & BF_SIGNED)
        put_number(js.object, static_cast<std::int64_t>(v));
    else
        put_number(js.object, v);
    if (!(f.flags & BF_DATA) && f.values && f.values[v]) {
        js.object += ",\"text\":";
        json_string(js.object, f.values[v], std::strlen(f.values[v]));
    }
    if (bytes && js.level >= 2) {
        js.object += ",\"bytes\":\"";
        for (std::size_t i = 0; i < n; ++i)
            put_hex(js.object, bytes[i], 2);
        js.object += '"';
    }
    js.object += '}';
}

void js_write()
{
    std::fwrite(js.object.data(), 1, js.object.size(), stdout);
}

void js_frame_end(std::uint32_t crc, bool ok, std::uint32_t end)
{
    if (!js.open && ok)
        return;
    if (js.open) {
        js.object += "]";
    } else {
        js.object = js.file;
        js.object += "\"pos\":";
        put_number(js.object, js.pos);
        js.object += ",\"type\":";
        put_number(js.object, js.type);
    }
    js.object += ",\"crc\":";
    put_number(js.object, crc);
    js.object += ok ? ",\"crc_ok\":true" : ",\"crc_ok\":false,\"error_pos\":";
    if (!ok)
        put_number(js.object, end);
    js.object += "}\n";
    js.open = false;
    js_write();
}

bool js_satisfied()
{
    return false;
}

// A frame cut off by the end of the samples: the fields read before it.
void js_file_end(file_status)
{
    if (!js.open)
        return;
    js.object += "]}\n";
    js.open = false;
    js_write();
}

constexpr report json_ops = {
    js_file_begin, js_sync_found, js_frame_begin, js_field, js_frame_end, js_satisfied, js_file_end,
};

}  // namespace

const report* summary_report(bool json, bool quick)
{
    sum_settings = {json, quick};
    return &summary_ops;
}

const report* json_report(std::int32_t level)
{
    js.level = level;
    return &json_ops;
}

void json_string(std::string& out, const char* s, std::size_t n)
{
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    out += '"';
    for (std::size_t i = 0; i < n;) {
        // A run of ASCII that stands as it is goes in one piece: names are
        // mostly nothing else. What stops it is a control character, one
        // of the two JSON reserves, or a byte from 0x80 on.
        std::size_t j = i;
        while (j < n && p[j] >= 0x20 && p[j] < 0x80 && p[j] != '"' && p[j] != '\\')
            ++j;
        out.append(s + i, j - i);
        if (j == n)
            break;
        i = j;
        const unsigned c = p[i];
        const std::size_t len = utf8_length(p + i, n - i);
        if (len) {
            out.append(s + i, len);
            i += len;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else {
            out += "\\u00";
            put_hex(out, c, 2);
        }
        ++i;
    }
    out += '"';
}
