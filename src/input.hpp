// SPDX-License-Identifier: MIT
// A scan's input before a decoder takes it: the descriptor, opened however
// long its path, and what its first bytes tell, looked at without taking
// them from a pipe.
#pragma once

#include "headers.hpp"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>


// A descriptor and its one owner, which closes it once.
struct owned_fd {
    int fd = -1;
    owned_fd() = default;
    explicit owned_fd(int d) : fd(d) {}
    owned_fd(const owned_fd&) = delete;
    owned_fd& operator=(const owned_fd&) = delete;
    owned_fd(owned_fd&& o) noexcept : fd(o.fd) { o.fd = -1; }
    owned_fd& operator=(owned_fd&& o) noexcept
    {
        if (this != &o) {
            reset(o.fd);
            o.fd = -1;
        }
        return *this;
    }
    ~owned_fd();
    // Closes what it held, and holds d.
    void reset(int d = -1);
};

// Opens path for reading, as openat(dir, path) would, with flags added to
// O_RDONLY | O_CLOEXEC | O_NOCTTY. A path too long for one call is opened
// through its folders a part at a time. -1 with errno on a failure.
int open_path(int dir, const char* path, int flags);

// stat(2) of path, however long: a path too long for one call is looked
// at through its folders a part at a time. 0, or -1 with errno.
int stat_path(const char* path, struct stat& st);

// Whether the input at fd, where it stands, is native FLAC: its first bytes
// are an ID3v2 tag, if any, then the marker "fLaC". The input is then left
// at the marker, for the decoder, which would not look past a tag's footer;
// a pipe's tag is read and dropped. Bytes that are no FLAC are left where
// they are: a file's are read where they stand, and a pipe's looked at
// with tee(2), but for a tag larger than a pipe can hold, which is read.
bool flac_input_at(int fd, bool seekable);

// What the header at fd, where it stands, says of its samples; a pipe's
// header is looked at without taking its bytes. libsndfile takes the
// frames a file holds for its length, and those the header gives for a
// pipe's: a file cut short reads as if it ended there.
sound_layout read_layout(int fd, bool seekable);

// Reads and drops n bytes of a pipe; whether there were that many.
bool drop_pipe(int fd, std::uint64_t n);
