// SPDX-License-Identifier: MIT
// kesscan: finds the side stream carried in bit 8 of left XOR right of a
// stereo sound file, and decodes and prints its frames. This is the command
// line; the scan of a file is scan_file's.
#include "cache.hpp"
#include "formats.hpp"
#include "jobs.hpp"
#include "output.hpp"
#include "scan.hpp"
#include "walk.hpp"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Options take numbers in C notation (0x.. hexadecimal, 0.. octal), cut to
// 32 bits without further checks.
std::int32_t option_number(const char* text)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(std::strtoll(text, nullptr, 0)));
}

// A count of at least 1, or 0 when the text is not one.
unsigned positive_number(const char* text)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    const bool ok = *text >= '0' && *text <= '9' && *end == '\0' && errno == 0 && v >= 1 && v <= 4096;
    return ok ? static_cast<unsigned>(v) : 0;
}

constexpr const char* usage_text =
    "usage: kesscan [-1] [-p type] [-s start] [-v] [--summary] [--json] [--recursive]\n"
    "               [--jobs N] [--check] [--expect-stream] [--list=STATUSES] [--null]\n"
    "               [--progress] [--cache[=FILE]] [--cache-prune] [--ext=LIST] [--follow]\n"
    "               [--stats] {file... | --files0-from=F}\n"
    "  -1           stop after the first selected frame (type 1 unless a type is selected)\n"
    "  -p type      print only frames of this type; checksum errors always print\n"
    "  -s start     begin at this sample frame\n"
    "  -v           more detail\n"
    "  --summary    one line per file: status, sync, source, frames, errors\n"
    "  --json       JSON Lines: the frames, or with --summary the summary\n"
    "  --recursive  scan the sound files in the folders named, and below\n"
    "  --ext=LIST   with --recursive, take the files of these extensions (flac,wav)\n"
    "  --follow     with --recursive, follow symbolic links, taking each file once\n"
    "  --stats      at the end, totals on standard error: files by status, frames,\n"
    "               bytes, time, and what the walk passed over\n"
    "  --files0-from=F\n"
    "               scan the names in F (- for standard input), each ended by NUL\n"
    "  --jobs N     scan N files at once (default: one per processor)\n"
    "  --check      exit with status 2 when a file is damaged or cannot be scanned\n"
    "  --expect-stream\n"
    "               with --check, a file without a stream is trouble too\n"
    "  --list=STATUSES\n"
    "               print only the names of the files whose status is listed\n"
    "               (stream, none, damaged, error, errors: any checksum error)\n"
    "  --null       end each name of --list with a NUL byte, not a newline\n"
    "  --progress   show progress on standard error even when it is not a terminal\n"
    "  --cache[=FILE]\n"
    "               keep summaries in FILE, and scan only the files changed since\n"
    "               (default FILE: $XDG_CACHE_HOME/kesscan/summaries.sqlite)\n"
    "  --cache-prune\n"
    "               with --cache: drop what it keeps of files the walk no longer finds\n"
    "  --help       this text\n"
    "  --version    the version\n";

// The words of a comma list, empty ones among them.
std::vector<std::string_view> comma_words(std::string_view text)
{
    std::vector<std::string_view> words;
    for (std::size_t comma; (comma = text.find(',')) != std::string_view::npos; text.remove_prefix(comma + 1))
        words.push_back(text.substr(0, comma));
    words.push_back(text);
    return words;
}

// The statuses a comma list names, as summary_form's list bits; 0 when a
// word is not a status.
unsigned listed_statuses(std::string_view text)
{
    unsigned list = 0;
    for (const std::string_view word : comma_words(text)) {
        unsigned bit = word == "errors" ? list_errors : 0;
        for (const file_status s : {file_status::stream, file_status::none, file_status::damaged, file_status::error})
            bit |= word == status_name(s) ? 1u << static_cast<unsigned>(s) : 0;
        if (!bit)
            return 0;
        list |= bit;
    }
    return list;
}

// The extensions a comma list names, in lower case without a leading dot,
// sorted; empty when a word is empty.
std::vector<std::string> extension_list(std::string_view text)
{
    std::vector<std::string> list;
    for (std::string_view word : comma_words(text)) {
        if (word.starts_with('.'))
            word.remove_prefix(1);
        if (word.empty())
            return {};
        list.push_back(extension_of(("." + std::string(word)).c_str()));
    }
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    return list;
}

// A cache that cannot be used is told of once; the survey goes on without
// it, and its status does not change.
void cache_unusable(const std::string& file, const std::string& why)
{
    std::fprintf(stderr, "kesscan: cache%s%s: %s; scanning without it\n", file.empty() ? "" : " ", file.c_str(),
                 why.c_str());
}

bool open_summary_cache(summary_cache& cache, std::string file, const scan_settings& settings)
{
    std::string why;
    if (file.empty())
        file = default_cache_file(why);
    if (why.empty() && open_cache(cache, file, settings, KESSCAN_VERSION, why))
        return true;
    cache_unusable(file, why);
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    // Long options only add to the short ones, which getopt takes exactly as
    // POSIX getopt does, diagnostics and status included.
    enum {
        opt_summary = 256, opt_json, opt_recursive, opt_jobs, opt_check, opt_progress, opt_cache, opt_cache_prune,
        opt_expect_stream, opt_list, opt_null, opt_ext, opt_files0_from, opt_stats, opt_follow, opt_help,
        opt_version
    };
    static const option longs[] = {
        {"summary", no_argument, nullptr, opt_summary},
        {"json", no_argument, nullptr, opt_json},
        {"recursive", no_argument, nullptr, opt_recursive},
        {"jobs", required_argument, nullptr, opt_jobs},
        {"check", no_argument, nullptr, opt_check},
        {"progress", no_argument, nullptr, opt_progress},
        {"cache", optional_argument, nullptr, opt_cache},
        {"cache-prune", no_argument, nullptr, opt_cache_prune},
        {"expect-stream", no_argument, nullptr, opt_expect_stream},
        {"list", required_argument, nullptr, opt_list},
        {"null", no_argument, nullptr, opt_null},
        {"ext", required_argument, nullptr, opt_ext},
        {"files0-from", required_argument, nullptr, opt_files0_from},
        {"stats", no_argument, nullptr, opt_stats},
        {"follow", no_argument, nullptr, opt_follow},
        {"help", no_argument, nullptr, opt_help},
        {"version", no_argument, nullptr, opt_version},
        {nullptr, 0, nullptr, 0},
    };
    scan_settings settings;
    bool recursive = false, check = false, progress = false, cached = false, prune = false, stats = false,
         follow = false;
    std::string cache_file, files0;
    std::vector<std::string> extensions = sound_extensions();
    unsigned jobs = processors();
    int c;
    while ((c = getopt_long(argc, argv, "1p:s:v", longs, nullptr)) != -1) {
        switch (c) {
        case '1':
            // A second -1 moves the start on by one frame: the way to look
            // past a frame that a first run stopped at.
            if (settings.single)
                settings.start = static_cast<std::int32_t>(static_cast<std::uint32_t>(settings.start) + 1);
            settings.single = 1;
            if (settings.packet_type < 0)
                settings.packet_type = 1;
            break;
        case 'p':
            settings.packet_type = option_number(optarg);
            break;
        case 's':
            settings.start = option_number(optarg);
            break;
        case 'v':
            settings.verbosity += 1;
            break;
        case opt_summary:
            settings.summary = true;
            break;
        case opt_json:
            settings.json = true;
            break;
        case opt_recursive:
            recursive = true;
            break;
        case opt_jobs:
            jobs = positive_number(optarg);
            if (!jobs) {
                std::fprintf(stderr, "%s: --jobs takes a number of files from 1 to 4096, not '%s'\n", argv[0], optarg);
                return 1;
            }
            break;
        case opt_check:
            check = true;
            break;
        case opt_progress:
            progress = true;
            break;
        case opt_cache:
            cached = true;
            cache_file = optarg ? optarg : "";
            break;
        case opt_cache_prune:
            prune = true;
            break;
        case opt_expect_stream:
            settings.expect_stream = true;
            break;
        case opt_list:
            settings.list = listed_statuses(optarg);
            if (!settings.list) {
                std::fprintf(stderr, "%s: --list takes a comma list of stream, none, damaged, error and errors, not '%s'\n",
                             argv[0], optarg);
                return 1;
            }
            break;
        case opt_null:
            settings.null_names = true;
            break;
        case opt_ext:
            extensions = extension_list(optarg);
            if (extensions.empty()) {
                std::fprintf(stderr, "%s: --ext takes a comma list of extensions, not '%s'\n", argv[0], optarg);
                return 1;
            }
            break;
        case opt_files0_from:
            files0 = optarg;
            break;
        case opt_stats:
            stats = true;
            break;
        case opt_follow:
            follow = true;
            break;
        case opt_help:
            std::fputs(usage_text, stdout);
            return close_stdout("kesscan");
        case opt_version:
            std::puts("kesscan " KESSCAN_VERSION);
            return close_stdout("kesscan");
        default:
            return 1;
        }
    }
    // A list is made from the summaries, which it prints in their place.
    settings.summary = settings.summary || settings.list;
    if (settings.null_names && !settings.list) {
        std::fprintf(stderr, "%s: --null ends the names of --list: give --list as well\n", argv[0]);
        return 1;
    }
    if ((cached || prune) && !settings.summary) {
        std::fprintf(stderr, "%s: --cache keeps summaries only: give --summary as well\n", argv[0]);
        return 1;
    }
    if (prune && !cached) {
        std::fprintf(stderr, "%s: --cache-prune works on a cache: give --cache as well\n", argv[0]);
        return 1;
    }
    std::vector<std::string> operands(argv + optind, argv + argc);
    if (!files0.empty()) {
        std::string why;
        if (!operands.empty()) {
            std::fprintf(stderr, "%s: names come from --files0-from or the command line, not both\n", argv[0]);
            return 1;
        }
        if (!read_names0(files0, operands, why)) {
            std::fprintf(stderr, "%s: %s: %s\n", argv[0], files0.c_str(), why.c_str());
            return 1;
        }
        if (operands.empty())
            return 0;
    } else if (operands.empty()) {
        return 1;
    }
    const auto began = std::chrono::steady_clock::now();
    walk_skipped skipped;
    const std::vector<walk_entry> entries =
        walk_operands(operands, recursive, recursive ? extensions : std::vector<std::string>{},
                      stats ? &skipped : nullptr, follow);
    std::size_t files = 0;
    for (const walk_entry& e : entries)
        files += !e.error;
    // Decoded output can run to millions of lines; into a file or a pipe
    // it goes in large blocks. On a terminal each frame shows as it is
    // decoded.
    settings.interactive = isatty(STDOUT_FILENO);
    settings.show_name = files > 1 && !settings.summary && !settings.json;
    // A person watching a terminal while the output goes elsewhere is told
    // how far the work has come.
    progress = progress || (isatty(STDERR_FILENO) && !settings.interactive);
    summary_cache cache;
    const bool use_cache = cached && open_summary_cache(cache, cache_file, settings);
    survey_stats totals;
    const survey_result result =
        scan_entries(settings, entries, jobs, progress, use_cache ? &cache : nullptr, stats ? &totals : nullptr);
    std::string why;
    if (use_cache && (!close_cache(cache, why) ||
                      (prune && !prune_cache(cache, recursive ? operands : std::vector<std::string>{}, entries, why))))
        cache_unusable(cache.file, why);
    if (stats) {
        std::string block;
        put_stats(block, totals, skipped,
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(), settings.json);
        write_stderr(block.data(), block.size());
    }
    // Output that could not be written is the worse failure, and so is a
    // scan that failed: the status must not say anything else.
    const int status = close_stdout("kesscan");
    if (status != 0 || result.failed)
        return 1;
    return check && result.trouble ? 2 : 0;
}
