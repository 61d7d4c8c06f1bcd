// SPDX-License-Identifier: MIT
#include "report.hpp"

#include "catalogue.hpp"

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

// ---------------------------------------------------------------------------
// Text

text_state& text_of(void* self)
{
    return *static_cast<text_state*>(self);
}

void text_file_begin(void* self, const char* name)
{
    const text_state& s = text_of(self);
    print_verbosity(*s.out, s.level);
    if (s.show_name) {
        print_text(*s.out, name, std::strlen(name));
        print_text(*s.out, "\n", 1);
    }
}

bool text_frame_begin(void*, std::uint32_t, std::uint32_t, const frame&, bool selected)
{
    return selected;
}

// "%08x: checksum error\n", the position just after the checksum byte.
void text_frame_end(void* self, std::uint32_t, bool ok, std::uint32_t end)
{
    if (ok)
        return;
    char line[32];
    const int n = std::snprintf(line, sizeof line, "%08x: checksum error\n", end);
    print_text(*text_of(self).out, line, static_cast<std::size_t>(n));
}

bool never_satisfied(void*)
{
    return false;
}

void no_file_end(void*) {}

// ---------------------------------------------------------------------------
// Summary

summary_state& sum_of(void* self)
{
    return *static_cast<summary_state*>(self);
}

void sum_file_begin(void* self, const char*)
{
    summary_state& s = sum_of(self);
    print_verbosity(*s.out, 0);
    s.in_params = false;
    s.reading = {};
}

bool sum_frame_begin(void* self, std::uint32_t, std::uint32_t type, const frame&, bool)
{
    summary_state& s = sum_of(self);
    s.in_params = type == 1 && !s.facts->have_params;
    s.reading = {};
    return s.in_params;
}

void sum_field(void* self, std::uint32_t index, const bitfield& f, std::uint64_t v, const std::uint8_t*,
               std::size_t)
{
    summary_state& s = sum_of(self);
    if (!s.in_params)
        return;
    named_value* slot = index == params_rate       ? &s.reading.rate
                        : index == params_bitdepth ? &s.reading.bitdepth
                        : index == params_gain     ? &s.reading.gain
                                                   : nullptr;
    if (slot)
        *slot = {static_cast<std::int64_t>(v), f.values ? f.values[v] : nullptr, true};
}

void sum_frame_end(void* self, std::uint32_t, bool ok, std::uint32_t)
{
    summary_state& s = sum_of(self);
    if (s.in_params && ok) {
        s.facts->params = s.reading;
        s.facts->have_params = true;
    }
    s.in_params = false;
}

bool sum_satisfied(void* self)
{
    return sum_of(self).quick && sum_of(self).facts->have_params;
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

// "{"file":NAME," and, for a name that is not UTF-8, its bytes exactly:
// the escapes of NAME stand for characters, which another name may have.
void put_json_file(std::string& s, const char* name)
{
    const std::size_t n = std::strlen(name);
    s += "{\"file\":";
    if (!json_string(s, name, n)) {
        s += ",\"file_bytes\":\"";
        base64(s, name, n);
        s += '"';
    }
    s += ',';
}

// The name alone, when the file's status or checksum errors are listed.
void put_listed(std::string& line, const char* name, const summary_form& form, const summary_facts& f)
{
    const bool listed = form.list & (1u << static_cast<unsigned>(f.status)) || (form.list & list_errors && f.errors > 0);
    if (listed && form.null)
        line.append(name).append(1, '\0');
    else if (listed)
        put_column(line, name), line += '\n';
}

const source_params& params_told(const summary_facts& f)
{
    static constexpr source_params none{};
    return f.have_params ? f.params : none;
}

void put_json_summary(std::string& line, const char* name, const summary_facts& f, std::string_view reason)
{
    const source_params& p = params_told(f);
    put_json_file(line, name);
    line += "\"status\":\"";
    line += status_name(f.status);
    line += "\",\"sync\":";
    if (f.synced)
        put_number(line, f.sync);
    else
        line += "null";
    put_json_value(line, "rate", p.rate, "rate_index");
    const std::uint32_t hz = p.rate.known ? ker_rate_hz(static_cast<std::uint32_t>(p.rate.value)) : 0;
    line += ",\"rate_hz\":";
    if (hz)
        put_number(line, hz);
    else
        line += "null";
    put_json_value(line, "bitdepth", p.bitdepth, "bitdepth_index");
    put_json_value(line, "replay_gain", p.gain, nullptr);
    line += ",\"frames\":";
    put_number(line, f.frames);
    line += ",\"errors\":";
    put_number(line, f.errors);
    line += ",\"reason\":";
    if (reason.empty())
        line += "null";
    else
        json_string(line, reason.data(), reason.size());
    line += "}\n";
}

void put_text_summary(std::string& line, const char* name, const summary_facts& f)
{
    const source_params& p = params_told(f);
    put_column(line, name);
    line += '\t';
    line += status_name(f.status);
    line += '\t';
    if (f.synced)
        put_hex(line, f.sync, 8);
    else
        line += '-';
    line += '\t';
    put_text_value(line, p.rate, true);
    line += '\t';
    put_text_value(line, p.bitdepth, false);
    line += '\t';
    put_text_value(line, p.gain, false);
    line += '\t';
    put_number(line, f.frames);
    line += '\t';
    put_number(line, f.errors);
    line += '\n';
}

// ---------------------------------------------------------------------------
// Frames as JSON Lines

json_state& js_of(void* self)
{
    return *static_cast<json_state*>(self);
}

void js_file_begin(void* self, const char* name)
{
    json_state& s = js_of(self);
    print_verbosity(*s.out, 0);
    s.file.clear();
    put_json_file(s.file, name);
    s.open = false;
}

bool js_frame_begin(void* self, std::uint32_t pos, std::uint32_t type, const frame& f, bool selected)
{
    json_state& s = js_of(self);
    s.pos = pos;
    s.type = type;
    s.open = selected;
    if (!selected)
        return false;
    s.record = {};
    s.record.pos = pos;
    s.record.type = type;
    s.record.selected = true;
    s.record.name = f.name;
    s.record.fields = s.fields.data();
    s.object = s.file;
    s.object += "\"pos\":";
    put_number(s.object, pos);
    s.object += ",\"type\":";
    put_number(s.object, type);
    s.object += ",\"name\":";
    if (f.name)
        json_string(s.object, f.name, std::strlen(f.name));
    else
        s.object += "null";
    s.object += ",\"fields\":[";
    s.first_field = true;
    return true;
}

void js_field(void* self, std::uint32_t, const bitfield& f, std::uint64_t v, const std::uint8_t* bytes,
              std::size_t n)
{
    json_state& s = js_of(self);
    if (!s.open)
        return;
    s.object += s.first_field ? "{\"name\":" : ",{\"name\":";
    s.first_field = false;
    json_string(s.object, f.name, std::strlen(f.name));
    s.object += ",\"bits\":";
    put_number(s.object, f.size);
    s.object += ",\"value\":";
    if (f.flags & BF_SIGNED)
        put_number(s.object, static_cast<std::int64_t>(v));
    else
        put_number(s.object, v);
    const char* text = !(f.flags & BF_DATA) && f.values ? f.values[v] : nullptr;
    if (text) {
        s.object += ",\"text\":";
        json_string(s.object, text, std::strlen(text));
    }
    if (s.receiver && s.record.field_count < s.fields.size())
        s.fields[s.record.field_count++] = {f.name, static_cast<std::uint32_t>(f.size), v,
                                            (f.flags & BF_SIGNED) != 0, text};
    if (bytes && s.level >= 2) {
        s.object += ",\"bytes\":\"";
        for (std::size_t i = 0; i < n; ++i)
            put_hex(s.object, bytes[i], 2);
        s.object += '"';
    }
    s.object += '}';
}

void js_write(json_state& s)
{
    if (!s.receiver) {
        print_text(*s.out, s.object.data(), s.object.size());
        return;
    }
    s.record.json = std::string_view(s.object).substr(0, s.object.size() - 1);
    s.received_all = !s.receiver->frame(s.receiver->context, s.record);
}

bool js_satisfied(void* self)
{
    return js_of(self).received_all;
}

void js_frame_end(void* self, std::uint32_t crc, bool ok, std::uint32_t end)
{
    json_state& s = js_of(self);
    if (!s.open && ok)
        return;
    if (s.open) {
        s.object += "]";
    } else {
        s.record = {};
        s.record.pos = s.pos;
        s.record.type = s.type;
        s.object = s.file;
        s.object += "\"pos\":";
        put_number(s.object, s.pos);
        s.object += ",\"type\":";
        put_number(s.object, s.type);
    }
    s.object += ",\"crc\":";
    put_number(s.object, crc);
    s.object += ok ? ",\"crc_ok\":true" : ",\"crc_ok\":false,\"error_pos\":";
    if (!ok)
        put_number(s.object, end);
    s.record.whole = true;
    s.record.crc = crc;
    s.record.crc_ok = ok;
    s.record.error_pos = ok ? 0 : end;
    s.object += "}\n";
    s.open = false;
    js_write(s);
}

// A frame cut off by the end of the samples: the fields read before it.
void js_file_end(void* self)
{
    json_state& s = js_of(self);
    if (!s.open)
        return;
    s.object += "]}\n";
    s.open = false;
    js_write(s);
}

}  // namespace

constexpr report text_report = {
    text_file_begin, text_frame_begin, nullptr, text_frame_end, never_satisfied, no_file_end,
};

constexpr report summary_report = {
    sum_file_begin, sum_frame_begin, sum_field, sum_frame_end, sum_satisfied, no_file_end,
};

constexpr report json_report = {
    js_file_begin, js_frame_begin, js_field, js_frame_end, js_satisfied, js_file_end,
};

bool trouble(const outcome_form& form, const summary_facts& f)
{
    const file_status s = f.status;
    return s == file_status::damaged || s == file_status::error || f.errors > 0 ||
           (form.expect_stream && s == file_status::none);
}

void write_outcome(output_sink out, const char* name, const outcome_form& form, const scan_result& r)
{
    const summary_facts& f = r.facts;
    std::string line;
    if (f.status == file_status::damaged || f.status == file_status::error) {
        line.append(name).append(": ").append(r.reason).append("\n");
    } else if (form.check && trouble(form, f)) {
        line.append(name).append(": ");
        if (f.errors > 0)
            put_number(line, f.errors), line.append(f.errors == 1 ? " checksum error\n" : " checksum errors\n");
        else
            line.append("no stream\n");
    }
    if (!line.empty())
        out.write(out.opaque, out_messages, line.data(), line.size());
    if (!form.summary)
        return;
    line.clear();
    put_summary(line, name, form.form, r.facts, r.reason);
    if (!line.empty())
        out.write(out.opaque, out_text, line.data(), line.size());
}

void put_summary(std::string& line, const char* name, const summary_form& form, const summary_facts& f,
                 std::string_view reason)
{
    if (form.list)
        put_listed(line, name, form, f);
    else if (form.json)
        put_json_summary(line, name, f, reason);
    else
        put_text_summary(line, name, f);
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

named_value params_value(std::uint32_t index, std::int64_t value)
{
    const bitfield& f = frame_01[index];
    const char* name = f.values ? f.values[static_cast<std::uint64_t>(value) & ((1u << f.size) - 1)] : nullptr;
    return {value, name, true};
}

void init_text(text_state& s, printer& out, std::int32_t level, bool show_name)
{
    s.out = &out;
    s.level = level;
    s.show_name = show_name;
}

void init_summary(summary_state& s, printer& out, summary_facts& facts, bool quick)
{
    s.out = &out;
    s.facts = &facts;
    s.quick = quick;
}

void init_json(json_state& s, printer& out, std::int32_t level, const kesscan::frame_receiver* receiver)
{
    s.out = &out;
    s.level = level;
    s.receiver = receiver;
    s.received_all = false;
}

bool json_string(std::string& out, const char* s, std::size_t n)
{
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    bool utf8 = true;
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
            utf8 = utf8 && c < 0x80;
        }
        ++i;
    }
    out += '"';
    return utf8;
}

void base64(std::string& out, const char* s, std::size_t n)
{
    constexpr char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    for (std::size_t i = 0; i < n; i += 3) {
        const std::size_t left = n - i;
        const std::uint32_t v = p[i] << 16 | (left > 1 ? p[i + 1] << 8 : 0) | (left > 2 ? p[i + 2] : 0);
        out += digits[v >> 18];
        out += digits[v >> 12 & 63];
        out += left > 1 ? digits[v >> 6 & 63] : '=';
        out += left > 2 ? digits[v & 63] : '=';
    }
}
