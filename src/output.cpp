// SPDX-License-Identifier: MIT
#include "output.hpp"

#include "eintr.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

// Standard output and error belong to the whole process. One writer at a
// time holds lock, the status line's included; standard output's writes
// take turns through text_lock alone, so that the status line is still
// drawn while standard output is blocked, and only writes to standard
// error, which the line shares, hold lock while they write.
struct standard_streams {
    // 0 while standard output is sound; then the errno of its first
    // failure, or -1 when the failure came without one.
    std::atomic<int> failure{0};
    std::mutex lock;
    std::mutex text_lock;
    bool status_over_text = false;  // standard output writes on the same terminal
    bool text_writing = false;      // standard output is being written
    // A status line stands on standard error; read by the signal handler.
    std::atomic<bool> status_shown{false};
    std::once_flag handlers;
};
standard_streams streams;

// Notes a failure once, with the errno that came with it.
void note_failure(int err)
{
    int none = 0;
    streams.failure.compare_exchange_strong(none, err > 0 ? err : -1);
}

constexpr char erase_line[] = "\r\033[K";

// With the lock held: erases the status line where a write to stream
// would land on it.
void make_way(int stream)
{
    if (streams.status_shown && (stream == out_messages || streams.status_over_text)) {
        write_all(STDERR_FILENO, erase_line, sizeof erase_line - 1);
        streams.status_shown = false;
    }
}

// An interrupt or termination erases the status line, then ends the
// process as it would have.
void erase_and_end(int sig)
{
    const int saved = errno;
    if (streams.status_shown.load() && write(STDERR_FILENO, erase_line, sizeof erase_line - 1) < 0)
        errno = saved;
    signal(sig, SIG_DFL);
    raise(sig);
    errno = saved;
}

// Signals the caller ignores stay ignored.
void erase_on_signals()
{
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction before;
        if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler == SIG_DFL) {
            struct sigaction now {};
            now.sa_handler = erase_and_end;
            sigemptyset(&now.sa_mask);
            sigaction(sig, &now, nullptr);
        }
    }
}

void write_standard(void*, int stream, const char* s, std::size_t n)
{
    if (stdout_failed())
        return;
    if (stream == out_text)
        write_stdout(s, n);
    else
        write_stderr(s, n);
}

}  // namespace

int write_all(int fd, const char* s, std::size_t n)
{
    while (n > 0) {
        const ssize_t done = retry_eintr([&] { return write(fd, s, n); });
        if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (wait_ready(fd, POLLOUT) < 0)
                return errno;
            continue;
        }
        if (done <= 0)
            return done < 0 ? errno : -1;
        s += done;
        n -= static_cast<std::size_t>(done);
    }
    return 0;
}


output_sink standard_sink()
{
    return {write_standard, nullptr};
}

bool stdout_failed()
{
    return streams.failure.load(std::memory_order_relaxed) != 0;
}

bool flush_stdout()
{
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        note_failure(errno);
    return !stdout_failed();
}

void write_stdout(const char* s, std::size_t n)
{
    if (!flush_stdout())
        return;
    const std::lock_guard turn(streams.text_lock);
    {
        const std::lock_guard hold(streams.lock);
        make_way(out_text);
        streams.text_writing = true;
    }
    const int err = write_all(STDOUT_FILENO, s, n);
    {
        const std::lock_guard hold(streams.lock);
        streams.text_writing = false;
    }
    if (err)
        note_failure(err);
}

void write_stderr(const char* s, std::size_t n)
{
    const std::lock_guard hold(streams.lock);
    make_way(out_messages);
    write_all(STDERR_FILENO, s, n);
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
    const int err = streams.failure.load();
    if (!err)
        return 0;
    std::string message = prog;
    message += ": write error";
    if (err > 0)
        message += ": ", message += std::strerror(err);
    message += '\n';
    write_stderr(message.data(), message.size());
    return 1;
}

std::string_view fit_status(std::string_view line, int columns)
{
    // The last column is left free: a terminal that wraps there would keep
    // a copy of the line on the row above at every redraw.
    if (columns > 1 && line.size() >= static_cast<std::size_t>(columns))
        line = line.substr(0, static_cast<std::size_t>(columns - 1));
    return line;
}

void show_status(std::string_view line)
{
    std::call_once(streams.handlers, erase_on_signals);
    const std::lock_guard hold(streams.lock);
    streams.status_over_text = isatty(STDOUT_FILENO);
    // Drawn over text being written on the same terminal, it would break
    // a line of it; the next redraw comes soon enough.
    if (streams.text_writing && streams.status_over_text)
        return;
    winsize size{};
    const int columns = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
    std::string text = "\r";
    text.append(fit_status(line, columns)).append("\033[K");
    write_all(STDERR_FILENO, text.data(), text.size());
    streams.status_shown = true;
}

void clear_status()
{
    const std::lock_guard hold(streams.lock);
    make_way(out_messages);
}
