// SPDX-License-Identifier: MIT
// Test inputs made at test time: sound files written by kesgen, runs of
// the built programs with their output caught, a bit reader's bits, and
// bounds on cases that a fault could leave waiting for ever.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

// A fresh folder for this test program, removed when it ends.
const std::string& scratch_dir();

// Writes name in the scratch folder with kesgen from the frame list; the
// extension picks the format, options go to kesgen as they stand.
std::string kesgen_file(const std::string& name, const std::string& list,
                        const std::string& options = "");

// The bytes of a file.
std::string read_file(const std::string& path);

// The bytes of a FLAC file's marker and metadata blocks, where its frames
// begin: each block has a 4-byte header, the last one's first bit set,
// with a 24-bit length.
std::size_t metadata_bytes(const std::string& bytes);

struct run_result {
    std::string out;
    std::string err;
    int status;
};

// Runs a shell command line, catching standard output and standard error.
run_result run(const std::string& command);

// Single-quotes a word for the shell.
std::string quoted(const std::string& word);

struct bitreader;

// Every bit r gives, as '0' and '1', until its samples end; r's eof_cb is
// set to end the reading.
std::string bits_to_end(bitreader& r);

// A child process that runs body and exits with what it gives, ended by
// SIGALRM after seconds: a case that would hang ends on its own. body
// runs without the test's checks, and tells by its value.
pid_t start_child(const std::function<int()>& body, unsigned seconds);

// Waits for a child; its exit status, or 128 + the signal that ended it.
int child_status(pid_t pid);

// While it lives, SIGALRM ends the test program after seconds: a case
// whose threads would wait for each other for ever fails instead.
struct alarm_bound {
    explicit alarm_bound(unsigned seconds);
    alarm_bound(const alarm_bound&) = delete;
    alarm_bound& operator=(const alarm_bound&) = delete;
    ~alarm_bound();
};
