// SPDX-License-Identifier: MIT
// The block of totals: every count in its place, the five commonest
// extensions passed over, ties in byte order, and a JSON object whatever
// bytes an extension has.
#include "stats.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Stats, EveryCountInItsPlace)
{
    survey_stats s;
    s.by_status[0] = 1, s.by_status[1] = 2, s.by_status[2] = 3, s.by_status[3] = 4;
    s.with_errors = 5, s.unread = 6, s.frames = 7, s.bytes = 8;
    walk_skipped w;
    w.by_extension = {{"jpg", 3}, {"txt", 1}, {"", 1}, {"a\"b", 1}, {"m4a", 3}, {"zip", 1}, {"cue", 2}};
    w.other_extensions = 12, w.links = 9, w.dot_names = 10, w.other_types = 11;
    std::string text, json;
    put_stats(text, s, w, 1.5, false);
    put_stats(json, s, w, 1.5, true);
    EXPECT_EQ(text,
              "files: 10 (stream 1, none 2, damaged 3, error 4), 5 with checksum errors\n"
              "folders or names not read: 6\n"
              "frames: 7\nbytes read: 8\nseconds: 1.500\n"
              "passed over: 12 of other extensions (jpg 3, m4a 3, cue 2, no extension 1, a\"b 1), "
              "9 symbolic links, 10 dot names, 11 of other types\n");
    EXPECT_EQ(json,
              "{\"files\":10,\"stream\":1,\"none\":2,\"damaged\":3,\"error\":4,\"with_checksum_errors\":5,\"unread\":6,"
              "\"frames\":7,\"bytes_read\":8,\"seconds\":1.500,\"passed_over\":{\"other_extensions\":12,"
              "\"commonest\":{\"jpg\":3,\"m4a\":3,\"cue\":2,\"\":1,\"a\\\"b\":1},\"symbolic_links\":9,\"dot_names\":10,"
              "\"other_types\":11}}\n");
}

}  // namespace
