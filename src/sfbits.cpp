// SPDX-License-Identifier: MIT
#include "sfbits.hpp"

#include "eintr.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

std::mutex opening;

// Brings the next frames into b's buffer, from its start, but for the last
// withhold, which stay after them: how many there are. Frames held from
// before come first.
std::uint32_t next_block(sndfile_block& b)
{
    std::memmove(b.buf.data(), b.buf.data() + 2 * b.kept_from, 2 * sizeof b.buf[0] * b.held);
    std::uint32_t have = b.held;
    while (have <= b.withhold) {
        const auto want = static_cast<sf_count_t>(std::min<std::uint64_t>(b.left, block_frames - have));
        const sf_count_t got = want ? sf_readf_int(b.file, b.buf.data() + 2 * have, want) : 0;
        if (got <= 0) {
            b.held = 0;
            return 0;
        }
        b.left -= static_cast<std::uint64_t>(got);
        have += static_cast<std::uint32_t>(got);
    }
    b.held = b.withhold;
    b.kept_from = have - b.withhold;
    return b.kept_from;
}

// A result of zero or less (end of file or read error alike) ends the
// samples; a short read does not. After it the file is never read again:
// libsndfile clears its error state at the start of every read, and the
// reader may still hold unread bits and come back for more, which would
// lose the error of a damaged or cut file before the caller asks for it.
bool fill_buf(sample_source& s)
{
    sndfile_block& b = *static_cast<sndfile_block*>(s.opaque);
    const std::uint32_t got = next_block(b);
    if (!got)
        return false;
    s.left = b.buf.data();
    s.right = b.buf.data() + 1;
    s.bufend = got;
    return true;
}

}  // namespace

void init_bits_sf(bitreader& r, sample_source& s, sndfile_block& b, SNDFILE* file, sample_bit xbit)
{
    init_bits_source(r, s, block_layout::interleaved, fill_buf, &b, xbit);
    b.file = file;
}

void attach_bits_sf(bitreader& r, sample_source& s, sndfile_block& b, SNDFILE* file, sample_bit xbit)
{
    attach_bits_source(r, s, block_layout::interleaved, fill_buf, &b, xbit);
    b.file = file;
}

std::int64_t skip_frames(sndfile_block& b, SNDFILE* file, std::int64_t n)
{
    b.file = file;
    std::int64_t done = 0;
    while (done < n) {
        const std::uint32_t got = next_block(b);
        if (!got)
            break;
        const auto take = static_cast<std::uint32_t>(std::min<std::int64_t>(n - done, got));
        done += take;
        // The frames after the start are the first the reader gets.
        b.held += got - take;
        b.kept_from = take;
    }
    return done;
}

int carried_width(int subformat, const char*& unfit)
{
    unfit = "lossy or companded";
    switch (subformat) {
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_ALAC_24:
        return 24;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_ALAC_32:
        return 32;
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
        unfit = "8-bit";
        break;
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_ALAC_16:
        unfit = "16-bit";
        break;
    case SF_FORMAT_ALAC_20:
        unfit = "20-bit";
        break;
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
        unfit = "floating-point";
        break;
    }
    return 0;
}

namespace {

positioned_file& positioned(void* f)
{
    return *static_cast<positioned_file*>(f);
}

sf_count_t positioned_length(void* f)
{
    return positioned(f).length;
}

sf_count_t positioned_seek(sf_count_t offset, int whence, void* f)
{
    positioned_file& p = positioned(f);
    const sf_count_t from = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? p.offset : p.length;
    p.offset = from + offset;
    return p.offset;
}

sf_count_t positioned_read(void* buf, sf_count_t n, void* f)
{
    positioned_file& p = positioned(f);
    sf_count_t done = 0;
    while (done < n) {
        const ssize_t got = retry_eintr(
            [&] { return pread(p.fd, static_cast<char*>(buf) + done, static_cast<std::size_t>(n - done), p.offset); });
        if (got <= 0)
            break;
        done += got;
        p.offset += got;
    }
    return done;
}

sf_count_t positioned_write(const void*, sf_count_t, void*)
{
    return 0;
}

sf_count_t positioned_tell(void* f)
{
    return positioned(f).offset;
}

}  // namespace

SNDFILE* sndfile_open_positioned(positioned_file& f, SF_INFO& info)
{
    // libsndfile keeps a copy of the operations.
    SF_VIRTUAL_IO io = {positioned_length, positioned_seek, positioned_read, positioned_write, positioned_tell};
    const std::lock_guard hold(opening);
    return sf_open_virtual(&io, SFM_READ, &info, &f);
}

SNDFILE* sndfile_open(int fd, SF_INFO& info, std::string& why)
{
    const std::lock_guard hold(opening);
    SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
    if (!file)
        why = sf_strerror(nullptr);
    return file;
}
