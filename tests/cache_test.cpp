// SPDX-License-Identifier: MIT
// The summary cache on its own: what a row must match to be given again,
// the clock that decides whether a file is safely older than its read, a
// row whose values were altered, and pruning.
#include "cache.hpp"

#include "catalogue.hpp"
#include "testfiles.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <latch>
#include <mutex>
#include <thread>
#include <vector>

#include <filesystem>
#include <fstream>

namespace {

constexpr std::int64_t second = 1'000'000'000;

// A regular file in the scratch folder, modified at mtime (seconds), and
// its walk entry.
walk_entry file_at(const std::string& name, std::int64_t mtime)
{
    const std::string path = scratch_dir() + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << name;
    const timespec times[2] = {{mtime, 0}, {mtime, 0}};
    EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    struct stat st;
    EXPECT_EQ(lstat(path.c_str(), &st), 0);
    return {path, stamp_of(st), 0, true};
}

scan_result damaged_result()
{
    scan_result r{};
    r.facts.status = file_status::damaged;
    r.facts.synced = true;
    r.facts.sync = 0x1234;
    r.facts.have_params = true;
    r.facts.params = {params_value(params_rate, 12), params_value(params_bitdepth, 2), params_value(params_gain, -73)};
    r.facts.errors = 9;
    r.facts.frames = 40;
    r.reason = "lost sync";
    return r;
}

// Keeps a summary and commits it at once, as the committer would a second
// later.
void keep_now(summary_cache& c, const walk_entry& e, std::int64_t began, const scan_result& r)
{
    std::string lost, why;
    // The read ends well after the file was written: only the modification
    // time's guard is in question here.
    keep_summary(c, e, {e.stamp, began, file_clock_ns() + second}, r, lost);
    EXPECT_TRUE(commit_summaries(c, why)) << why;
    EXPECT_EQ(lost, "");
}

// The number a query gives, asked of file on a connection of its own; -1
// where it gives none.
std::int64_t query_file(const std::string& file, const char* sql)
{
    sqlite3* raw = nullptr;
    EXPECT_EQ(sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    const sqlite_ptr db{raw};
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(raw, sql, -1, &st, nullptr), SQLITE_OK) << sql;
    const statement_ptr query{st};
    return st && sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
}

std::string line_of(const scan_result& r, const char* name)
{
    std::string line;
    put_summary(line, name, {}, r.facts, r.reason);
    return line;
}

TEST(Cache, PathsAreAbsoluteWithoutEmptyOrDotParts)
{
    EXPECT_EQ(cache_path("/home/u", "lib/a.flac"), "/home/u/lib/a.flac");
    EXPECT_EQ(cache_path("/home/u", "./lib//./a.flac"), "/home/u/lib/a.flac");
    EXPECT_EQ(cache_path("/home/u", "/x/../y.wav"), "/x/../y.wav");
    EXPECT_EQ(cache_path("/", "a"), "/a");
    EXPECT_EQ(cache_path("/home/u", "."), "/home/u");
}

// A row is given again only for the same stamp, version and settings; a
// file is kept only once its modification time is two seconds behind the
// clock when its read began; only sure results are kept.
TEST(Cache, KeptOnlyWhenSureAndGivenOnlyForTheSameFile)
{
    const std::string file = scratch_dir() + "/keep.sqlite";
    scan_settings settings;
    settings.summary = true;
    summary_cache c;
    std::string why, lost;
    ASSERT_TRUE(open_cache(c, file, settings, "1.0", why)) << why;
    const scan_result kept = damaged_result();
    scan_result r;
    // The file says whose it is: application id "kesS".
    EXPECT_EQ(query_file(file, "PRAGMA application_id"), 0x6b657353);

    walk_entry e = file_at("lib/a.wav", 1000);
    keep_now(c, e, 1000 * second + racy_ns, kept);
    EXPECT_EQ(recall_summary(c, e, e.stamp, r, lost), recall::none);
    keep_now(c, e, 1000 * second + racy_ns + 1, kept);
    ASSERT_EQ(recall_summary(c, e, e.stamp, r, lost), recall::kept);
    EXPECT_EQ(line_of(r, "a"), line_of(kept, "a"));
    EXPECT_EQ(line_of(r, "a"), "a\tdamaged\t00001234\t768 kHz\t16 bits\t-73\t40\t9\n");
    EXPECT_EQ(r.reason, "lost sync");
    EXPECT_EQ(r.facts.status, file_status::damaged);
    EXPECT_EQ(r.facts.errors, 9u);

    // Each part of the stamp.
    for (auto change : {&file_stamp::dev, &file_stamp::ino, &file_stamp::size}) {
        walk_entry other = e;
        other.stamp.*change += 1;
        EXPECT_EQ(recall_summary(c, other, other.stamp, r, lost), recall::none);
    }
    for (auto change : {&file_stamp::mtime_ns, &file_stamp::ctime_ns}) {
        walk_entry other = e;
        other.stamp.*change += 1;
        EXPECT_EQ(recall_summary(c, other, other.stamp, r, lost), recall::none);
    }
    walk_entry walked_elsewhere = e;
    walked_elsewhere.path += "x";
    EXPECT_EQ(recall_summary(c, walked_elsewhere, walked_elsewhere.stamp, r, lost), recall::none);

    // Another version, other settings.
    summary_cache newer, started;
    ASSERT_TRUE(open_cache(newer, file, settings, "1.1", why));
    EXPECT_EQ(recall_summary(newer, e, e.stamp, r, lost), recall::none);
    settings.start = 5;
    ASSERT_TRUE(open_cache(started, file, settings, "1.0", why));
    EXPECT_EQ(recall_summary(started, e, e.stamp, r, lost), recall::none);

    // Not sure: an error, a file changed since its walk, standard input.
    const std::int64_t later = 5000 * second;
    walk_entry b = file_at("lib/b.wav", 1000);
    scan_result failed = kept;
    failed.facts.status = file_status::error;
    keep_now(c, b, later, failed);
    EXPECT_EQ(recall_summary(c, b, b.stamp, r, lost), recall::none);
    walk_entry stale = b;
    stale.stamp.size += 1;
    keep_now(c, stale, later, kept);
    EXPECT_EQ(recall_summary(c, stale, stale.stamp, r, lost), recall::none);
    walk_entry stdin_entry{"-", b.stamp, 0, false};
    keep_now(c, stdin_entry, later, kept);
    EXPECT_EQ(recall_summary(c, stdin_entry, stdin_entry.stamp, r, lost), recall::none);
    EXPECT_TRUE(lost.empty());
    EXPECT_TRUE(c.usable);
}

// SQLite checks its pages' structure, not the values in them: a row whose
// values were altered is found out by its checksum, and the cache is used
// no more.
TEST(Cache, AlteredRowIsNeverGiven)
{
    const std::string file = scratch_dir() + "/altered.sqlite";
    scan_settings settings;
    std::string why, lost;
    const walk_entry e = file_at("alter/a.wav", 1000);
    scan_result r;
    {
        // Closed before it is copied: the last connection to go writes the
        // log into the file.
        summary_cache c;
        ASSERT_TRUE(open_cache(c, file, settings, "1.0", why)) << why;
        keep_now(c, e, 5000 * second, damaged_result());
        ASSERT_EQ(recall_summary(c, e, e.stamp, r, lost), recall::kept);
    }
    for (const char* change : {"frames = 41", "errors = 0", "status = 'stream'", "replay_gain = 73", "sync = NULL",
                               "reason = NULL", "rate = 11", "status = 'lost'", "dev = dev + 1", "ino = ino + 1",
                               "size = size + 1", "mtime_ns = mtime_ns + 1", "ctime_ns = ctime_ns + 1",
                               "version = '1.1'"}) {
        ASSERT_TRUE(std::filesystem::copy_file(file, file + ".copy", std::filesystem::copy_options::overwrite_existing));
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((file + ".copy").c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, ("UPDATE summaries SET " + std::string(change)).c_str(), nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
        summary_cache altered;
        ASSERT_TRUE(open_cache(altered, file + ".copy", settings, "1.0", why)) << why;
        EXPECT_EQ(recall_summary(altered, e, e.stamp, r, lost), recall::none) << change;
        EXPECT_EQ(lost, "a row does not match its checksum: the file is damaged") << change;
        EXPECT_FALSE(altered.usable);
        lost.clear();
    }
}

// A commit that fails (here the file size limit stands for a full disk) is
// told once, by the next caller, and the cache is used no more.
TEST(Cache, FailedCommitIsToldOnce)
{
    summary_cache c;
    std::string why, lost;
    ASSERT_TRUE(open_cache(c, scratch_dir() + "/full.sqlite", {}, "1.0", why)) << why;
    const walk_entry e = file_at("full/a.wav", 1000);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const rlimit low{1, old.rlim_max};
    const auto xfsz = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
    keep_summary(c, e, {e.stamp, 5000 * second, file_clock_ns() + second}, damaged_result(), lost);
    const bool committed = commit_summaries(c, why);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, xfsz);
    EXPECT_FALSE(committed);
    EXPECT_NE(why, "");
    EXPECT_EQ(lost, "");
    std::string again;
    EXPECT_TRUE(commit_summaries(c, again));
    EXPECT_EQ(again, "");
    scan_result r;
    EXPECT_EQ(recall_summary(c, e, e.stamp, r, lost), recall::none);
    EXPECT_EQ(lost, "");
    EXPECT_FALSE(c.usable);
}

// A cache that could not be opened keeps nothing and gives nothing, and
// has nothing more to tell.
TEST(Cache, OneNotOpenedKeepsNothing)
{
    summary_cache c;
    std::string why, lost;
    EXPECT_FALSE(open_cache(c, scratch_dir(), {}, "1.0", why));
    EXPECT_EQ(why, "not a regular file");
    const walk_entry e = file_at("unopened/a.wav", 1000);
    keep_summary(c, e, {e.stamp, 5000 * second, file_clock_ns() + second}, damaged_result(), lost);
    EXPECT_TRUE(c.pending.empty());
    scan_result r;
    EXPECT_EQ(recall_summary(c, e, e.stamp, r, lost), recall::none);
    EXPECT_EQ(lost, "");
}

// Without a committer of its own, the cache commits as it keeps, once a
// second has passed since the last commit; another connection sees the
// rows at once.
TEST(Cache, WithoutACommitterKeepingCommitsWhenDue)
{
    const std::string file = scratch_dir() + "/inline.sqlite";
    summary_cache c;
    std::string why, lost;
    ASSERT_TRUE(open_cache(c, file, {}, "1.0", why)) << why;
    c.committer.request_stop();
    c.committer.join();
    const walk_entry a = file_at("inline/a.wav", 1000), b = file_at("inline/b.wav", 1000);
    c.committed_at = wall_clock_ns() + 3600 * second;
    keep_summary(c, a, {a.stamp, 5000 * second, file_clock_ns() + second}, damaged_result(), lost);
    EXPECT_EQ(c.pending.size(), 1u);
    c.committed_at = wall_clock_ns() - 2 * second;
    keep_summary(c, b, {b.stamp, 5000 * second, file_clock_ns() + second}, damaged_result(), lost);
    EXPECT_EQ(c.pending.size(), 0u);
    EXPECT_EQ(lost, "");
    EXPECT_EQ(query_file(file, "SELECT count(*) FROM summaries"), 2);
}

// A row's checksum is part of the file's format: rows that another build
// wrote, their checksums computed apart from this program, are recalled
// whole. The checksum is FNV-1a over the values, as 64-bit little-endian
// integers and as bytes, each followed by the mark 0x100: dev, ino, size,
// mtime_ns, ctime_ns, the version, the status (stream 0, none 1, damaged
// 2), the sync or -1, rate, bit depth and gain or -2^40 each, frames,
// errors and the reason.
TEST(Cache, RowsAnotherBuildWroteAreRecalled)
{
    const std::string file = scratch_dir() + "/written.sqlite";
    std::string why, lost;
    scan_result none{};
    none.facts.status = file_status::none;
    const walk_entry damaged_file = file_at("written/a.wav", 1000), none_file = file_at("written/b.wav", 1000);
    summary_cache c;
    ASSERT_TRUE(open_cache(c, file, {}, "1.0", why)) << why;
    keep_now(c, damaged_file, 5000 * second, damaged_result());
    keep_now(c, none_file, 5000 * second, none);
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
    const sqlite_ptr other{raw};
    ASSERT_EQ(sqlite3_exec(raw,
                           "UPDATE summaries SET dev = 11, ino = 22, size = 33, mtime_ns = 1000000000005,"
                           " ctime_ns = 1000000000006, checksum = -3462724724283374479 WHERE status = 'damaged';"
                           "UPDATE summaries SET dev = 44, ino = 55, size = 66, mtime_ns = 1000000000007,"
                           " ctime_ns = 1000000000008, checksum = 3187140252549035704 WHERE status = 'none'",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    const file_stamp damaged_stamp{11, 22, 33, 1000000000005, 1000000000006, true},
        none_stamp{44, 55, 66, 1000000000007, 1000000000008, true};
    scan_result r;
    ASSERT_EQ(recall_summary(c, damaged_file, damaged_stamp, r, lost), recall::kept) << lost;
    EXPECT_EQ(line_of(r, "a.wav"), line_of(damaged_result(), "a.wav"));
    ASSERT_EQ(recall_summary(c, none_file, none_stamp, r, lost), recall::kept) << lost;
    EXPECT_EQ(line_of(r, "b.wav"), line_of(none, "b.wav"));
}

// Runs that open one new cache at once all use it: the first makes the
// table while the others wait, and turning the file to WAL mode, which
// SQLite does not wait for, is tried again while another holds the file.
TEST(Cache, RunsOpeningOneNewFileAtOnceAllUseIt)
{
    for (int round = 0; round < 100; ++round) {
        const std::string file = scratch_dir() + "/together" + std::to_string(round) + ".sqlite";
        summary_cache caches[3];
        std::string whys[3];
        bool opened[3] = {};
        std::latch start(3);
        {
            std::vector<std::jthread> runs;
            for (int i = 0; i < 3; ++i)
                runs.emplace_back([&, i] {
                    start.arrive_and_wait();
                    opened[i] = open_cache(caches[i], file, {}, "1.0", whys[i]);
                });
        }
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(opened[i]) << "round " << round << ": " << whys[i];
    }
}

// A cache file that another connection reads in rollback mode, as the
// sqlite3 shell can leave it, can be neither checked nor turned to WAL mode
// while the read lasts: past the wait, neither is tried again, and the
// cache is not opened, with the reason.
TEST(Cache, HeldByAReaderPastTheWaitIsNotOpened)
{
    const alarm_bound bound(20);
    const std::string file = scratch_dir() + "/rollback.sqlite";
    std::string why;
    {
        summary_cache c;
        ASSERT_TRUE(open_cache(c, file, {}, "1.0", why)) << why;
        ASSERT_TRUE(close_cache(c, why)) << why;
    }
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
    const sqlite_ptr reader{raw};
    ASSERT_EQ(sqlite3_exec(raw, "PRAGMA journal_mode = DELETE; BEGIN; SELECT count(*) FROM summaries", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    summary_cache c;
    c.busy_ms = 50;
    EXPECT_FALSE(open_cache(c, file, {}, "1.0", why));
    EXPECT_EQ(why, "database is locked");
    ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
    const sqlite_ptr other{raw};
    EXPECT_FALSE(use_wal(raw, 50));
}

// Another process writing to the cache past the wait is not a failure of
// the cache: what was kept waits for the next commit.
TEST(Cache, AnotherWriterDelaysTheCommitOnly)
{
    const std::string file = scratch_dir() + "/held.sqlite";
    summary_cache c;
    c.busy_ms = 0;
    std::string why, lost;
    ASSERT_TRUE(open_cache(c, file, {}, "1.0", why)) << why;
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
    const sqlite_ptr own{other};
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

    const walk_entry e = file_at("held/a.wav", 1000);
    scan_result r;
    keep_now(c, e, 5000 * second, damaged_result());
    EXPECT_EQ(recall_summary(c, e, e.stamp, r, lost), recall::none);
    EXPECT_EQ(c.pending.size(), 1u);
    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_TRUE(commit_summaries(c, why)) << why;
    EXPECT_EQ(recall_summary(c, e, e.stamp, r, lost), recall::kept);
    EXPECT_EQ(lost, "");
    EXPECT_TRUE(c.usable);
}

// A commit waiting for another process to let go of the file holds no lock
// the workers need: they recall and keep meanwhile. The commit's wait is
// held open until the worker's calls have returned; a commit that does not
// wait ends the test.
TEST(Cache, AWaitingCommitStallsNoWorker)
{
    const std::string file = scratch_dir() + "/stall.sqlite";
    summary_cache c;
    std::string why, lost;
    ASSERT_TRUE(open_cache(c, file, {}, "1.0", why)) << why;
    const walk_entry kept = file_at("stall/kept.wav", 1000), more = file_at("stall/more.wav", 1000);
    keep_now(c, kept, 5000 * second, damaged_result());
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
    const sqlite_ptr own{other};
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    struct held {
        std::mutex lock;
        std::condition_variable changed;
        bool waiting = false, released = false, done = false;
    } h;
    sqlite3_busy_handler(
        c.writer.get(),
        [](void* p, int) {
            held& h = *static_cast<held*>(p);
            std::unique_lock hold(h.lock);
            h.waiting = true;
            h.changed.notify_all();
            h.changed.wait(hold, [&] { return h.released; });
            return 1;
        },
        &h);
    keep_summary(c, more, {more.stamp, 5000 * second, file_clock_ns() + second}, damaged_result(), lost);
    std::jthread committing([&] {
        commit_summaries(c, why);
        const std::lock_guard hold(h.lock);
        h.done = true;
        h.changed.notify_all();
    });
    {
        std::unique_lock hold(h.lock);
        h.changed.wait(hold, [&] { return h.waiting || h.done; });
        ASSERT_TRUE(h.waiting) << "the commit did not wait: " << why;
    }
    scan_result r;
    EXPECT_EQ(recall_summary(c, kept, kept.stamp, r, lost), recall::kept);
    keep_summary(c, kept, {kept.stamp, 5000 * second, file_clock_ns() + second}, damaged_result(), lost);
    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    {
        const std::lock_guard hold(h.lock);
        h.released = true;
        h.changed.notify_all();
    }
    committing.join();
    EXPECT_TRUE(commit_summaries(c, why)) << why;
    EXPECT_EQ(recall_summary(c, more, more.stamp, r, lost), recall::kept);
    EXPECT_EQ(lost, "");
}

// Pruning drops the rows of files below the folders walked that are gone:
// not found, or no longer regular files. It keeps those of files the walk
// did not take, below a folder it could not read or left out, and those
// outside the folders.
TEST(Cache, PruneDropsOnlyWhatIsGone)
{
    summary_cache c;
    std::string why, lost;
    ASSERT_TRUE(open_cache(c, scratch_dir() + "/prune.sqlite", {}, "1.0", why)) << why;
    const std::string root = scratch_dir() + "/p";
    const walk_entry found = file_at("p/found.wav", 1000), gone = file_at("p/gone.wav", 1000),
                     sealed = file_at("p/sealed/in.wav", 1000), beside = file_at("p0/beside.wav", 1000),
                     outside = file_at("q/outside.wav", 1000), left = file_at("p/left.wav", 1000),
                     folder = file_at("p/folder.wav", 1000);
    for (const walk_entry& e : {found, gone, sealed, beside, outside, left, folder})
        keep_now(c, e, 5000 * second, damaged_result());
    ASSERT_EQ(unlink(gone.path.c_str()), 0);
    ASSERT_EQ(unlink(folder.path.c_str()), 0);
    ASSERT_EQ(mkdir(folder.path.c_str(), 0700), 0);
    ASSERT_TRUE(prune_cache(c, {root}, why)) << why;
    scan_result r;
    EXPECT_EQ(recall_summary(c, found, found.stamp, r, lost), recall::kept);
    EXPECT_EQ(recall_summary(c, gone, gone.stamp, r, lost), recall::none);
    EXPECT_EQ(recall_summary(c, folder, folder.stamp, r, lost), recall::none);
    EXPECT_EQ(recall_summary(c, sealed, sealed.stamp, r, lost), recall::kept);
    EXPECT_EQ(recall_summary(c, left, left.stamp, r, lost), recall::kept);
    EXPECT_EQ(recall_summary(c, beside, beside.stamp, r, lost), recall::kept);
    EXPECT_EQ(recall_summary(c, outside, outside.stamp, r, lost), recall::kept);
    EXPECT_TRUE(lost.empty());
}

}  // namespace
