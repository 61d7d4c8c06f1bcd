// kesgen on a carrier: its audio is kept but for the one bit that carries
// the stream, and kesscan finds the frames in it.
#include "testfiles.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <string>
#include <vector>

namespace {

std::string in_scratch(const std::string& name)
{
    return scratch_dir() + "/" + name;
}

run_result kesgen(const std::string& args, const std::string& list)
{
    const std::string list_path = in_scratch("list.txt");
    std::FILE* f = std::fopen(list_path.c_str(), "w");
    std::fputs(list.c_str(), f);
    std::fclose(f);
    return run("cd " + quoted(scratch_dir()) + " && " + quoted(KESGEN_PATH) + " -f list.txt " + args);
}

std::vector<std::int32_t> samples_of(const std::string& path)
{
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(f, nullptr) << path;
    if (!f)
        return {};
    std::vector<std::int32_t> s(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_int(f, s.data(), info.frames);
    sf_close(f);
    return s;
}

TEST(Kesgen, CarrierKeepsItsAudioButTheOneBit)
{
    ASSERT_EQ(kesgen("-s noise -n 20000 carrier.flac", "").status, 0);
    const std::string list = "sync\n02 f4 ff\n01 29 25 c1 00\n";
    const run_result r = kesgen("--carrier carrier.flac --at 5000 out.wav", list);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto before = samples_of(in_scratch("carrier.flac"));
    const auto after = samples_of(in_scratch("out.wav"));
    ASSERT_EQ(before.size(), after.size());
    int changed = 0;
    for (std::size_t i = 0; i < before.size(); ++i) {
        const std::int32_t diff = before[i] ^ after[i];
        const std::size_t frame = i / 2;
        if (diff == 0)
            continue;
        ++changed;
        EXPECT_EQ(diff, 0x100) << "only bit 8 changes, sample " << i;
        EXPECT_EQ(i % 2, 1u) << "only right samples change";
        EXPECT_TRUE(frame >= 5000 && frame < 5000 + 56 + 40 + 56) << "only under the stream, frame " << frame;
    }
    EXPECT_GT(changed, 20);
    EXPECT_EQ(r.out, "out.wav: " + std::to_string(changed) + " of 20000 right-channel samples changed\n");
    // The noise after the stream reads as frames out of step: stop at the gain.
    const run_result scan = run(kesscan_command() + " -s 4500 -p 2 -1 " + quoted(in_scratch("out.wav")));
    EXPECT_EQ(scan.out, "000013c0: [2] gain\n          size                       8: 2\n"
                        "          gain                      16: -12\n          crc                        8: 0x16\n");
}

}  // namespace
