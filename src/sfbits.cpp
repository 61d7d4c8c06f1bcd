#include "sfbits.hpp"

#include <algorithm>
#include <array>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace {

constexpr std::uint32_t block_frames = 4096;

SNDFILE* file;                                   // owned by the caller
std::array<std::int32_t, 2 * block_frames> buf;  // interleaved: left 2i, right 2i + 1
std::uint32_t bufpos;                            // next unconsumed frame in buf
std::uint32_t bufend;                            // frames held in buf
std::uint32_t xorbit;                            // sample bit tested, below 32
bool ended;                                      // a read gave no frames: the file is done
bool wide = true;                                // gather with AVX2 where the processor has it

// Called only when every frame of the block has been used. A result of zero
// or less (end of file or read error alike) adds nothing, which fill_bits
// takes as the end of the samples; a short read does not end the stream.
// After such a read the file is never read again: libsndfile clears its
// error state at the start of every read, and the reader may still hold
// unread bits and come back for more, which would lose the error of a
// damaged or cut file before the caller asks for it.
void fill_buf()
{
    bufpos = bufend = 0;
    if (ended)
        return;
    const sf_count_t got = sf_readf_int(file, buf.data(), block_frames);
    if (got > 0)
        bufend += static_cast<std::uint32_t>(got);
    else
        ended = true;
}

// The tested bit of 32 frames from f, the first frame's in bit 0.
#if defined(__SSE2__)
// Four frames at a time: the lefts and the rights are gathered into one
// vector each, xor-ed, the tested bit shifted up to the sign, and the four
// signs taken as four bits.
std::uint32_t parity_word(const std::int32_t* f)
{
    const __m128i up = _mm_cvtsi32_si128(static_cast<int>(31 - xorbit));
    std::uint32_t word = 0;
    for (int g = 0; g < 32; g += 4, f += 8) {
        const __m128 a = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(f)));
        const __m128 b = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(f + 4)));
        const __m128i left = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
        const __m128i right = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
        const __m128i x = _mm_sll_epi32(_mm_xor_si128(left, right), up);
        word |= static_cast<std::uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(x))) << g;
    }
    return word;
}
#else
std::uint32_t parity_word(const std::int32_t* f)
{
    std::uint32_t word = 0;
    for (int i = 0; i < 32; ++i, f += 2)
        word |= ((static_cast<std::uint32_t>(f[0] ^ f[1]) >> xorbit) & 1) << i;
    return word;
}
#endif

std::uint32_t reverse_bits(std::uint32_t w)
{
    w = (w >> 1 & 0x55555555u) | (w & 0x55555555u) << 1;
    w = (w >> 2 & 0x33333333u) | (w & 0x33333333u) << 2;
    w = (w >> 4 & 0x0f0f0f0fu) | (w & 0x0f0f0f0fu) << 4;
    w = (w >> 8 & 0x00ff00ffu) | (w & 0x00ff00ffu) << 8;
    return w >> 16 | w << 16;
}

// The 32 frames from f as a window word in the reader's order.
std::uint32_t window_word(const std::int32_t* f, bool msb)
{
    const std::uint32_t w = parity_word(f);
    return msb ? reverse_bits(w) : w;
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same, eight frames at a time, where the processor has AVX2. The
// shuffle works within each 128-bit half, which then holds frames 0, 1, 4,
// 5 and 2, 3, 6, 7 of the eight; the lanes are put in frame order before
// the eight signs are taken, or in reverse order for a reader that takes
// the most significant bit first, whose word then needs no reversal.
[[gnu::target("avx2")]] std::uint32_t window_word_avx2(const std::int32_t* f, bool msb)
{
    const __m128i up = _mm_cvtsi32_si128(static_cast<int>(31 - xorbit));
    const __m256i order = msb ? _mm256_setr_epi32(7, 6, 3, 2, 5, 4, 1, 0) : _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
    std::uint32_t word = 0;
    for (int g = 0; g < 32; g += 8, f += 16) {
        const __m256 a = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(f)));
        const __m256 b = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(f + 8)));
        const __m256i left = _mm256_castps_si256(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
        const __m256i right = _mm256_castps_si256(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
        const __m256i x = _mm256_permutevar8x32_epi32(_mm256_sll_epi32(_mm256_xor_si256(left, right), up), order);
        const auto signs = static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(x)));
        word |= msb ? signs << (24 - g) : signs << g;
    }
    return word;
}
#endif

// Stores x in cell k, in the reader's order, leaving the other cells.
void set_bit(bitreader& r, std::uint32_t k, std::uint32_t x)
{
    const std::uint32_t bit = r.msb ? 31 - k % 32 : k % 32;
    r.bitbuf[k / 32] = (r.bitbuf[k / 32] & ~(1u << bit)) | x << bit;
}

// Fills the window to all 1024 cells, or as far as the samples go. Whole
// words are filled 32 frames at a time by word_of; a word begun elsewhere,
// or the last frames of a short block, one frame at a time.
template <std::uint32_t (*word_of)(const std::int32_t*, bool)>
[[gnu::always_inline]] inline void fill_with(bitreader& r)
{
    while (r.bitend < 1024) {
        if (bufpos == bufend) {
            fill_buf();
            if (bufpos == bufend)
                return;
        }
        if (r.bitend % 32 == 0 && bufend - bufpos >= 32) {
            r.bitbuf[r.bitend / 32] = word_of(buf.data() + 2 * bufpos, r.msb);
            bufpos += 32;
            r.bitend += 32;
            continue;
        }
        const std::int32_t* frame = buf.data() + 2 * bufpos;
        set_bit(r, r.bitend, (static_cast<std::uint32_t>(frame[0] ^ frame[1]) >> xorbit) & 1);
        ++bufpos;
        ++r.bitend;
    }
}

// The reader's refill: the window is always filled, so the count asked for
// does not matter.
void fill_bits(bitreader& r, std::int32_t)
{
    fill_with<window_word>(r);
}

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] void fill_bits_avx2(bitreader& r, std::int32_t)
{
    fill_with<window_word_avx2>(r);
}
#endif

// The fill for this processor.
void (*pick_fill())(bitreader&, std::int32_t)
{
#if defined(__x86_64__) && defined(__GNUC__)
    if (wide && __builtin_cpu_supports("avx2"))
        return fill_bits_avx2;
#endif
    return fill_bits;
}

}  // namespace

void init_bits_sf(bitreader& r, SNDFILE* f, sample_bit xbit)
{
    init_bits(r);
    r.fill_bits = pick_fill();
    file = f;
    bufpos = bufend = 0;
    ended = false;
    xorbit = static_cast<std::uint32_t>(xbit.xbit + 8);
}

bool sample_wide_vectors(bool on)
{
    const bool old = wide;
    wide = on;
    return old;
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
