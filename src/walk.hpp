// SPDX-License-Identifier: MIT
// The files a command line names: each operand, and with recursion the
// sound files in every folder it names, walked depth first in byte order of
// the names.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// What stat told of a file when it was found: a file whose stamp is the
// same has not been written to since, or replaced.
struct file_stamp {
    std::uint64_t dev = 0, ino = 0;
    std::uint64_t size = 0;  // bytes; also for telling how far a survey has come
    std::int64_t mtime_ns = 0, ctime_ns = 0;
    bool regular = false;    // false: nothing else here holds
};

struct walk_entry {
    std::string path;  // the operand, or the operand, "/" and the names below
    file_stamp stamp;
    int error;         // a folder that could not be read: its errno; 0 for a file
    bool walked;       // found by a walk, as a regular file
};

// A file time, or a clock's, in nanoseconds since the epoch.
inline std::int64_t nanoseconds(const timespec& t)
{
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

// The stamp of what st tells.
file_stamp stamp_of(const struct stat& st);

// What the walks passed over, counted by kind.
struct walk_skipped {
    std::uint64_t other_extensions = 0;  // regular files of no extension taken
    std::map<std::string, std::uint64_t> by_extension;  // of those, lower case; "" none
    std::uint64_t links = 0;             // symbolic links
    std::uint64_t dot_names = 0;         // names beginning with "."
    std::uint64_t other_types = 0;       // FIFOs, sockets, devices
};

// The entries for operands, in order. An operand is always taken as it is,
// through a symbolic link too; with recursive, one that is a folder is
// walked instead. In a walked folder, names beginning with "." (AppleDouble
// "._x.flac" files among them) and symbolic links are passed over (with
// follow, links are followed, and each folder, and each file reached through
// a link, is taken once, by device and inode: hard links are files of their
// own; a link to a folder the walk is in is an entry with the error ELOOP),
// and
// only regular files whose extension is in extensions, in any case, are
// taken. A folder that cannot be read is an entry with its error.
std::vector<walk_entry> walk_operands(const std::vector<std::string>& operands, bool recursive,
                                      const std::vector<std::string>& extensions, walk_skipped* skipped = nullptr,
                                      bool follow = false);

// Part index (0 to count - 1) of count parts of entries, for count
// machines sharing a survey: the parts run one after another in the
// entries' order, so their outputs put together in order are the whole
// survey's, and each is about an equal share of the bytes. A file counts
// one more byte than its size, so that empty files are shared out too.
// The same entries give the same parts wherever they are walked.
std::vector<walk_entry> shard_of(const std::vector<walk_entry>& entries, unsigned index, unsigned count);

// The names in file ("-": standard input), each ended by a NUL byte (the
// last may end with the file), as find -print0 writes them. False, with
// why, when the file cannot be read. Names that cannot be taken are left
// out, each with a message in refused, as GNU wc and du tell them: an empty
// one, and "-" in a list read from standard input.
bool read_names0(const std::string& file, std::vector<std::string>& names, std::string& why,
                 std::vector<std::string>& refused);
