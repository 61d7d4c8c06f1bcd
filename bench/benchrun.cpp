// SPDX-License-Identifier: MIT
// Runs commands side by side, interleaved, and reports each one's time as
// a ratio to the first (the baseline), wall time and processor time (user
// and system, of every thread): the median of the per-round ratios and
// their spread, and every command's peak resident memory.
//
//   benchrun ROUNDS 'baseline command' 'command' ...
//
// Each command runs through /bin/sh with its standard output to /dev/null.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <vector>

namespace {

struct sample {
    double seconds;      // wall time
    double cpu_seconds;  // user and system time, of all its threads
    long max_rss_kib;
};

sample run_once(const std::string& command)
{
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const auto t1 = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "benchrun: failed: %s\n", command.c_str());
        std::exit(1);
    }
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return {std::chrono::duration<double>(t1 - t0).count(), seconds(usage.ru_utime) + seconds(usage.ru_stime),
            usage.ru_maxrss};
}

double quantile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5)];
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fputs("usage: benchrun ROUNDS baseline command...\n", stderr);
        return 2;
    }
    const int rounds = std::atoi(argv[1]);
    const std::vector<std::string> commands(argv + 2, argv + argc);
    std::vector<std::vector<double>> ratios(commands.size()), cpu_ratios(commands.size());
    std::vector<double> base_times, base_cpu;
    std::vector<long> rss(commands.size());
    for (int r = 0; r < rounds; ++r) {
        std::vector<sample> s;
        for (const auto& c : commands)
            s.push_back(run_once(c));
        base_times.push_back(s[0].seconds);
        base_cpu.push_back(s[0].cpu_seconds);
        for (std::size_t i = 0; i < commands.size(); ++i) {
            ratios[i].push_back(s[i].seconds / s[0].seconds);
            cpu_ratios[i].push_back(s[i].cpu_seconds / s[0].cpu_seconds);
            rss[i] = std::max(rss[i], s[i].max_rss_kib);
        }
    }
    std::printf("baseline median %.3f s wall, %.3f s CPU, over %d rounds\n", quantile(base_times, 0.5),
                quantile(base_cpu, 0.5), rounds);
    std::printf("%-20s %-20s %9s  %s\n", "wall: median min-max", "CPU: median min-max", "peak KiB", "command");
    for (std::size_t i = 0; i < commands.size(); ++i)
        std::printf("%-6.3f %.3f-%-6.3f  %-6.3f %.3f-%-6.3f  %9ld  %s\n", quantile(ratios[i], 0.5),
                    quantile(ratios[i], 0), quantile(ratios[i], 1), quantile(cpu_ratios[i], 0.5),
                    quantile(cpu_ratios[i], 0), quantile(cpu_ratios[i], 1), rss[i], commands[i].c_str());
    return 0;
}
