// SPDX-License-Identifier: MIT
// Scanning one file: it is opened, its side stream's sync pattern searched
// for near the start position, and its frames decoded and printed, with
// their checksums checked, until the samples end. Everything a scan holds
// is its own, so scans of several files can run side by side; what it
// prints goes to the output sink it is given.
#pragma once

#include "output.hpp"
#include "report.hpp"
#include "sample-source.hpp"

#include <cstdint>
#include <string>

struct scan_settings {
    std::int32_t packet_type = -1;  // type selected for printing; negative: every type
    std::int32_t verbosity = 1;     // configured output level
    std::int32_t single = 0;        // stop after the first selected frame
    std::int32_t start = 0;         // sample frame where the search begins
    bool summary = false;           // one line per file instead of its frames
    bool json = false;              // JSON Lines: the frames, or the summary
    unsigned list = 0;              // with summary: only the names of the files listed
    bool null_names = false;        // listed names end with NUL, not a newline
    bool check = false;             // each file's trouble is told on standard error
    bool expect_stream = false;     // a file without a stream is trouble too
    bool interactive = false;       // each frame is written out as it is decoded
    bool show_name = false;         // the file's name goes on a line before its frames
    // Threads a FLAC file may be decoded on, in sections of section_bytes
    // of its stream (0: the default size).
    unsigned threads = 1;
    std::uint64_t section_bytes = 0;
    // With json: where the frames go, each with what it holds, rather than
    // to the output; or nullptr.
    const kesscan::frame_receiver* frames = nullptr;
};

// What -1 asks for: the scan stops after the first selected frame, and
// selects type 1 unless a type is selected.
void stop_at_first(scan_settings& settings);

// How a name came: named by the user, "-" being standard input, or found
// by a walk as a regular file, which it must still be.
enum class input_kind { named, walked };

// The form of the outcomes settings ask for.
outcome_form outcome_form_of(const scan_settings& settings);

// Scans the file name and writes its frames and its outcome to out. The
// result's facts are filled in whatever the settings, but for the source,
// which only a summary reads. counters, when given, count as it reads.
scan_result scan_file(const scan_settings& settings, const char* name, output_sink out,
                      scan_counters* counters = nullptr, input_kind kind = input_kind::named);
// The same for the input at fd, where it stands, named name: fd stays
// open.
scan_result scan_descriptor(const scan_settings& settings, const char* name, int fd, output_sink out);
// The same for frame_count stereo frames at samples, interleaved, in
// libsndfile's 32-bit form.
scan_result scan_interleaved(const scan_settings& settings, const char* name, const std::int32_t* samples,
                             std::uint64_t frame_count, output_sink out);
