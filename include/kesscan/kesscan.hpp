// SPDX-License-Identifier: MIT
// kesscan's library: the scan of one input for its side stream, as the
// command line scans a file, for programs that embed it. A scan prints
// nothing, keeps no state of the process and never ends it: what went
// wrong with an input comes back in its summary, and its frames, when they
// are asked for, come to a receiver as they are decoded. Scans on several
// threads at once share nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// What the shared library offers; the rest of it is its own.
#define KESSCAN_API __attribute__((visibility("default")))

namespace kesscan {

// What a scan looks at, as the command line's -s, -1 and -p give it.
struct settings {
    std::int32_t start = 0;  // sample frame where the search begins, 0 or more
    bool single = false;     // frames: stop after the first selected one (type 1 unless
                             // a type is selected); a summary: after the first sound
                             // stream_params frame
    std::int32_t type = -1;  // frames: only those of this type, 0 to 255; -1: every type
};

// A field's value, with the name its table gives it, if any.
struct value {
    bool known = false;          // false: the stream did not tell it
    std::int64_t number = 0;
    const char* text = nullptr;  // "768 kHz", "16 bits"; static storage, or nullptr
};

// What a scan found in an input.
struct summary {
    std::string file;            // the name the input was given
    const char* status;          // "stream", "none", "damaged" or "error"
    bool synced = false;         // the sync pattern was found, at sample frame sync
    std::uint32_t sync = 0;
    value rate, bits, gain;      // from the first sound stream_params frame
    std::uint32_t rate_hz = 0;   // the original rate in hertz; 0: not told
    std::uint64_t frames = 0;    // frames decoded
    std::uint64_t errors = 0;    // of those, with checksum errors
    std::string reason;          // why the status is what it is; empty for a stream
    std::string json;            // the object kesscan --summary --json writes for it,
                                 // without the newline
};

// One field of a frame, in the order of its layout.
struct field {
    const char* name;            // static storage
    std::uint32_t bits;
    std::uint64_t number;        // a block's is 0
    bool is_signed;              // number is to be read as std::int64_t
    const char* text;            // the name of the value, or nullptr
};

inline constexpr std::size_t max_fields = 64;

// A frame as it is decoded. The record and what it points to last until
// the receiver returns.
struct frame {
    std::uint32_t pos = 0;        // sample frame of its first bit
    std::uint32_t type = 0;
    bool selected = false;        // the type asked for; a frame not selected comes
                                  // only for its checksum error, without name or fields
    const char* name = nullptr;   // the type's name, or nullptr for an unknown type
    const field* fields = nullptr;
    std::size_t field_count = 0;
    bool whole = false;           // false: the samples ended inside it, and what
                                  // follows is not known
    std::uint32_t crc = 0;        // the checksum byte read
    bool crc_ok = false;
    std::uint32_t error_pos = 0;  // with a checksum error: the sample frame after it
    std::string_view json;        // the object kesscan --json writes, without the newline
};

// Receives each frame of a scan, on the scan's thread; returns false to
// end the scan there, as if the frame were the last.
struct frame_receiver {
    bool (*frame)(void* context, const frame& f);
    void* context;
};

// Scans the file at path, or descriptor fd where it stands (it stays open),
// or the size bytes at data, as a file holding them, naming it name. With
// frames, each frame goes to it as the command line's --json writes it,
// and the summary's source (rate, bits, gain) is not read; without,
// the summary is the command line's --summary.
KESSCAN_API summary scan_path(const char* path, const settings& s, const frame_receiver* frames = nullptr);
KESSCAN_API summary scan_fd(int fd, const char* name, const settings& s, const frame_receiver* frames = nullptr);
KESSCAN_API summary scan_buffer(const void* data, std::size_t size, const char* name, const settings& s,
                    const frame_receiver* frames = nullptr);
// Scans stereo samples already decoded, interleaved left and right in
// libsndfile's 32-bit form (a 24-bit sample in the upper 24 bits).
KESSCAN_API summary scan_samples(const std::int32_t* interleaved, std::size_t frame_count, const char* name,
                     const settings& s, const frame_receiver* frames = nullptr);

// Why settings cannot be used, or nullptr when they can.
KESSCAN_API const char* settings_refused(const settings& s);

}  // namespace kesscan
