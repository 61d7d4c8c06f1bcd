#include "ker-common.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

namespace {

// The rate index is a family in bits 3-4 (44.1, 48 or 64 kHz) and a
// power-of-two multiple in bits 0-2; every name must say that rate.
TEST(ValueNames, RateNamesFollowTheIndex)
{
    const double family[] = {44100, 48000, 64000};
    for (int i = 0; i < 32; ++i) {
        if (i >= 24) {
            EXPECT_EQ(ker_rates[i], nullptr) << i;
            continue;
        }
        ASSERT_NE(ker_rates[i], nullptr) << i;
        char* unit = nullptr;
        const double number = std::strtod(ker_rates[i], &unit);
        const std::string u = unit;
        ASSERT_TRUE(u == " kHz" || u == " MHz") << ker_rates[i];
        const double hz = number * (u == " kHz" ? 1e3 : 1e6);
        EXPECT_NEAR(hz, family[i >> 3] * (1 << (i & 7)), 0.5) << ker_rates[i];
    }
}

}  // namespace
