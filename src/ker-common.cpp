// SPDX-License-Identifier: MIT
#include "ker-common.hpp"

// The names are labels printed beside the value: scripts and stored outputs
// match them, so they are kept as written (index 1 reads "88.1 KHz") rather
// than worked out from the index.

// clang-format off
const char* const ker_rates[32] = {
    "44.1 kHz",  "88.1 KHz",  "176.4 kHz", "352.8 kHz", "705.6 kHz", "1.4112 MHz", "2.8224 MHz", "5.6448 MHz",
    "48 kHz",    "96 kHz",    "192 kHz",   "384 kHz",   "768 kHz",   "1.536 MHz",  "3.072 MHz",  "6.144 MHz",
    "64 kHz",    "128 kHz",   "256 kHz",   "512 kHz",   "1.024 MHz", "2.048 MHz",  "4.096 MHz",  "8.192 MHz",
    nullptr,     nullptr,     nullptr,     nullptr,     nullptr,     nullptr,      nullptr,      nullptr,
};

const char* const kes_bitdepths[4] = {
    "20 bits", "18 bits", "16 bits", "15 bits",
};
// clang-format on
