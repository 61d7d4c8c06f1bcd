#include "sfbits.hpp"

#include <algorithm>
#include <array>

namespace {

constexpr std::uint32_t block_frames = 4096;

SNDFILE* file;                                   // owned by the caller
std::array<std::int32_t, 2 * block_frames> buf;  // interleaved: left 2i, right 2i + 1
std::uint32_t bufpos;                            // next unconsumed frame in buf
std::uint32_t bufend;                            // frames held in buf
std::uint32_t xorbit;                            // sample bit tested, below 32

// Called only when every frame of the block has been used. A result of zero
// or less (end of file or read error alike) adds nothing, which fill_bits
// takes as the end of the samples; a short read does not end the stream.
void fill_buf()
{
    bufpos = bufend = 0;
    const sf_count_t got = sf_readf_int(file, buf.data(), block_frames);
    if (got > 0)
        bufend += static_cast<std::uint32_t>(got);
}

// Fills the window to all 1024 cells, or as far as the samples go; the count
// asked for does not matter. Bits are gathered a word at a time: the run of
// frames that ends the current word (or the block) is packed into acc, the
// first frame's bit as the first cell in the reader's order, then merged into
// the word in one step.
void fill_bits(bitreader& r, std::int32_t)
{
    while (r.bitend < 1024) {
        if (bufpos == bufend) {
            fill_buf();
            if (bufpos == bufend)
                return;
        }
        const std::uint32_t s = r.bitend % 32;
        const std::uint32_t take = std::min(32 - s, bufend - bufpos);
        const std::int32_t* frame = buf.data() + 2 * bufpos;
        std::uint64_t acc = 0;
        if (r.msb) {
            for (std::uint32_t i = 0; i < take; ++i, frame += 2)
                acc = acc << 1 | ((static_cast<std::uint32_t>(frame[0] ^ frame[1]) >> xorbit) & 1);
            acc <<= 32 - s - take;  // cell bitend is bit 31 - s
        } else {
            for (std::uint32_t i = 0; i < take; ++i, frame += 2)
                acc |= std::uint64_t{(static_cast<std::uint32_t>(frame[0] ^ frame[1]) >> xorbit) & 1} << i;
            acc <<= s;  // cell bitend is bit s
        }
        const std::uint64_t ones = (std::uint64_t{1} << take) - 1;
        const std::uint64_t mask = r.msb ? ones << (32 - s - take) : ones << s;
        std::uint32_t& word = r.bitbuf[r.bitend / 32];
        word = static_cast<std::uint32_t>((word & ~mask) | acc);
        bufpos += take;
        r.bitend += take;
    }
}

}  // namespace

void init_bits_sf(bitreader& r, SNDFILE* f, std::int32_t xbit)
{
    init_bits(r);
    r.fill_bits = fill_bits;
    file = f;
    bufpos = bufend = 0;
    xorbit = static_cast<std::uint32_t>(xbit + 8);
}

std::int64_t skip_frames(SNDFILE* f, std::int64_t n)
{
    std::int64_t done = 0;
    while (done < n) {
        const sf_count_t want = std::min<std::int64_t>(n - done, block_frames);
        const sf_count_t got = sf_readf_int(f, buf.data(), want);
        if (got <= 0)
            break;
        done += got;
    }
    return done;
}
