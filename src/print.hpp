// SPDX-License-Identifier: MIT
// The table-driven field and frame printer: it reads each field of a
// frame's table from a bit reader and prints it in fixed columns, by the
// field's flags, at the printer's current level.
//
//   00000038: [2] gain                                 frame header
//             size                       8: 2          name, width, value
//             gain                      16: -12
//
// The frame handler, BF_DATA, BF_VARSIZE and print_data are for frame types
// to come: no type of the catalogue uses them yet.
//
// A printer is a record its caller owns: the level, the lines it holds
// until they are written to its sink, the fixed columns it keeps ready,
// and the field observer, an operation with its own context.
#pragma once

#include "bits.hpp"
#include "output.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// Field flags; they are or-ed together.
inline constexpr std::int32_t BF_SIGNED = 0x01;  // two's complement
inline constexpr std::int32_t BF_HEX = 0x02;     // 0x and (size + 3) / 4 digits
inline constexpr std::int32_t BF_CHAR = 0x04;    // value and character; dumps as text
inline constexpr std::int32_t BF_DATA = 0x08;    // raw block of size bits, dumped
inline constexpr std::int32_t BF_RET = 0x10;     // the frame's result
inline constexpr std::int32_t BF_VARSIZE = 0x20; // width = value of entry (size % 16)
inline constexpr std::int32_t BF_NONL = 0x40;    // no line end after the value

// A field's name must outlive the scan, as a string literal does: the
// printer keeps each field line's fixed columns keyed by the name's address,
// so a name rebuilt at run time in a reused buffer would print stale text.
// Debug builds check it.
struct bitfield {
    std::int32_t size;          // bits; with BF_VARSIZE a table position mod 16
    std::int32_t flags;         // BF_*
    const char* name;           // nullptr ends the table; static storage
    const char* const* values;  // names indexed by value, or nullptr
};

struct printer;

struct frame {
    const char* name;                                        // nullptr: "unknown type"
    const bitfield* fields;                                  // layout, or nullptr
    std::int32_t (*handler)(printer& p, bitreader& r, std::uint32_t type); // used instead of fields
};

// Sees every field the printer reads, at every level: its place in its
// frame's layout (no_field for one read on its own), its value, or for a
// block its bytes (the value is then 0). For outputs beside the text.
using field_observer = void (*)(void* opaque, std::uint32_t index, const bitfield& f, std::uint64_t v,
                                const std::uint8_t* bytes, std::size_t n);
inline constexpr std::uint32_t no_field = ~std::uint32_t{0};

// The fixed columns of a field line, "%10s%-24s%4d: ", for one name and
// width: a stream repeats the same few fields millions of times.
struct prefix_text {
    const char* name;
    std::int32_t size;
    std::uint32_t len;
    std::array<char, 48> text;  // a name of up to 24 characters and any width
};

struct printer {
    std::int32_t verbosity;         // the current level, never negative
    std::int32_t need_nl;           // a dump row is started and not yet ended
    field_observer observer;        // sees every field read, or nullptr
    void* observer_opaque;          // for observer
    std::uint32_t field_index;      // the place of the field being read
    output_sink sink;               // where the held lines go
    char* end;                      // the end of the lines held in block: the
                                    // record is set up in place and not moved
    std::array<char, 1 << 16> block;        // lines not yet written
    std::array<prefix_text, 64> prefixes;   // kept fixed columns, by name and width
    std::vector<std::uint8_t> bytes;        // a data block's bytes, for the observer
};

// Level 1, no observer, nothing held, nothing kept; lines go to sink.
void init_printer(printer& p, output_sink sink);

std::int32_t print_verbosity(printer& p, std::int32_t v);
// Sets the field observer (nullptr for none) and its context.
void print_observer(printer& p, field_observer f, void* opaque);
std::int32_t print_verbose(printer& p, std::int32_t v, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
std::uint64_t print_field(printer& p, bitreader& r, std::int32_t size, std::int32_t flags, const char* name,
                          const char* const* values);
std::uint64_t print_fields(printer& p, bitreader& r, const bitfield* table, std::uint64_t* out);
std::uint64_t print_frame(printer& p, bitreader& r, const frame& f, std::int32_t type, std::uint64_t pos);
void print_data(printer& p, bitreader& r, std::int32_t size, std::int32_t flags, const char* name,
                std::uint8_t* out);
void print_end(printer& p);
// Text of the caller's own among the printer's lines, whatever the level.
void print_text(printer& p, const char* s, std::size_t n);
// The printer gathers its lines and writes them to its sink in large
// blocks; this writes what it holds. Call it before anything else writes
// to the sink, and at the end.
void print_flush(printer& p);
