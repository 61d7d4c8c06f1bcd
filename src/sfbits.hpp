// The side stream's bit source: one bit per stereo sample frame, bit xorbit
// of (left XOR right) in libsndfile's 32-bit integer form, where a sample of
// any width is scaled to fill the 32 bits. Bit 8 is then the least
// significant bit of a 24-bit sample.
#pragma once

#include "bits.hpp"

#include <sndfile.h>

#include <cstdint>
#include <memory>

// An open sound file, closed when its owner lets go of it.
struct sndfile_closer {
    void operator()(SNDFILE* f) const { sf_close(f); }
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

// There is one sample reader per process: the file, the block of samples
// and the position in it are module state, so a second reader set up with
// init_bits_sf takes the first one's place. The program reads one file at
// a time.

// Resets r and makes it a reader of file from its current position, testing
// sample bit xbit + 8. Leaves msb and the observer and end operations unset.
void init_bits_sf(bitreader& r, SNDFILE* file, sample_bit xbit);

// The parity bits are gathered with the widest vector instructions the
// processor has (AVX2), or with false with the baseline ones (SSE2 on
// x86-64), so that the two can be compared. Takes effect at the next
// init_bits_sf; returns the setting before.
bool sample_wide_vectors(bool on);

// Reads and drops up to n sample frames from file, for inputs that cannot
// seek; returns how many frames there were. It reads into the sample
// reader's block, so it is called before that reader is set up.
std::int64_t skip_frames(SNDFILE* file, std::int64_t n);
