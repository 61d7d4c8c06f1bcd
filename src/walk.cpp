#include "walk.hpp"

#include "formats.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace {

bool sound_name(const char* name, const std::vector<std::string>& extensions)
{
    return std::strrchr(name, '.') && std::binary_search(extensions.begin(), extensions.end(), extension_of(name));
}

// Walks the folder open at fd, named path, into out. Entries go in byte
// order of their names, a folder's own at its place among them.
void walk_folder(int fd, const std::string& path, const std::vector<std::string>& extensions,
                 std::vector<walk_entry>& out)
{
    DIR* dir = fdopendir(fd);
    if (!dir) {
        out.push_back({path, 0, errno});
        close(fd);
        return;
    }
    struct named {
        std::string name;
        bool folder;
        std::uint64_t size;
    };
    std::vector<named> names;
    int read_error = 0;
    for (;;) {
        errno = 0;
        const dirent* d = readdir(dir);
        if (!d) {
            read_error = errno;
            break;
        }
        if (d->d_name[0] == '.')
            continue;
        struct stat st;
        if (fstatat(dirfd(dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;  // gone since the folder was read
        const bool folder = S_ISDIR(st.st_mode);
        if (folder || (S_ISREG(st.st_mode) && sound_name(d->d_name, extensions)))
            names.push_back({d->d_name, folder, static_cast<std::uint64_t>(st.st_size)});
    }
    std::sort(names.begin(), names.end(), [](const named& a, const named& b) { return a.name < b.name; });
    const std::string prefix = path.ends_with('/') ? path : path + "/";
    for (const named& n : names) {
        const std::string below = prefix + n.name;
        if (!n.folder) {
            out.push_back({below, n.size, 0});
            continue;
        }
        const int sub = openat(dirfd(dir), n.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0)
            out.push_back({below, 0, errno});
        else
            walk_folder(sub, below, extensions, out);
    }
    if (read_error)
        out.push_back({path, 0, read_error});
    closedir(dir);
}

}  // namespace

std::vector<walk_entry> walk_operands(const std::vector<std::string>& operands, bool recursive,
                                      const std::vector<std::string>& extensions)
{
    std::vector<walk_entry> out;
    for (const std::string& operand : operands) {
        struct stat st;
        const bool known = operand != "-" && stat(operand.c_str(), &st) == 0;
        if (recursive && known && S_ISDIR(st.st_mode)) {
            const int fd = open(operand.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0)
                out.push_back({operand, 0, errno});
            else
                walk_folder(fd, operand, extensions, out);
            continue;
        }
        out.push_back({operand, known && S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0, 0});
    }
    return out;
}
