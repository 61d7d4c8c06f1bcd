// SPDX-License-Identifier: MIT
// The FLAC sample source: native FLAC decoded by libFLAC's stream decoder,
// straight from a descriptor (a file, or a pipe, which libsndfile cannot
// read FLAC from). The decoder keeps a buffer for each channel; the sample
// source takes its bits from those buffers as they stand, in the stream's
// own width, which gives the bits libsndfile's 32-bit form would give: a
// sample of b bits there is the same sample shifted up by 32 - b.
#pragma once

#include "bits.hpp"
#include "sample-source.hpp"

#include <FLAC/stream_decoder.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct flac_decoder_deleter {
    void operator()(FLAC__StreamDecoder* d) const { FLAC__stream_decoder_delete(d); }
};

// Each frame a decoder hands on, whole, for a hash of the audio: the
// frame's two channels of frames samples of bits bits.
struct flac_frame_hook {
    void (*frame)(void* opaque, const FLAC__int32* const channel[2], std::uint32_t frames, std::uint32_t bits);
    void* opaque;
};

// One FLAC input, the decoder's client data.
struct flac_input {
    std::unique_ptr<FLAC__StreamDecoder, flac_decoder_deleter> decoder;
    int fd;                   // read from, owned by the caller
    // How fd is read: read(2) from a pipe (at < 0), pread(2) at at from a
    // file, so that several inputs may read one file; a test puts a read
    // that fails here.
    ssize_t (*read)(int fd, void* buf, std::size_t n, off_t at);
    bool seekable;            // a file: seeks, tells and knows its length
    std::int64_t base;        // where the input began in fd, for a seekable one
    std::int64_t offset;      // in fd, of the next byte to read from a file
    bool at_end;              // a read found the end of the input
    bool done;                // no more blocks: the start is the stream's end
    bool have_info;           // the stream's information was read
    std::uint32_t channels;   // from the stream's information
    std::uint32_t bits;       // of a sample, from the stream's information
    std::uint64_t total;      // frames, or 0 when the stream does not say
    std::uint64_t next;       // the frame the next block handed on begins at
    int error;                // the decoder's first error, -1 for none
    int read_error;           // the errno of a read that failed, or 0
    bool no_memory;           // the decoder could not have the memory it needs,
                              // which is no fault of the stream
    // The block the decoder wrote last, not yet handed on, from frame pos.
    bool pending;
    const FLAC__int32* left;
    const FLAC__int32* right;
    std::uint32_t block_frames, block_bits, pos;
    scan_counters* counters;  // counts the bytes read, or nullptr
    std::uint8_t md5[16];     // the audio's signature, from the stream's information
    // For a section of a stream: no frame that begins at or after limit (a
    // position in the stream, 0: none) is decoded; stopped tells that a
    // frame there was not. With follow, each frame must begin at sample
    // frame next, or its number is an error; before the first, next is
    // taken from it.
    std::uint64_t limit;
    bool stopped;
    bool follow;
    bool numbered;            // next is known, to follow from
    flac_frame_hook hook;     // sees each frame handed on; frame nullptr: none
};

// Sets in up over fd and reads the stream's metadata. False when the
// stream cannot be started: the decoder failed, or found no stream
// information, or nothing follows it. A pipe that is not ready is waited
// for. With whole, the scan means to read the stream from its first sample
// to its end, and its audio is checked against the MD5 signature as it is
// decoded; a scan that stops early or starts late is spared the hashing.
bool open_flac(flac_input& in, int fd, bool seekable, bool whole, scan_counters* counters);

// Puts the input at sample frame start (>= 0): a file seeks with the
// decoder, a pipe decodes and drops the frames before it, and so does a
// file whose seek fails, from the stream's beginning. False when start lies
// past the end of the frames there are, or the decoder failed on the way;
// in.next is then where the frames ended.
bool flac_seek(flac_input& in, std::uint64_t start);

// Decodes and drops the next n frames: false when the samples end before.
bool flac_skip(flac_input& in, std::uint64_t n);

// The position in the stream of the frame the decoder reads next, between
// frames; false when it cannot tell.
bool flac_position(flac_input& in, std::uint64_t& at);

// Starts decoding again at position at of the stream, which a frame should
// begin at: what follows is searched for the next frame, as after damage.
// The stream's information stays as it was; next is left to the caller.
bool flac_restart_at(flac_input& in, std::uint64_t at);

// Decodes the next frame into the pending block: false when there is none
// (the end, a limit, an error).
bool flac_next_frame(flac_input& in);

// Resets r and s and makes r a reader of in's samples from where it
// stands, testing sample bit xbit + 8. The samples end at the decoder's
// first error, or where the stream's information says the stream ends; an
// input that ends sooner than that just ends them. in.next is the frame
// after the last one handed on.
void init_bits_flac(bitreader& r, sample_source& s, flac_input& in, sample_bit xbit);
// The same, but r keeps what it holds and is only handed on to s.
void attach_bits_flac(bitreader& r, sample_source& s, flac_input& in, sample_bit xbit);

// Whether a stream that was read to the length its information gives has
// another frame after it, which that length leaves out. Reads on; what
// follows that is not a frame (a tag) ends the stream.
bool flac_goes_on(flac_input& in);

// Ends the decoding of in. False when the audio decoded from the stream's
// first sample to its end does not match the MD5 signature the stream's
// information holds; an all-zero signature is none, and matches. Only
// what was decoded whole from the start is checked: after a seek, or
// before the end, it tells nothing.
bool flac_audio_matches(flac_input& in);

// What libsndfile says of the decoder's first error, the system's reason
// for a read that failed, or nothing when there was neither.
std::string flac_error_text(const flac_input& in);
