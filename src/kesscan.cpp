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
#include <array>
#include <csignal>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
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

// ---------------------------------------------------------------------------
// The command line

enum class action { scan, help, version };

// Everything a command line asks for.
struct command {
    const char* prog;
    action act = action::scan;
    scan_settings settings;
    bool recursive = false, progress = false, cached = false, prune = false, stats = false,
         follow = false;
    std::string cache_file, files0;
    std::int64_t recheck_ns = -1;  // with the cache: read again what was read longer ago; -1: never
    unsigned recheck_percent = 100;
    unsigned shard = 0, shards = 0;  // with shards: the part, from 1, of that many
    std::vector<std::string> extensions = sound_extensions();
    unsigned jobs = processors();
    std::vector<std::string> operands;
};

// What an option does with its argument (nullptr when it takes none or was
// given none); what is wrong with the argument, or nothing.
using option_apply = std::string (*)(command& c, const char* arg);

std::string single(command& c, const char*)
{
    // A second -1 moves the start on by one frame: the way to look past a
    // frame that a first run stopped at.
    scan_settings& s = c.settings;
    if (s.single)
        s.start = static_cast<std::int32_t>(static_cast<std::uint32_t>(s.start) + 1);
    stop_at_first(s);
    return {};
}

std::string type(command& c, const char* arg)
{
    c.settings.packet_type = option_number(arg);
    return {};
}

std::string start(command& c, const char* arg)
{
    c.settings.start = option_number(arg);
    return {};
}

std::string verbose(command& c, const char*)
{
    c.settings.verbosity += 1;
    return {};
}

// An option that sets a flag of the command line: its member.
template <bool command::*flag>
std::string set(command& c, const char*)
{
    c.*flag = true;
    return {};
}

template <bool scan_settings::*flag>
std::string set_scan(command& c, const char*)
{
    c.settings.*flag = true;
    return {};
}

std::string jobs(command& c, const char* arg)
{
    c.jobs = positive_number(arg);
    return c.jobs ? "" : std::string("--jobs takes a number of files from 1 to 4096, not '") + arg + "'";
}

std::string list(command& c, const char* arg)
{
    c.settings.list = listed_statuses(arg);
    return c.settings.list ? ""
                           : std::string("--list takes a comma list of stream, none, damaged, error and errors, not '") +
                                 arg + "'";
}

std::string extensions(command& c, const char* arg)
{
    c.extensions = extension_list(arg);
    return c.extensions.empty() ? std::string("--ext takes a comma list of extensions, not '") + arg + "'" : "";
}

std::string cache(command& c, const char* arg)
{
    c.cached = true;
    c.cache_file = arg ? arg : "";
    return {};
}

// An age: a whole number of days, or of seconds, minutes, hours or days
// with s, m, h or d after it. -1 when it is none.
std::int64_t age_ns(const char* arg)
{
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(arg, &end, 10);
    if (end == arg || n < 0 || errno || (*end && end[1]))
        return -1;
    const char* units = "smhd";
    const std::int64_t seconds[] = {1, 60, 3600, 86400};
    const char* unit = *end ? std::strchr(units, *end) : units + 3;
    if (!unit || !*unit || n > INT64_MAX / 1'000'000'000 / seconds[unit - units])
        return -1;
    return n * seconds[unit - units] * 1'000'000'000;
}

std::string recheck(command& c, const char* arg)
{
    c.recheck_ns = age_ns(arg);
    return c.recheck_ns >= 0 ? "" : std::string("--recheck takes an age such as 30d, 12h or 0, not '") + arg + "'";
}

std::string recheck_limit(command& c, const char* arg)
{
    c.recheck_percent = positive_number(arg);
    return c.recheck_percent && c.recheck_percent <= 100
               ? ""
               : std::string("--recheck-limit takes a percentage from 1 to 100, not '") + arg + "'";
}

std::string shard(command& c, const char* arg)
{
    const char* slash = std::strchr(arg, '/');
    const std::string part(arg, slash ? slash : arg);
    c.shard = positive_number(part.c_str());
    c.shards = slash ? positive_number(slash + 1) : 0;
    const bool ok = c.shard && c.shards && c.shard <= c.shards;
    return ok ? "" : std::string("--shard takes I/N, part I of N from 1 to 4096, not '") + arg + "'";
}

std::string files0(command& c, const char* arg)
{
    c.files0 = arg;
    return *arg ? "" : "--files0-from takes a file of names (- for standard input)";
}

template <action a>
std::string act(command& c, const char*)
{
    c.act = a;
    return {};
}

// An option as it is given, helped and done. The help writes its name and
// then value, as "-p type", "--jobs N" or "--cache[=FILE]"; the synopsis
// shows the options in their order there, in brackets.
struct option_spec {
    const char* name;  // the long name, or nullptr
    char letter;       // the short option, or 0
    int argument;      // no_argument, required_argument or optional_argument
    const char* value; // the argument as the help writes it after the name
    int synopsis;      // its place in the synopsis; 0: not there
    const char* help;  // its lines, each ended by a newline
    option_apply apply;
};

// In the synopsis, the one option that names the files in place of the
// operands.
constexpr int instead_of_files = -1;

constexpr option_spec options[] = {
    {nullptr, '1', no_argument, "", 1,
     "stop after the first selected frame (type 1 unless a type is selected)\n", single},
    {nullptr, 'p', required_argument, " type", 2, "print only frames of this type; checksum errors always print\n",
     type},
    {nullptr, 's', required_argument, " start", 3, "begin at this sample frame\n", start},
    {nullptr, 'v', no_argument, "", 4, "more detail\n", verbose},
    {"summary", 0, no_argument, "", 5, "one line per file: status, sync, source, frames, errors\n",
     set_scan<&scan_settings::summary>},
    {"json", 0, no_argument, "", 6, "JSON Lines: the frames, or with --summary the summary\n",
     set_scan<&scan_settings::json>},
    {"recursive", 0, no_argument, "", 7, "scan the sound files in the folders named, and below\n",
     set<&command::recursive>},
    {"ext", 0, required_argument, "=LIST", 16, "with --recursive, take the files of these extensions (flac,wav)\n",
     extensions},
    {"follow", 0, no_argument, "", 17, "with --recursive, follow symbolic links, taking each file once\n",
     set<&command::follow>},
    {"stats", 0, no_argument, "", 18,
     "at the end, totals on standard error: files by status, frames,\nbytes, time, and what the walk passed over\n",
     set<&command::stats>},
    {"files0-from", 0, required_argument, "=F", instead_of_files,
     "scan the names in F (- for standard input), each ended by NUL\n", files0},
    {"jobs", 0, required_argument, " N", 8, "scan N files at once, or decode one on N threads (default: one per processor)\n", jobs},
    {"check", 0, no_argument, "", 9, "exit with status 2 when a file is damaged or cannot be scanned\n",
     set_scan<&scan_settings::check>},
    {"expect-stream", 0, no_argument, "", 10, "with --check, a file without a stream is trouble too\n",
     set_scan<&scan_settings::expect_stream>},
    {"list", 0, required_argument, "=STATUSES", 11,
     "print only the names of the files whose status is listed\n"
     "(stream, none, damaged, error, errors: any checksum error)\n",
     list},
    {"null", 0, no_argument, "", 12, "end each name of --list with a NUL byte, not a newline\n",
     set_scan<&scan_settings::null_names>},
    {"progress", 0, no_argument, "", 13, "show progress on standard error even when it is not a terminal\n",
     set<&command::progress>},
    {"cache", 0, optional_argument, "[=FILE]", 14,
     "keep summaries in FILE, and scan only the files changed since\n"
     "(default FILE: $XDG_CACHE_HOME/kesscan/summaries.sqlite)\n",
     cache},
    {"cache-prune", 0, no_argument, "", 15, "with --cache: drop what it keeps of files that are gone\n",
     set<&command::prune>},
    {"recheck", 0, required_argument, "=AGE", 19,
     "with --cache: read again the files it vouched for longer ago\n"
     "than AGE (30d, 12h, 0), though they seem unchanged\n",
     recheck},
    {"recheck-limit", 0, required_argument, "=PERCENT", 20,
     "with --recheck: read again at most this share of the files,\noldest first\n", recheck_limit},
    {"shard", 0, required_argument, "=I/N", 21,
     "scan only part I of N equal parts of the files, by bytes, for N\n"
     "machines: the parts' outputs put together in order are the whole\n",
     shard},
    {"help", 0, no_argument, "", 0, "this text\n", act<action::help>},
    {"version", 0, no_argument, "", 0, "the version\n", act<action::version>},
};
constexpr std::size_t option_count = std::size(options);

// getopt_long's value for the long option options[i].
constexpr int long_value = 256;

// The short options, as getopt takes them: exactly as POSIX getopt does,
// diagnostics and status included.
constexpr auto short_options = [] {
    std::array<char, 2 * option_count + 1> text{};
    std::size_t n = 0;
    for (const option_spec& o : options) {
        if (!o.letter)
            continue;
        text[n++] = o.letter;
        if (o.argument == required_argument)
            text[n++] = ':';
    }
    return text;
}();

constexpr auto long_options = [] {
    std::array<option, option_count + 1> longs{};
    std::size_t n = 0;
    for (std::size_t i = 0; i < option_count; ++i)
        if (options[i].name)
            longs[n++] = {options[i].name, options[i].argument, nullptr, long_value + static_cast<int>(i)};
    return longs;
}();

// "-p type", "--jobs N": the option as the help names it.
std::string option_form(const option_spec& o)
{
    std::string form = o.name ? std::string("--") + o.name : std::string("-") + o.letter;
    return form + o.value;
}

// The synopsis, its words filled into lines of up to 84 columns, each
// after the first indented as far as the first's words begin.
std::string synopsis()
{
    constexpr std::size_t width = 84;
    std::string text = "usage: kesscan", alternative;
    const std::string indent(text.size() + 1, ' ');
    std::size_t line = 0;  // where the last line begins
    const auto put = [&](const std::string& word) {
        if (text.size() - line + 1 + word.size() <= width) {
            text += ' ';
        } else {
            text += '\n';
            line = text.size();
            text += indent;
        }
        text += word;
    };
    for (int place = 1; place <= static_cast<int>(option_count); ++place)
        for (const option_spec& o : options)
            if (o.synopsis == place)
                put("[" + option_form(o) + "]");
    for (const option_spec& o : options)
        if (o.synopsis == instead_of_files)
            alternative = option_form(o);
    put("{file... | " + alternative + "}");
    return text + "\n";
}

// The synopsis and a paragraph for each option: its form, and its help
// from the 16th column, on a line of its own when the form is too long.
std::string usage_text()
{
    std::string text = synopsis();
    const std::string indent(15, ' ');
    for (const option_spec& o : options) {
        const std::string form = option_form(o);
        text += "  " + form;
        text += form.size() <= 12 ? std::string(13 - form.size(), ' ') : "\n" + indent;
        for (std::string_view help = o.help; !help.empty();) {
            const std::size_t end = help.find('\n') + 1;
            text.append(help.substr(0, end));
            help.remove_prefix(end);
            if (!help.empty())
                text += indent;
        }
    }
    return text;
}

// Reads the options into c, and the operands; false when an option or its
// argument is wrong, which is then told. Stops at --help and --version.
bool parse_command(command& c, int argc, char** argv)
{
    c.prog = argv[0];
    int got;
    while (c.act == action::scan &&
           (got = getopt_long(argc, argv, short_options.data(), long_options.data(), nullptr)) != -1) {
        const option_spec* o = got >= long_value ? &options[got - long_value] : nullptr;
        for (std::size_t i = 0; !o && i < option_count; ++i)
            if (options[i].letter && options[i].letter == got)
                o = &options[i];
        if (!o)
            return false;
        const std::string why = o->apply(c, optarg);
        if (!why.empty()) {
            std::fprintf(stderr, "%s: %s\n", c.prog, why.c_str());
            return false;
        }
    }
    c.operands.assign(argv + optind, argv + argc);
    // A list is made from the summaries, which it prints in their place.
    c.settings.summary = c.settings.summary || c.settings.list;
    return true;
}

// False, told, for options that do not go together; without a name to
// scan, false and nothing is told.
bool check_command(const command& c)
{
    const char* why = nullptr;
    if (c.act != action::scan)
        return true;
    if (c.settings.null_names && !c.settings.list)
        why = "--null ends the names of --list: give --list as well";
    else if ((c.cached || c.prune) && !c.settings.summary)
        why = "--cache keeps summaries only: give --summary as well";
    else if (c.prune && !c.cached)
        why = "--cache-prune works on a cache: give --cache as well";
    else if (c.recheck_ns >= 0 && !c.cached)
        why = "--recheck works on a cache: give --cache as well";
    else if (c.recheck_percent < 100 && c.recheck_ns < 0)
        why = "--recheck-limit bounds --recheck: give --recheck as well";
    else if (!c.files0.empty() && !c.operands.empty())
        why = "names come from --files0-from or the command line, not both";
    else if (c.files0.empty() && c.operands.empty())
        return false;
    if (why)
        std::fprintf(stderr, "%s: %s\n", c.prog, why);
    return !why;
}

// A walk of the command line's operands, as the survey takes it: of its
// part, with --shard.
struct survey_walk {
    walk_cursor walk;
    shard_cursor part;
};

// Starts w: the entries a survey takes. whole is what the whole walk
// holds, which a part needs first.
entry_source start_walk(survey_walk& w, const command& c, walk_skipped* skipped, const walk_total& whole)
{
    init_walk(w.walk, c.operands, c.recursive, c.extensions, skipped, c.follow);
    if (!c.shards)
        return walk_source(w.walk);
    w.part = {walk_source(w.walk), c.shard - 1, c.shards, whole.weight, 0};
    return shard_source(w.part);
}

// What the whole walk holds, walked once to be counted.
walk_total count_walk(const command& c)
{
    walk_cursor w;
    init_walk(w, c.operands, c.recursive, c.extensions, nullptr, c.follow);
    return count_entries(walk_source(w));
}

// Walks the operands and scans what the walk finds as it goes, with the
// cache and the totals asked for; the exit status.
int survey(command& c)
{
    const auto began = std::chrono::steady_clock::now();
    const walk_total whole = c.shards ? count_walk(c) : walk_total{};
    walk_skipped skipped;
    survey_walk walk;
    entry_queue entries;
    entries.from = start_walk(walk, c, c.stats ? &skipped : nullptr, whole);
    scan_settings& settings = c.settings;
    // Decoded output can run to millions of lines; into a file or a pipe
    // it goes in large blocks. On a terminal each frame shows as it is
    // decoded.
    settings.interactive = isatty(STDOUT_FILENO);
    // A part's output is written as the whole survey's would be.
    settings.show_name =
        !settings.summary && !settings.json && (c.shards ? whole.files > 1 : more_than_one_file(entries));
    // A person watching a terminal while the output goes elsewhere is told
    // how far the work has come.
    const bool progress = c.progress || (isatty(STDERR_FILENO) && !settings.interactive);
    summary_cache cache;
    bool use_cache = c.cached && open_summary_cache(cache, c.cache_file, settings);
    std::string why;
    // The files due are picked among those this run walks, walked once
    // before the survey.
    survey_walk first;
    if (use_cache && c.recheck_ns >= 0 &&
        !plan_recheck(cache, start_walk(first, c, nullptr, whole), wall_clock_ns() - c.recheck_ns,
                      c.recheck_percent, why)) {
        cache_unusable(cache.file, why);
        use_cache = false;
    }
    survey_stats totals;
    const survey_result result =
        scan_entries(settings, entries, c.jobs, progress, use_cache ? &cache : nullptr, c.stats ? &totals : nullptr);
    if (use_cache &&
        (!close_cache(cache, why) ||
         (c.prune && !prune_cache(cache, c.recursive ? c.operands : std::vector<std::string>{}, why))))
        cache_unusable(cache.file, why);
    if (c.stats) {
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
    return c.settings.check && result.trouble ? 2 : 0;
}

// Does what c asks; the exit status.
int run_command(command& c)
{
    if (c.act == action::help) {
        std::fputs(usage_text().c_str(), stdout);
        return close_stdout("kesscan");
    }
    if (c.act == action::version) {
        std::puts("kesscan " KESSCAN_VERSION);
        return close_stdout("kesscan");
    }
    if (c.files0.empty())
        return survey(c);
    std::string why;
    std::vector<std::string> refused;
    if (!read_names0(c.files0, c.operands, why, refused)) {
        std::fprintf(stderr, "%s: %s: %s\n", c.prog, c.files0.c_str(), why.c_str());
        return 1;
    }
    // The names that could not be taken are told first; the others are
    // scanned, and the status says that some were not.
    for (const std::string& r : refused)
        std::fprintf(stderr, "%s: %s\n", c.prog, r.c_str());
    const int status = c.operands.empty() ? 0 : survey(c);
    return refused.empty() ? status : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    // A file grown past the limit ulimit -f sets (the cache, or standard
    // output sent to a file) is a write that fails with EFBIG, told as
    // any other, rather than the end of the process.
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        command c;
        if (!parse_command(c, argc, argv) || !check_command(c))
            return 1;
        return run_command(c);
    } catch (const std::bad_alloc&) {
        // Each file's scan catches its own failure; this is the walk's,
        // or the list of names'.
        constexpr char text[] = "kesscan: out of memory\n";
        write_stderr(text, sizeof text - 1);
        return 1;
    }
}
