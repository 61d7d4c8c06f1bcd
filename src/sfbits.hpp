// The side stream's bit source: one bit per stereo sample frame, bit xorbit
// of (left XOR right) in libsndfile's 32-bit integer form, where a sample of
// any width is scaled to fill the 32 bits. Bit 8 is then the least
// significant bit of a 24-bit sample.
//
// The samples come in blocks: from libsndfile, 4096 interleaved frames read
// into the source's own buffer; from a decoder that keeps a buffer for each
// channel, its buffers as they stand, in the decoder's own width.
#pragma once

#include "bits.hpp"
#include "sndfile-lazy.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

// An open sound file, closed when its owner lets go of it.
struct sndfile_closer {
    void operator()(SNDFILE* f) const { sndfile()->close(f); }
};
using sndfile_ptr = std::unique_ptr<SNDFILE, sndfile_closer>;

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

inline constexpr std::uint32_t block_frames = 4096;

// A sample source: the reader it feeds reaches it through its source
// pointer. Frame i of the block has its left sample at left[i * step] and
// its right at right[i * step], where step is 2 for libsndfile's
// interleaved block and 1 for a decoder's buffer a channel; the refill
// that init_bits_sf or init_bits_planar sets knows which.
struct sample_source {
    const std::int32_t* left;
    const std::int32_t* right;
    std::uint32_t bufpos;  // next unconsumed frame of the block
    std::uint32_t bufend;  // frames in the block
    std::uint32_t xorbit;  // sample bit tested, in the 32-bit form, below 32
    std::uint32_t up;      // left shift taking the tested bit of a sample as
                           // the block holds it to bit 31; 32 or more when
                           // the samples are too narrow to have it
    // Brings the next block; false at the end of the samples, after which
    // it is not called again.
    bool (*next_block)(sample_source& s);
    void* opaque;  // next_block's own record, for a decoder
    // Counts the bytes of the input the blocks stand for, at bytes_per_frame,
    // for a reader on another thread; or nullptr.
    std::atomic<std::uint64_t>* bytes_read;
    double bytes_per_frame;
    std::uint64_t frames_brought;            // since the reader was set up
    SNDFILE* file;                           // read by libsndfile, owned by the caller
    std::array<std::int32_t, 2 * block_frames> buf;  // libsndfile's block: left 2i, right 2i + 1
};

// Resets r and s and makes r a reader of file from its current position,
// testing sample bit xbit + 8. Leaves msb and the observer and end
// operations unset.
void init_bits_sf(bitreader& r, sample_source& s, SNDFILE* file, sample_bit xbit);

// Resets r and s and makes r a reader of the blocks next_block brings:
// buffers of a channel each, in samples of the width set by
// set_sample_width.
void init_bits_planar(bitreader& r, sample_source& s, bool (*next_block)(sample_source&), void* opaque,
                      sample_bit xbit);

// For a planar source: its blocks hold samples of bits (1..32) bits, which
// libsndfile's form shifts up by 32 - bits.
void set_sample_width(sample_source& s, std::uint32_t bits);

// The parity bits are gathered with the widest vector instructions the
// processor has (AVX2), or with false with the baseline ones (SSE2 on
// x86-64), so that the two can be compared. Takes effect at the next
// init_bits_sf or init_bits_planar; returns the setting before. Safe from
// any thread.
bool sample_wide_vectors(bool on);

// Reads and drops up to n sample frames from file, for inputs that cannot
// seek; returns how many frames there were. It reads into s's block, so it
// is called before a reader is set up over s.
std::int64_t skip_frames(sample_source& s, SNDFILE* file, std::int64_t n);
