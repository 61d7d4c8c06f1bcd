// SPDX-License-Identifier: MIT
// The floor under kesscan for FLAC: decode a file with libFLAC's stream
// decoder, MD5 checking off, and do nothing with the samples.
//
//   flacdecode file
#include <FLAC/stream_decoder.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: flacdecode file\n", stderr);
        return 2;
    }
    FLAC__StreamDecoder* d = FLAC__stream_decoder_new();
    const auto write = [](const FLAC__StreamDecoder*, const FLAC__Frame*, const FLAC__int32* const[], void*) {
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    };
    const auto error = [](const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void*) {};
    if (FLAC__stream_decoder_init_file(d, argv[1], write, nullptr, error, nullptr) !=
            FLAC__STREAM_DECODER_INIT_STATUS_OK ||
        !FLAC__stream_decoder_process_until_end_of_stream(d)) {
        std::fprintf(stderr, "%s: cannot be decoded\n", argv[1]);
        return 1;
    }
    FLAC__stream_decoder_delete(d);
    return 0;
}
