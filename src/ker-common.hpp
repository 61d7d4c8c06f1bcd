// What both programs share: the names of coded values in the side stream's
// frames, and the closing of standard output.
#pragma once

#include <cstddef>

// Names indexed by the value. Each table has an entry for every value its
// field can take; nullptr where a value has no name.

// The 5-bit original sample rate: bits 3-4 the family (44.1, 48 or 64 kHz),
// bits 0-2 the power-of-two multiple; 24 and above are unassigned.
extern const char* const ker_rates[32];
// The 2-bit bit depth.
extern const char* const kes_bitdepths[4];

// Standard output buffers whole blocks, so a write fails (full disk, closed
// pipe with SIGPIPE ignored, closed descriptor) long after the text was
// printed. These keep the reason of the first failure, for the message.

// Flushes standard output; false once it has failed.
bool flush_stdout();
// True once standard output has failed; cheap enough for every frame.
bool stdout_failed();
// Writes s[0..n) to standard output's descriptor, after what stdio holds,
// without stdio copying it into its buffer first: for large blocks of text
// built elsewhere. Nothing is written once standard output has failed; a
// failure here counts as stdio's would.
void write_stdout(const char* s, std::size_t n);
// The last act of a program: flushes and closes standard output. On a
// failure writes "PROG: write error: REASON" to standard error and returns
// 1, else 0. Closing a descriptor the shell left closed, with nothing
// written to it, is not a failure.
int close_stdout(const char* prog);
