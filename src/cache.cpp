// SPDX-License-Identifier: MIT
#include "cache.hpp"

#include "catalogue.hpp"
#include "input.hpp"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <system_error>

namespace {

// The file says what it is in its header: SQLite's application id, "kesS",
// and the schema's version in user_version. A database with another id, or
// with tables or a version and no id, belongs to someone else.
constexpr int application_id = 0x6b657353;
constexpr int schema_version = 2;

// Summaries are committed together, once a second: a transaction for each
// would cost a sync for each file.
constexpr std::int64_t commit_ns = 1'000'000'000;

constexpr const char* schema =
    "CREATE TABLE IF NOT EXISTS summaries ("
    " path BLOB NOT NULL,"          // absolute, as the walk spelled it
    " settings TEXT NOT NULL,"      // start, single mode and selected type
    " dev INTEGER NOT NULL, ino INTEGER NOT NULL, size INTEGER NOT NULL,"
    " mtime_ns INTEGER NOT NULL, ctime_ns INTEGER NOT NULL,"
    " version TEXT NOT NULL,"       // of the kesscan that scanned it
    " status TEXT NOT NULL,"        // stream, none or damaged
    " sync INTEGER,"                // null: no sync pattern
    " rate INTEGER, bitdepth INTEGER, replay_gain INTEGER,"  // null: no sound stream_params
    " frames INTEGER NOT NULL, errors INTEGER NOT NULL,"
    " reason BLOB,"                 // why the status is what it is, if told
    " checksum INTEGER NOT NULL,"   // of the row: SQLite checks its pages' structure, not their values
    " checked_ns INTEGER NOT NULL DEFAULT 0,"  // wall clock of the read the summary came from
    " PRIMARY KEY (path, settings)) WITHOUT ROWID";

// Schema 1 had no time of the read: its rows are the first to be read again.
constexpr const char* from_schema_1 =
    "ALTER TABLE summaries ADD COLUMN checked_ns INTEGER NOT NULL DEFAULT 0; PRAGMA user_version = 2";

constexpr const char* find_sql =
    "SELECT dev, ino, size, mtime_ns, ctime_ns, version, status, sync, rate, bitdepth, replay_gain,"
    " frames, errors, reason, checksum FROM summaries WHERE path = ?1 AND settings = ?2";

constexpr const char* keep_sql = "INSERT OR REPLACE INTO summaries VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10,"
                                 " ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18)";

// Of the rows of these settings whose files were walked, the oldest that
// were read before a time, up to a number, are due to be read again.
constexpr const char* due_sql =
    "INSERT INTO temp.due SELECT path FROM summaries JOIN temp.walked USING (path)"
    " WHERE settings = ?1 AND checked_ns < ?2 ORDER BY checked_ns, path LIMIT ?3";

// The statuses kept, by name; error is never kept.
constexpr file_status kept_statuses[] = {file_status::stream, file_status::none, file_status::damaged};

// What is kept of a row, as the row holds it.
struct row {
    file_stamp stamp;
    std::string version;
    scan_result result;
};

// FNV-1a over the row's values, each followed by a mark that is no byte,
// so that two rows whose texts differ where one ends never hash alike.
struct row_hash {
    std::uint64_t h = 0xcbf29ce484222325;
    void add(const void* p, std::size_t n)
    {
        const auto* b = static_cast<const unsigned char*>(p);
        for (std::size_t i = 0; i < n; ++i)
            h = (h ^ b[i]) * 0x100000001b3;
        h = (h ^ 0x100) * 0x100000001b3;
    }
    void add(std::int64_t v) { add(&v, sizeof v); }
    void add(const std::string& s) { add(s.data(), s.size()); }
};

// The checksum of a row's values but its key's, which the query matched.
std::int64_t checksum(const row& r)
{
    const summary_facts& f = r.result.facts;
    row_hash h;
    for (const std::uint64_t v : {r.stamp.dev, r.stamp.ino, r.stamp.size})
        h.add(static_cast<std::int64_t>(v));
    h.add(r.stamp.mtime_ns);
    h.add(r.stamp.ctime_ns);
    h.add(r.version);
    h.add(static_cast<std::int64_t>(f.status));
    h.add(f.synced ? std::int64_t{f.sync} : -1);
    for (const named_value* v : {&f.params.rate, &f.params.bitdepth, &f.params.gain})
        h.add(f.have_params ? v->value : std::int64_t{-1} << 40);
    h.add(static_cast<std::int64_t>(f.frames));
    h.add(static_cast<std::int64_t>(f.errors));
    h.add(r.result.reason);
    return static_cast<std::int64_t>(h.h);
}

// Whether a change made after now (by the file clock) could leave s as it
// is: the file's change time lies in now's tick, so a write in the same
// tick would not move it. The tick is the file clock's, or on a filesystem
// whose times have no nanoseconds a second (two on FAT).
bool racy_change(const file_stamp& s, std::int64_t now)
{
    constexpr std::int64_t second = 1'000'000'000;
    timespec tick;
    clock_getres(CLOCK_REALTIME_COARSE, &tick);
    const bool whole_seconds = s.ctime_ns % second == 0 && s.mtime_ns % second == 0;
    const std::int64_t since = whole_seconds ? (now / second - 1) * second : now - nanoseconds(tick);
    return s.ctime_ns >= since;
}

bool same_stamp(const file_stamp& a, const file_stamp& b)
{
    return a.regular && b.regular && a.dev == b.dev && a.ino == b.ino && a.size == b.size &&
           a.mtime_ns == b.mtime_ns && a.ctime_ns == b.ctime_ns;
}

std::string text_column(sqlite3_stmt* st, int i)
{
    const auto* p = static_cast<const char*>(sqlite3_column_blob(st, i));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(st, i))) : std::string();
}

// The row the statement stands on; false for values no kept row can hold.
bool read_row(sqlite3_stmt* st, row& r)
{
    r.stamp.dev = static_cast<std::uint64_t>(sqlite3_column_int64(st, 0));
    r.stamp.ino = static_cast<std::uint64_t>(sqlite3_column_int64(st, 1));
    r.stamp.size = static_cast<std::uint64_t>(sqlite3_column_int64(st, 2));
    r.stamp.mtime_ns = sqlite3_column_int64(st, 3);
    r.stamp.ctime_ns = sqlite3_column_int64(st, 4);
    r.stamp.regular = true;
    r.version = text_column(st, 5);
    summary_facts& f = r.result.facts;
    f = {};
    const std::string status = text_column(st, 6);
    const auto* kept = std::find_if(std::begin(kept_statuses), std::end(kept_statuses),
                                    [&](file_status s) { return status == status_name(s); });
    if (kept == std::end(kept_statuses))
        return false;
    f.status = *kept;
    f.synced = sqlite3_column_type(st, 7) != SQLITE_NULL;
    f.sync = static_cast<std::uint32_t>(sqlite3_column_int64(st, 7));
    f.have_params = sqlite3_column_type(st, 8) != SQLITE_NULL;
    if (f.have_params) {
        f.params.rate = params_value(params_rate, sqlite3_column_int64(st, 8));
        f.params.bitdepth = params_value(params_bitdepth, sqlite3_column_int64(st, 9));
        f.params.gain = params_value(params_gain, sqlite3_column_int64(st, 10));
    }
    f.frames = static_cast<std::uint64_t>(sqlite3_column_int64(st, 11));
    f.errors = static_cast<std::uint64_t>(sqlite3_column_int64(st, 12));
    r.result.reason = text_column(st, 13);
    return checksum(r) == sqlite3_column_int64(st, 14);
}

// Marks the cache failed, with the connection's own words unless what
// says otherwise; the next caller tells it.
void lose(summary_cache& c, const char* what = nullptr)
{
    c.failure = what ? what : sqlite3_errmsg(c.db.get());
    c.usable = false;
    c.pending.clear();
}

// With the lock held: whether the cache may be used, and in lost why not,
// if it failed since a caller last looked.
bool usable(summary_cache& c, std::string& lost)
{
    if (!c.failure.empty())
        lost = std::move(c.failure);
    c.failure.clear();
    return c.usable;
}

// Another process holding the file a moment too long is not a failure of
// the cache: that row is only not read or kept this time.
bool busy(int rc)
{
    return (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED;
}

bool exec(sqlite3* db, const char* sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// One integer a query gives, or -1.
std::int64_t query_number(sqlite3* db, const char* sql)
{
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK)
        return -1;
    const statement_ptr st{raw};
    return sqlite3_step(st.get()) == SQLITE_ROW ? sqlite3_column_int64(st.get(), 0) : -1;
}

// Makes the table in a new file, or checks that the file is a cache this
// program can use; a file that is not one is not written to. The check and
// the making are one transaction: two runs may make the same new file at
// once, and the second must find the first's table whole.
bool check_schema(sqlite3* db, std::string& why)
{
    if (!exec(db, "BEGIN IMMEDIATE")) {
        why = sqlite3_errmsg(db);
        return false;
    }
    const std::int64_t id = query_number(db, "PRAGMA application_id");
    const std::int64_t tables = query_number(db, "SELECT count(*) FROM sqlite_schema");
    const std::int64_t version = query_number(db, "PRAGMA user_version");
    if (id < 0 || tables < 0 || version < 0)
        why = sqlite3_errmsg(db);
    else if (id != application_id && (id != 0 || tables != 0 || version != 0))
        why = "not a kesscan cache";
    else if (version > schema_version)
        why = "made by a newer kesscan (schema " + std::to_string(version) + ")";
    const std::string make = std::string(schema) + "; PRAGMA application_id = " + std::to_string(application_id) +
                             "; PRAGMA user_version = " + std::to_string(schema_version);
    const auto made = [&] {
        return id == application_id ? version >= schema_version || exec(db, from_schema_1) : exec(db, make.c_str());
    };
    if (why.empty() && made() && exec(db, "COMMIT"))
        return true;
    if (why.empty())
        why = sqlite3_errmsg(db);
    exec(db, "ROLLBACK");
    return false;
}

}  // namespace

// In WAL mode readers and the writer do not wait for each other, and a
// commit needs no sync of its own: a run that is killed keeps what it
// committed, and a crash of the system may lose only the last rows.
// SQLite does not wait for the switch (it reads first, and a reader that
// waited for a writer could deadlock with it): another run opening the
// same new file may hold it, so it is tried again for as long as a write
// waits.
bool use_wal(sqlite3* db, int busy_ms)
{
    constexpr int pause_ms = 5;
    int rc = SQLITE_OK;
    for (int waited = 0; busy(rc = sqlite3_exec(db, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr)) &&
                         waited < busy_ms;
         waited += pause_ms)
        sqlite3_sleep(pause_ms);
    return rc == SQLITE_OK && exec(db, "PRAGMA synchronous = NORMAL");
}

namespace {

bool prepare(sqlite3* db, const char* sql, statement_ptr& st)
{
    sqlite3_stmt* raw = nullptr;
    const bool ok = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr) == SQLITE_OK;
    st.reset(raw);
    return ok;
}

// Writes rows in one transaction on the writer's connection; SQLITE_OK, or
// the code of the failure (a busy one: another process held the file past
// the wait).
int write_rows(summary_cache& c, const std::vector<kept_row>& rows)
{
    sqlite3* db = c.writer.get();
    int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (busy(rc))
        return rc;
    sqlite3_stmt* k = c.keep.get();
    for (std::size_t i = 0; rc == SQLITE_OK && i < rows.size(); ++i) {
        const kept_row& p = rows[i];
        const summary_facts& f = p.result.facts;
        sqlite3_bind_blob(k, 1, p.path.data(), static_cast<int>(p.path.size()), SQLITE_STATIC);
        sqlite3_bind_text(k, 2, c.settings.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(k, 3, static_cast<std::int64_t>(p.stamp.dev));
        sqlite3_bind_int64(k, 4, static_cast<std::int64_t>(p.stamp.ino));
        sqlite3_bind_int64(k, 5, static_cast<std::int64_t>(p.stamp.size));
        sqlite3_bind_int64(k, 6, p.stamp.mtime_ns);
        sqlite3_bind_int64(k, 7, p.stamp.ctime_ns);
        sqlite3_bind_text(k, 8, c.version.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(k, 9, status_name(f.status), -1, SQLITE_STATIC);
        if (f.synced)
            sqlite3_bind_int64(k, 10, f.sync);
        if (f.have_params) {
            sqlite3_bind_int64(k, 11, f.params.rate.value);
            sqlite3_bind_int64(k, 12, f.params.bitdepth.value);
            sqlite3_bind_int64(k, 13, f.params.gain.value);
        }
        sqlite3_bind_int64(k, 14, static_cast<std::int64_t>(f.frames));
        sqlite3_bind_int64(k, 15, static_cast<std::int64_t>(f.errors));
        if (!p.result.reason.empty())
            sqlite3_bind_blob(k, 16, p.result.reason.data(), static_cast<int>(p.result.reason.size()), SQLITE_STATIC);
        sqlite3_bind_int64(k, 17, checksum({p.stamp, c.version, p.result}));
        sqlite3_bind_int64(k, 18, p.checked_ns);
        rc = sqlite3_step(k) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db);
        sqlite3_reset(k);
        sqlite3_clear_bindings(k);
    }
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        exec(db, "ROLLBACK");
    return rc;
}

// Ends the read that recalls share, if one is open: the recalls after it
// see what was committed since it began.
void end_read(summary_cache& c)
{
    if (c.reading_since >= 0)
        exec(c.db.get(), "COMMIT");
    c.reading_since = -1;
}

// Writes the summaries kept since the last commit in one transaction.
// Another process holding the file past the wait leaves them for the next
// commit. The workers' lock is not held while SQLite waits: they go on
// recalling and keeping meanwhile.
void commit_pending(summary_cache& c)
{
    const std::lock_guard writing(c.write_lock);
    std::vector<kept_row> rows;
    {
        const std::lock_guard hold(c.lock);
        c.committed_at = wall_clock_ns();
        if (!c.usable || c.pending.empty())
            return;
        rows.swap(c.pending);
    }
    const int rc = write_rows(c, rows);
    const std::string failure = rc == SQLITE_OK || busy(rc) ? "" : sqlite3_errmsg(c.writer.get());
    const std::lock_guard hold(c.lock);
    if (busy(rc)) {
        // Before what was kept since.
        rows.insert(rows.end(), std::make_move_iterator(c.pending.begin()), std::make_move_iterator(c.pending.end()));
        c.pending.swap(rows);
    } else if (rc != SQLITE_OK && c.usable) {
        lose(c, failure.c_str());
    } else {
        end_read(c);
    }
}

// Commits once a second until it is stopped.
void commit_every_second(std::stop_token stop, summary_cache* c)
{
    for (;;) {
        {
            std::unique_lock hold(c->lock);
            c->tick.wait_for(hold, stop, std::chrono::nanoseconds(commit_ns), [] { return false; });
        }
        if (stop.stop_requested())
            return;
        commit_pending(*c);
    }
}

// Opens file for reading and writing, made if need be, its waits for other
// processes bounded by busy_ms; false with why.
bool connect(sqlite_ptr& db, const std::string& file, int busy_ms, std::string& why)
{
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
    db.reset(raw);
    if (rc != SQLITE_OK) {
        why = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
        return false;
    }
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_busy_timeout(raw, busy_ms);
    return true;
}

bool make_folder(const std::string& path, std::string& why)
{
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST)
        return true;
    why = path + ": " + std::generic_category().message(errno);
    return false;
}

// Whether the file a row was kept for is gone: not found, or no longer a
// regular file. One that cannot be looked at may still be there.
bool file_gone(const std::string& path)
{
    struct stat st;
    if (stat_path(path.c_str(), st) == 0)
        return !S_ISREG(st.st_mode);
    return errno == ENOENT || errno == ENOTDIR;
}

}  // namespace

void sqlite_close::operator()(sqlite3* db) const
{
    sqlite3_close(db);
}

void sqlite_finalize::operator()(sqlite3_stmt* st) const
{
    sqlite3_finalize(st);
}

std::int64_t wall_clock_ns()
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return nanoseconds(t);
}

std::int64_t file_clock_ns()
{
    timespec t;
    clock_gettime(CLOCK_REALTIME_COARSE, &t);
    return nanoseconds(t);
}

std::string cache_path(const std::string& cwd, const std::string& path)
{
    const std::string whole = path.starts_with('/') ? path : cwd + "/" + path;
    std::string out;
    std::size_t i = 0;
    while (i < whole.size()) {
        std::size_t j = whole.find('/', i);
        if (j == std::string::npos)
            j = whole.size();
        const std::string_view part(whole.data() + i, j - i);
        if (!part.empty() && part != ".")
            out.append("/").append(part);
        i = j + 1;
    }
    return out.empty() ? "/" : out;
}

std::string default_cache_file(std::string& why)
{
    why.clear();
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    std::string base;
    if (xdg && xdg[0] == '/') {
        base = xdg;
    } else if (home && home[0] == '/') {
        base = std::string(home) + "/.cache";
    } else {
        why = "neither XDG_CACHE_HOME nor HOME is an absolute path";
        return "";
    }
    if (make_folder(base, why))
        make_folder(base + "/kesscan", why);
    return base + "/kesscan/summaries.sqlite";
}

bool open_cache(summary_cache& c, const std::string& file, const scan_settings& settings, const char* version,
                std::string& why)
{
    c.file = file;
    c.settings = "start=" + std::to_string(settings.start) + " single=" + std::to_string(settings.single) +
                 " type=" + std::to_string(settings.packet_type);
    c.version = version;
    char here[4096];
    c.cwd = getcwd(here, sizeof here) ? here : "";
    // SQLite would write its journal beside a device, and truncate it.
    struct stat st;
    if (stat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        why = "not a regular file";
        return false;
    }
    if (!connect(c.db, file, c.busy_ms, why))
        return false;
    sqlite3* raw = c.db.get();
    if (sqlite3_db_readonly(raw, "main") == 1) {
        why = "the file cannot be written";
        return false;
    }
    // The summaries are written on a connection of their own, so that a
    // commit waiting for another process keeps no worker from reading.
    if (!check_schema(raw, why) || !use_wal(raw, c.busy_ms) || !prepare(raw, find_sql, c.find) ||
        !connect(c.writer, file, c.busy_ms, why) || !prepare(c.writer.get(), keep_sql, c.keep)) {
        if (why.empty())
            why = sqlite3_errmsg(c.writer ? c.writer.get() : raw);
        return false;
    }
    c.usable = true;
    c.committed_at = wall_clock_ns();
    // A committer that cannot be started leaves the commits to keep_summary.
    try {
        c.committer = std::jthread(commit_every_second, &c);
    } catch (const std::system_error&) {
    }
    return true;
}

namespace {

// Whether e can have a row: a file the walk found, not standard input,
// whose path can be made absolute.
bool keyed(const summary_cache& c, const walk_entry& e)
{
    return !e.error && e.path != "-" && (!c.cwd.empty() || e.path.starts_with('/'));
}

// Whether a re-check planned path to be read again, once: it is then no
// longer due. A failure of the database here leaves the file unread, as
// its stat data tell it can be.
bool read_again(summary_cache& c, const std::string& path)
{
    sqlite3_stmt* st = c.forget_due.get();
    if (!st)
        return false;
    sqlite3_bind_blob(st, 1, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
    const bool forgot = sqlite3_step(st) == SQLITE_DONE && sqlite3_changes(c.db.get()) > 0;
    sqlite3_reset(st);
    return forgot;
}

}  // namespace

// Fills temp.walked with the paths of the files walked finds that can have
// a row; false on a failure of the database.
bool list_walked(summary_cache& c, entry_source walked, std::uint64_t& files)
{
    sqlite3* db = c.db.get();
    statement_ptr add;
    bool ok = exec(db, "CREATE TEMP TABLE walked (path BLOB PRIMARY KEY) WITHOUT ROWID") &&
              prepare(db, "INSERT OR IGNORE INTO temp.walked VALUES (?1)", add);
    walk_entry e;
    while (ok && walked.next(walked.opaque, e)) {
        if (!keyed(c, e))
            continue;
        const std::string path = cache_path(c.cwd, e.path);
        sqlite3_bind_blob(add.get(), 1, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
        ok = sqlite3_step(add.get()) == SQLITE_DONE;
        files += static_cast<std::uint64_t>(sqlite3_changes(db));
        sqlite3_reset(add.get());
    }
    return ok;
}

bool plan_recheck(summary_cache& c, entry_source walked, std::int64_t not_after, unsigned percent,
                  std::string& why)
{
    const std::lock_guard hold(c.lock);
    sqlite3* db = c.db.get();
    // The walk's paths and the rows due are kept in the database, not in
    // memory, which would grow with the library.
    std::uint64_t files = 0;
    statement_ptr pick;
    bool ok = exec(db, "CREATE TEMP TABLE due (path BLOB PRIMARY KEY) WITHOUT ROWID") && exec(db, "BEGIN") &&
              list_walked(c, walked, files) && prepare(db, due_sql, pick) &&
              prepare(db, "DELETE FROM temp.due WHERE path = ?1", c.forget_due);
    if (ok) {
        // Rounded up: a small library is read again too, a file a run.
        const std::uint64_t most = (files * std::min(percent, 100u) + 99) / 100;
        sqlite3_bind_text(pick.get(), 1, c.settings.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(pick.get(), 2, not_after);
        sqlite3_bind_int64(pick.get(), 3, static_cast<sqlite3_int64>(most));
        ok = sqlite3_step(pick.get()) == SQLITE_DONE;
    }
    if (ok && exec(db, "COMMIT") && exec(db, "DROP TABLE temp.walked"))
        return true;
    why = sqlite3_errmsg(db);
    exec(db, "ROLLBACK");
    c.forget_due.reset();
    return false;
}

bool content_changed(const walk_entry& e, const file_stamp& before, const scan_result& was, const scan_result& now)
{
    const summary_facts &a = was.facts, &b = now.facts;
    const bool same = a.status == b.status && a.synced == b.synced && (!a.synced || a.sync == b.sync) &&
                      a.have_params == b.have_params &&
                      (!a.have_params || (a.params.rate.value == b.params.rate.value &&
                                          a.params.bitdepth.value == b.params.bitdepth.value &&
                                          a.params.gain.value == b.params.gain.value)) &&
                      a.frames == b.frames && a.errors == b.errors && was.reason == now.reason;
    return !same && b.status != file_status::error && same_stamp(stamp_now(e), before);
}

file_stamp stamp_now(const walk_entry& e)
{
    struct stat st;
    return e.error || e.path == "-" || stat_path(e.path.c_str(), st) != 0 ? file_stamp{} : stamp_of(st);
}

recall recall_summary(summary_cache& c, const walk_entry& e, const file_stamp& now, scan_result& r,
                      std::string& lost)
{
    if (!now.regular || !keyed(c, e))
        return recall::none;
    const std::string path = cache_path(c.cwd, e.path);
    const std::lock_guard hold(c.lock);
    if (!usable(c, lost))
        return recall::none;
    const std::int64_t now_ns = wall_clock_ns();
    if (c.reading_since >= 0 && now_ns - c.reading_since >= commit_ns)
        end_read(c);
    if (c.reading_since < 0 && exec(c.db.get(), "BEGIN"))
        c.reading_since = now_ns;
    sqlite3_stmt* st = c.find.get();
    sqlite3_bind_blob(st, 1, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
    sqlite3_bind_text(st, 2, c.settings.c_str(), -1, SQLITE_STATIC);
    const int rc = sqlite3_step(st);
    row kept;
    bool hit = false;
    if (rc == SQLITE_ROW) {
        if (read_row(st, kept))
            hit = same_stamp(kept.stamp, now) && kept.version == c.version;
        else
            lose(c, "a row does not match its checksum: the file is damaged");
    } else if (rc != SQLITE_DONE && !busy(rc)) {
        lose(c);
    }
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    if (!hit)
        end_read(c);
    usable(c, lost);
    if (!hit)
        return recall::none;
    r = std::move(kept.result);
    return read_again(c, path) ? recall::again : recall::kept;
}

void keep_summary(summary_cache& c, const walk_entry& e, const file_read& read, const scan_result& r,
                  std::string& lost)
{
    const file_stamp& stamp = read.stamp;
    const bool sure = r.facts.status != file_status::error && !stdout_failed();
    if (!sure || !stamp.regular || !keyed(c, e))
        return;
    if (stamp.mtime_ns >= read.began - racy_ns || racy_change(stamp, read.ended))
        return;
    // Stat data that changed while the file was read tell of a scan of
    // something else than the stamp.
    struct stat st;
    if (stat_path(e.path.c_str(), st) != 0 || !same_stamp(stamp_of(st), stamp))
        return;
    bool due;
    {
        const std::lock_guard hold(c.lock);
        if (!usable(c, lost))
            return;
        c.pending.push_back({cache_path(c.cwd, e.path), stamp, r, read.began});
        due = wall_clock_ns() - c.committed_at >= commit_ns;
    }
    // Without a committer of its own, the cache commits as it keeps.
    if (due && !c.committer.joinable())
        commit_pending(c);
}

bool commit_summaries(summary_cache& c, std::string& why)
{
    commit_pending(c);
    const std::lock_guard hold(c.lock);
    usable(c, why);
    return why.empty();
}

bool close_cache(summary_cache& c, std::string& why)
{
    {
        const std::lock_guard hold(c.lock);
        end_read(c);
    }
    if (c.committer.joinable()) {
        c.committer.request_stop();
        c.committer.join();
    }
    return commit_summaries(c, why);
}

bool prune_cache(summary_cache& c, const std::vector<std::string>& folders, std::string& why)
{
    const std::lock_guard hold(c.lock);
    if (!usable(c, why))
        return why.empty();
    sqlite3* db = c.db.get();
    statement_ptr list, drop;
    bool ok = exec(db, "BEGIN IMMEDIATE") &&
              prepare(db, "SELECT DISTINCT path FROM summaries WHERE path > ?1 AND path < ?2", list) &&
              prepare(db, "DELETE FROM summaries WHERE path = ?1", drop);
    for (const std::string& operand : folders) {
        struct stat st;
        if (!ok || operand == "-" || stat(operand.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            (c.cwd.empty() && !operand.starts_with('/')))
            continue;
        // The rows below the folder: their paths run from "FOLDER/" to
        // "FOLDER0", '0' coming after '/'.
        std::string folder = cache_path(c.cwd, operand);
        if (!folder.ends_with('/'))
            folder += '/';
        std::string end = folder;
        end.back() = '/' + 1;
        sqlite3_bind_blob(list.get(), 1, folder.data(), static_cast<int>(folder.size()), SQLITE_STATIC);
        sqlite3_bind_blob(list.get(), 2, end.data(), static_cast<int>(end.size()), SQLITE_STATIC);
        std::vector<std::string> gone;
        int rc;
        while ((rc = sqlite3_step(list.get())) == SQLITE_ROW) {
            const std::string path = text_column(list.get(), 0);
            if (file_gone(path))
                gone.push_back(path);
        }
        ok = rc == SQLITE_DONE;
        sqlite3_reset(list.get());
        for (const std::string& path : gone) {
            sqlite3_bind_blob(drop.get(), 1, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
            ok = ok && sqlite3_step(drop.get()) == SQLITE_DONE;
            sqlite3_reset(drop.get());
        }
    }
    if (ok && exec(db, "COMMIT"))
        return true;
    why = sqlite3_errmsg(db);
    exec(db, "ROLLBACK");
    c.usable = false;
    return false;
}
