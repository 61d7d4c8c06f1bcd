// A scan's input before a decoder takes it: the descriptor, opened however
// long its path, and what its first bytes tell, looked at without taking
// them from a pipe.
#pragma once

#include <sys/types.h>


// A descriptor and its one owner, which closes it once.
struct owned_fd {
    int fd = -1;
    owned_fd() = default;
    explicit owned_fd(int d) : fd(d) {}
    owned_fd(const owned_fd&) = delete;
    owned_fd& operator=(const owned_fd&) = delete;
    ~owned_fd();
    // Closes what it held, and holds d.
    void reset(int d = -1);
};

// Opens path for reading, as openat(dir, path) would, with flags added to
// O_RDONLY | O_CLOEXEC | O_NOCTTY. A path too long for one call is opened
// through its folders a part at a time. -1 with errno on a failure.
int open_path(int dir, const char* path, int flags);

// Whether the input at fd, where it stands, is native FLAC: its first bytes
// are an ID3v2 tag, if any, then the marker "fLaC". A file is read where it
// stands and left there. A pipe's bytes are looked at with tee(2) and left
// for the decoder; only a tag too large for that is read and dropped, which
// leaves the pipe at what follows the tag for any decoder.
bool flac_input_at(int fd, bool seekable);

// Whether the file at fd is a WAV (RIFF, RIFX, RF64) or AIFF file whose
// audio data chunk, as its header states its length, runs past the end of
// the file: a file cut short. libsndfile reads such a file as if its data
// ended where the file does. A length left open (0 or all ones, as a writer
// that cannot seek back leaves it) runs to the end of the file.
bool data_runs_past_end(int fd);

// Whether the pipe at fd begins a WAV or AIFF header that states where its
// audio data ends, within the first 64 KiB, looked at without taking them.
// libsndfile then takes that for the frames the pipe holds.
bool data_end_stated(int fd);
