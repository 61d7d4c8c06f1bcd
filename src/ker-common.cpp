#include "ker-common.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

// The names are labels printed beside the value, exactly as they have always
// been printed: scripts and stored outputs match them, so they are kept as
// written (index 1 reads "88.1 KHz") rather than worked out from the index.

// clang-format off
const char* const ker_rates[32] = {
    "44.1 kHz",  "88.1 KHz",  "176.4 kHz", "352.8 kHz", "705.6 kHz", "1.4112 MHz", "2.8224 MHz", "5.6448 MHz",
    "48 kHz",    "96 kHz",    "192 kHz",   "384 kHz",   "768 kHz",   "1.536 MHz",  "3.072 MHz",  "6.144 MHz",
    "64 kHz",    "128 kHz",   "256 kHz",   "512 kHz",   "1.024 MHz", "2.048 MHz",  "4.096 MHz",  "8.192 MHz",
    nullptr,     nullptr,     nullptr,     nullptr,     nullptr,     nullptr,      nullptr,      nullptr,
};

const char* const kes_bitdepths[4] = {
    "20 bits", "18 bits", "16 bits", "15 bits",
};
// clang-format on

namespace {

bool out_failed;    // standard output has failed
int out_errno;      // the reason of its first failure; 0 when unknown

// Notes a failure once, with the errno that came with it.
void note_failure(int err)
{
    if (!out_failed) {
        out_failed = true;
        out_errno = err;
    }
}

}  // namespace

bool stdout_failed()
{
    if (!out_failed && std::ferror(stdout))
        note_failure(errno);
    return out_failed;
}

bool flush_stdout()
{
    errno = 0;
    if (std::fflush(stdout) != 0)
        note_failure(errno);
    return !stdout_failed();
}

void write_stdout(const char* s, std::size_t n)
{
    if (!flush_stdout())
        return;
    const int fd = fileno(stdout);
    while (n > 0) {
        const ssize_t done = write(fd, s, n);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            note_failure(done < 0 ? errno : 0);
            return;
        }
        s += done;
        n -= static_cast<std::size_t>(done);
    }
}

int close_stdout(const char* prog)
{
    // With everything written, only closing is left; a descriptor the shell
    // left closed fails just that, and nothing was lost on it.
    if (flush_stdout()) {
        errno = 0;
        if (std::fclose(stdout) != 0 && errno != EBADF)
            note_failure(errno);
    }
    if (!out_failed)
        return 0;
    if (out_errno)
        std::fprintf(stderr, "%s: write error: %s\n", prog, std::strerror(out_errno));
    else
        std::fprintf(stderr, "%s: write error\n", prog);
    return 1;
}
