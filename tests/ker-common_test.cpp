// SPDX-License-Identifier: MIT
#include "ker-common.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

// The names are labels as they have always been printed, not rates worked
// out from the index.
TEST(ValueNames, AsStored)
{
    EXPECT_EQ(std::string(ker_rates[1]), "88.1 KHz");
    EXPECT_EQ(std::string(ker_rates[12]), "768 kHz");
    EXPECT_EQ(std::string(ker_rates[23]), "8.192 MHz");
    EXPECT_EQ(ker_rates[24], nullptr);
    EXPECT_EQ(ker_rates[31], nullptr);
    EXPECT_EQ(std::string(kes_bitdepths[3]), "15 bits");
}

// The rate in hertz of every index, written out by hand; each named one is
// its name's rate, but index 1's name, which has always said 88.1.
TEST(ValueNames, RateInHertz)
{
    constexpr std::uint32_t hz[32] = {
        44100, 88200, 176400, 352800, 705600, 1411200, 2822400, 5644800,
        48000, 96000, 192000, 384000, 768000, 1536000, 3072000, 6144000,
        64000, 128000, 256000, 512000, 1024000, 2048000, 4096000, 8192000,
    };
    for (std::uint32_t i = 0; i < 32; ++i) {
        EXPECT_EQ(ker_rate_hz(i), hz[i]) << i;
        EXPECT_EQ(ker_rate_hz(i) != 0, ker_rates[i] != nullptr) << i;
    }
}

}  // namespace
