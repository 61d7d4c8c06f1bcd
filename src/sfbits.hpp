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

// Resets r and makes it a reader of file from its current position, testing
// sample bit xbit + 8. Leaves msb and the observer and end operations unset.
void init_bits_sf(bitreader& r, SNDFILE* file, std::int32_t xbit);

// Reads and drops up to n sample frames from file, for inputs that cannot
// seek; returns how many frames there were.
std::int64_t skip_frames(SNDFILE* file, std::int64_t n);
