// SPDX-License-Identifier: MIT
// The files a command line names: each operand, and with recursion the
// sound files in every folder it names, walked depth first in byte order of
// the names.
#pragma once

#include "input.hpp"

#include <sys/stat.h>

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <utility>
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

// A walk of operands, an entry at a time, in order. An operand is always
// taken as it is, through a symbolic link too; with recursive, one that is
// a folder is walked instead. In a walked folder, names beginning with "."
// (AppleDouble "._x.flac" files among them) and symbolic links are passed
// over (with follow, links are followed, and each folder, and each file
// reached through a link, is taken once, by device and inode: hard links
// are files of their own; a link to a folder the walk is in is an entry
// with the error ELOOP), and only regular files whose extension is in
// extensions, in any case, are taken. A folder that cannot be read is an
// entry with its error. The walk holds the names of the folders it is in,
// not of those it has left, so its memory does not grow with the library;
// with follow, it also holds the device and inode of what it took.
struct walk_cursor {
    struct named {
        std::string name;
        bool folder;
        file_stamp stamp;
        int error;      // the name could not be looked at: its errno
        bool linked;    // a symbolic link, followed
        bool unlooked;  // not looked at yet: stamp and error are not known
    };
    // A folder the walk is in: its names, in byte order, and how far
    // the walk has come through them.
    struct level {
        // Closed while the walk is below it, past the folders held open at
        // most, and found again when the walk comes back to it.
        owned_fd dir;
        std::string path;
        std::vector<named> names;
        std::size_t at;
        struct stat self;
        int read_error;  // the listing's, told once the names are done with
    };
    const std::vector<std::string>* operands;
    std::size_t operand;
    bool recursive;
    const std::vector<std::string>* extensions;
    walk_skipped* skipped;  // or nullptr
    bool follow;
    std::set<std::pair<std::uint64_t, std::uint64_t>> seen;  // with follow: folders and files taken
    std::vector<level> levels;  // the folders the walk is in, the deepest last
};

// Sets w at the start of a walk of operands; w refers to the vectors and
// to skipped while it is used.
void init_walk(walk_cursor& w, const std::vector<std::string>& operands, bool recursive,
               const std::vector<std::string>& extensions, walk_skipped* skipped = nullptr, bool follow = false);

// The walk's next entry, into e; false at its end.
bool walk_next(walk_cursor& w, walk_entry& e);

// All the entries of such a walk.
std::vector<walk_entry> walk_operands(const std::vector<std::string>& operands, bool recursive,
                                      const std::vector<std::string>& extensions, walk_skipped* skipped = nullptr,
                                      bool follow = false);

// Entries, one at a time: the next one into e, false at the end.
struct entry_source {
    bool (*next)(void* opaque, walk_entry& e);
    void* opaque;
};

entry_source walk_source(walk_cursor& w);

// What a whole walk found: files (not folders that could not be read),
// and their weight, each file one byte more than its size.
struct walk_total {
    std::uint64_t files = 0;
    std::uint64_t weight = 0;
};

walk_total count_entries(entry_source from);

// Part index (0 to count - 1) of count parts of the entries from, whose
// total is total, for count machines sharing a survey: the parts run one
// after another in the entries' order, so their outputs put together in
// order are the whole survey's, and each is about an equal share of the
// bytes. A file counts one more byte than its size, so that empty files are
// shared out too. The same entries give the same parts wherever they are
// walked.
struct shard_cursor {
    entry_source from;
    unsigned index, count;
    std::uint64_t total;   // weight of the whole walk
    std::uint64_t before;  // of the entries passed
};

entry_source shard_source(shard_cursor& s);

// Entries taken from a source ahead of their turn, so that a survey can
// tell how many are left when few are, and counted as they are taken.
struct entry_queue {
    entry_source from{};
    std::deque<walk_entry> ahead;
    bool ended = false;  // from has no more
    std::uint64_t files = 0, bytes = 0;  // taken from it so far
};

// Whether at least n entries are ahead, taking them from the source as need be.
bool look_ahead(entry_queue& q, std::size_t n);

// Whether the entries hold more than one file, looking no further ahead
// than it takes to tell.
bool more_than_one_file(entry_queue& q);

// The names in file ("-": standard input), each ended by a NUL byte (the
// last may end with the file), as find -print0 writes them. False, with
// why, when the file cannot be read. Names that cannot be taken are left
// out, each with a message in refused, as GNU wc and du tell them: an empty
// one, and "-" in a list read from standard input.
bool read_names0(const std::string& file, std::vector<std::string>& names, std::string& why,
                 std::vector<std::string>& refused);
