// SPDX-License-Identifier: MIT
#include "kescrc.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(FrameChecksum, KnownFramesAndTheEdges)
{
    EXPECT_EQ(crc_tab[0], 0u);
    EXPECT_EQ(crc_tab[128], 0xEDB88320u);
    EXPECT_EQ(crc_tab[1], 0x77073096u);
    EXPECT_EQ(crc_tab[255], 0x2D02EF8Du);
    // Checked bit by bit from the definition (tests/cases/model.py).
    struct {
        std::vector<std::uint8_t> bytes;
        std::uint32_t sum;
    } const cases[] = {
        {{0x00, 0x04, 0x8c, 0x49, 0xe0, 0xab}, 0x2c},  // the sync pattern's magic frame
        {{0x01, 0x04, 0x29, 0x25, 0xc1, 0x00}, 0x49},  // stream_params
        {{0x02, 0x02, 0xf4, 0xff}, 0x16},              // gain -12
        {{0x00, 0x04}, 0x04},
        {{0x07}, 0x07},                                // one byte
        {{0x07, 0x00}, 0xa3},                          // a type without a layout
        {std::vector<std::uint8_t>(300, 0), 0x00},     // zeros from register 0 stay 0
    };
    for (const auto& c : cases) {
        std::uint32_t reg = 0;
        for (const auto b : c.bytes)
            reg = kes_crc(reg, b);
        EXPECT_EQ(kes_crc_end(reg), c.sum);
        EXPECT_EQ(kes_crc_buf(c.bytes.data(), static_cast<std::int32_t>(c.bytes.size())), c.sum);
    }
    EXPECT_EQ(kes_crc_buf(nullptr, 0), 0u);
}

}  // namespace
