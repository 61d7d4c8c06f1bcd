// SPDX-License-Identifier: MIT
// Scans as a library: two files scanned at once on two threads, over and
// over, each giving byte for byte what it gives alone, and the error told
// of a FLAC file that the decoder finds more than one fault in.
#include "scan.hpp"

#include "testfiles.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// Both streams of a scan in one text, in the order they were written, each
// write marked with its stream.
std::string scanned(const scan_settings& settings, const std::string& path)
{
    std::string text;
    scan_file(settings, path.c_str(), {[](void* o, int stream, const char* s, std::size_t n) {
                                           static_cast<std::string*>(o)->append(stream == out_text ? "[1]" : "[2]").append(s, n);
                                       },
                                       &text});
    return text;
}

TEST(ScanFile, TwoScansAtOnceGiveWhatEachGivesAlone)
{
    std::string gains = "zeros 3\nsync\n", params = "sync\n";
    for (int i = 0; i < 3000; ++i) {
        gains += "02 " + std::to_string(i % 90 + 10) + " 00" + (i % 7 ? "\n" : " crc=0x00\n");
        params += i % 5 ? "01 29 25 c1 00\n" : "04 07 48 65\n";
    }
    const std::string a = kesgen_file("gains.flac", gains), b = kesgen_file("params.wav", params);
    // A cut copy of the first, for a damaged file's message.
    const std::string cut = scratch_dir() + "/gains-cut.flac";
    std::filesystem::copy_file(a, cut);
    std::filesystem::resize_file(cut, std::filesystem::file_size(a) * 2 / 3);

    for (const auto& [summary, json] : {std::pair{false, false}, {false, true}, {true, false}}) {
        scan_settings settings;
        settings.summary = summary;
        settings.json = json;
        settings.show_name = true;
        const std::vector<std::string> files = {a, b, cut};
        std::vector<std::string> alone;
        for (const auto& f : files)
            alone.push_back(scanned(settings, f));
        EXPECT_NE(alone[2].find("[2]"), std::string::npos) << "the cut file's message";
        for (int round = 0; round < 20; ++round) {
            const std::size_t first = round % 3, second = (round + 1) % 3;
            std::string one, two;
            std::thread t([&] { one = scanned(settings, files[first]); });
            two = scanned(settings, files[second]);
            t.join();
            EXPECT_EQ(one, alone[first]) << round;
            EXPECT_EQ(two, alone[second]) << round;
        }
    }
}

// Where the frames of a FLAC file begin, as flac's own analysis gives them.
std::vector<std::size_t> frame_offsets(const std::string& flac)
{
    const std::string analysis = flac + ".analysis";
    EXPECT_EQ(run("flac -s -a -o " + quoted(analysis) + " " + quoted(flac)).status, 0);
    std::vector<std::size_t> at;
    std::istringstream lines(read_file(analysis));
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("frame="))
            at.push_back(std::stoul(line.substr(line.find("offset=") + 7)));
    return at;
}

// Bytes before frame 1 lose the decoder its sync; a changed byte of frame
// 1's CRC-16, its last two bytes, fails that frame. With both, the decoder
// meets both before it gives a frame again: the first is told.
TEST(ScanFile, TheFirstOfTheDecodersErrorsIsTold)
{
    const std::string wav = kesgen_file("errors.wav", "sync\n01 29 25 c1 00\n", "-s tone -n 20000");
    const std::string flac = scratch_dir() + "/errors.flac";
    ASSERT_EQ(run("flac -s -f -b 1152 -o " + quoted(flac) + " " + quoted(wav)).status, 0);
    const std::vector<std::size_t> at = frame_offsets(flac);
    ASSERT_GE(at.size(), 3u);
    const std::string bytes = read_file(flac);
    scan_settings settings;
    settings.summary = true;
    for (const auto& [lost, failed, told] : {std::tuple{true, false, "Error : flac decoder lost sync."},
                                             {false, true, "Error : unknown error in flac decoder."},
                                             {true, true, "Error : flac decoder lost sync."}}) {
        std::string damaged = bytes;
        if (failed)
            damaged[at[2] - 1] = static_cast<char>(damaged[at[2] - 1] ^ 0xff);
        if (lost)
            damaged.insert(at[1], std::string("\0junk\0junk", 10));
        const std::string path = scratch_dir() + "/errors-damaged.flac";
        std::ofstream(path, std::ios::binary) << damaged;
        EXPECT_NE(scanned(settings, path).find(told), std::string::npos) << "lost " << lost << ", failed " << failed;
    }
}

}  // namespace
