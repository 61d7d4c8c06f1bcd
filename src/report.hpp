// Outputs beside the text: one summary line per file, as tab-separated text
// or as JSON, and the frames as JSON Lines. The frame loop tells an output
// what it decodes through a record of plain operations, as a reader is given
// its refill and observer; the text printer knows nothing of these.
#pragma once

#include "bits.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

enum class file_status {
    stream,   // the sync pattern was found and the samples ended cleanly
    none,     // the file was read; no sync pattern near the start
    damaged,  // libsndfile reported an error while the samples were read
    error,    // not opened, not stereo, or the start lies outside it
};

struct report {
    void (*file_begin)(const char* name);
    void (*sync_found)(std::uint32_t pos);
    // selected: the frame passes the -p filter. True when the output wants
    // the frame's fields, which are then read through the printer.
    bool (*frame_begin)(std::uint32_t pos, std::uint32_t type, const frame& f, bool selected);
    // Every field of the frame's layout, as the printer reads it.
    void (*field)(const bitfield& f, std::uint64_t v, const std::uint8_t* bytes, std::size_t n);
    // The checksum byte read, whether it matched, and the position after it.
    void (*frame_end)(std::uint32_t crc, bool ok, std::uint32_t end);
    // True once the output has all it asked for (the summary's -1).
    bool (*satisfied)();
    void (*file_end)(file_status status);
};

// The summary, as text or JSON; with quick, it is satisfied by the first
// stream_params frame whose checksum matched.
const report* summary_report(bool json, bool quick);
// The frames as JSON Lines; at level 2 and above a data block carries its
// bytes, as the text dumps them.
const report* json_report(std::int32_t level);

// A JSON string of the bytes s[0..n): valid JSON whatever the bytes are. A
// byte that is not part of well-formed UTF-8 is written \u00XX, the
// character with the byte's number.
void json_string(std::string& out, const char* s, std::size_t n);
