// SPDX-License-Identifier: MIT
#include "input.hpp"

#include "eintr.hpp"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

owned_fd::~owned_fd()
{
    reset();
}

void owned_fd::reset(int d)
{
    if (fd >= 0)
        close(fd);
    fd = d;
}

int open_path(int dir, const char* path, int flags)
{
    flags |= O_RDONLY | O_CLOEXEC | O_NOCTTY;
    const int fd = openat(dir, path, flags);
    if (fd >= 0 || errno != ENAMETOOLONG)
        return fd;
    // The longest run of whole folders that one call takes, opened as a
    // folder to go on from; a name too long for any call fails as it is.
    const std::size_t len = std::strlen(path);
    std::size_t cut = std::min<std::size_t>(len, PATH_MAX - 1);
    while (cut > 0 && path[cut] != '/')
        --cut;
    if (cut == 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const std::string head(path, cut);
    const owned_fd folder{openat(dir, head.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)};
    if (folder.fd < 0)
        return -1;
    return open_path(folder.fd, path + cut + 1, flags & ~(O_RDONLY | O_CLOEXEC | O_NOCTTY));
}

int stat_path(const char* path, struct stat& st)
{
    if (stat(path, &st) == 0)
        return 0;
    if (errno != ENAMETOOLONG)
        return -1;
    const owned_fd file{open_path(AT_FDCWD, path, O_PATH)};
    return file.fd < 0 ? -1 : fstat(file.fd, &st);
}

namespace {

// Reads n bytes at offset, or as many as there are.
std::size_t read_at(int fd, unsigned char* buf, std::size_t n, off_t offset)
{
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = retry_eintr([&] { return pread(fd, buf + got, n - got, offset + static_cast<off_t>(got)); });
        if (r <= 0)
            break;
        got += static_cast<std::size_t>(r);
    }
    return got;
}

// Reads up to n bytes from a pipe; how many came before its end.
std::size_t read_some(int fd, unsigned char* buf, std::size_t n)
{
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = retry_eintr([&] { return read(fd, buf + got, n - got); });
        if (r < 0 && errno == EAGAIN) {
            wait_ready(fd, POLLIN);
            continue;
        }
        if (r <= 0)
            break;
        got += static_cast<std::size_t>(r);
    }
    return got;
}

// Makes the pipe fd hold at least n bytes where it can; whether it does.
bool pipe_holds(int fd, std::size_t n)
{
    const int now = fcntl(fd, F_GETPIPE_SZ);
    if (now >= 0 && static_cast<std::size_t>(now) >= n)
        return true;
    return n <= INT_MAX && fcntl(fd, F_SETPIPE_SZ, static_cast<int>(n)) >= 0;
}

// Waits for another write into the pipe fd, which holds bytes already, or
// for its writer's end; whether the writer has gone. poll(2) would not
// wait: the pipe is readable. An epoll set, writes, watching the pipe
// edge-triggered is woken by every write into it; a kernel that wakes it
// only for an empty pipe leaves the next look to the timeout. Without a
// set there is only the timeout.
bool wait_for_more(int writes, int fd)
{
    constexpr int timeout_ms = 100;
    epoll_event e{};
    const int woke = writes < 0 ? retry_eintr([] { return poll(nullptr, 0, timeout_ms); })
                                : retry_eintr([&] { return epoll_wait(writes, &e, 1, timeout_ms); });
    if (woke > 0)
        return e.events & EPOLLHUP;
    pollfd p{fd, POLLIN, 0};
    return retry_eintr([&] { return poll(&p, 1, 0); }) > 0 && (p.revents & POLLHUP);
}

// The first n bytes in a pipe, copied with tee(2), which leaves them for
// the reader that comes after; fewer when the input ends sooner. A writer
// may be slow to give n bytes: the copy is taken again after each write,
// until there are n, or until the writer has gone. held is false, and
// nothing is copied, when the pipes cannot be made to hold n bytes at once.
std::size_t peek_pipe(int fd, unsigned char* buf, std::size_t n, bool& held)
{
    int copy[2];
    held = false;
    if (pipe2(copy, O_CLOEXEC) != 0)
        return 0;
    const owned_fd in{copy[0]}, out{copy[1]};
    // A writer's every write may take a page of its own, and a pipe holds
    // pages: with room for only n bytes it could fill up with fewer, and
    // wait for a reader that waits for it.
    const std::size_t room = std::max(n, std::min<std::size_t>(16 * n, std::size_t{1} << 20));
    if (!pipe_holds(fd, room) || !pipe_holds(out.fd, room))
        return 0;
    held = true;
    // Watched before the first copy, so that no write after it goes unseen.
    owned_fd writes{epoll_create1(EPOLL_CLOEXEC)};
    epoll_event watch{};
    watch.events = EPOLLIN | EPOLLET;
    if (writes.fd >= 0 && epoll_ctl(writes.fd, EPOLL_CTL_ADD, fd, &watch) != 0)
        writes.reset();
    std::size_t got = 0;
    for (bool last = false;;) {
        const ssize_t t = retry_eintr([&] { return tee(fd, out.fd, n, 0); });
        if (t < 0 && errno == EAGAIN) {
            wait_ready(fd, POLLIN);
            continue;
        }
        if (t <= 0)
            break;  // the end of the input, or not a pipe
        got = static_cast<std::size_t>(t);
        read_some(in.fd, buf, got);
        if (got >= n || last)
            break;
        last = wait_for_more(writes.fd, fd);
    }
    return got;
}

std::size_t peek_pipe(int fd, unsigned char* buf, std::size_t n)
{
    bool held;
    return peek_pipe(fd, buf, n, held);
}

// An ID3v2 tag's size, in the four bytes of seven bits each at p.
std::size_t syncsafe(const unsigned char* p)
{
    return static_cast<std::size_t>(p[0] & 0x7f) << 21 | static_cast<std::size_t>(p[1] & 0x7f) << 14 |
           static_cast<std::size_t>(p[2] & 0x7f) << 7 | (p[3] & 0x7f);
}

// The bytes an ID3v2 tag at head takes, its footer included where its
// flags say there is one; 0 for no tag.
std::size_t id3_length(const unsigned char* head, std::size_t n)
{
    if (n < 10 || std::memcmp(head, "ID3", 3) != 0)
        return 0;
    return 10 + syncsafe(head + 6) + (head[5] & 0x10 ? 10 : 0);
}

// The marker, and no fewer bytes than libsndfile takes to tell any format:
// a shorter file gets libsndfile's word for it.
constexpr std::size_t marker_bytes = 12;

bool flac_marker(const unsigned char* p, std::size_t n)
{
    return n >= marker_bytes && std::memcmp(p, "fLaC", 4) == 0;
}

}  // namespace

bool drop_pipe(int fd, std::uint64_t n)
{
    unsigned char buf[65536];
    while (n > 0) {
        const std::size_t got = read_some(fd, buf, static_cast<std::size_t>(std::min<std::uint64_t>(n, sizeof buf)));
        if (got == 0)
            return false;
        n -= got;
    }
    return true;
}

bool flac_input_at(int fd, bool seekable)
{
    unsigned char head[10 + marker_bytes];
    if (seekable) {
        const off_t here = lseek(fd, 0, SEEK_CUR);
        const auto marker = here + static_cast<off_t>(id3_length(head, read_at(fd, head, 10, here)));
        if (!flac_marker(head, read_at(fd, head, marker_bytes, marker)))
            return false;
        lseek(fd, marker, SEEK_SET);
        return true;
    }
    const std::size_t tag = id3_length(head, peek_pipe(fd, head, 10));
    if (tag == 0)
        return flac_marker(head, peek_pipe(fd, head, marker_bytes));
    // A tag of up to a MiB is looked past in the pipe, which can be made to
    // hold it whole; a larger one is read before the marker is looked for,
    // which leaves the pipe at what follows it for any decoder.
    constexpr std::size_t most = std::size_t{1} << 20;
    bool held = false;
    std::vector<unsigned char> whole(std::min(tag + marker_bytes, most));
    const std::size_t got = tag + marker_bytes <= most ? peek_pipe(fd, whole.data(), whole.size(), held) : 0;
    if (held && !(got > tag && flac_marker(whole.data() + tag, got - tag)))
        return false;
    return drop_pipe(fd, tag) && flac_marker(head, peek_pipe(fd, head, marker_bytes));
}

sound_layout read_layout(int fd, bool seekable)
{
    if (seekable) {
        struct at_fd {
            int fd;
            off_t base;
        } file{fd, lseek(fd, 0, SEEK_CUR)};
        sound_layout l = read_layout({[](void* c, std::uint64_t at, unsigned char* buf, std::size_t n) {
                                          const at_fd& f = *static_cast<at_fd*>(c);
                                          return read_at(f.fd, buf, n, f.base + static_cast<off_t>(at));
                                      },
                                      &file});
        // A file shows whether the header was written once more at its end.
        unsigned char first[4], last[4];
        struct stat st;
        if (l.trailer && !(fstat(fd, &st) == 0 && st.st_size - file.base >= static_cast<off_t>(l.trailer) &&
                           read_at(fd, first, 4, file.base) == 4 &&
                           read_at(fd, last, 4, st.st_size - static_cast<off_t>(l.trailer)) == 4 &&
                           std::memcmp(first, last, 4) == 0))
            l.trailer = 0;
        return l;
    }
    // The first 16 KiB, which hold the headers of streaming writers.
    std::vector<unsigned char> head(16384);
    head.resize(peek_pipe(fd, head.data(), head.size()));
    return read_layout({[](void* c, std::uint64_t at, unsigned char* buf, std::size_t n) {
                            const auto& h = *static_cast<std::vector<unsigned char>*>(c);
                            const std::size_t from = std::min<std::uint64_t>(at, h.size());
                            const std::size_t got = std::min(n, h.size() - from);
                            std::memcpy(buf, h.data() + from, got);
                            return got;
                        },
                        &head});
}
