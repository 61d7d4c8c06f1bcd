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
//
// kesscan and kesgen are the built programs; under KESSCAN_WRAPPER (valgrind)
// kesscan runs inside it. "limit_memory KIB" caps the memory of what follows.
#include "testfiles.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

struct command {
    std::string text, out, err;
    int status = 0;
    int line = 0;
};

std::vector<command> read_case(const std::filesystem::path& path)
{
    std::ifstream in(path);
    std::vector<command> commands;
    bool open = false;  // lines may still belong to the last command
    int n = 0;
    for (std::string line; std::getline(in, line);) {
        ++n;
        if (line.starts_with("$ ")) {
            commands.push_back({line.substr(2), "", "", 0, n});
            open = true;
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
    return commands;
}

std::vector<std::string> case_names()
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(CASES_DIR))
        if (entry.path().extension() == ".txt")
            names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

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

class Cases : public testing::TestWithParam<std::string> {};

TEST_P(Cases, ReplayExactly)
{
    const std::filesystem::path bin = std::filesystem::path(KESSCAN_PATH).parent_path();
    const char* wrapper = std::getenv("KESSCAN_WRAPPER");
    const std::string prelude = "export PATH=" + quoted(bin.string()) + ":\"$PATH\"\n" + limit_memory +
                                (wrapper ? "kesscan() { " + std::string(wrapper) + " kesscan \"$@\"; }\n" : "");
    const std::string dir = scratch_dir() + "/" + GetParam();
    std::filesystem::create_directory(dir);
    const std::vector<command> commands = read_case(std::string(CASES_DIR) + "/" + GetParam() + ".txt");
    ASSERT_FALSE(commands.empty());
    for (const command& c : commands) {
        const run_result r = run("bash -c " + quoted("cd " + quoted(dir) + "\n" + prelude + c.text));
        const std::string where = GetParam() + ".txt:" + std::to_string(c.line) + ": $ " + c.text;
        EXPECT_EQ(r.out, c.out) << where;
        EXPECT_EQ(r.err, c.err) << where;
        EXPECT_EQ(r.status, c.status) << where;
    }
}

INSTANTIATE_TEST_SUITE_P(Transcripts, Cases, testing::ValuesIn(case_names()),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
