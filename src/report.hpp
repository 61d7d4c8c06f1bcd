// SPDX-License-Identifier: MIT
// Outputs beside the text: one summary line per file, as tab-separated text
// or as JSON, and the frames as JSON Lines. The frame loop tells an output
// what it decodes through a record of plain operations, each handed the
// output's own state record, as a reader is given its refill and observer;
// the text printer knows nothing of these. An output writes its lines
// through the scan's printer, among the text it holds.
#pragma once

#include "print.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum class file_status {
    stream,   // the sync pattern was found and the samples ended cleanly
    none,     // the file was read; no sync pattern near the start
    damaged,  // the samples ended with an error from the decoder
    error,    // not opened, not stereo, or the start lies outside it
};

// The status's name, as the summaries write it.
const char* status_name(file_status s);

struct report {
    void (*file_begin)(void* self, const char* name);
    void (*sync_found)(void* self, std::uint32_t pos);
    // selected: the frame passes the -p filter. True when the output wants
    // the frame's fields, which are then read through the printer.
    bool (*frame_begin)(void* self, std::uint32_t pos, std::uint32_t type, const frame& f, bool selected);
    // Every field of the frame's layout, as the printer reads it: the
    // printer's field observer.
    field_observer field;
    // The checksum byte read, whether it matched, and the position after it.
    void (*frame_end)(void* self, std::uint32_t crc, bool ok, std::uint32_t end);
    // True once the output has all it asked for (the summary's -1).
    bool (*satisfied)(void* self);
    void (*file_end)(void* self, file_status status);
};

// A value and the name its field's table gives it, if any.
struct named_value {
    std::int64_t value = 0;
    const char* name = nullptr;
    bool known = false;
};

struct source_params {
    named_value rate, bitdepth, gain;
};

// What a summary line tells of a file, but its name: its status, where the
// stream starts, its source as the first sound stream_params frame tells
// it, and how many frames were read and how many of them had checksum
// errors.
struct summary_facts {
    file_status status;
    bool synced;
    std::uint32_t sync;
    bool have_params;
    source_params params;  // the first sound stream_params frame's
    std::uint64_t frames, errors;
};

// Which files a list names: a bit for each status, by its number, and one
// for files with checksum errors.
inline constexpr unsigned list_errors = 1u << 4;

// How a summary is written: a line of tab-separated text or a JSON object;
// or, when list is not 0, the file's name alone, when it is listed, ended
// by a newline (with the name's separators escaped as in the text) or, with
// null, by a NUL byte after the name's bytes as they are.
struct summary_form {
    bool json = false;
    unsigned list = 0;
    bool null = false;
};

struct summary_state {
    printer* out;
    summary_form form;
    bool quick;             // satisfied by the first sound stream_params frame
    const char* file;
    summary_facts facts;
    const std::string* reason;  // what standard error is told of the file
    bool in_params;         // the frame being read is a stream_params frame
    source_params reading;  // its fields so far
    std::string line;
};

// The frames as JSON Lines: an object for each frame the text would print,
// and for each checksum error of a frame it would not.
struct json_state {
    printer* out;
    std::int32_t level;  // from 2 on, a data block carries its bytes
    std::string file;    // "{"file":NAME," to begin every object
    std::string object;  // the frame being read
    bool open;           // a selected frame is being read
    bool first_field;
    std::uint32_t pos, type;
};

extern const report summary_report;
extern const report json_report;

void init_summary(summary_state& s, printer& out, const summary_form& form, bool quick, const std::string& reason);
void init_json(json_state& s, printer& out, std::int32_t level);

// What the summary of the file name writes, in form; JSON carries reason,
// what standard error was told of the file (none when empty).
void put_summary(std::string& line, const char* name, const summary_form& form, const summary_facts& f,
                 std::string_view reason);
// A stream_params field told in a summary, at its place in the layout, with
// the name its table gives value.
named_value params_value(std::uint32_t index, std::int64_t value);

// A JSON string of the bytes s[0..n): valid JSON whatever the bytes are. A
// byte that is not part of well-formed UTF-8 is written \u00XX, the
// character with the byte's number. False when there was such a byte: the
// string then stands for other bytes than s.
bool json_string(std::string& out, const char* s, std::size_t n);
// The bytes s[0..n) in base64, with padding.
void base64(std::string& out, const char* s, std::size_t n);
