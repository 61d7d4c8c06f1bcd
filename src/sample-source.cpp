// SPDX-License-Identifier: MIT
#include "sample-source.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include <system_error>

namespace {

// Gather with AVX2 where the processor has it; the tests switch it off to
// compare the two paths.
std::atomic<bool> wide{true};

// Empties the block and brings the next one; false at the end of the
// samples, which is final.
bool next_block(sample_source& s)
{
    s.bufpos = s.bufend = 0;
    while (s.bufend == 0) {
        if (!s.next_block || !s.next_block(s)) {
            s.next_block = nullptr;
            return false;
        }
    }
    const std::uint64_t before = s.frames_brought;
    s.frames_brought += s.bufend;
    if (s.counters) {
        const auto counted = [&s](std::uint64_t frames) {
            return static_cast<std::uint64_t>(static_cast<double>(frames) * s.bytes_per_frame);
        };
        s.counters->bytes.fetch_add(counted(s.frames_brought) - counted(before), std::memory_order_relaxed);
    }
    return true;
}

// The tested bit of one frame, from its two samples as the block holds them.
std::uint32_t parity_bit(std::int32_t left, std::int32_t right, std::uint32_t up)
{
    return up < 32 ? (static_cast<std::uint32_t>(left ^ right) << up) >> 31 : 0;
}

// The tested bits of 32 frames, the first frame's in bit 0, from
// interleaved samples at f (step 2) or from two channel buffers (step 1).
// Four frames at a time: the lefts and the rights are gathered into one
// vector each, xor-ed, the tested bit shifted up to the sign, and the four
// signs taken as four bits. A shift of 32 or more leaves zeros, as the
// narrow samples it stands for have no such bit.
#if defined(__SSE2__)
std::uint32_t parity_word_interleaved(const std::int32_t* f, const std::int32_t*, std::uint32_t up)
{
    const __m128i count = _mm_cvtsi32_si128(static_cast<int>(up));
    std::uint32_t word = 0;
    for (int g = 0; g < 32; g += 4, f += 8) {
        const __m128 a = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(f)));
        const __m128 b = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(f + 4)));
        const __m128i left = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
        const __m128i right = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
        const __m128i x = _mm_sll_epi32(_mm_xor_si128(left, right), count);
        word |= static_cast<std::uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(x))) << g;
    }
    return word;
}

std::uint32_t parity_word_planar(const std::int32_t* l, const std::int32_t* r, std::uint32_t up)
{
    const __m128i count = _mm_cvtsi32_si128(static_cast<int>(up));
    std::uint32_t word = 0;
    for (int g = 0; g < 32; g += 4) {
        const __m128i left = _mm_loadu_si128(reinterpret_cast<const __m128i*>(l + g));
        const __m128i right = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + g));
        const __m128i x = _mm_sll_epi32(_mm_xor_si128(left, right), count);
        word |= static_cast<std::uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(x))) << g;
    }
    return word;
}
#else
std::uint32_t parity_word_interleaved(const std::int32_t* f, const std::int32_t*, std::uint32_t up)
{
    std::uint32_t word = 0;
    for (int i = 0; i < 32; ++i, f += 2)
        word |= parity_bit(f[0], f[1], up) << i;
    return word;
}

std::uint32_t parity_word_planar(const std::int32_t* l, const std::int32_t* r, std::uint32_t up)
{
    std::uint32_t word = 0;
    for (int i = 0; i < 32; ++i)
        word |= parity_bit(l[i], r[i], up) << i;
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

// The 32 frames as a window word in the reader's order.
template <std::uint32_t (*parity_word)(const std::int32_t*, const std::int32_t*, std::uint32_t)>
std::uint32_t window_word(const std::int32_t* l, const std::int32_t* r, std::uint32_t up, bool msb)
{
    const std::uint32_t w = parity_word(l, r, up);
    return msb ? reverse_bits(w) : w;
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same, eight frames at a time, where the processor has AVX2. The lanes
// are put in frame order before the eight signs are taken, or in reverse
// order for a reader that takes the most significant bit first, whose word
// then needs no reversal. The interleaved shuffle works within each 128-bit
// half, which then holds frames 0, 1, 4, 5 and 2, 3, 6, 7 of the eight.
[[gnu::target("avx2")]] std::uint32_t window_word_avx2_interleaved(const std::int32_t* f, const std::int32_t*,
                                                                   std::uint32_t up, bool msb)
{
    const __m128i count = _mm_cvtsi32_si128(static_cast<int>(up));
    const __m256i order = msb ? _mm256_setr_epi32(7, 6, 3, 2, 5, 4, 1, 0) : _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
    std::uint32_t word = 0;
    for (int g = 0; g < 32; g += 8, f += 16) {
        const __m256 a = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(f)));
        const __m256 b = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(f + 8)));
        const __m256i left = _mm256_castps_si256(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
        const __m256i right = _mm256_castps_si256(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
        const __m256i x = _mm256_permutevar8x32_epi32(_mm256_sll_epi32(_mm256_xor_si256(left, right), count), order);
        const auto signs = static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(x)));
        word |= msb ? signs << (24 - g) : signs << g;
    }
    return word;
}

[[gnu::target("avx2")]] std::uint32_t window_word_avx2_planar(const std::int32_t* l, const std::int32_t* r,
                                                              std::uint32_t up, bool msb)
{
    const __m128i count = _mm_cvtsi32_si128(static_cast<int>(up));
    const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
    std::uint32_t word = 0;
    for (int g = 0; g < 32; g += 8) {
        const __m256i left = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(l + g));
        const __m256i right = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r + g));
        __m256i x = _mm256_sll_epi32(_mm256_xor_si256(left, right), count);
        if (msb)
            x = _mm256_permutevar8x32_epi32(x, reverse);
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

using word_fn = std::uint32_t (*)(const std::int32_t*, const std::int32_t*, std::uint32_t, bool);

// Fills the window to all 1024 cells, or as far as the samples go; the
// count asked for does not matter. Whole words are filled 32 frames at a
// time by word_of; a word begun elsewhere, or the last frames of a short
// block, one frame at a time.
template <word_fn word_of, std::uint32_t step>
[[gnu::always_inline]] inline void fill_with(bitreader& r)
{
    sample_source& s = *static_cast<sample_source*>(r.source);
    while (r.bitend < 1024) {
        if (s.bufpos == s.bufend && !next_block(s))
            return;
        const std::int32_t* left = s.left + step * s.bufpos;
        const std::int32_t* right = s.right + step * s.bufpos;
        if (r.bitend % 32 == 0 && s.bufend - s.bufpos >= 32) {
            r.bitbuf[r.bitend / 32] = word_of(left, right, s.up, r.msb);
            s.bufpos += 32;
            r.bitend += 32;
            continue;
        }
        set_bit(r, r.bitend, parity_bit(*left, *right, s.up));
        ++s.bufpos;
        ++r.bitend;
    }
}

void fill_bits_interleaved(bitreader& r, std::int32_t)
{
    fill_with<window_word<parity_word_interleaved>, 2>(r);
}

void fill_bits_planar(bitreader& r, std::int32_t)
{
    fill_with<window_word<parity_word_planar>, 1>(r);
}

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] void fill_bits_avx2_interleaved(bitreader& r, std::int32_t)
{
    fill_with<window_word_avx2_interleaved, 2>(r);
}

[[gnu::target("avx2")]] void fill_bits_avx2_planar(bitreader& r, std::int32_t)
{
    fill_with<window_word_avx2_planar, 1>(r);
}
#endif

// The fill for this processor and this layout of the block.
void (*pick_fill(bool planar))(bitreader&, std::int32_t)
{
#if defined(__x86_64__) && defined(__GNUC__)
    if (wide.load(std::memory_order_relaxed) && __builtin_cpu_supports("avx2"))
        return planar ? fill_bits_avx2_planar : fill_bits_avx2_interleaved;
#endif
    return planar ? fill_bits_planar : fill_bits_interleaved;
}

}  // namespace

void init_bits_source(bitreader& r, sample_source& s, block_layout layout, bool (*next)(sample_source&),
                      void* opaque, sample_bit xbit)
{
    init_bits(r);
    attach_bits_source(r, s, layout, next, opaque, xbit);
}

void attach_bits_source(bitreader& r, sample_source& s, block_layout layout, bool (*next)(sample_source&),
                        void* opaque, sample_bit xbit)
{
    r.fill_bits = pick_fill(layout == block_layout::planar);
    r.source = &s;
    s.left = s.right = nullptr;
    s.bufpos = s.bufend = 0;
    s.xorbit = static_cast<std::uint32_t>(xbit.xbit + 8);
    s.up = 31 - s.xorbit;
    s.next_block = next;
    s.opaque = opaque;
    s.counters = nullptr;
    s.bytes_per_frame = 0;
    s.frames_brought = 0;
}

void set_sample_width(sample_source& s, std::uint32_t bits)
{
    s.up = 31 - s.xorbit + (32 - bits);
}

bool sample_wide_vectors(bool on)
{
    return wide.exchange(on);
}

std::string system_error_text(int err)
{
    return "System error : " + std::generic_category().message(err) + ".";
}
