// SPDX-License-Identifier: MIT
// The least a survey of many FLAC files can do: open each with libFLAC's
// stream decoder, decode its first frame, close it.
//
//   flacfirst file...
#include <FLAC/stream_decoder.h>

#include <cstdio>

int main(int argc, char** argv)
{
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        bool written = false;
        FLAC__StreamDecoder* d = FLAC__stream_decoder_new();
        const auto write = [](const FLAC__StreamDecoder*, const FLAC__Frame*, const FLAC__int32* const[],
                              void* client) {
            *static_cast<bool*>(client) = true;
            return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
        };
        const auto error = [](const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void*) {};
        if (FLAC__stream_decoder_init_file(d, argv[i], write, nullptr, error, &written) ==
            FLAC__STREAM_DECODER_INIT_STATUS_OK) {
            while (!written && FLAC__stream_decoder_process_single(d) &&
                   FLAC__stream_decoder_get_state(d) != FLAC__STREAM_DECODER_END_OF_STREAM) {
            }
        }
        if (!written) {
            std::fprintf(stderr, "%s: no frame decoded\n", argv[i]);
            status = 1;
        }
        FLAC__stream_decoder_delete(d);
    }
    return status;
}
