// Damaged and cut files, whose output depends on where the damage falls:
// what was decoded before it stays, whole lines of what the whole file
// prints, and libsndfile's error follows it.
#include "testfiles.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

std::string bytes_of(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

run_result scan(const std::string& name, const std::string& bytes)
{
    std::ofstream(scratch_dir() + "/" + name, std::ios::binary) << bytes;
    return run("cd " + quoted(scratch_dir()) + " && " + kesscan_command() + " " + name);
}

TEST(BadInput, CutAndDamagedFilesKeepWhatWasReadAndSaySo)
{
    // The sync pattern 3 frames in puts the byte grid off the 4096-frame
    // blocks, so a failing read mostly finds the window still holding bits.
    std::string list = "zeros 3\nsync\n";
    for (int i = 0; i < 3000; ++i)
        list += "02 " + std::to_string(10 + i % 90) + " 00\n";
    for (const std::string type : {"flac", "wav"}) {
        const std::string whole = bytes_of(kesgen_file("whole." + type, list));
        const std::string all = run(kesscan_command() + " " + quoted(scratch_dir() + "/whole." + type)).out;
        for (const double at : {0.3, 0.45, 0.6, 0.75, 0.9}) {
            const auto cut = static_cast<std::size_t>(static_cast<double>(whole.size()) * at);
            // Damage inside a WAV's samples is only other samples.
            std::vector<std::pair<std::string, std::string>> files = {{"cut." + type, whole.substr(0, cut)}};
            if (type == "flac") {
                files.emplace_back("damaged.flac", whole);
                for (std::size_t i = cut; i < cut + 400; ++i)
                    files.back().second[i] ^= 0x5a;
            }
            for (const auto& [name, bytes] : files) {
                const run_result r = scan(name, bytes);
                SCOPED_TRACE(name + " at " + std::to_string(at));
                EXPECT_EQ(r.status, 0);
                EXPECT_EQ(r.out, all.substr(0, r.out.size()));
                EXPECT_TRUE(r.out.empty() || r.out.back() == '\n');
                if (type == "wav") {
                    // A WAV holding less than its header says ends at its
                    // last whole frame, and libsndfile says nothing.
                    EXPECT_EQ(r.err, "");
                    continue;
                }
                EXPECT_GT(r.out.size(), all.size() * at / 2);
                EXPECT_LT(r.out.size(), all.size());
                EXPECT_EQ(r.err.rfind(name + ": Error : ", 0), 0u) << r.err;
                EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
            }
        }
    }
}

}  // namespace
