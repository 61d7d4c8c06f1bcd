// SPDX-License-Identifier: MIT
// The libsndfile sample source: any format libsndfile reads, in blocks of
// 4096 interleaved frames in its 32-bit integer form.
#pragma once

#include "sample-source.hpp"

#include <sndfile.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

inline constexpr std::uint32_t block_frames = 4096;

// An open sound file, closed when its owner lets go of it.
struct sndfile_closer {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
using sndfile_ptr = std::unique_ptr<SNDFILE, sndfile_closer>;

// The source's own record: the file it reads and the block it reads into,
// for one file.
struct sndfile_block {
    SNDFILE* file;       // owned by the caller
    std::uint64_t left = ~std::uint64_t{0};  // the frames still to be read; what follows is no audio
    // The last frames of the input that are no audio, held back until more
    // come, fewer than block_frames / 2; a pipe's length is not known.
    std::uint32_t withhold = 0;
    std::uint32_t held = 0;       // frames held back at kept_from
    std::uint32_t kept_from = 0;
    std::array<std::int32_t, 2 * block_frames> buf;
};

// Resets r and s and makes r a reader of file from its current position,
// through b, testing sample bit xbit + 8. Leaves msb and the observer and
// end operations unset.
void init_bits_sf(bitreader& r, sample_source& s, sndfile_block& b, SNDFILE* file, sample_bit xbit);

// The same, but r keeps what it holds and is only handed on to b.
void attach_bits_sf(bitreader& r, sample_source& s, sndfile_block& b, SNDFILE* file, sample_bit xbit);

// Reads and drops up to n sample frames from file, for inputs that cannot
// seek; returns how many frames there were. It reads into b, so it is
// called before a reader is set up over b, which gets the frames it read
// past n first.
std::int64_t skip_frames(sndfile_block& b, SNDFILE* file, std::int64_t n);

// The width of samples of libsndfile's subformat (SF_FORMAT_SUBMASK's
// part) when they can carry the stream: integer samples of 24 or 32 bits
// kept without loss. 0 when they cannot, with unfit saying what they are,
// as in "16-bit samples cannot carry the stream".
int carried_width(int subformat, const char*& unfit);

// Opens fd for reading, as the format of info says when it is set, for
// samples with no header; on a failure why gets libsndfile's reason. The
// file owns fd from here on, whether the open succeeds or not: libsndfile
// closes the descriptor of a failed open. libsndfile keeps the reason of a
// failed open in one place for the whole process, so opens from several
// threads take turns.
SNDFILE* sndfile_open(int fd, SF_INFO& info, std::string& why);

// A file read by position, for a handle of its own on a file another
// handle reads: libsndfile's own reads would move the offset the two
// share.
struct positioned_file {
    int fd;                 // the caller's
    std::int64_t length;    // bytes
    std::int64_t offset;    // of the next read
};

// Opens f's file for reading with libsndfile, as sndfile_open does, but
// through f: f must outlive the handle.
SNDFILE* sndfile_open_positioned(positioned_file& f, SF_INFO& info);
