// SPDX-License-Identifier: MIT
// The frame catalogue: the names and payload layouts of the known frame
// types, indexed by the type byte. Fields are read least significant bit
// first; every table's first field is the size byte, the frame's result.
// Constant data, with internal linkage: the checks below need the tables'
// addresses as constants, and an inline variable's address is not one under
// the sanitizers. The scanner alone takes the tables; the outputs beside
// the text find fields by their places in them.
#pragma once

#include "ker-common.hpp"
#include "print.hpp"

#include <array>
#include <cstdint>
#include <iterator>
#include <string_view>

// clang-format off
constexpr bitfield frame_00[] = {
    //  size  flags      name                    values
    {   8,    BF_RET,    "size",                 nullptr },
    {  32,    BF_HEX,    "magic",                nullptr },
    {   0,    0,         nullptr,                nullptr },
};

constexpr bitfield frame_01[] = {
    {   8,    BF_RET,    "size",                 nullptr },
    {   5,    0,         "resampling_filter",    nullptr },
    {   2,    0,         "noise_shaping_filter", nullptr },
    {   2,    0,         "bitdepth",             kes_bitdepths },
    {   1,    0,         "unknown",              nullptr },
    {  10,    BF_SIGNED, "replay_gain",          nullptr },
    {   5,    BF_HEX,    "orig_rate",            ker_rates },
    {   2,    0,         "unknown",              nullptr },
    {   1,    0,         "unknown",              nullptr },
    {   1,    0,         "swizzle",              nullptr },
    {   3,    0,         "pad",                  nullptr },
    {   0,    0,         nullptr,                nullptr },
};

constexpr bitfield frame_02[] = {
    {   8,    BF_RET,    "size",                 nullptr },
    {  16,    BF_SIGNED, "gain",                 nullptr },
    {   0,    0,         nullptr,                nullptr },
};

// Only the first payload byte is described; the scanner reads the rest
// unprinted.
constexpr bitfield frame_04[] = {
    {   8,    BF_RET,    "size",                 nullptr },
    {   8,    0,         "type",                 nullptr },
    {   0,    0,         nullptr,                nullptr },
};
// clang-format on

// Indexed by the type byte; types without an entry print as "unknown type".
constexpr std::array<frame, 256> frame_types = [] {
    std::array<frame, 256> t{};
    t[0] = {"magic", frame_00, nullptr};
    t[1] = {"stream_params", frame_01, nullptr};
    t[2] = {"gain", frame_02, nullptr};
    t[4] = {"metadata", frame_04, nullptr};
    return t;
}();

// The bits a layout reads after its size byte, whatever the size byte says.
constexpr std::int32_t payload_bits(const bitfield* t)
{
    std::int32_t bits = 0;
    for (const bitfield* f = t; f && f->name; ++f)
        bits += f == t ? 0 : f->size;
    return bits;
}

// The scanner finds the checksum byte by counting whole bytes, so the
// fields after the size byte must end on a byte boundary.
constexpr bool catalogue_sound()
{
    for (const frame& f : frame_types)
        if (f.fields && !(f.fields[0].flags & BF_RET && f.fields[0].size == 8 && payload_bits(f.fields) % 8 == 0))
            return false;
    return true;
}
static_assert(catalogue_sound());

// A value holds 1 to 64 bits; no layout here has a block or a width taken
// from the stream.
constexpr bool widths_sound()
{
    for (const frame& f : frame_types)
        for (const bitfield* t = f.fields; t && t->name; ++t)
            if (t->size < 1 || t->size > 64 || t->flags & (BF_DATA | BF_VARSIZE))
                return false;
    return true;
}
static_assert(widths_sound());

// The fields of stream_params a summary tells, by their places.
inline constexpr std::uint32_t params_bitdepth = 3, params_gain = 5, params_rate = 6;
static_assert(std::string_view(frame_01[params_bitdepth].name) == "bitdepth" &&
              std::string_view(frame_01[params_gain].name) == "replay_gain" &&
              std::string_view(frame_01[params_rate].name) == "orig_rate");

// Value names are looked up by the raw value: a table must have an entry
// for every value its field can take.
static_assert(frame_01[params_bitdepth].values == kes_bitdepths &&
              std::size(kes_bitdepths) == 1u << frame_01[params_bitdepth].size);
static_assert(frame_01[params_rate].values == ker_rates && std::size(ker_rates) == 1u << frame_01[params_rate].size);

// The payload bytes each layout reads, whatever the size byte says; a type
// without a layout reads none, and its size byte counts for nothing.
constexpr std::array<std::uint32_t, 256> layout_bytes = [] {
    std::array<std::uint32_t, 256> n{};
    for (std::size_t t = 0; t < n.size(); ++t)
        n[t] = static_cast<std::uint32_t>(payload_bits(frame_types[t].fields)) / 8;
    return n;
}();

// A frame's length follows from its layout, so no type may have a decoder
// of its own instead; and what the printer reads of a frame (type, size,
// the layout's bytes, checksum) must fit fb's window of 128 bytes.
constexpr bool frames_fit()
{
    for (std::size_t t = 0; t < frame_types.size(); ++t)
        if (frame_types[t].handler || layout_bytes[t] > 125)
            return false;
    return true;
}
static_assert(frames_fit());
