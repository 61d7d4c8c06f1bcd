// SPDX-License-Identifier: MIT
// The FLAC source when the input's reads fail or are not ready: a read is
// made to fail at a chosen call, in place of the system's.
#include "flacbits.hpp"

#include "testfiles.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace {

// The calls of the injected read so far, the one that fails, and how.
int reads, failing_read, failure;

ssize_t failing(int fd, void* buf, std::size_t n, off_t)
{
    if (++reads == failing_read) {
        errno = failure;
        return -1;
    }
    return ::read(fd, buf, n);
}

// The frames a FLAC file gives as a pipe would give it, whose reads after
// the metadata are the injected ones; its error text in why. The decoder
// reads the metadata from a pipe that holds no more, so its first read
// after them is at the first frame.
std::uint64_t frames_through(const std::string& path, int fail_at, int err, std::string& why)
{
    const std::string bytes = read_file(path);
    const std::size_t meta = metadata_bytes(bytes);
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    EXPECT_EQ(write(p[1], bytes.data(), meta), static_cast<ssize_t>(meta));
    flac_input in;
    EXPECT_TRUE(open_flac(in, p[0], false, true, nullptr));
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    lseek(fd, static_cast<off_t>(meta), SEEK_SET);
    in.fd = fd;
    reads = 0;
    failing_read = fail_at;
    failure = err;
    in.read = failing;
    bitreader r;
    sample_source s;
    init_bits_flac(r, s, in, 0);
    r.eof_cb = [](void*) { throw std::out_of_range("end of samples"); };
    try {
        for (;;)
            get_ubits(r, 32);
    } catch (const std::out_of_range&) {
    }
    why = flac_error_text(in);
    close(fd);
    close(p[0]);
    close(p[1]);
    return in.next;
}

TEST(FlacSource, AReadThatFailsEndsTheSamplesAndOneNotReadyIsWaitedFor)
{
    std::string list = "sync\n";
    for (int i = 0; i < 4000; ++i)
        list += "02 " + std::to_string(i % 90 + 10) + " 00\n";
    const std::string path = kesgen_file("reads.flac", list, "-n 200000");
    std::string why;
    ASSERT_EQ(frames_through(path, 0, 0, why), 200000u);
    EXPECT_EQ(why, "");
    // A read that is not ready is waited for: the same frames, no error.
    EXPECT_EQ(frames_through(path, 1, EAGAIN, why), 200000u);
    EXPECT_EQ(why, "");
    EXPECT_EQ(frames_through(path, 3, EAGAIN, why), 200000u);
    EXPECT_EQ(why, "");
    // A read that fails leaves the decoder aborted for good, between frames
    // as inside one: the samples end there, with the system's reason, rather
    // than asking the decoder again forever.
    EXPECT_EQ(frames_through(path, 1, EIO, why), 0u);
    EXPECT_EQ(why, "System error : Input/output error.");
    EXPECT_LT(frames_through(path, 3, EIO, why), 200000u);
    EXPECT_EQ(why, "System error : Input/output error.");
}

}  // namespace
