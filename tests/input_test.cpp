// SPDX-License-Identifier: MIT
// Paths of any length opened and looked at, and a pipe looked into
// without taking its bytes.
#include "input.hpp"

#include "testfiles.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <string>
#include <utility>

namespace {

// A long path is refused as too long when no part of it fits the system's
// limit, and as missing when the part that fits is: never opened as
// something else.
TEST(OpenPath, NameWithoutAPartThatFitsIsTooLong)
{
    const std::string name(PATH_MAX + 10, 'x');
    errno = 0;
    EXPECT_EQ(open_path(AT_FDCWD, name.c_str(), 0), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    // The part that fits is looked for first: here it is missing.
    errno = 0;
    EXPECT_EQ(open_path(AT_FDCWD, ("not-here/" + name).c_str(), 0), -1);
    EXPECT_EQ(errno, ENOENT);
}

// Takes every descriptor below a limit of 64 but two: a pipe can be made,
// nothing more. Whether it could.
bool leave_two_descriptors()
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_max < 64)
        return false;
    lim.rlim_cur = 64;
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0)
        return false;
    int before = -1, last = -1;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        before = std::exchange(last, fd);
    return errno == EMFILE && before >= 0 && close(before) == 0 && close(last) == 0;
}

// A look into a pipe with no descriptor to spare for watching its writes
// still sees its writer go, and takes nothing from it.
TEST(PipeLook, WithoutADescriptorToWatchWritesEndsWhenTheWriterHasGone)
{
    // Shorter than a tag's header, and than the marker with its first
    // block's header.
    for (const std::string& bytes : {std::string("fLa"), std::string("fLaC\x80\0\0\x22\0\x10\0", 11)}) {
        const pid_t child = start_child(
            [&] {
                int p[2];
                if (pipe(p) != 0 || write(p[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
                    return 2;
                close(p[1]);
                if (!leave_two_descriptors())
                    return 3;
                const bool flac = flac_input_at(p[0], false);
                char left[16];
                const bool kept = read(p[0], left, sizeof left) == static_cast<ssize_t>(bytes.size());
                return !flac && kept ? 0 : 1;
            },
            10);
        EXPECT_EQ(child_status(child), 0) << bytes.size() << " bytes";
    }
}

}  // namespace
