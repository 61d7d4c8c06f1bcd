// SPDX-License-Identifier: MIT
#include <kesscan/kesscan.hpp>

#include "testfiles.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace {

const char* const mixed =
    "zeros 300\nsync\n01 29 25 c1 00\n02 f4 ff\n04 07 48 65 6c 6c 6f\n07\n"
    "sync\n02 00 80 crc=0x55\n01 29 25 c1 00 crc=0x48\nzeros 56\n";

struct kept_frames {
    std::vector<std::string> json;
    std::vector<kesscan::frame> records;  // but for their fields
    std::vector<std::vector<kesscan::field>> fields;
    std::size_t wanted = SIZE_MAX;  // frames, after which the scan ends
};

bool keep(void* context, const kesscan::frame& f)
{
    auto& k = *static_cast<kept_frames*>(context);
    k.json.emplace_back(f.json);
    k.records.push_back(f);
    k.fields.emplace_back(f.fields, f.fields + f.field_count);
    return k.json.size() < k.wanted;
}

std::vector<std::int32_t> samples_of(const std::string& path)
{
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    std::vector<std::int32_t> s(static_cast<std::size_t>(info.frames) * 2);
    sf_readf_int(f, s.data(), info.frames);
    sf_close(f);
    return s;
}

}  // namespace

TEST(Library, TellsASummaryAndEachFrameWithWhatItHolds)
{
    const std::string path = kesgen_file("lib-mixed.wav", mixed);
    const kesscan::summary s = kesscan::scan_path(path.c_str(), {});
    EXPECT_STREQ(s.status, "stream");
    EXPECT_TRUE(s.synced);
    EXPECT_EQ(s.sync, 300u);
    EXPECT_TRUE(s.rate.known && s.bits.known && s.gain.known);
    EXPECT_STREQ(s.rate.text, "768 kHz");
    EXPECT_EQ(s.rate_hz, 768000u);
    EXPECT_STREQ(s.bits.text, "16 bits");
    EXPECT_EQ(s.gain.number, 73);
    EXPECT_EQ(s.frames, 9u);
    EXPECT_EQ(s.errors, 2u);
    EXPECT_EQ(s.reason, "");
    EXPECT_EQ(s.json + "\n", run(KESSCAN_PATH " --summary --json " + quoted(path)).out);

    kept_frames k;
    const kesscan::frame_receiver r{keep, &k};
    kesscan::settings only2;
    only2.type = 2;
    const kesscan::summary with = kesscan::scan_path(path.c_str(), only2, &r);
    EXPECT_EQ(with.frames, 9u);
    EXPECT_FALSE(with.rate.known);  // the source is read by a summary alone
    std::string lines;
    for (const std::string& j : k.json)
        lines += j + "\n";
    EXPECT_EQ(lines, run(KESSCAN_PATH " --json -p 2 " + quoted(path)).out);
    // The gain frames, whole; then the type-1 frame with a checksum error,
    // shown for it alone.
    ASSERT_EQ(k.records.size(), 3u);
    EXPECT_TRUE(k.records[0].selected && k.records[0].whole && k.records[0].crc_ok);
    EXPECT_STREQ(k.records[0].name, "gain");
    ASSERT_EQ(k.fields[0].size(), 2u);
    EXPECT_STREQ(k.fields[0][1].name, "gain");
    EXPECT_EQ(k.fields[0][1].bits, 16u);
    EXPECT_TRUE(k.fields[0][1].is_signed);
    EXPECT_EQ(static_cast<std::int64_t>(k.fields[0][1].number), -12);
    EXPECT_FALSE(k.records[1].crc_ok);
    EXPECT_EQ(k.records[1].crc, 0x55u);
    EXPECT_EQ(k.records[1].error_pos, 644u);
    EXPECT_FALSE(k.records[2].selected);
    EXPECT_EQ(k.records[2].name, nullptr);
    EXPECT_EQ(k.records[2].field_count, 0u);
    EXPECT_EQ(k.records[2].pos, 644u);

    // single stops after the first frame of type 1 (of the type asked for,
    // when one is), as -1 does.
    kept_frames first;
    const kesscan::frame_receiver all{keep, &first};
    EXPECT_EQ(kesscan::scan_path(path.c_str(), {0, true, -1}, &all).frames, 2u);
    ASSERT_EQ(first.records.size(), 1u);
    EXPECT_EQ(first.records[0].type, 1u);
    EXPECT_EQ(first.json[0] + "\n", run(KESSCAN_PATH " --json -1 " + quoted(path)).out);
    EXPECT_EQ(kesscan::scan_path(path.c_str(), {0, true, 2}, &all).frames, 3u);
    EXPECT_EQ(kesscan::scan_path(path.c_str(), {0, true, 0}, &all).frames, 1u);
    EXPECT_FALSE(kesscan::scan_path("no-such.wav", {}).synced);

    // The receiver ends the scan: the frames decoded are those it took.
    kept_frames two;
    two.wanted = 2;
    const kesscan::frame_receiver enough{keep, &two};
    EXPECT_EQ(kesscan::scan_path(path.c_str(), {}, &enough).frames, 2u);
    EXPECT_EQ(two.json.size(), 2u);
}

TEST(Library, EverySourceOfTheSameSamplesTellsTheSame)
{
    const std::string path = kesgen_file("lib-late.flac", "zeros 700\nsync\n01 29 25 91 00\nzeros 10\n");
    for (const kesscan::settings& set : {kesscan::settings{}, kesscan::settings{356, true, -1},
                                          kesscan::settings{800, false, -1}}) {
        const kesscan::summary want = kesscan::scan_path(path.c_str(), set);
        const std::string bytes = read_file(path);
        EXPECT_EQ(kesscan::scan_buffer(bytes.data(), bytes.size(), path.c_str(), set).json, want.json);
        const int fd = open(path.c_str(), O_RDONLY);
        EXPECT_EQ(kesscan::scan_fd(fd, path.c_str(), set).json, want.json);
        EXPECT_EQ(fcntl(fd, F_GETFD), 0);  // still open
        close(fd);
        const std::vector<std::int32_t> s = samples_of(path);
        EXPECT_EQ(kesscan::scan_samples(s.data(), s.size() / 2, path.c_str(), set).json, want.json);
    }
    const kesscan::summary wide = kesscan::scan_path(path.c_str(), {});
    EXPECT_EQ(wide.sync, 700u);
    EXPECT_EQ(wide.rate_hz, 96000u);
    // Past the end of the samples, as of the file.
    const std::vector<std::int32_t> s = samples_of(path);
    EXPECT_EQ(kesscan::scan_samples(s.data(), s.size() / 2, "x", {100000, false, -1}).reason,
              "start position 100000 is outside the file");
    EXPECT_STREQ(kesscan::scan_samples(s.data(), 0, "x", {}).status, "none");
}

TEST(Library, WhatCannotBeScannedComesBackAsAValue)
{
    const kesscan::summary missing = kesscan::scan_path("no-such-file.wav", {});
    EXPECT_STREQ(missing.status, "error");
    EXPECT_EQ(missing.reason, "System error : No such file or directory.");
    EXPECT_EQ(missing.json, run(KESSCAN_PATH " --summary --json no-such-file.wav").out.substr(0, missing.json.size()));
    EXPECT_EQ(kesscan::scan_path("x.wav", {-1, false, -1}).reason, "start must be 0 or more");
    EXPECT_EQ(kesscan::scan_path("x.wav", {0, false, 256}).reason,
              "type must be from 0 to 255, or -1 for every type");
    EXPECT_EQ(kesscan::settings_refused({0, false, -2}), kesscan::scan_path("x", {0, false, -2}).reason);
    EXPECT_EQ(kesscan::settings_refused({0, false, 255}), nullptr);
    EXPECT_EQ(kesscan::scan_fd(-1, "bad", {}).reason, "System error : Bad file descriptor.");
    const kesscan::summary empty = kesscan::scan_buffer("", 0, "empty", {});
    EXPECT_STREQ(empty.status, "error");
    EXPECT_EQ(empty.file, "empty");
}

TEST(Library, TwoThreadsScanAtOnce)
{
    const std::string a = kesgen_file("lib-a.flac", mixed);
    const std::string b = kesgen_file("lib-b.wav", "sync\n01 29 25 01 00\n02 00 80 crc=0x55\nzeros 100\n");
    const std::string alone_a = kesscan::scan_path(a.c_str(), {}).json;
    const std::string alone_b = kesscan::scan_path(b.c_str(), {}).json;
    std::string got_a, got_b;
    kept_frames ka, kb;
    {
        std::jthread one([&] {
            for (int i = 0; i < 20; ++i)
                got_a = kesscan::scan_path(a.c_str(), {}).json;
        });
        std::jthread two([&] {
            const kesscan::frame_receiver r{keep, &kb};
            for (int i = 0; i < 20; ++i)
                got_b = kesscan::scan_path(b.c_str(), {}).json, kesscan::scan_path(b.c_str(), {}, &r);
        });
    }
    EXPECT_EQ(got_a, alone_a);
    EXPECT_EQ(got_b, alone_b);
    EXPECT_EQ(kb.json.size(), 20u * 5u);
}
