// SPDX-License-Identifier: MIT
// Where text goes. A scan writes through an output sink, which is the
// process's standard output and standard error written straight, or a
// buffer of its own while another file's output is being written. What
// belongs to the whole process lives here: its standard output, the record
// of that output's first failure, and the status line on standard error.
#pragma once

#include <cstddef>
#include <string_view>

inline constexpr int out_text = 1;      // standard output: decoded text
inline constexpr int out_messages = 2;  // standard error: problems with a file

// A plain operation with its context: write(opaque, stream, s, n) puts the
// n bytes at s on stream out_text or out_messages, in the order of the
// calls across both streams.
struct output_sink {
    void (*write)(void* opaque, int stream, const char* s, std::size_t n);
    void* opaque;
};

// Standard output and standard error, written straight. Once standard
// output has failed, nothing more is written to either: what was written
// is a clean prefix, and the work is over.
output_sink standard_sink();

// Writes s[0..n) to standard output's descriptor, after what stdio holds,
// waiting while a non-blocking descriptor is full. Nothing is written once
// standard output has failed; a failure keeps its errno.
void write_stdout(const char* s, std::size_t n);
// The same for standard error, whose failures are not kept: there is
// nowhere left to tell of them.
void write_stderr(const char* s, std::size_t n);
// Writes all of s[0..n) to fd; a full non-blocking descriptor is waited on
// rather than taken for a failure. The errno of a failure, -1 for one
// without, or 0.
int write_all(int fd, const char* s, std::size_t n);
// Flushes stdio's standard output; false once standard output has failed.
bool flush_stdout();
// True once standard output has failed; cheap enough for every frame, and
// safe from any thread.
bool stdout_failed();
// The last act of a program: flushes and closes standard output. On a
// failure writes "PROG: write error: REASON" to standard error and returns
// 1, else 0. Closing a descriptor the shell left closed, with nothing
// written to it, is not a failure.
int close_stdout(const char* prog);

// A status line on standard error, such as the progress of a long run: it
// is drawn over itself, cut to the terminal's width, and erased before
// anything else is written to a terminal, to be drawn again later, and
// when an interrupt or termination ends the process. Safe from any thread.
void show_status(std::string_view line);
void clear_status();
// line cut to fit a terminal of columns columns (0: unknown) without
// wrapping.
std::string_view fit_status(std::string_view line, int columns);
