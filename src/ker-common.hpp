// The names of coded values in the side stream's frames.
#pragma once

// Names indexed by the value. Each table has an entry for every value its
// field can take; nullptr where a value has no name.

// The 5-bit original sample rate: bits 3-4 the family (44.1, 48 or 64 kHz),
// bits 0-2 the power-of-two multiple; 24 and above are unassigned.
extern const char* const ker_rates[32];
// The 2-bit bit depth.
extern const char* const kes_bitdepths[4];
