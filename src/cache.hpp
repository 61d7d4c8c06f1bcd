// SPDX-License-Identifier: MIT
// Summaries kept between runs, in an SQLite database the user asks for: a
// file whose stat data are the same as when its summary was kept is not
// read again. A row is kept for each file's path and the settings that
// change a summary; it holds the file's device, inode, size and times, the
// version that wrote it, the summary and when the read it came from began,
// by which a rolling re-check takes the oldest first. The cache is only
// ever an aid: once it fails, the survey goes on without it.
#pragma once

#include "scan.hpp"
#include "walk.hpp"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

struct sqlite_close {
    void operator()(sqlite3* db) const;
};
struct sqlite_finalize {
    void operator()(sqlite3_stmt* st) const;
};
using sqlite_ptr = std::unique_ptr<sqlite3, sqlite_close>;
using statement_ptr = std::unique_ptr<sqlite3_stmt, sqlite_finalize>;

// A file written to this shortly before it was read may be written again
// within the same tick of its modification time (2 s on FAT) and keep
// every stamp: it is scanned again next time rather than kept, as git
// treats a "racily clean" entry.
inline constexpr std::int64_t racy_ns = 2'000'000'000;

// A summary kept, waiting for the next commit.
struct kept_row {
    std::string path;  // as the row is keyed
    file_stamp stamp;
    scan_result result;
    std::int64_t checked_ns;  // wall clock when its read began
};

struct summary_cache {
    std::string file;         // its name, for messages
    std::string settings;     // the settings part of every key
    std::string version;      // of the program
    std::string cwd;          // relative paths are kept under it; empty: not kept
    int busy_ms = 10'000;     // how long a read or write waits for another process's write
    std::mutex lock;          // the workers and the committer take db and pending in turns
    std::mutex write_lock;    // one commit at a time, on writer
    bool usable = false;      // false once it has failed: nothing more is asked of it
    std::string failure;      // why it failed, until a caller has told it
    std::vector<kept_row> pending;   // kept since the last commit
    std::int64_t committed_at = 0;   // wall clock of the last commit
    // Recalls in a row share one read of the database, rather than taking
    // its locks for each; it ends at a file to be read and after a second,
    // so that it holds back neither the commits' checkpoints nor news.
    std::int64_t reading_since = -1;  // wall clock; -1: no read open
    std::condition_variable_any tick;
    // Declared after the record's other members: the statements go before
    // their connections, and the committer, which uses them all, first.
    sqlite_ptr db;            // recalls, and the pruning at the end
    statement_ptr find;
    statement_ptr forget_due;  // with a re-check: its paths to read again though their stat data are the same
    sqlite_ptr writer;        // the commits
    statement_ptr keep;
    std::jthread committer;
};

// The cache file a user gets without naming one,
// $XDG_CACHE_HOME/kesscan/summaries.sqlite or ~/.cache/kesscan/..., its
// folder made (mode 0700) if need be. why tells when it cannot be used;
// the name is empty when there is no home to put it in.
std::string default_cache_file(std::string& why);

// Opens or makes the cache file for scans with settings. A file that is
// not a kesscan cache, or one of a newer schema, is refused untouched.
// False, with why, when it cannot be used.
bool open_cache(summary_cache& c, const std::string& file, const scan_settings& settings, const char* version,
                std::string& why);

// The stamp of e's file as it stands now; not regular when it cannot be
// looked at.
file_stamp stamp_now(const walk_entry& e);

// Plans a rolling re-check: the files walked finds whose summaries were
// read before not_after (wall clock), oldest first, at most percent of
// those files, are read again once though their stat data are the same.
bool plan_recheck(summary_cache& c, entry_source walked, std::int64_t not_after, unsigned percent,
                  std::string& why);

enum class recall { none, kept, again };

// The result kept for e, if e is a regular file whose stamp, now, is the one
// kept with it: kept, and the file is then not opened at all; again when
// the file is planned to be read again, r holding what was kept. When the
// cache fails here, lost tells why and it is used no more.
recall recall_summary(summary_cache& c, const walk_entry& e, const file_stamp& now, scan_result& r,
                      std::string& lost);

// Turns the database db to WAL mode, which takes its file alone for a
// moment, tried again while another process holds the file, for busy_ms
// at most. Whether it was turned.
bool use_wal(sqlite3* db, int busy_ms);

// The wall clock, in nanoseconds since the epoch, as file times are.
std::int64_t wall_clock_ns();

// How a file stood when it was read, and when (wall clock, nanoseconds).
struct file_read {
    file_stamp stamp;     // before the read
    std::int64_t began;   // the read's start
    std::int64_t ended;   // its end, by the clock that stamps files
};

// The clock the system stamps files with, coarser than the wall clock.
std::int64_t file_clock_ns();

// Whether a file read again under the stamp before, which it still has,
// says now what it did not say when was was kept: its content changed
// beneath its times (bit rot, a bad disk, a damaged restore).
bool content_changed(const walk_entry& e, const file_stamp& before, const scan_result& was, const scan_result& now);

// Keeps r, the summary of e from a read, when it is sure: stream, none or
// damaged, of a regular file that did not change while it was read, that
// had not been written to shortly before, and whose change time does not
// lie in the tick of the file clock when the read ended: a write in that
// tick would leave every stamp as it was. What is kept is committed once a
// second, and by close_cache: a run that is killed loses at most its last
// second's summaries.
void keep_summary(summary_cache& c, const walk_entry& e, const file_read& read, const scan_result& r,
                  std::string& lost);

// Commits what was kept since the last commit. False, with why, once the
// cache has failed and no caller has told it yet.
bool commit_summaries(summary_cache& c, std::string& why);

// Stops the committer and commits the rest; false with why as above.
bool close_cache(summary_cache& c, std::string& why);

// Drops the rows of files below the folders operands whose files are gone:
// not found, or no longer regular files. A file the walk did not take (left
// out by --ext, reached by another name) keeps its row, and so does one
// that cannot be looked at.
bool prune_cache(summary_cache& c, const std::vector<std::string>& operands, std::string& why);

// The path a row is kept under: absolute, without empty or "." parts.
std::string cache_path(const std::string& cwd, const std::string& path);
