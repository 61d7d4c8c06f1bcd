// SPDX-License-Identifier: MIT
// A FLAC file decoded on several threads gives byte for byte what one
// decoder gives, whatever the options, wherever the sections fall, and
// whatever is wrong with the file: the sections are made small, so that
// frames, damage and the sync pattern fall on their boundaries.
#include "input.hpp"
#include "scan.hpp"
#include "split.hpp"

#include "testfiles.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

struct scanned_file {
    std::string text;  // both streams, each write marked with its own
    unsigned sections;
};

scanned_file scanned(const scan_settings& settings, const std::string& path)
{
    scanned_file f;
    const scan_result r = scan_file(settings, path.c_str(), {[](void* o, int stream, const char* s, std::size_t n) {
                                        static_cast<std::string*>(o)->append(stream == out_text ? "[1]" : "[2]").append(s, n);
                                    },
                                    &f.text});
    f.sections = r.sections;
    return f;
}

// A copy of path with its bytes changed by edit, named name.
template <typename Edit>
std::string edited(const std::string& path, const std::string& name, Edit edit)
{
    std::string bytes = read_file(path);
    edit(bytes);
    const std::string to = scratch_dir() + "/" + name;
    std::ofstream(to, std::ios::binary) << bytes;
    return to;
}

// Frames of every kind, a few hundred sample frames apart, from frame at.
std::string frame_list(int at)
{
    std::string list = at ? "zeros " + std::to_string(at) + "\nsync\n" : "sync\n";
    for (int i = 0; i < 900; ++i) {
        list += i % 3 == 0 ? "01 29 25 c1 00\n" : i % 3 == 1 ? "02 f4 ff\n" : "04 07 48 65\n";
        if (i % 11 == 5)
            list += "02 00 80 crc=0x55\n";
        list += "zeros " + std::to_string(61 * (i % 13) + 5) + "\n";
    }
    return list;
}

// The files: whole, in frames of two sizes; damaged inside, cut short,
// tagged, with a wrong signature, with frames past the length its
// information gives, and with the stream beginning late, where -s 5000
// finds it.
std::vector<std::string> split_files()
{
    const std::string wav = kesgen_file("split.wav", frame_list(0), "-s tone -n 600000");
    const std::string small = scratch_dir() + "/small.flac";
    EXPECT_EQ(run("flac -s -f -b 1152 -o " + quoted(small) + " " + quoted(wav)).status, 0);
    const std::string large = kesgen_file("large.flac", frame_list(0), "-s tone -n 600000");
    const std::string late = kesgen_file("late.flac", frame_list(5300), "-s tone -n 600000");
    const std::size_t size = std::filesystem::file_size(small);
    const std::string damaged = edited(small, "damaged.flac", [&](std::string& b) { b[size * 11 / 20] ^= 0x10; });
    const std::string cut = edited(small, "cut.flac", [&](std::string& b) { b.resize(size * 3 / 5); });
    const std::string tagged = edited(small, "tagged.flac", [](std::string& b) {
        b = std::string("ID3\x04\x00\x00\x00\x00\x00\x10", 10) + std::string(16, 'x') + b + "TAG" + std::string(125, ' ');
    });
    // The signature is bytes 26 to 41; the length's last three bytes 23 to
    // 25 hold 600000, 0x0927c0, which loses 4096.
    const std::string signature = edited(small, "signature.flac", [](std::string& b) { b[30] ^= 0x01; });
    const std::string past = edited(small, "past.flac", [](std::string& b) { b[24] = static_cast<char>(b[24] - 0x10); });
    return {small, large, late, damaged, cut, tagged, signature, past};
}

// The same stream read by libsndfile: WAV, AIFF, and a WAV cut short,
// whose header promises more frames than it holds.
std::vector<std::string> sndfile_files()
{
    const std::string wav = kesgen_file("split.wav", frame_list(0), "-s tone -n 600000");
    const std::string aiff = scratch_dir() + "/split.aiff";
    EXPECT_EQ(run("sox " + quoted(wav) + " " + quoted(aiff)).status, 0);
    const std::size_t size = std::filesystem::file_size(wav);
    const std::string cut = edited(wav, "cut.wav", [&](std::string& b) { b.resize(size * 3 / 5 + 1); });
    return {wav, aiff, cut};
}

std::vector<scan_settings> option_sets()
{
    std::vector<scan_settings> sets(9);
    sets[1].packet_type = 2;
    sets[2].verbosity = 2;
    sets[3].start = 5000;
    sets[4].summary = true;
    sets[5].json = true;
    sets[6].check = sets[6].expect_stream = sets[6].summary = true;
    sets[7].summary = true;
    sets[7].list = ~0u;
    stop_at_first(sets[8]);
    for (scan_settings& s : sets)
        s.show_name = true;
    return sets;
}

TEST(SplitScan, EverySplitGivesWhatOneDecoderGives)
{
    std::vector<std::string> files = split_files();
    for (const std::string& f : sndfile_files())
        files.push_back(f);
    const std::vector<scan_settings> sets = option_sets();
    for (std::size_t f = 0; f < files.size(); ++f) {
        for (std::size_t o = 0; o < sets.size(); ++o) {
            const scanned_file alone = scanned(sets[o], files[f]);
            for (const std::uint64_t bytes : {700u, 3001u, 20000u}) {
                scan_settings split = sets[o];
                split.threads = 4;
                split.section_bytes = bytes;
                const scanned_file parts = scanned(split, files[f]);
                EXPECT_EQ(parts.text, alone.text) << files[f] << " options " << o << " sections of " << bytes;
                // -1 stops at its first frame: it is never split. Where
                // there is no stream, the scan stops soon after it began.
                const bool stream = (f == 2) == (o == 3);
                if (o == 8) {
                    EXPECT_EQ(parts.sections, 0u) << files[f];
                } else if (stream) {
                    EXPECT_GT(parts.sections, 1u) << files[f] << " options " << o << " " << bytes;
                }
            }
        }
    }
}

TEST(SplitScan, WhatIsWrongWithAFileIsToldAsOneDecoderTellsIt)
{
    const std::vector<std::string> files = split_files();
    scan_settings settings;
    settings.summary = true;
    settings.threads = 2;
    settings.section_bytes = 3001;
    const char* const reasons[] = {"\tstream\t", "\tstream\t", "\tnone\t", "Error : unknown error in flac decoder.",
                                   "Error : flac decoder lost sync.", "\tstream\t",
                                   "the decoded audio does not match the stream's MD5 signature",
                                   "the stream goes on past the length its information gives"};
    for (std::size_t f = 0; f < files.size(); ++f)
        EXPECT_NE(scanned(settings, files[f]).text.find(reasons[f]), std::string::npos) << files[f];
    const std::vector<std::string> read = sndfile_files();
    const char* const told[] = {"\tstream\t", "\tstream\t", "short of the length the header gives"};
    for (std::size_t f = 0; f < read.size(); ++f)
        EXPECT_NE(scanned(settings, read[f]).text.find(told[f]), std::string::npos) << read[f];
}

// A sound file read whole is read all by its sections, none given up for
// the reader of the whole file: so many sections of so many bytes of the
// stream (FLAC), or of as many sample frames as the bytes hold (WAV, AIFF).
TEST(SplitScan, ASoundFileIsReadAllBySections)
{
    const std::vector<std::string> flac = split_files(), read = sndfile_files();
    for (const std::string& f : {flac[0], flac[1], read[0], read[1]}) {
        const std::string bytes = read_file(f);
        for (const std::uint64_t size : {20000u, 65536u}) {
            scan_settings settings;
            settings.summary = true;
            settings.threads = 3;
            settings.section_bytes = size;
            std::uint64_t count;
            if (f.ends_with(".flac")) {
                count = (bytes.size() - metadata_bytes(bytes) + size - 1) / size;
            } else {
                const std::uint64_t per = size * 600000 / bytes.size();
                count = (600000 + per - 1) / per;
            }
            EXPECT_EQ(scanned(settings, f).sections, count) << f << " sections of " << size;
        }
    }
}

// Damage anywhere: a byte changed, or the file cut, at positions spread
// over the whole file, each read whole and by sections of two sizes.
TEST(SplitScan, DamageAnywhereIsFoundWhereOneDecoderFindsIt)
{
    const std::string whole = kesgen_file("anywhere.flac", frame_list(0), "-s tone -n 600000");
    const std::string bytes = read_file(whole);
    scan_settings settings;
    settings.summary = true;
    settings.check = true;
    for (int i = 1; i < 40; ++i) {
        const std::size_t at = bytes.size() * static_cast<std::size_t>(i) / 40 + static_cast<std::size_t>(i * 37);
        const std::string flipped = edited(whole, "flipped.flac", [&](std::string& b) { b[at] ^= static_cast<char>(1 << (i % 8)); });
        const std::string cut = edited(whole, "cut-here.flac", [&](std::string& b) { b.resize(at); });
        for (const std::string& f : {flipped, cut}) {
            const std::string alone = scanned(settings, f).text;
            for (const std::uint64_t size : {1500u, 9000u}) {
                scan_settings split = settings;
                split.threads = 3;
                split.section_bytes = size;
                EXPECT_EQ(scanned(split, f).text, alone) << f << " at " << at << " sections of " << size;
            }
        }
    }
}

// A scan that ends early (a receiver that wants no more frames) ends its
// threads too, though they wait with a full ring for a reader that will
// not come: sections of more frames than a ring holds, from -s, so that
// no thread waits for its turn in the signature instead.
TEST(SplitScan, AScanThatEndsEarlyEndsItsThreads)
{
    const std::string noisy = kesgen_file("noisy.flac", frame_list(5300), "-s noise -n 3000000");
    for (const unsigned wanted : {1u, 8000u}) {
        struct counted {
            unsigned seen, wanted;
        } c{0, wanted};
        const kesscan::frame_receiver receiver{[](void* o, const kesscan::frame&) {
                                                   auto& n = *static_cast<counted*>(o);
                                                   return ++n.seen < n.wanted;
                                               },
                                               &c};
        scan_settings settings;
        settings.json = true;
        settings.frames = &receiver;
        settings.start = 5000;
        const std::string alone = scanned(settings, noisy).text;
        EXPECT_EQ(c.seen, wanted);
        c.seen = 0;
        settings.threads = 3;
        settings.section_bytes = 4u << 20;
        const scanned_file parts = scanned(settings, noisy);
        EXPECT_EQ(parts.text, alone);
        EXPECT_EQ(c.seen, wanted);
    }
}

// Sections of more frames than a ring holds: a thread ahead of the reader
// waits for room rather than write over bits not yet read, whether it adds
// to the signature (from frame 0) or not (from -s).
TEST(SplitScan, SectionsLongerThanARingGiveWhatOneDecoderGives)
{
    // sox's noise, a channel each, whose parity bits past the stream do not
    // repeat every 2^19 frames as kesgen's do: a bit overwritten is seen.
    const std::string carrier = scratch_dir() + "/carrier.wav";
    EXPECT_EQ(run("sox -n -r 96000 -b 24 -c 2 " + quoted(carrier) + " synth 40 pinknoise pinknoise vol 0.5").status, 0);
    for (const auto& [at, start] : {std::pair{0, 0}, {5300, 5000}}) {
        const std::string noisy = kesgen_file("longer.flac", frame_list(at), "--carrier " + quoted(carrier));
        scan_settings settings;
        settings.start = start;
        const std::string alone = scanned(settings, noisy).text;
        settings.threads = 3;
        settings.section_bytes = 3u << 20;
        const scanned_file parts = scanned(settings, noisy);
        EXPECT_EQ(parts.text, alone) << start;
        EXPECT_GT(parts.sections, 1u) << start;
    }
}

// A file cut short after libsndfile opened it, as another program may cut
// it while it is read: no section's handle holds the frames the first
// one's information gives, and the reader goes on with the file's own
// handle, which gives what is left, as one reader of it would.
TEST(SplitScan, AFileCutAfterItWasOpenedIsReadByItsOwnHandle)
{
    const alarm_bound bound(60);
    const std::string path = kesgen_file("opened-cut.wav", frame_list(0), "-s tone -n 600000");
    const auto size = static_cast<std::int64_t>(std::filesystem::file_size(path));
    const owned_fd fd{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    positioned_file place{fd.fd, size, 0};
    SF_INFO info{};
    const sndfile_ptr file{sndfile_open_positioned(place, info)};
    ASSERT_TRUE(file);
    ASSERT_EQ(truncate(path.c_str(), size / 2), 0);
    const auto block = std::make_unique<sndfile_block>(), single_block = std::make_unique<sndfile_block>();
    const auto source = std::make_unique<sample_source>(), single_source = std::make_unique<sample_source>();
    const split_ptr split = split_sndfile(file.get(), *block, *source, info, {fd.fd, 3, 20000, 0, false, nullptr});
    ASSERT_TRUE(split);
    bitreader r;
    init_bits_split(r, *split);
    r.msb = 1;
    const std::string bits = bits_to_end(r);
    const split_end end = end_of_split(*split);
    EXPECT_TRUE(end.fell_back);
    EXPECT_EQ(end.sections, 0u);

    positioned_file single_place{fd.fd, size / 2, 0};
    const sndfile_ptr single{sndfile_open_positioned(single_place, info)};
    ASSERT_TRUE(single);
    init_bits_sf(r, *single_source, *single_block, single.get(), 0);
    r.msb = 1;
    const std::string left = bits_to_end(r);
    EXPECT_GT(left.size(), 290000u);
    EXPECT_EQ(bits, left);
}

}  // namespace
