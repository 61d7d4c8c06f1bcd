// SPDX-License-Identifier: MIT
// The bit reader and the field printer on arbitrary bytes and arbitrary
// field tables, within the limits the records allow: value widths 1 to 64
// (anything through BF_VARSIZE), any flags, value names for every value of
// fields up to 8 bits wide.
#include "print.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace {

const std::uint8_t* src;
const std::uint8_t* src_end;

// Whole bytes while the input lasts, in the reader's order.
void refill(bitreader& r, std::int32_t)
{
    while (r.bitend + 8 <= 1024 && src < src_end) {
        for (int k = 0; k < 8; ++k) {
            const std::uint32_t cell = r.bitend++;
            const std::uint32_t bit = r.msb ? 31 - cell % 32 : cell % 32;
            const std::uint32_t x = (*src >> (r.msb ? 7 - k : k)) & 1;
            r.bitbuf[cell / 32] = (r.bitbuf[cell / 32] & ~(1u << bit)) | x << bit;
        }
        ++src;
    }
}

struct out_of_input {};
void eof(void*)
{
    throw out_of_input{};
}

const char* const* byte_names()
{
    static std::string texts[256];
    static const char* names[256];
    for (int i = 0; i < 256; ++i) {
        texts[i] = "v" + std::to_string(i);
        names[i] = i % 3 ? texts[i].c_str() : nullptr;
    }
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const char* const* names = byte_names();
    // The printer's kept columns carry over from input to input, as from
    // file to file; its lines go nowhere.
    static const auto p = [] {
        auto made = std::make_unique<printer>();
        init_printer(*made, {[](void*, int, const char*, std::size_t) {}, nullptr});
        return made;
    }();
    if (size < 2)
        return 0;
    const std::size_t entries = data[0] % 17;
    if (size < 2 + 2 * entries)
        return 0;
    bitfield table[18];
    for (std::size_t i = 0; i < entries; ++i) {
        const std::uint8_t a = data[2 + 2 * i], b = data[3 + 2 * i];
        const std::int32_t flags = b & 0x7f;
        std::int32_t width = a % 64 + 1;
        if (flags & BF_DATA)
            width = a % 200;  // blocks may be empty or long
        const bool named = (b & 0x80) && width <= 8 && !(flags & (BF_SIGNED | BF_VARSIZE | BF_DATA));
        table[i] = {(flags & BF_VARSIZE) ? a : width, flags, "field", named ? names : nullptr};
    }
    table[entries] = {0, 0, nullptr, nullptr};
    const frame f = {data[1] & 0x80 ? "name" : nullptr, table, nullptr};

    bitreader r;
    init_bits(r);
    r.msb = data[1] & 1;
    r.fill_bits = refill;
    r.eof_cb = eof;
    src = data + 2 + 2 * entries;
    src_end = data + size;
    print_verbosity(*p, (data[1] >> 1) & 3);
    std::uint64_t out[16];
    try {
        print_frame(*p, r, f, data[1], 0x1234);
        print_fields(*p, r, table, out);
        // Then raw reads of every width at small offsets.
        for (std::uint32_t n = 1; src < src_end; n = n % 64 + 1) {
            peek_bits64(r, n, n % 7);
            get_sbits(r, static_cast<std::int32_t>(n));
        }
    } catch (const out_of_input&) {
        print_end(*p);
    }
    print_flush(*p);
    return 0;
}
