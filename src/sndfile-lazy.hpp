// libsndfile, loaded when a file first needs it. Native FLAC is read by
// libFLAC, so a survey of FLAC files never loads it: with the libraries it
// brings (Vorbis, Opus, MPEG audio), loading it takes about half a
// millisecond, as long as opening and starting to decode five FLAC files.
#pragma once

#include <sndfile.h>

#include <string>

// The functions of libsndfile that reading a file needs.
struct sndfile_api {
    SNDFILE* (*open_fd)(int fd, int mode, SF_INFO* info, int close_desc);
    int (*close)(SNDFILE* file);
    sf_count_t (*readf_int)(SNDFILE* file, int* ptr, sf_count_t frames);
    sf_count_t (*seek)(SNDFILE* file, sf_count_t frames, int whence);
    int (*error)(SNDFILE* file);
    const char* (*strerror)(SNDFILE* file);
    int (*command)(SNDFILE* file, int command, void* data, int size);
};

// The functions, loaded by the first call from any thread; nullptr when
// libsndfile cannot be loaded, and then why names the reason.
const sndfile_api* sndfile(const char** why = nullptr);

// Opens fd for reading with api's open_fd; on a failure why gets
// libsndfile's reason. libsndfile keeps the reason of a failed open in one
// place for the whole process, so opens from several threads take turns.
SNDFILE* sndfile_open(const sndfile_api& api, int fd, SF_INFO& info, std::string& why);
