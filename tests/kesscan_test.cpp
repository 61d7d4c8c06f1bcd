// End-to-end: the built kesscan on files that kesgen writes, comparing
// standard output, standard error and exit status whole.
#include "testfiles.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// Runs kesscan in the scratch folder, so that file names print as given;
// with a piped file, that file comes through a pipe on standard input.
run_result kesscan(const std::string& args, const std::string& piped = "")
{
    const std::string pipe = piped.empty() ? "" : "cat " + quoted(piped) + " | ";
    return run("cd " + quoted(scratch_dir()) + " && " + pipe + kesscan_command() + " " + args);
}

void expect_run(const std::string& args, const std::string& out, const std::string& err = "",
                int status = 0, const std::string& piped = "")
{
    const run_result r = kesscan(args, piped);
    EXPECT_EQ(r.out, out) << "kesscan " << args;
    EXPECT_EQ(r.err, err) << "kesscan " << args;
    EXPECT_EQ(r.status, status) << "kesscan " << args;
}

TEST(CommandLine, UsageErrorsExitWithStatus1)
{
    const std::string prog = KESSCAN_PATH;
    expect_run("", "", "", 1);
    expect_run("-v -1", "", "", 1);
    expect_run("-x a.wav", "", prog + ": invalid option -- 'x'\n", 1);
    expect_run("-s", "", prog + ": option requires an argument -- 's'\n", 1);
    expect_run("-p 1 -q -s 3 missing.wav", "", prog + ": invalid option -- 'q'\n", 1);
}

TEST(FileDriver, RejectedFilesAreReportedAndTheNextIsScanned)
{
    kesgen_file("mono.wav", "sync\n", "-c 1");
    kesgen_file("six.flac", "sync\n", "-c 6");
    kesgen_file("tiny.wav", "zeros 10\nraw 00 04 8c 49 e0 ab\n");
    kesgen_file("empty.aiff", "");
    expect_run("missing.wav", "", "missing.wav: System error : No such file or directory.\n");
    expect_run("mono.wav", "", "Only 2 channels supported\n");
    expect_run("tiny.wav", "");
    expect_run("empty.aiff", "");
    expect_run("missing.wav mono.wav", "missing.wav\nmono.wav\n",
               "missing.wav: System error : No such file or directory.\n"
               "Only 2 channels supported\n");
    expect_run("six.flac tiny.wav mono.wav", "six.flac\ntiny.wav\nmono.wav\n",
               "Only 2 channels supported\nOnly 2 channels supported\n");
}

TEST(FileDriver, StartOutsideTheFileIsAnError)
{
    kesgen_file("short.wav", "zeros 276\n");
    expect_run("-s 277 short.wav", "", "short.wav: start position 277 is outside the file\n");
    expect_run("-s -1 short.wav", "", "short.wav: start position -1 is outside the file\n");
    expect_run("-s 0x7fffffff short.wav", "", "short.wav: start position 2147483647 is outside the file\n");
    expect_run("-s 276 short.wav", "");
    expect_run("-s 0x100000114 short.wav", "");  // cut to 32 bits: 276
    expect_run("-1 -1 -s 276 short.wav", "");
    expect_run("-s 276 -1 -1 short.wav", "", "short.wav: start position 277 is outside the file\n");
    expect_run("-s 300 -", "", "", 0, "short.wav");  // a pipe reads up to the start
    expect_run("-s -5 -", "", "-: start position -5 is outside the file\n", 0, "short.wav");
}

// ---------------------------------------------------------------------------
// Decoding, compared whole against the expected text. The frames the tests
// use, as kesscan prints them after their position:

const std::string magic = R"([0] magic
          size                       8: 4
          magic                     32: 0xabe0498c
          crc                        8: 0x2c
)";
const std::string zero_magic = R"([0] magic
          size                       8: 0
          magic                     32: 0x00000000
          crc                        8: 0x00
)";
// 01 04 29 25 c1 00 and its checksum byte
const std::string params = R"([1] stream_params
          size                       8: 4
          resampling_filter          5: 9
          noise_shaping_filter       2: 1
          bitdepth                   2: 2 [16 bits]
          unknown                    1: 0
          replay_gain               10: 73
          orig_rate                  5: 0x0c [768 kHz]
          unknown                    2: 0
          unknown                    1: 0
          swizzle                    1: 0
          pad                        3: 0
)";
const std::string crc_49 = "          crc                        8: 0x49\n";
// 02 02 f4 ff 16
const std::string gain_12 = R"([2] gain
          size                       8: 2
          gain                      16: -12
          crc                        8: 0x16
)";

std::string at(unsigned pos)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08x: ", pos);
    return text;
}

TEST(Decode, FramesAtTheirPositions)
{
    // The sync pattern 0x234 frames after a start of 0x1000.
    kesgen_file("magic.wav", "zeros 4660\nsync\n");
    expect_run("-s 0x1000 magic.wav", "00001234: " + magic);
    kesgen_file("params.wav", "zeros 8136\nsync\n01 29 25 c1 00\n");
    expect_run("-s 0x1c00 -p 1 params.wav", "00002000: " + params + crc_49);
    // Negative replay gain, a rate without a name, every other bit set.
    kesgen_file("params2.wav", "sync\n01 ff ff ff ff\n");
    expect_run("-p 1 params2.wav", R"(00000038: [1] stream_params
          size                       8: 4
          resampling_filter          5: 31
          noise_shaping_filter       2: 3
          bitdepth                   2: 3 [15 bits]
          unknown                    1: 1
          replay_gain               10: -1
          orig_rate                  5: 0x1f
          unknown                    2: 3
          unknown                    1: 1
          swizzle                    1: 1
          pad                        3: 7
          crc                        8: 0x0a
)");
}

// One frame of each kind, a payload read but not printed, a type without
// a layout, and two checksum errors.
const char* const mixed_list = R"(zeros 300
sync
01 29 25 c1 00
02 f4 ff
04 07 48 65 6c 6c 6f
07
sync
02 00 80 crc=0x55
01 29 25 c1 00 crc=0x48
zeros 56
)";
const std::string meta_1c4 = R"(000001c4: [4] metadata
          size                       8: 6
          type                       8: 7
          crc                        8: 0xb0
)";
const std::string gain_25c = R"(0000025c: [2] gain
          size                       8: 2
          gain                      16: -32768
          crc                        8: 0x55
)";
const std::string errors = "00000284: checksum error\n000002bc: checksum error\n";
const std::string mixed_out =
    at(0x12c) + magic + at(0x164) + params + crc_49 + at(0x19c) + gain_12 + meta_1c4 +
    "0000020c: [7] unknown type\n          crc                        8: 0xa3\n" + at(0x224) + magic + gain_25c +
    "00000284: checksum error\n" + at(0x284) + params + "          crc                        8: 0x48\n" +
    "000002bc: checksum error\n" + at(0x2bc) + zero_magic;

TEST(Decode, FilterSingleModeAndLevels)
{
    kesgen_file("mixed.wav", mixed_list);
    struct {
        const char* options;
        std::string out;
    } const cases[] = {
        {"", mixed_out},
        {"-v", mixed_out},  // no layout has a data block: more detail adds nothing
        {"-vv", mixed_out},
        {"-p 256", errors},
        {"-1 -p 256", errors},
        {"-p 2", at(0x19c) + gain_12 + gain_25c + errors},
        {"-1", at(0x164) + params + crc_49},
        {"-1 -1", at(0x164) + params + crc_49},
        {"-p 2 -1", at(0x19c) + gain_12},
        {"-1 -p -1", at(0x12c) + magic},
        {"-1 -p 0x7", "0000020c: [7] unknown type\n          crc                        8: 0xa3\n"},
        {"-p 4 -s 200", meta_1c4 + errors},
        {"-p 2 -s 400", gain_25c + errors},  // from the second sync pattern
    };
    for (const auto& c : cases)
        expect_run(std::string(c.options) + " mixed.wav", c.out);
}

TEST(Decode, SameStreamInEveryContainer)
{
    for (const std::string name : {"mixed.flac", "mixed.aiff", "mixed.w64", "mixed.caf"}) {
        kesgen_file(name, mixed_list);
        expect_run(name, mixed_out);
    }
    kesgen_file("mixed32.wav", mixed_list, "-b 32");  // noise below bit 8
    expect_run("mixed32.wav", mixed_out);
    kesgen_file("mixed.wav", mixed_list);
    expect_run("-", mixed_out, "", 0, "mixed.wav");
    // A pipe reaches its start by reading: the same frame as a seek.
    expect_run("-p 2 -s 400 -", gain_25c + errors, "", 0, "mixed.wav");
    // 16-bit samples lose bit 8 of the 32-bit form: no side stream.
    kesgen_file("mixed16.wav", mixed_list, "-b 16");
    expect_run("mixed16.wav", "");
}

TEST(Decode, SyncSearchCovers1024Positions)
{
    kesgen_file("late.wav", "zeros 2000\nsync\n");
    expect_run("-s 977 late.wav", at(0x7d0) + magic);  // 1023 positions after the start
    expect_run("-s 976 late.wav", "");                 // 1024 after it
    expect_run("-s 2000 late.wav", at(0x7d0) + magic);
    expect_run("-s 2001 late.wav", "");
    kesgen_file("at1023.flac", "zeros 1023\nsync\n");
    kesgen_file("at1024.flac", "zeros 1024\nsync\n");
    expect_run("at1023.flac", at(0x3ff) + magic);
    expect_run("at1024.flac", "");
}

TEST(Decode, ZeroBitsAfterTheSyncReadAsEmptyMagicFrames)
{
    kesgen_file("zeros.wav", "sync\nzeros 112\n");
    expect_run("zeros.wav", at(0) + magic + at(0x38) + zero_magic + at(0x70) + zero_magic);
}

TEST(Decode, FramesAcrossBlocksOfSampleFrames)
{
    // The sync pattern straddles frame 4096, the stream_params frame 8192;
    // 71 empty magic frames of zero bits lie between.
    kesgen_file("blocks.flac", "zeros 4070\nsync\n04 01 02 03\nzeros 3976\n01 29 25 c1 00\n02 f4 ff\n");
    expect_run("-s 3100 -p 4 blocks.flac", R"(0000101e: [4] metadata
          size                       8: 3
          type                       8: 1
          crc                        8: 0x60
)");
    expect_run("-s 3100 -p 1 blocks.flac", at(0x1fd6) + params + crc_49);
    expect_run("-s 3100 -p 2 blocks.flac", at(0x200e) + gain_12);
}

TEST(Decode, UnknownTypesAndTheFramesAfterThem)
{
    // Without a payload the frame is whole; with one, its first payload
    // byte is taken for the checksum and the stream goes out of step.
    kesgen_file("unknown.wav", "sync\n03\nff\n05 aa bb\nsync\n");
    expect_run("-p 256 unknown.wav", "00000080: checksum error\n00000098: checksum error\n");
    expect_run("unknown.wav", at(0) + magic + R"(00000038: [3] unknown type
          crc                        8: 0xba
00000050: [ff] unknown type
          crc                        8: 0x8d
00000068: [5] unknown type
          crc                        8: 0xaa
00000080: checksum error
00000080: [bb] unknown type
          crc                        8: 0x00
00000098: checksum error
00000098: [4] metadata
          size                       8: 140
          type                       8: 73
)");
}

// A sync pattern, then a stream_params frame cut after k of its 7 bytes:
// every field whose bits arrived stays printed.
TEST(Decode, TruncatedFrameKeepsWhatWasRead)
{
    const char* const bytes[] = {"01", "04", "29", "25", "c1", "00", "49"};
    // The lines of params that each byte completes: header, size, the two
    // fields within byte 29, the two ending in byte 25, replay_gain, the
    // five ending in byte 00, and the checksum.
    const int lines[] = {1, 1, 2, 2, 1, 5};
    std::string list = "sync\nraw", out, all = at(0x38) + params + crc_49;
    std::size_t end = 0;
    for (int k = 0; k <= 7; ++k) {
        if (k > 0) {
            list += std::string(" ") + bytes[k - 1];
            for (int n = 0; n < (k <= 6 ? lines[k - 1] : 1); ++n)
                end = all.find('\n', end) + 1;
            out = all.substr(0, end);
        }
        const std::string name = "cut" + std::to_string(k) + ".wav";
        kesgen_file(name, list + "\n");
        expect_run("-p 1 " + name, out);
        // Cut inside the byte: the bits of a partial byte are never used.
        kesgen_file("part" + name, list + "\nbits 1010101\n");
        expect_run("-p 1 part" + name, out);
    }
}

TEST(Decode, MetadataPayloadIsReadButNotPrinted)
{
    kesgen_file("meta.aiff", "sync\n04 07 aa bb\n04 01 size=3 crc=0x5e\nzeros 24\n");
    expect_run("-p 4 meta.aiff", R"(00000038: [4] metadata
          size                       8: 3
          type                       8: 7
          crc                        8: 0x84
00000068: [4] metadata
          size                       8: 3
          type                       8: 1
          crc                        8: 0x00
00000098: checksum error
)");
}

// ---------------------------------------------------------------------------
// Bad input: each file ends cleanly with its message on standard error,
// what was printed before stays, and the next file is still scanned.

// good.wav: a sync pattern and one gain frame.
const std::string gain_frame = R"(00000038: [2] gain
          size                       8: 2
          gain                      16: 1
          crc                        8: 0x7a
)";
const std::string gain_one = at(0) + magic + gain_frame;

std::string file_bytes(const std::string& name)
{
    std::ifstream in(scratch_dir() + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_bytes(const std::string& name, const std::string& bytes)
{
    std::ofstream(scratch_dir() + "/" + name, std::ios::binary) << bytes;
}

// 3000 gain frames, for files long enough to cut and damage.
std::string gain_list()
{
    std::string list = "sync\n";
    char line[16];
    for (int i = 0; i < 3000; ++i) {
        std::snprintf(line, sizeof line, "02 %02x %02x\n", i & 255, i >> 8);
        list += line;
    }
    return list;
}

TEST(BadInput, FilesThatAreNotSoundAreReported)
{
    kesgen_file("good.wav", "sync\n02 01 00\n");
    write_bytes("empty.wav", "");
    write_bytes("text.wav", "This is not a sound file.\n");
    std::string noise;
    for (std::uint32_t x = 7, i = 0; i < 5000; ++i) {
        x = x * 1103515245u + 12345u;
        noise += static_cast<char>(x >> 16);
    }
    write_bytes("noise.wav", noise);
    std::filesystem::create_directories(scratch_dir() + "/folder.wav");
    kesgen_file("whole.wav", gain_list());
    kesgen_file("whole.flac", gain_list());
    kesgen_file("whole.aiff", gain_list());
    write_bytes("head.wav", file_bytes("whole.wav").substr(0, 30));
    write_bytes("head.flac", file_bytes("whole.flac").substr(0, 30));
    write_bytes("head.aiff", file_bytes("whole.aiff").substr(0, 30));

    struct {
        const char* file;
        const char* err;
    } const cases[] = {
        {"empty.wav", "Format not recognised."},
        {"text.wav", "Format not recognised."},
        {"noise.wav", "Format not recognised."},
        {"folder.wav", "Format not recognised."},
        {"head.wav", "Error in WAV file. No 'data' chunk marker."},
        {"head.flac", "File contains data in an unimplemented format."},
        {"head.aiff", "Unspecified internal error."},
    };
    for (const auto& c : cases)
        expect_run("-p 2 " + std::string(c.file) + " good.wav",
                   std::string(c.file) + "\ngood.wav\n" + gain_frame,
                   std::string(c.file) + ": " + c.err + "\n");
}

// What a cut or damaged file printed must be the start of what the whole
// file prints, in whole lines, and must have got somewhere.
void expect_prefix(const std::string& out, const std::string& whole, std::size_t at_least)
{
    EXPECT_GE(out.size(), at_least);
    EXPECT_EQ(out, whole.substr(0, out.size()));
    EXPECT_TRUE(out.empty() || out.back() == '\n');
}

TEST(BadInput, CutAndDamagedFilesKeepWhatWasRead)
{
    kesgen_file("good.wav", "sync\n02 01 00\n");
    for (const std::string ext : {"wav", "flac", "aiff"}) {
        kesgen_file("whole." + ext, gain_list());
        const std::string bytes = file_bytes("whole." + ext);
        write_bytes("cut." + ext, bytes.substr(0, bytes.size() / 2 + 1));
        const run_result cut = kesscan("cut." + ext + " good.wav");
        const std::string head = "cut." + ext + "\n", tail = "good.wav\n" + gain_one;
        const std::size_t tail_at = cut.out.rfind(tail);
        ASSERT_EQ(tail_at, cut.out.size() - tail.size()) << "the next file is scanned";
        ASSERT_EQ(cut.out.substr(0, head.size()), head);
        const std::string whole = kesscan("whole." + ext).out;
        expect_prefix(cut.out.substr(head.size(), tail_at - head.size()), whole, whole.size() / 3);
        // libsndfile ends a WAV or AIFF that holds less than its header says
        // at the last whole frame, without an error; a FLAC decoder loses
        // its sync.
        EXPECT_EQ(cut.err, ext == "flac" ? "cut.flac: Error : flac decoder lost sync.\n" : "") << ext;
        EXPECT_EQ(cut.status, 0);
    }

    std::string damaged = file_bytes("whole.flac");
    for (std::size_t i = 0; i < 400; ++i)
        damaged[damaged.size() / 2 + i] = static_cast<char>(i * 37 + 11);
    write_bytes("damaged.flac", damaged);
    const run_result r = kesscan("damaged.flac");
    expect_prefix(r.out, kesscan("whole.flac").out, 1000);
    EXPECT_EQ(r.err, "damaged.flac: Error : unknown error in flac decoder.\n");
    EXPECT_EQ(r.status, 0);

    // libsndfile cannot decode FLAC from a pipe.
    expect_run("-", "", "-: Error : flac decoder lost sync.\n", 0, "whole.flac");
}

TEST(BadInput, ExtremeNumbers)
{
    kesgen_file("good.wav", "sync\n02 01 00\n");
    expect_run("-s -2147483648 good.wav", "", "good.wav: start position -2147483648 is outside the file\n");
    expect_run("-s 2147483647 good.wav", "", "good.wav: start position 2147483647 is outside the file\n");
    expect_run("-s 99999999999999999999 good.wav", "", "good.wav: start position -1 is outside the file\n");
    expect_run("-p -2147483648 good.wav", gain_one);
    expect_run("-p 2147483647 good.wav", "");
    expect_run("-p 0x100000002 good.wav", gain_frame);
    expect_run("-p 99999999999999999999 good.wav", gain_one);  // saturates, then cut to -1
}

TEST(Output, WriteErrorsAreNotSuccess)
{
    kesgen_file("good.wav", "sync\n02 01 00\n");
    expect_run("good.wav >/dev/full", "", "kesscan: write error: No space left on device\n", 1);
    expect_run("-p 256 good.wav >/dev/full", "");  // nothing to write, nothing lost
    // A reader that goes away ends the program by SIGPIPE, as usual.
    kesgen_file("long.wav", gain_list());
    const run_result r = run("bash -c " + quoted(quoted(KESSCAN_PATH) + " " + quoted(scratch_dir() + "/long.wav") +
                                                  " | head -1; echo ${PIPESTATUS[0]}"));
    EXPECT_EQ(r.out, "00000000: [0] magic\n141\n");
    EXPECT_EQ(r.err, "");
}

}  // namespace
