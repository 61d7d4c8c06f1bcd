#include "kescrc.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::uint32_t bytewise(const std::vector<std::uint8_t>& bytes)
{
    std::uint32_t c = 0;
    for (const auto b : bytes)
        c = kes_crc(c, b);
    return kes_crc_end(c);
}

TEST(FrameChecksum, MatchesTheChecksumBytesOfKnownFrames)
{
    struct {
        std::vector<std::uint8_t> bytes;
        std::uint32_t sum;
    } const cases[] = {
        {{0x00, 0x04, 0x8c, 0x49, 0xe0, 0xab}, 0x2c},        // the sync pattern's magic frame
        {{0x01, 0x04, 0x29, 0x25, 0xc1, 0x00}, 0x49},        // stream_params
        {{0x02, 0x02, 0xf4, 0xff}, 0x16},                    // gain -12
        {{0x00}, 0x00},
        {{0x00, 0x04}, 0x04},
        {std::vector<std::uint8_t>(300, 0), 0x00},           // zeros from register 0 stay 0
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bytewise(c.bytes), c.sum);
        EXPECT_EQ(kes_crc_buf(c.bytes.data(), static_cast<std::int32_t>(c.bytes.size())), c.sum);
    }
    EXPECT_EQ(kes_crc_buf(nullptr, 0), 0u);
}

TEST(FrameChecksum, EveryByteValueAndPositionCounts)
{
    // A single changed bit anywhere in a frame changes its checksum.
    std::vector<std::uint8_t> frame = {0x04, 0x05, 0x10, 0x20, 0x30, 0x40, 0x50};
    const std::uint32_t sum = bytewise(frame);
    for (auto& b : frame)
        for (int bit = 0; bit < 8; ++bit) {
            b ^= static_cast<std::uint8_t>(1 << bit);
            EXPECT_NE(bytewise(frame), sum);
            b ^= static_cast<std::uint8_t>(1 << bit);
        }
}

}  // namespace
