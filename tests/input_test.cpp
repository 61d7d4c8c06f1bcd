// SPDX-License-Identifier: MIT
// Paths of any length opened and looked at.
#include "input.hpp"

#include "testfiles.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <string>

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

}  // namespace
