// SPDX-License-Identifier: MIT
// The outputs of a scan: the frames as text, one summary line per file, as
// tab-separated text or as JSON, and the frames as JSON Lines. The frame
// loop tells an output what it decodes through a record of plain
// operations, each handed the output's own state record, as a reader is
// given its refill and observer. An output writes its lines through the
// scan's printer, among the text it holds. A file's outcome, what is said
// of it and its summary, is written by write_outcome alone, whether the
// file was scanned or its outcome came from elsewhere.
#pragma once

#include "print.hpp"

#include <kesscan/kesscan.hpp>

#include <array>

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
    // Sets the printer's level for the frames, and begins the file.
    void (*file_begin)(void* self, const char* name);
    // selected: the frame passes the -p filter. True when the output wants
    // the frame's fields, which are then read through the printer.
    bool (*frame_begin)(void* self, std::uint32_t pos, std::uint32_t type, const frame& f, bool selected);
    // Every field of the frame's layout, as the printer reads it: the
    // printer's field observer, or nullptr when the text is all there is.
    field_observer field;
    // The checksum byte read, whether it matched, and the position after it.
    void (*frame_end)(void* self, std::uint32_t crc, bool ok, std::uint32_t end);
    // True once the output has all it asked for (the summary's -1).
    bool (*satisfied)(void* self);
    // The frames end, after the file's outcome was written.
    void (*file_end)(void* self);
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

// What a file's scan came to, or what stands for it: the facts its summary
// tells, and why its status is what it is: what went wrong with a damaged
// file or one that could not be scanned, or why no stream was found. A
// stream has none.
struct scan_result {
    summary_facts facts;
    std::string reason;
    unsigned sections = 0;  // of a file decoded on several threads, read
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

// How a file's outcome is written: its summary, when one is asked for, and
// what makes a file trouble, which --check tells of.
struct outcome_form {
    bool summary = false;
    summary_form form;
    bool check = false;          // standard error is told each file's trouble
    bool expect_stream = false;  // a file without a stream is trouble too
};

// Whether a file is trouble: damaged, not scanned, with checksum errors,
// or without a stream where one is expected.
bool trouble(const outcome_form& form, const summary_facts& f);

// The frames as text: those -p selects, at the configured level, and a
// line for each checksum error, of a frame it selects or not.
struct text_state {
    printer* out;
    std::int32_t level;
    bool show_name;  // the file's name goes on a line before its frames
};

// The summary's source: the first sound stream_params frame's fields, put
// into the scan's facts, whose other fields the scan fills in itself.
struct summary_state {
    printer* out;
    summary_facts* facts;
    bool quick;             // satisfied by the first sound stream_params frame
    bool in_params;         // the frame being read is a stream_params frame
    source_params reading;  // its fields so far
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
    // Where each object goes with what it holds, instead of the printer;
    // or nullptr.
    const kesscan::frame_receiver* receiver;
    bool received_all;      // the receiver wants no more frames
    kesscan::frame record;  // the frame being read
    std::array<kesscan::field, kesscan::max_fields> fields;
};

extern const report text_report;
extern const report summary_report;
extern const report json_report;

void init_text(text_state& s, printer& out, std::int32_t level, bool show_name);
void init_summary(summary_state& s, printer& out, summary_facts& facts, bool quick);
void init_json(json_state& s, printer& out, std::int32_t level, const kesscan::frame_receiver* receiver);

// Writes the outcome of the file name to out: "NAME: REASON" on standard
// error for a file damaged or not scanned, or under --check for any file
// that is trouble ("NAME: 3 checksum errors"); then, when one is asked for,
// its summary, in one write: a line of up to PIPE_BUF bytes reaches a pipe
// in one piece, so processes writing summaries to one pipe never cut into
// each other's.
void write_outcome(output_sink out, const char* name, const outcome_form& form, const scan_result& r);
// What the summary of the file name writes, in form; JSON carries reason
// (none when empty).
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
