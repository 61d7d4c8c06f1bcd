// kesscan: finds the side stream carried in bit 8 of left XOR right of a
// stereo sound file, and decodes and prints its frames. This is the command
// line; the scan of a file is scan_file's.
#include "output.hpp"
#include "scan.hpp"

#include <getopt.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Options take numbers in C notation (0x.. hexadecimal, 0.. octal), cut to
// 32 bits without further checks.
std::int32_t option_number(const char* text)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(std::strtoll(text, nullptr, 0)));
}

constexpr const char* usage_text =
    "usage: kesscan [-1] [-p type] [-s start] [-v] [--summary] [--json] file...\n"
    "  -1         stop after the first selected frame (type 1 unless a type is selected)\n"
    "  -p type    print only frames of this type; checksum errors always print\n"
    "  -s start   begin at this sample frame\n"
    "  -v         more detail\n"
    "  --summary  one line per file: status, sync, source, frames, errors\n"
    "  --json     JSON Lines: the frames, or with --summary the summary\n"
    "  --help     this text\n"
    "  --version  the version\n";

}  // namespace

int main(int argc, char** argv)
{
    // Long options only add to the short ones, which getopt takes exactly as
    // POSIX getopt does, diagnostics and status included.
    enum { opt_summary = 256, opt_json, opt_help, opt_version };
    static const option longs[] = {
        {"summary", no_argument, nullptr, opt_summary},
        {"json", no_argument, nullptr, opt_json},
        {"help", no_argument, nullptr, opt_help},
        {"version", no_argument, nullptr, opt_version},
        {nullptr, 0, nullptr, 0},
    };
    scan_settings settings;
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
    if (optind >= argc)
        return 1;
    // Decoded output can run to millions of lines; into a file or a pipe
    // it goes in large blocks. On a terminal each frame shows as it is
    // decoded.
    settings.interactive = isatty(STDOUT_FILENO);
    settings.show_name = argc - optind > 1 && !settings.summary && !settings.json;
    // Output that cannot be written ends the work: nothing more can be
    // printed, and the status must not say success.
    for (int i = optind; i < argc && !stdout_failed(); ++i)
        scan_file(settings, argv[i], standard_sink());
    return close_stdout("kesscan");
}
