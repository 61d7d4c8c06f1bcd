// SPDX-License-Identifier: MIT
// Runs the transcripts in tests/cases: each is a shell session, and every
// command's standard output, standard error and exit status must come out
// exactly as written under it.
//
//   # a comment; comments and blank lines end a command's expected output
//   $ kesgen x.wav <<'.'      a command, run by bash in the case's own folder,
//   > sync                    continued on the lines that start with "> "
//   > .
//   $ kesscan x.wav
//   00000000: [0] magic       a line of standard output
//   ! x.wav: ...              a line of standard error
//   ? 1                       the exit status, when it is not 0
//   ## name                   a section: see below
//   # needs root              the next command needs root (or strace, a loop
//                             mount, to run unchecked, or the Python
//                             module); before the first command, every
//                             command does
//
// A transcript without sections is one test. One with sections is a test a
// section: each runs in a folder of its own, after the commands before the
// first section, so sections share no state and run side by side. A
// command whose need is not met here is not run, and its test is reported
// as skipped, with why, after the rest of it has run.
//
// kesscan and kesgen are the built programs; under KESSCAN_WRAPPER (valgrind)
// kesscan runs inside it. "limit_memory KIB" caps the memory of what follows;
// "unprivileged COMMAND" runs a command without root's power to read and
// write what its permissions forbid. "settled FILE..." waits until the
// clock has left the tick the files were last changed in, which a cache
// would otherwise take for a change it might not see: it waits for the
// clock, never for the machine, and at most some 25 ms.
#include "testfiles.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

struct command {
    std::string text, out, err;
    int status = 0;
    int line = 0;
    std::string needs;  // "root", "strace" or empty
};

struct section {
    std::string name;  // empty: the commands before the first section
    std::vector<command> commands;
};

std::vector<section> read_case(const std::filesystem::path& path)
{
    std::ifstream in(path);
    std::vector<section> sections(1);
    bool open = false;  // lines may still belong to the last command
    std::string needs, all_need;  // the next command's; every command's
    int n = 0;
    for (std::string line; std::getline(in, line);) {
        ++n;
        std::vector<command>& commands = sections.back().commands;
        if (line.starts_with("$ ")) {
            commands.push_back({line.substr(2), "", "", 0, n, needs.empty() ? all_need : needs});
            needs.clear();
            open = true;
        } else if (line.starts_with("## ")) {
            sections.push_back({line.substr(3), {}});
            open = false;
        } else if (line.starts_with("# needs ")) {
            const bool first = sections.size() == 1 && commands.empty();
            (first ? all_need : needs) = line.substr(8);
            open = false;
        } else if (line.empty() || line[0] == '#') {
            open = false;
        } else if (!open) {
            ADD_FAILURE() << path << ":" << n << ": output without a command";
        } else if (line.starts_with("> ")) {
            commands.back().text += "\n" + line.substr(2);
        } else if (line.starts_with("! ")) {
            commands.back().err += line.substr(2) + "\n";
        } else if (line.starts_with("? ")) {
            commands.back().status = std::stoi(line.substr(2));
        } else {
            commands.back().out += line + "\n";
        }
    }
    return sections;
}

// "case" for a transcript without sections, "case/section" for each section.
std::vector<std::string> case_names()
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(CASES_DIR)) {
        if (entry.path().extension() != ".txt")
            continue;
        const std::string stem = entry.path().stem().string();
        const std::vector<section> sections = read_case(entry.path());
        if (sections.size() == 1)
            names.push_back(stem);
        for (std::size_t i = 1; i < sections.size(); ++i)
            names.push_back(stem + "/" + sections[i].name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Why a need cannot be met here, or empty when it can.
std::string unmet(const std::string& need)
{
    if (need.empty())
        return "";
    if (need == "root")
        return geteuid() == 0 ? "" : "needs root";
    if (need == "strace")
        return run("strace -f -qq -o /dev/null true").status == 0 ? "" : "needs a working strace";
    if (need == "mount") {
        const std::string dir = scratch_dir() + "/mount-trial";
        const std::string trial = "mkdir -p " + dir + "/m && cd " + dir + " && truncate -s 8M i && mkfs.ext4 -q -F i" +
                                  " >/dev/null 2>&1 && mount -o loop i m && umount m";
        return geteuid() == 0 && run(trial).status == 0 ? "" : "needs root and a loop mount";
    }
    if (need == "python") {
        const std::filesystem::path module = std::filesystem::path(KESSCAN_PATH).parent_path() / "python/kesscan";
        return std::filesystem::exists(module / "__init__.py") ? "" : "needs the Python module, which this build has not";
    }
    // A sanitizer or valgrind reserves more address space than a limit on
    // memory allows.
    if (need == "unchecked") {
#if defined(KESSCAN_SANITIZED) || defined(KESSCAN_TSAN)
        return "needs a build without sanitizers";
#else
        return std::getenv("KESSCAN_WRAPPER") ? "needs to run without valgrind" : "";
#endif
    }
    ADD_FAILURE() << "a need no case knows: " << need;
    return "needs " + need;
}

// A command that has not ended after this many seconds never will: it is
// ended, with everything it started but what job control took away, and
// fails. A checker runs the programs several times slower.
#if defined(KESSCAN_SANITIZED) || defined(KESSCAN_TSAN)
constexpr int command_bound = 300;
#else
constexpr int command_bound = 60;
#endif

#if defined(KESSCAN_SANITIZED)
// AddressSanitizer reserves far more address space than a limit would
// allow; its own cap on a single allocation stands in for the limit.
constexpr const char* limit_memory = "limit_memory() { export ASAN_OPTIONS=max_allocation_size_mb=$(($1 / 1024)); }\n";
#elif defined(KESSCAN_TSAN)
// ThreadSanitizer likewise, and it judges threads, not memory.
constexpr const char* limit_memory = "limit_memory() { :; }\n";
#else
constexpr const char* limit_memory = "limit_memory() { ulimit -v \"$1\"; }\n";
#endif

// Debian's Python, which the module is built for, before any other.
constexpr const char* python = "[ -x /usr/bin/python3 ] && python3() { /usr/bin/python3 \"$@\"; }\n";

// Root reads and writes past permissions; without those powers it is as
// any user, who needs nothing dropped.
constexpr const char* unprivileged =
    "unprivileged() { if [ \"$(id -u)\" = 0 ]; then setpriv --bounding-set -dac_override,-dac_read_search \"$@\";"
    " else \"$@\"; fi; }\n";

constexpr const char* settled =
    "settled() { local last=$(stat -c %.9Z \"$@\" | sort -n | tail -1 | tr -d .);"
    " while [ \"$(date +%s%N)\" -le $((10#$last + 25000000)) ]; do :; done; }\n";

// Runs commands in dir; the reasons of those not run go to skipped.
void replay(const std::vector<command>& commands, const std::string& dir, const std::string& place,
            std::string& skipped)
{
    const std::filesystem::path bin = std::filesystem::path(KESSCAN_PATH).parent_path();
    const char* wrapper = std::getenv("KESSCAN_WRAPPER");
    // The Python module is the build's, for Debian's Python.
    const std::string prelude = "export PATH=" + quoted(bin.string()) + ":\"$PATH\"\n" + "export PYTHONPATH=" +
                                quoted((bin / "python").string()) + "\n" + python + limit_memory +
                                unprivileged + settled +
                                (wrapper ? "kesscan() { " + std::string(wrapper) + " kesscan \"$@\"; }\n" : "");
    for (const command& c : commands) {
        const std::string where = place + ":" + std::to_string(c.line) + ": $ " + c.text;
        if (const std::string why = unmet(c.needs); !why.empty()) {
            skipped += where.substr(0, where.find('\n')) + ": " + why + "\n";
            continue;
        }
        const int bound = wrapper ? 10 * command_bound : command_bound;
        // Run apart from any terminal, which a process group of its own
        // would have to wait for.
        const run_result r = run("timeout -k 5 " + std::to_string(bound) + " bash -c " +
                                 quoted("cd " + quoted(dir) + "\n" + prelude + c.text) + " </dev/null");
        EXPECT_NE(r.status, 124) << where << ": no end after " << bound << " s";
        EXPECT_EQ(r.out, c.out) << where;
        EXPECT_EQ(r.err, c.err) << where;
        EXPECT_EQ(r.status, c.status) << where;
    }
}

class Cases : public testing::TestWithParam<std::string> {};

TEST_P(Cases, ReplayExactly)
{
    const std::string name = GetParam();
    const std::string file = name.substr(0, name.find('/'));
    const std::vector<section> sections = read_case(std::string(CASES_DIR) + "/" + file + ".txt");
    const auto part = std::find_if(sections.begin() + 1, sections.end(),
                                   [&](const section& s) { return file + "/" + s.name == name; });
    ASSERT_TRUE(sections.size() == 1 || part != sections.end()) << name;
    std::string dir = scratch_dir() + "/" + name;
    std::replace(dir.begin() + static_cast<std::ptrdiff_t>(scratch_dir().size()) + 1, dir.end(), '/', '_');
    std::filesystem::create_directory(dir);
    std::string skipped;
    replay(sections[0].commands, dir, file + ".txt", skipped);
    if (part != sections.end()) {
        ASSERT_FALSE(part->commands.empty()) << name;
        replay(part->commands, dir, file + ".txt [" + part->name + "]", skipped);
    } else {
        ASSERT_FALSE(sections[0].commands.empty()) << name;
    }
    if (!skipped.empty() && !HasFailure())
        GTEST_SKIP() << "not run here:\n" << skipped;
}

INSTANTIATE_TEST_SUITE_P(Transcripts, Cases, testing::ValuesIn(case_names()),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::replace_if(name.begin(), name.end(),
                                             [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); },
                                             '_');
                             return name;
                         });

}  // namespace
