// SPDX-License-Identifier: MIT
// What the header of a sound file says of its samples: where they begin,
// how many frames there are and how each is laid out. WAV (RIFF, RIFX,
// RF64), Sony Wave64, AIFF and AIFF-C, CAF and Sun AU are read here;
// libsndfile reads them too, but not all of them from a pipe, and it
// takes a streaming writer's placeholder length for the real one.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads up to n bytes at offset at of the header into buf; how many it read.
struct header_reader {
    std::size_t (*read)(void* context, std::uint64_t at, unsigned char* buf, std::size_t n);
    void* context;
};

struct sound_layout {
    // The sample frames the audio holds, as the header gives them; 0 when
    // it does not say, or its samples are not plain.
    std::uint64_t frames = 0;
    // The length is left open, as a writer that cannot seek back leaves
    // it: 0, all ones, or the placeholder such a writer puts in. The
    // samples then run to the end of the input.
    bool open = false;
    // Where the first sample begins.
    std::uint64_t data_at = 0;
    // Plain samples, as libsndfile's SF_FORMAT_RAW takes them: the
    // subformat and byte order; 0 when the samples are not plain or the
    // header was not understood.
    int format = 0;
    int channels = 0;
    unsigned frame_bytes = 0;
    // The bytes after the samples that are no audio, when the length is
    // open: the header written again.
    std::uint64_t trailer = 0;
};

sound_layout read_layout(header_reader r);
