// Runs commands side by side, interleaved, and reports each one's time as
// a ratio to the first (the baseline): the median of the per-round ratios
// and their spread, and every command's peak resident memory.
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
    double seconds;
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
    return {std::chrono::duration<double>(t1 - t0).count(), usage.ru_maxrss};
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
    std::vector<std::vector<double>> ratios(commands.size());
    std::vector<double> base_times;
    std::vector<long> rss(commands.size());
    for (int r = 0; r < rounds; ++r) {
        std::vector<sample> s;
        for (const auto& c : commands)
            s.push_back(run_once(c));
        base_times.push_back(s[0].seconds);
        for (std::size_t i = 0; i < commands.size(); ++i) {
            ratios[i].push_back(s[i].seconds / s[0].seconds);
            rss[i] = std::max(rss[i], s[i].max_rss_kib);
        }
    }
    std::printf("baseline median %.3f s over %d rounds\n", quantile(base_times, 0.5), rounds);
    std::printf("%-8s %-8s %-8s %9s  %s\n", "median", "min", "max", "peak KiB", "command");
    for (std::size_t i = 0; i < commands.size(); ++i)
        std::printf("%-8.3f %-8.3f %-8.3f %9ld  %s\n", quantile(ratios[i], 0.5), quantile(ratios[i], 0),
                    quantile(ratios[i], 1), rss[i], commands[i].c_str());
    return 0;
}
