// SPDX-License-Identifier: MIT
// The side stream's bit source: one bit per stereo sample frame, bit xorbit
// of (left XOR right) in libsndfile's 32-bit integer form, where a sample of
// any width is scaled to fill the 32 bits. Bit 8 is then the least
// significant bit of a 24-bit sample.
//
// The samples come in blocks from a decoder, which is what a source
// implements: libsndfile's interleaved frames read into a block of its own
// (sfbits), or a decoder's buffer for each channel as it stands, in the
// decoder's own width (flacbits).
#pragma once

#include "bits.hpp"

#include <atomic>
#include <cstdint>
#include <string>

// The sample bit a reader tests, as xbit: bit xbit + 8 of the 32-bit
// sample, which must lie within it. Callers name it with a constant, so a
// bit outside the sample does not compile (a shift by 32 or more would be
// undefined).
struct sample_bit {
    std::int32_t xbit;
    consteval sample_bit(std::int32_t x) : xbit(x)
    {
        if (x < -8 || x + 8 > 31)
            throw "the tested bit lies outside the 32-bit sample";
    }
};

// libsndfile's words for what is wrong with an input, in which what libFLAC
// finds wrong is told too: a FLAC stream reads the same whichever decodes
// it. A stream that breaks off, or ends before the length its information
// gives, has lost sync.
inline constexpr const char* flac_lost_sync = "Error : flac decoder lost sync.";
inline constexpr const char* flac_failed = "Error : unknown error in flac decoder.";
// libsndfile's text for an open that found no memory.
inline constexpr const char* sndfile_no_memory = "Internal malloc () failed.";
inline constexpr const char* unknown_format = "File contains data in an unimplemented format.";
// "System error : REASON.", for an open or a read that failed with err.
std::string system_error_text(int err);

// What a scan counts as it goes, for a reader on another thread such as a
// progress line: the bytes of its input that the samples brought stand for.
struct scan_counters {
    std::atomic<std::uint64_t> bytes{0};
};

// A sample source: the reader it feeds reaches it through its source
// pointer. Frame i of the block has its left sample at left[i * step] and
// its right at right[i * step], where step is 2 for an interleaved block
// and 1 for a decoder's buffer a channel; the refill that init_bits_source
// sets knows which.
struct sample_source {
    const std::int32_t* left;
    const std::int32_t* right;
    std::uint32_t bufpos;  // next unconsumed frame of the block
    std::uint32_t bufend;  // frames in the block
    std::uint32_t xorbit;  // sample bit tested, in the 32-bit form, below 32
    std::uint32_t up;      // left shift taking the tested bit of a sample as
                           // the block holds it to bit 31; 32 or more when
                           // the samples are too narrow to have it
    // Brings the next block: sets left, right and bufend. False at the end
    // of the samples, after which it is not called again.
    bool (*next_block)(sample_source& s);
    void* opaque;  // next_block's own record: the decoder's
    // Counts the bytes of the input the blocks stand for, at bytes_per_frame;
    // or nullptr.
    scan_counters* counters;
    double bytes_per_frame;
    std::uint64_t frames_brought;  // in the blocks since the reader was set up
};

enum class block_layout {
    interleaved,  // left 2i, right 2i + 1, in libsndfile's 32-bit form
    planar,       // a buffer a channel, in the width set_sample_width sets
};

// Resets r and s and makes r a reader of the blocks next_block brings,
// testing sample bit xbit + 8. Leaves msb and the observer and end
// operations unset.
void init_bits_source(bitreader& r, sample_source& s, block_layout layout, bool (*next_block)(sample_source&),
                      void* opaque, sample_bit xbit);

// The same, but r keeps the bits it holds and goes on from s's blocks: a
// reader handed from one source to another.
void attach_bits_source(bitreader& r, sample_source& s, block_layout layout, bool (*next_block)(sample_source&),
                        void* opaque, sample_bit xbit);

// For a planar source: its blocks hold samples of bits (1..32) bits, which
// libsndfile's form shifts up by 32 - bits.
void set_sample_width(sample_source& s, std::uint32_t bits);

// The parity bits are gathered with the widest vector instructions the
// processor has (AVX2), or with false with the baseline ones (SSE2 on
// x86-64), so that the two can be compared. Takes effect at the next
// init_bits_source; returns the setting before. Safe from any thread.
bool sample_wide_vectors(bool on);
