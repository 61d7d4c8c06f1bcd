// SPDX-License-Identifier: MIT
// One file decoded on several threads. libFLAC decodes a stream on one
// thread, and decoding is nearly all a scan costs; so a file is cut into
// sections, each decoded on a thread of its own into its side stream's
// bits, and the scan reads the sections' bits in order as if one decoder
// had decoded them all.
//
// A file libsndfile reads is cut at sample frames: section k holds a
// section's frames from start + k * frames, read through a handle of its
// thread's own, and is taken when it held them all with no error.
//
// A FLAC section k is meant to begin at the first frame at or after byte
//
//     first + k * section_bytes
//
// of the stream (first: where the placed input stands). Its thread finds
// that frame by looking for a frame's sync code from there, which libFLAC
// confirms by decoding the frame whole with no error; it decodes from there
// until a frame begins at or after the next section's byte. A section is
// taken only where the one before it ended at the very frame it begins
// with, position and sample frame alike, and where every frame of it
// followed on from the one before: then its frames are the ones a decoder
// of the whole stream would have met, decoded the same.
//
// Wherever that does not hold (damage, a file cut short, a frame the sync
// search mistook), the reader goes on from where it stands with one reader
// of the whole file (a decoder of the whole stream, or the file's own
// libsndfile handle), reading again up to there: what that reader says is
// then the outcome, as without the split.
//
// The stream's MD5 signature, which the decoder of the whole stream checks,
// is computed over the sections' audio in their order.
#pragma once

#include "bits.hpp"
#include "flacbits.hpp"
#include "sample-source.hpp"
#include "sfbits.hpp"

#include <cstdint>
#include <memory>

struct file_split;
struct split_closer {
    void operator()(file_split* s) const;  // stops its threads, once they are at a frame
};
using split_ptr = std::unique_ptr<file_split, split_closer>;

inline constexpr std::uint64_t default_section_bytes = 1u << 19;

struct split_plan {
    int fd;                       // the file, read by position; the caller's
    unsigned threads;             // to decode on, 2 or more
    std::uint64_t section_bytes;  // of the stream, a section; of the file, for libsndfile
    std::uint64_t start;          // the sample frame placed is at
    bool whole;                   // the scan means to read the stream from its
                                  // first sample to its end: compute its signature
    scan_counters* counters;      // count what the sections read, or nullptr
};

// Splits the rest of placed, a seekable input placed at plan.start, which
// the split takes over; nullptr when it is too short to be worth splitting
// or its length is not known, or its threads cannot be started, and placed
// is then left as it was. Throws std::bad_alloc.
split_ptr split_flac(flac_input& placed, const split_plan& plan);

// Splits the rest of file, opened by libsndfile at fd's offset 0 and placed
// at plan.start, which then holds the frames libsndfile's information
// gives; nullptr when it is not worth splitting. block and source stay
// the reader's for a fall back, as the reader of the whole file: block must
// hold nothing yet.
split_ptr split_sndfile(SNDFILE* file, sndfile_block& block, sample_source& source, const SF_INFO& info,
                        const split_plan& plan);

// Resets r and makes it a reader of the split's bits, the most significant
// first, as a scan reads the samples' bits.
void init_bits_split(bitreader& r, file_split& split);

// Stops the split's threads and tells how its samples ended: once its
// reader ran out of them, or stopped reading.
struct split_end {
    // FLAC: the decoder of the whole stream the reader went on with, which
    // tells the rest; nullptr when the sections went to the end of it.
    flac_input* whole_stream;
    // The reader went on with the reader of the whole file from next, which
    // tells the rest.
    bool fell_back;
    std::uint64_t next;  // the sample frame after the last one read
    bool goes_on;        // a frame follows the length the information gives
    bool audio_matches;  // with plan.whole: the signature matched
    unsigned sections;   // read
};
split_end end_of_split(file_split& split);
