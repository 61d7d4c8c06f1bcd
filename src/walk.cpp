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

struct walker {
    const std::vector<std::string>* extensions;
    std::vector<walk_entry>* out;
    int held;               // folders open
    walk_skipped* skipped;  // or nullptr
    // Following symbolic links, a folder or file may be reached twice, and
    // a link may lead back to a folder the walk is in.
    bool follow;
    std::set<file_id> seen;         // folders and files taken
    std::vector<file_id> ancestors; // the folders the walk is in
};

bool sound_name(const char* name, const std::vector<std::string>& extensions)
{
    return std::strrchr(name, '.') && std::binary_search(extensions.begin(), extensions.end(), extension_of(name));
}

struct named {
    std::string name;
    bool folder;
    file_stamp stamp;
    int error;    // the name could not be looked at: its errno
    bool linked;  // a symbolic link, followed
};

// Counts what the walk passes over, when asked.
void passed_over(walk_skipped* skipped, const char* name, const struct stat* st)
{
    if (!skipped)
        return;
    if (name[0] == '.') {
        skipped->dot_names += name[1] != '\0' && std::strcmp(name, "..") != 0;
    } else if (S_ISLNK(st->st_mode)) {
        ++skipped->links;
    } else if (S_ISREG(st->st_mode)) {
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
            passed_over(skipped, d->d_name, nullptr);
            continue;
        }
        struct stat st;
        if (fstatat(fd, d->d_name, &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
            const bool wanted = d->d_type == DT_DIR || d->d_type == DT_UNKNOWN ||
                                (d->d_type == DT_REG && sound_name(d->d_name, extensions)) ||
                                (follow && errno == ELOOP);
            if (errno != ENOENT && wanted)
                names.push_back({d->d_name, false, {}, errno, false});
            continue;
        }
        const bool folder = S_ISDIR(st.st_mode);
        if (folder || (S_ISREG(st.st_mode) && sound_name(d->d_name, extensions)))
            names.push_back({d->d_name, folder, stamp_of(st), 0, follow && is_link(fd, *d)});
        else
            passed_over(skipped, d->d_name, &st);
    }
    closedir(dir);
    std::sort(names.begin(), names.end(), [](const named& a, const named& b) { return a.name < b.name; });
    return names;
}

// A folder that let go of its descriptor while the walk was below it
// finds itself again, into dir: through the ".." of the folder below, sub,
// or by its path when it was reached through a link, as it then has
// another folder above it. False when what is found is not the folder
// self tells of.
bool find_again(const walker& w, owned_fd& dir, const owned_fd& sub, const std::string& path,
                const struct stat& self)
{
    dir.reset(w.follow ? open_path(AT_FDCWD, path.c_str(), O_DIRECTORY)
                       : openat(sub.fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat again;
    return dir.fd >= 0 && fstat(dir.fd, &again) == 0 && again.st_dev == self.st_dev && again.st_ino == self.st_ino;
}

// Walks the folder open at dir, named path. Entries go in byte order of
// their names, a folder's own at its place among them. Past max_open
// folders held, a folder lets go of its descriptor while the walk is below
// it, and finds itself again through the ".." of the folder below, which
// must be the same folder.
void walk_folder(walker& w, owned_fd& dir, const std::string& path)
{
    int read_error;
    const std::vector<named> names = list_folder(dir.fd, *w.extensions, read_error, w.skipped, w.follow);
    struct stat self;
    if (fstat(dir.fd, &self) != 0)
        read_error = errno;
    const std::string prefix = path.ends_with('/') ? path : path + "/";
    for (const named& n : names) {
        const std::string below = prefix + n.name;
        const file_id id{n.stamp.dev, n.stamp.ino};
        if (w.follow && !n.error) {
            // A link back to a folder the walk is in would never end: it
            // is told, as a folder that cannot be read. A folder taken
            // already is passed over, and so is a file reached through a
            // link; hard links are files of their own.
            if (n.folder && std::find(w.ancestors.begin(), w.ancestors.end(), id) != w.ancestors.end()) {
                w.out->push_back({below, {}, ELOOP, true});
                continue;
            }
            if (!w.seen.insert(id).second && (n.folder || n.linked))
                continue;
        }
        if (n.error || !n.folder) {
            w.out->push_back({below, n.stamp, n.error, true});
            continue;
        }
        owned_fd sub{openat(dir.fd, n.name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (w.follow ? 0 : O_NOFOLLOW))};
        if (sub.fd < 0) {
            w.out->push_back({below, {}, errno, true});
            continue;
        }
        const bool let_go = ++w.held > max_open;
        if (let_go) {
            dir.reset();
            --w.held;
        }
        w.ancestors.push_back(id);
        walk_folder(w, sub, below);
        w.ancestors.pop_back();
        if (let_go) {
            if (!find_again(w, dir, sub, path, self)) {
                // Moved while the walk was below it: what is left of it
                // cannot be found.
                w.out->push_back({path, {}, dir.fd < 0 ? errno : ENOENT, true});
                sub.reset();
                --w.held;
                dir.reset();
                return;
            }
            ++w.held;
        }
        sub.reset();
        --w.held;
    }
    if (read_error)
        w.out->push_back({path, {}, read_error, true});
}

}  // namespace

file_stamp stamp_of(const struct stat& st)
{
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size), nanoseconds(st.st_mtim), nanoseconds(st.st_ctim), S_ISREG(st.st_mode)};
}

std::vector<walk_entry> walk_operands(const std::vector<std::string>& operands, bool recursive,
                                      const std::vector<std::string>& extensions, walk_skipped* skipped, bool follow)
{
    std::vector<walk_entry> out;
    walker w{&extensions, &out, 0, skipped, follow, {}, {}};
    for (const std::string& operand : operands) {
        struct stat st;
        const bool known = operand != "-" && stat(operand.c_str(), &st) == 0;
        if (recursive && known && S_ISDIR(st.st_mode)) {
            owned_fd top{open_path(AT_FDCWD, operand.c_str(), O_DIRECTORY)};
            if (top.fd < 0) {
                out.push_back({operand, {}, errno, false});
                continue;
            }
            w.held = 1;
            const file_id id{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
            if (follow && !w.seen.insert(id).second)
                continue;
            w.ancestors.assign(1, id);
            walk_folder(w, top, operand);
            continue;
        }
        out.push_back({operand, known && S_ISREG(st.st_mode) ? stamp_of(st) : file_stamp{}, 0, false});
    }
    return out;
}

std::vector<walk_entry> shard_of(const std::vector<walk_entry>& entries, unsigned index, unsigned count)
{
    // An entry is in the part its middle byte falls in: 2 * count * bytes
    // can pass 64 bits.
    __extension__ using wide = unsigned __int128;
    wide total = 0;
    for (const walk_entry& e : entries)
        total += e.stamp.size + 1;
    std::vector<walk_entry> part;
    wide before = 0;
    for (const walk_entry& e : entries) {
        const wide weight = e.stamp.size + 1;
        if ((2 * before + weight) * count / (2 * total) == index)
            part.push_back(e);
        before += weight;
    }
    return part;
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
