// SPDX-License-Identifier: MIT
#include "flacbits.hpp"

#include "eintr.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

ssize_t read_stream(int fd, void* buf, std::size_t n, off_t at)
{
    return at < 0 ? ::read(fd, buf, n) : pread(fd, buf, n, at);
}

// The decoder failed in a way that is none of its error statuses: a read
// error, or a frame with another channel count than the stream's.
constexpr int decoder_failed = 100;

flac_input& input_of(void* client)
{
    return *static_cast<flac_input*>(client);
}

FLAC__StreamDecoderReadStatus read_input(const FLAC__StreamDecoder*, FLAC__byte buffer[], std::size_t* bytes,
                                         void* client)
{
    flac_input& in = input_of(client);
    ssize_t got;
    for (;;) {
        got = retry_eintr([&] { return in.read(in.fd, buffer, *bytes, in.seekable ? in.offset : -1); });
        if (got >= 0 || errno != EAGAIN)
            break;
        wait_ready(in.fd, POLLIN);
    }
    *bytes = got > 0 ? static_cast<std::size_t>(got) : 0;
    if (got < 0) {
        in.read_error = errno;
        return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
    }
    if (got == 0) {
        in.at_end = true;
        return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
    }
    in.offset += got;
    if (in.counters)
        in.counters->bytes.fetch_add(static_cast<std::uint64_t>(got), std::memory_order_relaxed);
    return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

// Positions are the stream's own, counted from where the input began.
FLAC__StreamDecoderSeekStatus seek_input(const FLAC__StreamDecoder*, FLAC__uint64 offset, void* client)
{
    flac_input& in = input_of(client);
    if (!in.seekable)
        return FLAC__STREAM_DECODER_SEEK_STATUS_UNSUPPORTED;
    in.offset = in.base + static_cast<std::int64_t>(offset);
    in.at_end = false;
    return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
}

FLAC__StreamDecoderTellStatus tell_input(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* client)
{
    const flac_input& in = input_of(client);
    if (!in.seekable)
        return FLAC__STREAM_DECODER_TELL_STATUS_UNSUPPORTED;
    *offset = static_cast<FLAC__uint64>(in.offset - in.base);
    return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

FLAC__StreamDecoderLengthStatus length_input(const FLAC__StreamDecoder*, FLAC__uint64* length, void* client)
{
    const flac_input& in = input_of(client);
    struct stat st;
    if (!in.seekable)
        return FLAC__STREAM_DECODER_LENGTH_STATUS_UNSUPPORTED;
    if (fstat(in.fd, &st) != 0 || st.st_size < in.base)
        return FLAC__STREAM_DECODER_LENGTH_STATUS_ERROR;
    *length = static_cast<FLAC__uint64>(st.st_size - in.base);
    return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
}

FLAC__bool input_ended(const FLAC__StreamDecoder*, void* client)
{
    return input_of(client).at_end;
}

// Whether a frame of a section begins where the one before it ended; the
// first gives where the section begins. A frame that does not is an error
// of the section's, which only a decoder of the whole stream can judge.
bool follows(flac_input& in, const FLAC__FrameHeader& h)
{
    if (h.number_type != FLAC__FRAME_NUMBER_TYPE_SAMPLE_NUMBER || (in.numbered && h.number.sample_number != in.next)) {
        in.error = decoder_failed;
        return false;
    }
    in.next = h.number.sample_number;
    in.numbered = true;
    return true;
}

// The decoder's buffers stay valid until it decodes again, which happens
// only once the sample source has used them: they are taken as they are.
// The array that points at them may not last (a seek passes one of its
// own), so the two pointers are kept. Nothing after the first error is
// taken.
FLAC__StreamDecoderWriteStatus take_block(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                          const FLAC__int32* const buffer[], void* client)
{
    flac_input& in = input_of(client);
    if (in.error >= 0)
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    if (frame->header.channels != in.channels) {
        in.error = decoder_failed;
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    if (in.follow && !follows(in, frame->header))
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    if (in.hook.frame)
        in.hook.frame(in.hook.opaque, buffer, frame->header.blocksize, frame->header.bits_per_sample);
    in.pending = true;
    in.left = buffer[0];
    in.right = buffer[1];
    in.block_frames = frame->header.blocksize;
    in.block_bits = frame->header.bits_per_sample;
    in.pos = 0;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void take_metadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* m, void* client)
{
    flac_input& in = input_of(client);
    if (m->type != FLAC__METADATA_TYPE_STREAMINFO)
        return;
    in.have_info = true;
    in.channels = m->data.stream_info.channels;
    in.bits = m->data.stream_info.bits_per_sample;
    in.total = m->data.stream_info.total_samples;
    std::memcpy(in.md5, m->data.stream_info.md5sum, sizeof in.md5);
}

void take_error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status, void* client)
{
    flac_input& in = input_of(client);
    if (in.error < 0)
        in.error = status;
}

// Whether the decoder stopped for want of memory. It aborts by itself only
// where the MD5 signature's buffer cannot grow; a read that failed, or a
// block refused, is an abort that the input has noted already.
bool out_of_memory(const flac_input& in)
{
    const FLAC__StreamDecoderState state = FLAC__stream_decoder_get_state(in.decoder.get());
    return state == FLAC__STREAM_DECODER_MEMORY_ALLOCATION_ERROR ||
           (state == FLAC__STREAM_DECODER_ABORTED && in.error < 0 && in.read_error == 0);
}

// Decodes until a block is pending; false at the end of the stream, or at
// the decoder's first error, after which nothing more is decoded. Where the
// stream's information gives its length, that is where it ends, as it does
// for libsndfile: bytes after it (a tag) are not read. A decoder that
// failed for good (a read that failed, a write refused, no memory) says so
// only through its state: another call would return at once, over and over.
bool decode_block(flac_input& in)
{
    FLAC__StreamDecoder* d = in.decoder.get();
    while (!in.pending) {
        if (in.done || in.error >= 0 || (in.total && in.next >= in.total))
            return false;
        const FLAC__StreamDecoderState state = FLAC__stream_decoder_get_state(d);
        if (state == FLAC__STREAM_DECODER_END_OF_STREAM)
            return false;
        std::uint64_t at;
        if (in.limit && flac_position(in, at) && at >= in.limit) {
            in.stopped = true;
            return false;
        }
        if (state > FLAC__STREAM_DECODER_END_OF_STREAM || !FLAC__stream_decoder_process_single(d)) {
            in.no_memory = out_of_memory(in);
            if (in.error < 0)
                in.error = decoder_failed;
            return false;
        }
    }
    if (in.total && in.block_frames - in.pos > in.total - in.next)
        in.block_frames = in.pos + static_cast<std::uint32_t>(in.total - in.next);
    return true;
}

// Hands on the rest of the pending block.
void take_pending(flac_input& in)
{
    in.pending = false;
    in.next += in.block_frames - in.pos;
}

// The sample source's next block: the rest of the pending one.
bool next_flac_block(sample_source& s)
{
    flac_input& in = *static_cast<flac_input*>(s.opaque);
    if (!decode_block(in))
        return false;
    s.left = in.left + in.pos;
    s.right = in.right + in.pos;
    s.bufend = in.block_frames - in.pos;
    set_sample_width(s, in.block_bits);
    take_pending(in);
    return true;
}

}  // namespace

bool open_flac(flac_input& in, int fd, bool seekable, bool whole, scan_counters* counters)
{
    in.decoder.reset(FLAC__stream_decoder_new());
    in.fd = fd;
    in.read = read_stream;
    in.seekable = seekable;
    in.base = in.offset = seekable ? lseek(fd, 0, SEEK_CUR) : 0;
    in.at_end = in.have_info = in.pending = in.done = false;
    in.limit = 0;
    in.stopped = in.follow = in.numbered = false;
    in.hook = {};
    std::memset(in.md5, 0, sizeof in.md5);
    in.channels = in.bits = 0;
    in.total = in.next = 0;
    in.error = -1;
    in.read_error = 0;
    in.counters = counters;
    FLAC__StreamDecoder* d = in.decoder.get();
    in.no_memory = !d;
    // The comments are parsed, as libsndfile has them parsed: a file whose
    // comments are broken goes to libsndfile, which refuses it. The audio
    // is checked against the stream's MD5 signature as it is decoded, as
    // `flac -t` checks it; a seek turns that off.
    if (!d || !FLAC__stream_decoder_set_md5_checking(d, whole) ||
        !FLAC__stream_decoder_set_metadata_respond(d, FLAC__METADATA_TYPE_VORBIS_COMMENT))
        return false;
    const FLAC__StreamDecoderInitStatus init = FLAC__stream_decoder_init_stream(
        d, read_input, seek_input, tell_input, length_input, input_ended, take_block, take_metadata, take_error, &in);
    if (init != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        in.no_memory = init == FLAC__STREAM_DECODER_INIT_STATUS_MEMORY_ALLOCATION_ERROR;
        return false;
    }
    // A metadata block that cannot be allocated is the stream's fault: its
    // length is what the stream claims (an APPLICATION block shorter than
    // its id claims nearly 4 GiB). The file goes to libsndfile, as any
    // stream that cannot be started.
    return FLAC__stream_decoder_process_until_end_of_metadata(d) && in.have_info && in.error < 0 &&
           FLAC__stream_decoder_get_state(d) != FLAC__STREAM_DECODER_END_OF_STREAM;
}

namespace {

// Rewinds a file to the stream's beginning, its metadata read again.
bool restart(flac_input& in)
{
    FLAC__StreamDecoder* d = in.decoder.get();
    in.at_end = in.pending = false;
    in.next = 0;
    in.error = -1;
    return FLAC__stream_decoder_reset(d) && FLAC__stream_decoder_process_until_end_of_metadata(d) && in.error < 0;
}

}  // namespace

bool flac_seek(flac_input& in, std::uint64_t start)
{
    if (start == 0)
        return true;
    if (in.seekable) {
        // At the very end the stream is empty, once its last frame is
        // found to be there.
        if (in.total && start > in.total)
            return false;
        const std::uint64_t to = in.total && start == in.total ? start - 1 : start;
        // The block written during the seek begins at the start.
        in.next = to;
        if (FLAC__stream_decoder_seek_absolute(in.decoder.get(), to)) {
            if (to != start) {
                in.pending = false;
                in.done = true;
                in.next = start;
            }
            return true;
        }
        // The seek met damage, or an end before the one the stream's
        // information gives. Decoding from the beginning, as from a pipe,
        // finds which.
        if (!restart(in))
            return false;
    }
    return flac_skip(in, start);
}

bool flac_skip(flac_input& in, std::uint64_t n)
{
    for (std::uint64_t left = n; left > 0;) {
        if (!decode_block(in))
            return false;
        const std::uint64_t here = in.block_frames - in.pos;
        if (left < here) {
            in.pos += static_cast<std::uint32_t>(left);
            in.next += left;
            break;
        }
        left -= here;
        take_pending(in);
    }
    return true;
}

bool flac_position(flac_input& in, std::uint64_t& at)
{
    FLAC__uint64 p;
    if (!FLAC__stream_decoder_get_decode_position(in.decoder.get(), &p))
        return false;
    at = p;
    return true;
}

bool flac_restart_at(flac_input& in, std::uint64_t at)
{
    in.at_end = in.pending = in.done = in.stopped = in.numbered = false;
    in.error = -1;
    in.read_error = 0;
    in.offset = in.base + static_cast<std::int64_t>(at);
    return FLAC__stream_decoder_flush(in.decoder.get());
}

bool flac_next_frame(flac_input& in)
{
    return decode_block(in);
}

void init_bits_flac(bitreader& r, sample_source& s, flac_input& in, sample_bit xbit)
{
    init_bits_source(r, s, block_layout::planar, next_flac_block, &in, xbit);
}

void attach_bits_flac(bitreader& r, sample_source& s, flac_input& in, sample_bit xbit)
{
    attach_bits_source(r, s, block_layout::planar, next_flac_block, &in, xbit);
}

bool flac_goes_on(flac_input& in)
{
    FLAC__StreamDecoder* d = in.decoder.get();
    while (!in.pending && in.error < 0 && FLAC__stream_decoder_get_state(d) < FLAC__STREAM_DECODER_END_OF_STREAM)
        if (!FLAC__stream_decoder_process_single(d))
            break;
    return in.pending;
}

bool flac_audio_matches(flac_input& in)
{
    return FLAC__stream_decoder_finish(in.decoder.get());
}

// libsndfile's texts: a frame whose checksum is wrong, or a decoder that
// failed, is an unknown error to it; whatever else breaks the stream it
// reports as lost sync, as the decoder then looks for the next frame. A
// read that failed is told in the system's words, as a failed open is.
std::string flac_error_text(const flac_input& in)
{
    if (in.read_error)
        return system_error_text(in.read_error);
    switch (in.error) {
    case -1:
        return {};
    case FLAC__STREAM_DECODER_ERROR_STATUS_FRAME_CRC_MISMATCH:
    case decoder_failed:
        return flac_failed;
    default:
        return flac_lost_sync;
    }
}
