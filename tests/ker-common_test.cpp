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

}  // namespace
