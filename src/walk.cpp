// SPDX-License-Identifier: MIT
#include "walk.hpp"

#include "eintr.hpp"
#include "formats.hpp"
#include "input.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <set>
#include <system_error>
#include <utility>

namespace {

// The folders a walk holds open at once, at most, however deep it goes.
constexpr int max_open = 32;

// A file or folder by its device and inode.
using file_id = std::pair<std::uint64_t, std::uint64_t>;
using named = walk_cursor::named;

bool sound_name(const char* name, const std::vector<std::string>& extensions)
{
    return std::strrchr(name, '.') && std::binary_search(extensions.begin(), extensions.end(), extension_of(name));
}

// Counts what the walk passes over, when asked: a name, of a file of the
// type mode tells.
void passed_over(walk_skipped* skipped, const char* name, mode_t mode)
{
    if (!skipped)
        return;
    if (name[0] == '.') {
        skipped->dot_names += name[1] != '\0' && std::strcmp(name, "..") != 0;
    } else if (S_ISLNK(mode)) {
        ++skipped->links;
    } else if (S_ISREG(mode)) {
        ++skipped->other_extensions;
        ++skipped->by_extension[extension_of(name)];
    } else {
        ++skipped->other_types;
    }
}

// Whether the entry d of the folder open at fd is a symbolic link; a
// filesystem that does not say in the listing is asked.
bool is_link(int fd, const dirent& d)
{
    struct stat own;
    return d.d_type == DT_LNK ||
           (d.d_type == DT_UNKNOWN && fstatat(fd, d.d_name, &own, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(own.st_mode));
}

// The names the walk takes in the folder open at fd, in byte order of the
// names, and in read_error the errno of a failure to read it. A name that
// could not be looked at is taken with its error where it may be a folder
// or a sound file; one gone since the folder was read is passed over.
std::vector<named> list_folder(int fd, const std::vector<std::string>& extensions, int& read_error,
                               walk_skipped* skipped, bool follow)
{
    std::vector<named> names;
    read_error = 0;
    // The listing reads through a descriptor of its own, which closedir
    // closes. A copy shares fd's place in the listing, which nothing else
    // reads.
    const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    DIR* dir = own < 0 ? nullptr : fdopendir(own);
    if (!dir) {
        read_error = errno;
        if (own >= 0)
            close(own);
        return names;
    }
    for (;;) {
        errno = 0;
        const dirent* d = readdir(dir);
        if (!d) {
            read_error = errno;
            break;
        }
        if (d->d_name[0] == '.') {
            passed_over(skipped, d->d_name, 0);
            continue;
        }
        // Not following links, the listing's type is enough to go by: a
        // sound file is looked at when its turn comes, a folder when it is
        // walked, and nothing else at all.
        const bool known = !follow && (d->d_type == DT_REG || d->d_type == DT_DIR || d->d_type == DT_LNK);
        if (known && (d->d_type == DT_DIR || (d->d_type == DT_REG && sound_name(d->d_name, extensions))))
            names.push_back({d->d_name, d->d_type == DT_DIR, {}, 0, false, true});
        else if (known)
            passed_over(skipped, d->d_name, DTTOIF(d->d_type));
        if (known)
            continue;
        struct stat st;
        if (fstatat(fd, d->d_name, &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
            const bool wanted = d->d_type == DT_DIR || d->d_type == DT_UNKNOWN ||
                                (d->d_type == DT_REG && sound_name(d->d_name, extensions)) ||
                                (follow && errno == ELOOP);
            if (errno != ENOENT && wanted)
                names.push_back({d->d_name, false, {}, errno, false, false});
            continue;
        }
        const bool folder = S_ISDIR(st.st_mode);
        if (folder || (S_ISREG(st.st_mode) && sound_name(d->d_name, extensions)))
            names.push_back({d->d_name, folder, stamp_of(st), 0, follow && is_link(fd, *d), false});
        else
            passed_over(skipped, d->d_name, st.st_mode);
    }
    closedir(dir);
    std::sort(names.begin(), names.end(), [](const named& a, const named& b) { return a.name < b.name; });
    return names;
}

// A folder that let go of its descriptor while the walk was below it
// finds itself again, into dir: through the ".." of the folder below, sub,
// or by its path when it was reached through a link, as it then has
// another folder above it, or when sub is gone too. False when what is
// found is not the folder self tells of.
bool find_again(bool follow, owned_fd& dir, const owned_fd& sub, const std::string& path, const struct stat& self)
{
    dir.reset(follow || sub.fd < 0 ? open_path(AT_FDCWD, path.c_str(), O_DIRECTORY)
                                   : openat(sub.fd, "..", O_RDONLY | O_CLOEXEC | O_DIRECTORY));
    struct stat again;
    return dir.fd >= 0 && fstat(dir.fd, &again) == 0 && again.st_dev == self.st_dev && again.st_ino == self.st_ino;
}

// Goes into the folder open at dir, named path: its names are read now,
// in byte order, and walked one at a time.
void enter(walk_cursor& w, owned_fd dir, std::string path)
{
    walk_cursor::level& l = w.levels.emplace_back();
    l.dir = std::move(dir);
    l.names = list_folder(l.dir.fd, *w.extensions, l.read_error, w.skipped, w.follow);
    l.self = {};
    if (fstat(l.dir.fd, &l.self) != 0)
        l.read_error = errno;
    l.path = std::move(path);
    l.at = 0;
}

bool held_open(const walk_cursor::level& l)
{
    return l.dir.fd >= 0;
}

// The folder the walk is in is done with: its error, if it had one, into
// e, or the walk goes back up. A folder that let go of its descriptor finds
// itself again; one moved while the walk was below it is an entry with its
// error, and what is left of it cannot be walked.
bool leave(walk_cursor& w, walk_entry& e)
{
    walk_cursor::level& done = w.levels.back();
    if (done.read_error) {
        e = {done.path, {}, std::exchange(done.read_error, 0), true};
        return true;
    }
    const owned_fd sub = std::move(done.dir);
    w.levels.pop_back();
    // A folder the walk comes back to holds no descriptor only when it let
    // go of it for the one below.
    if (w.levels.empty() || held_open(w.levels.back()))
        return false;
    walk_cursor::level& up = w.levels.back();
    if (find_again(w.follow, up.dir, sub, up.path, up.self))
        return false;
    e = {up.path, {}, up.dir.fd < 0 ? errno : ENOENT, true};
    up.dir.reset();
    up.at = up.names.size();
    up.read_error = 0;
    return true;
}

// The file name in the folder open at fd, found as a sound file by the
// listing, as it stands now, into e as path: a file of another type by
// now is told when its turn comes, and one gone since is passed over.
bool look_at(int fd, const std::string& name, std::string& path, walk_entry& e)
{
    struct stat st;
    if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        e = {std::move(path), stamp_of(st), 0, true};
    else if (errno != ENOENT)
        e = {std::move(path), {}, errno, true};
    else
        return false;
    return true;
}

// The next name of the folder the walk is in: an entry into e, or false
// when the walk passed it over or went into it. Past max_open folders held,
// a folder lets go of its descriptor while the walk is below it.
bool next_name(walk_cursor& w, walk_entry& e)
{
    walk_cursor::level& l = w.levels.back();
    if (l.at == l.names.size())
        return leave(w, e);
    const named& n = l.names[l.at++];
    std::string below = (l.path.ends_with('/') ? l.path : l.path + "/") + n.name;
    const file_id id{n.stamp.dev, n.stamp.ino};
    if (w.follow && !n.error) {
        // A link back to a folder the walk is in would never end: it is
        // told, as a folder that cannot be read. A folder taken already is
        // passed over, and so is a file reached through a link; hard links
        // are files of their own.
        const auto in = [&](const walk_cursor::level& up) { return file_id{up.self.st_dev, up.self.st_ino} == id; };
        if (n.folder && std::any_of(w.levels.begin(), w.levels.end(), in)) {
            e = {std::move(below), {}, ELOOP, true};
            return true;
        }
        if (!w.seen.insert(id).second && (n.folder || n.linked))
            return false;
    }
    if (n.unlooked && !n.folder)
        return look_at(l.dir.fd, n.name, below, e);
    if (n.error || !n.folder) {
        e = {std::move(below), n.stamp, n.error, true};
        return true;
    }
    owned_fd sub{openat(l.dir.fd, n.name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (w.follow ? 0 : O_NOFOLLOW))};
    if (sub.fd < 0) {
        e = {std::move(below), {}, errno, true};
        return true;
    }
    if (std::count_if(w.levels.begin(), w.levels.end(), held_open) >= max_open)
        l.dir.reset();
    enter(w, std::move(sub), std::move(below));
    return false;
}

// An operand not below another: an entry into e, or false when it is a
// folder the walk goes into, or one taken already.
bool next_operand(walk_cursor& w, const std::string& operand, walk_entry& e)
{
    struct stat st;
    const bool known = operand != "-" && stat(operand.c_str(), &st) == 0;
    if (!w.recursive || !known || !S_ISDIR(st.st_mode)) {
        e = {operand, known && S_ISREG(st.st_mode) ? stamp_of(st) : file_stamp{}, 0, false};
        return true;
    }
    owned_fd top{open_path(AT_FDCWD, operand.c_str(), O_DIRECTORY)};
    if (top.fd < 0) {
        e = {operand, {}, errno, false};
        return true;
    }
    const file_id id{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    if (!w.follow || w.seen.insert(id).second)
        enter(w, std::move(top), operand);
    return false;
}

bool next_walked(void* opaque, walk_entry& e)
{
    return walk_next(*static_cast<walk_cursor*>(opaque), e);
}

// The shard's next entry: an entry is in the part its middle byte falls
// in. 2 * count * bytes can pass 64 bits. A tree that grew since it was
// counted puts what it grew by in the last part.
bool next_in_part(void* opaque, walk_entry& e)
{
    shard_cursor& s = *static_cast<shard_cursor*>(opaque);
    __extension__ using wide = unsigned __int128;
    while (s.from.next(s.from.opaque, e)) {
        const std::uint64_t weight = e.stamp.size + 1;
        const wide part = (2 * wide{s.before} + weight) * s.count / (2 * wide{std::max<std::uint64_t>(s.total, 1)});
        s.before += weight;
        if (std::min<wide>(part, s.count - 1) == s.index)
            return true;
    }
    return false;
}

}  // namespace

file_stamp stamp_of(const struct stat& st)
{
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size), nanoseconds(st.st_mtim), nanoseconds(st.st_ctim), S_ISREG(st.st_mode)};
}

void init_walk(walk_cursor& w, const std::vector<std::string>& operands, bool recursive,
               const std::vector<std::string>& extensions, walk_skipped* skipped, bool follow)
{
    w.operands = &operands;
    w.operand = 0;
    w.recursive = recursive;
    w.extensions = &extensions;
    w.skipped = skipped;
    w.follow = follow;
    w.seen.clear();
    w.levels.clear();
}

bool walk_next(walk_cursor& w, walk_entry& e)
{
    for (;;) {
        if (!w.levels.empty()) {
            if (next_name(w, e))
                return true;
        } else if (w.operand == w.operands->size()) {
            return false;
        } else if (next_operand(w, (*w.operands)[w.operand++], e)) {
            return true;
        }
    }
}

std::vector<walk_entry> walk_operands(const std::vector<std::string>& operands, bool recursive,
                                      const std::vector<std::string>& extensions, walk_skipped* skipped, bool follow)
{
    walk_cursor w;
    init_walk(w, operands, recursive, extensions, skipped, follow);
    std::vector<walk_entry> out;
    walk_entry e;
    while (walk_next(w, e))
        out.push_back(std::move(e));
    return out;
}

entry_source walk_source(walk_cursor& w)
{
    return {next_walked, &w};
}

walk_total count_entries(entry_source from)
{
    walk_total t;
    walk_entry e;
    while (from.next(from.opaque, e)) {
        t.files += !e.error;
        t.weight += e.stamp.size + 1;
    }
    return t;
}

entry_source shard_source(shard_cursor& s)
{
    return {next_in_part, &s};
}

bool look_ahead(entry_queue& q, std::size_t n)
{
    walk_entry e;
    while (q.ahead.size() < n && !q.ended) {
        if (!q.from.next(q.from.opaque, e)) {
            q.ended = true;
            break;
        }
        q.files += !e.error;
        q.bytes += e.stamp.size;
        q.ahead.push_back(std::move(e));
    }
    return q.ahead.size() >= n;
}

bool more_than_one_file(entry_queue& q)
{
    std::size_t files = 0;
    for (std::size_t n = 0; files < 2 && look_ahead(q, n + 1); ++n)
        files += !q.ahead[n].error;
    return files > 1;
}

bool read_names0(const std::string& file, std::vector<std::string>& names, std::string& why,
                 std::vector<std::string>& refused)
{
    const bool from_stdin = file == "-";
    owned_fd opened{from_stdin ? -1 : open_path(AT_FDCWD, file.c_str(), 0)};
    const int fd = from_stdin ? STDIN_FILENO : opened.fd;
    std::string all;
    char block[65536];
    ssize_t n = fd < 0 ? -1 : 0;
    while (fd >= 0 && (n = retry_eintr([&] { return read(fd, block, sizeof block); })) > 0)
        all.append(block, static_cast<std::size_t>(n));
    if (n < 0) {
        why = std::generic_category().message(errno);
        return false;
    }
    std::size_t number = 0;
    for (std::size_t i = 0; i < all.size();) {
        const std::size_t end = std::min(all.find('\0', i), all.size());
        ++number;
        if (end == i)
            refused.push_back(file + ":" + std::to_string(number) + ": invalid zero-length file name");
        else if (from_stdin && all.compare(i, end - i, "-") == 0)
            refused.push_back("when reading file names from standard input, no file name of '-' allowed");
        else
            names.push_back(all.substr(i, end - i));
        i = end + 1;
    }
    return true;
}
