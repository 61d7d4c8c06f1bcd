// SPDX-License-Identifier: MIT
// The walk an entry at a time: what it holds while it goes, and the parts
// of it that machines sharing a survey take.
#include "walk.hpp"

#include "testfiles.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

void touch(const std::string& path)
{
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    close(fd);
}

// 20 folders of 30 files, and a chain of 40 folders, a file in each: deeper
// than the folders a walk holds open at once. At every entry the walk holds
// the names of the folders it is in and of none it has left, and no more
// than 32 descriptors.
TEST(Walk, HoldsOnlyTheFoldersItIsIn)
{
    const std::string root = scratch_dir() + "/walked";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    for (int i = 0; i < 20; ++i) {
        const std::string folder = root + "/w" + std::to_string(10 + i);
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        for (int j = 0; j < 30; ++j)
            touch(folder + "/" + std::to_string(10 + j) + ".wav");
    }
    std::string deep = root;
    for (int d = 0; d < 40; ++d) {
        deep += "/z";
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
        touch(deep + "/f.wav");
    }
    const std::vector<std::string> operands{root}, extensions{"wav"};
    walk_cursor w;
    init_walk(w, operands, true, extensions);
    std::vector<std::string> paths;
    std::size_t most_names = 0, most_levels = 0;
    walk_entry e;
    while (walk_next(w, e)) {
        EXPECT_EQ(e.error, 0) << e.path;
        paths.push_back(e.path);
        std::size_t names = 0, open = 0;
        for (const walk_cursor::level& l : w.levels) {
            names += l.names.size();
            open += l.dir.fd >= 0;
        }
        most_names = std::max(most_names, names);
        most_levels = std::max(most_levels, w.levels.size());
        EXPECT_LE(open, 32u) << e.path;
    }
    ASSERT_EQ(paths.size(), 20u * 30 + 40);
    EXPECT_EQ(paths[0], root + "/w10/10.wav");
    EXPECT_EQ(paths[30], root + "/w11/10.wav");
    EXPECT_EQ(paths[600], root + "/z/f.wav");
    EXPECT_EQ(paths.back(), deep + "/f.wav");
    EXPECT_EQ(most_levels, 41u);
    EXPECT_EQ(most_names, 21u + 39 * 2 + 1) << "the root's names, and those of the chain down to its end";
}

// The entries of a list, from at on.
struct entry_list {
    const std::vector<walk_entry>* entries;
    std::size_t at;
};

bool next_listed(void* opaque, walk_entry& e)
{
    entry_list& l = *static_cast<entry_list*>(opaque);
    if (l.at == l.entries->size())
        return false;
    e = (*l.entries)[l.at++];
    return true;
}

entry_source list_source(entry_list& l)
{
    return {next_listed, &l};
}

std::vector<std::string> paths_of(entry_source from)
{
    std::vector<std::string> paths;
    walk_entry e;
    while (from.next(from.opaque, e))
        paths.push_back(e.path);
    return paths;
}

// The parts, put together in order, are the whole, each entry once, and
// each part about an equal share of the bytes; a tree that grew since it
// was counted puts what it grew by in the last part, losing nothing.
TEST(Walk, PartsShareTheEntriesInOrder)
{
    std::vector<walk_entry> all;
    std::vector<std::string> names;
    for (unsigned i = 0; i < 50; ++i) {
        all.push_back({"f" + std::to_string(i), {0, i, (i % 7) * 1000, 0, 0, true}, 0, true});
        names.push_back(all.back().path);
    }
    all.push_back({"sealed", {}, 13, true});
    names.push_back("sealed");
    entry_list counted{&all, 0};
    const walk_total whole = count_entries(list_source(counted));
    EXPECT_EQ(whole.files, 50u);
    EXPECT_EQ(whole.weight, 7u * 21000 + 51);
    for (const std::uint64_t total : {whole.weight, whole.weight / 2}) {
        std::vector<std::string> joined;
        for (unsigned part = 0; part < 3; ++part) {
            entry_list l{&all, 0};
            shard_cursor s{list_source(l), part, 3, total, 0};
            const std::vector<std::string> got = paths_of(shard_source(s));
            EXPECT_FALSE(got.empty()) << part;
            joined.insert(joined.end(), got.begin(), got.end());
            std::uint64_t weight = 0;
            for (const std::string& p : got)
                for (const walk_entry& e : all)
                    weight += e.path == p ? e.stamp.size + 1 : 0;
            if (total == whole.weight) {
                EXPECT_LE(weight > whole.weight / 3 ? weight - whole.weight / 3 : whole.weight / 3 - weight, 6001u)
                    << "part " << part << " is a third of the bytes, give or take a file";
            }
        }
        EXPECT_EQ(joined, names) << "counted as " << total;
    }
}

}  // namespace
