// SPDX-License-Identifier: MIT
// The frame list kesgen writes into a side stream, one item a line ('#'
// starts a comment):
//
//   sync                 the sync pattern (the magic frame 00 04 8c 49 e0 ab 2c)
//   TT PP PP ...         a frame: type and payload bytes in hexadecimal; the
//                        size byte and checksum are computed, and the words
//                        size=N and crc=N (C notation) replace them
//   raw HH HH ...        bytes as they stand, no framing
//   bits 0110...         raw bits
//   zeros N              N zero bits
//
// Bytes enter the stream most significant bit first. The list is read a
// line at a time as the stream is written, and a run of zeros stays a count,
// so memory does not grow with the list or the stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// What one line adds to the stream: its bits, then a run of zero bits.
struct list_line {
    std::vector<std::uint8_t> bits;  // one bit a byte, in stream order
    std::uint64_t zeros = 0;
};

// Parses one line, without its line end, into out; false when the line is
// not an item of the list.
bool parse_list_line(std::string_view text, list_line& out);

// A frame list being read.
struct frame_list {
    std::FILE* in = nullptr;
    const char* name = "-";  // as given; "-" is standard input
    long line = 0;           // number of the last line read
    std::string text;        // the last line read
    std::string error;       // why opening or reading failed
};

// Lines longer than this are refused rather than held.
inline constexpr std::size_t max_list_line = 1 << 20;

// Opens the list name; false, with error set, when it cannot be read.
bool open_list(frame_list& l, const char* name);
// Reads the next line into out: 1, 0 at the end of the list, or -1 with
// error set to "NAME:LINE: ..." or the system's reason.
int next_list_line(frame_list& l, list_line& out);
void close_list(frame_list& l);

// Text quoted for a message: at most 60 bytes, non-printing bytes as \xNN.
std::string quote_text(std::string_view text);
