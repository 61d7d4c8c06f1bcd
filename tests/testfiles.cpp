// SPDX-License-Identifier: MIT
#include "testfiles.hpp"

#include "bits.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace {

struct scratch {
    std::string path;
    scratch()
    {
        std::string t = (std::filesystem::temp_directory_path() / "kesscan-test-XXXXXX").string();
        path = mkdtemp(t.data());
    }
    // A case may leave folders its user cannot enter or empty; they are
    // opened up first, and nothing here may throw.
    ~scratch()
    {
        const int opened = std::system(("chmod -R u+rwx " + ::quoted(path) + " 2>/dev/null").c_str());
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
        (void)opened;
    }
};

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

const std::string& scratch_dir()
{
    static const scratch dir;
    return dir.path;
}

std::size_t metadata_bytes(const std::string& bytes)
{
    std::size_t at = 4;
    for (bool last = false; !last && at + 4 <= bytes.size();) {
        const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + at);
        last = b[0] & 0x80;
        at += 4 + (std::size_t{b[1]} << 16 | std::size_t{b[2]} << 8 | b[3]);
    }
    return at;
}

std::string quoted(const std::string& word)
{
    std::string q = "'";
    for (const char c : word)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

run_result run(const std::string& command)
{
    const std::string out = scratch_dir() + "/stdout", err = scratch_dir() + "/stderr";
    const std::string line = "(" + command + ") >" + quoted(out) + " 2>" + quoted(err);
    const int status = std::system(line.c_str());
    return {slurp(out), slurp(err), WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
}

std::string kesgen_file(const std::string& name, const std::string& list, const std::string& options)
{
    const std::string path = scratch_dir() + "/" + name;
    const std::string list_path = path + ".list";
    std::ofstream(list_path) << list;
    const run_result r = run(quoted(KESGEN_PATH) + " " + options + " -f " + quoted(list_path) + " " + quoted(path));
    EXPECT_EQ(r.status, 0) << r.err;
    return path;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string bits_to_end(bitreader& r)
{
    r.eof_cb = [](void*) { throw std::out_of_range("end of samples"); };
    std::string bits;
    try {
        for (;;)
            bits += get_ubits(r, 1) ? '1' : '0';
    } catch (const std::out_of_range&) {
    }
    return bits;
}

pid_t start_child(const std::function<int()>& body, unsigned seconds)
{
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(seconds);
        try {
            _exit(body());
        } catch (...) {
            _exit(127);
        }
    }
    return pid;
}

int child_status(pid_t pid)
{
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

alarm_bound::alarm_bound(unsigned seconds)
{
    alarm(seconds);
}

alarm_bound::~alarm_bound()
{
    alarm(0);
}
