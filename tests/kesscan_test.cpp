// End-to-end: the built kesscan on files that kesgen writes, comparing
// standard output, standard error and exit status whole.
#include "testfiles.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

// Runs kesscan in the scratch folder, so that file names print as given;
// with a piped file, that file comes through a pipe on standard input.
run_result kesscan(const std::string& args, const std::string& piped = "")
{
    const std::string pipe = piped.empty() ? "" : "cat " + quoted(piped) + " | ";
    return run("cd " + quoted(scratch_dir()) + " && " + pipe + quoted(KESSCAN_PATH) + " " + args);
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

}  // namespace
