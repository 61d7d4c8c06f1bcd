// SPDX-License-Identifier: MIT
// The names of coded values in the side stream's frames.
#pragma once

#include <cstdint>

// Names indexed by the value. Each table has an entry for every value its
// field can take; nullptr where a value has no name.

// The 5-bit original sample rate: bits 3-4 the family (44.1, 48 or 64 kHz),
// bits 0-2 the power-of-two multiple; 24 and above are unassigned.
extern const char* const ker_rates[32];
// The same rate in hertz, from the code rather than its name (index 1 is
// named "88.1 KHz" and is 88,200 Hz); 0 for an unassigned index.
constexpr std::uint32_t ker_rate_hz(std::uint32_t index)
{
    constexpr std::uint32_t families[3] = {44100, 48000, 64000};
    return index < 24 ? families[index >> 3] << (index & 7) : 0;
}
// The 2-bit bit depth.
extern const char* const kes_bitdepths[4];
