// SPDX-License-Identifier: MIT
#include "headers.hpp"

#include <sndfile.h>

#include <cstring>

namespace {

std::uint32_t le32(const unsigned char* p)
{
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

std::uint32_t be32(const unsigned char* p)
{
    return std::uint32_t{p[3]} | std::uint32_t{p[2]} << 8 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[0]} << 24;
}

std::uint64_t le64(const unsigned char* p)
{
    return le32(p) | std::uint64_t{le32(p + 4)} << 32;
}

std::uint64_t be64(const unsigned char* p)
{
    return std::uint64_t{be32(p)} << 32 | be32(p + 4);
}

unsigned le16(const unsigned char* p)
{
    return p[0] | p[1] << 8;
}

unsigned be16(const unsigned char* p)
{
    return p[1] | p[0] << 8;
}

bool named(const unsigned char* p, const char* name)
{
    return std::memcmp(p, name, 4) == 0;
}

constexpr std::uint32_t all_ones32 = 0xffffffff;

// libsndfile's raw format for samples of the given width in bytes; 0 when
// it has none.
int raw_format(bool floating, unsigned bytes, bool little, bool unsigned8)
{
    int sub = 0;
    if (floating)
        sub = bytes == 4 ? SF_FORMAT_FLOAT : bytes == 8 ? SF_FORMAT_DOUBLE : 0;
    else if (bytes == 1)
        sub = unsigned8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_S8;
    else
        sub = bytes == 2 ? SF_FORMAT_PCM_16 : bytes == 3 ? SF_FORMAT_PCM_24 : bytes == 4 ? SF_FORMAT_PCM_32 : 0;
    return sub ? SF_FORMAT_RAW | sub | (little ? SF_ENDIAN_LITTLE : SF_ENDIAN_BIG) : 0;
}

// sox, writing WAV or AIFF where it cannot seek back and does not know the
// length, gives the most whole frames below a limit of its own.
bool sox_placeholder(std::uint64_t data, unsigned frame_bytes, std::uint64_t limit)
{
    return frame_bytes && data == limit - limit % frame_bytes;
}

// The layout once its chunks are read: frames from the data's length, or
// nothing at all when the samples are not plain.
sound_layout settled(sound_layout l, std::uint64_t data, unsigned frame_bytes)
{
    if (!l.format || !frame_bytes || l.channels <= 0 || frame_bytes % static_cast<unsigned>(l.channels))
        return {};
    l.frame_bytes = frame_bytes;
    l.frames = l.open ? 0 : data / frame_bytes;
    return l;
}

// How a format lays out its chunks: a name (Wave64's a 16-byte GUID), then
// a length in some byte order, which Wave64's counts the chunk's own header
// in; each chunk begins at a multiple of align from the header's start.
struct chunk_form {
    unsigned name_bytes, length_bytes;
    bool big;
    bool counts_header;
    unsigned align;
};

constexpr chunk_form riff_chunks{4, 4, false, false, 2};
constexpr chunk_form rifx_chunks{4, 4, true, false, 2};
constexpr chunk_form aiff_chunks{4, 4, true, false, 2};
constexpr chunk_form w64_chunks{16, 8, false, true, 8};
constexpr chunk_form caf_chunks{4, 8, true, false, 1};

// A chunk's name and length, as it states it, and the first bytes of its body.
struct chunk {
    unsigned char bytes[64];
    std::size_t got;  // of bytes
    unsigned header;  // the bytes before the body
    const unsigned char* body;
    std::uint64_t length;
};

// The chunk at at; false when its header is not all there.
bool read_chunk(header_reader r, const chunk_form& f, std::uint64_t at, chunk& c)
{
    c.got = r.read(r.context, at, c.bytes, sizeof c.bytes);
    c.header = f.name_bytes + f.length_bytes;
    c.body = c.bytes + c.header;
    if (c.got < c.header)
        return false;
    const unsigned char* p = c.bytes + f.name_bytes;
    c.length = f.length_bytes == 4 ? (f.big ? be32(p) : le32(p)) : (f.big ? be64(p) : le64(p));
    return true;
}

// Where the chunk after c, at at, begins; false when none can: a length
// shorter than the header it counts, or one past any file, with which an
// offset could wrap around.
bool next_chunk(const chunk_form& f, std::uint64_t at, const chunk& c, std::uint64_t& next)
{
    if ((f.counts_header && c.length < c.header) || c.length >= std::uint64_t{1} << 62)
        return false;
    const std::uint64_t end = at + (f.counts_header ? 0 : c.header) + c.length;
    next = (end + f.align - 1) / f.align * f.align;
    return true;
}

// A "fmt " chunk's body, of which got bytes were read, as WAV and Wave64
// have it: the format tag, channels, rate and bytes a frame, and in the
// extensible form the tag of the subformat. The bytes a frame takes.
unsigned read_fmt(const unsigned char* body, std::size_t got, bool little, sound_layout& l)
{
    const auto u16 = [little](const unsigned char* p) { return little ? le16(p) : be16(p); };
    unsigned tag = u16(body);
    if (tag == 0xfffe && got >= 26)
        tag = u16(body + 24);
    l.channels = static_cast<int>(u16(body + 2));
    const unsigned frame_bytes = u16(body + 12);
    const unsigned bytes = l.channels ? frame_bytes / static_cast<unsigned>(l.channels) : 0;
    l.format = tag == 1 || tag == 3 ? raw_format(tag == 3, bytes, little, true) : 0;
    return frame_bytes;
}

// WAV: chunks of a 4-byte name and a 4-byte length, little-endian in RIFF
// and RF64, big-endian in RIFX, and a pad byte after an odd length. "fmt "
// holds the samples' layout, "data" the samples, whose length RF64 gives
// in "ds64", after the whole file's.
sound_layout read_wave(header_reader r, bool little, bool rf64)
{
    const chunk_form& form = little ? riff_chunks : rifx_chunks;
    sound_layout l;
    std::uint64_t ds64_data = 0;
    unsigned frame_bytes = 0;
    chunk c;
    for (std::uint64_t at = 12; read_chunk(r, form, at, c);) {
        if (named(c.bytes, "ds64") && c.got >= 8 + 16) {
            ds64_data = le64(c.body + 8);
        } else if (named(c.bytes, "fmt ") && c.got >= 8 + 16) {
            frame_bytes = read_fmt(c.body, c.got - 8, little, l);
        } else if (named(c.bytes, "data")) {
            l.data_at = at + 8;
            const std::uint64_t data = rf64 && c.length == all_ones32 ? ds64_data : c.length;
            l.open = data == 0 || data == all_ones32 || sox_placeholder(data, frame_bytes, 0x7ffff000);
            return settled(l, data, frame_bytes);
        }
        if (!next_chunk(form, at, c, at))
            return {};
    }
    return {};
}

// AIFF and AIFF-C: big-endian chunks, a pad byte after an odd length.
// "COMM" holds the channels, the frames, the bits of a sample, the rate and
// AIFF-C's compression; "SSND" the samples, after 8 bytes of
// offset and block size.
sound_layout read_aiff(header_reader r, bool aifc)
{
    sound_layout l;
    unsigned frame_bytes = 0;
    chunk c;
    for (std::uint64_t at = 12; read_chunk(r, aiff_chunks, at, c);) {
        const unsigned char* body = c.body;
        if (named(c.bytes, "COMM") && c.got >= 8 + 22) {
            const unsigned char* kind = body + 18;
            const bool big = !aifc || named(kind, "NONE") || named(kind, "twos");
            const unsigned bytes = (be16(body + 6) + 7) / 8;
            l.channels = static_cast<int>(be16(body));
            l.format = big || named(kind, "sowt") ? raw_format(false, bytes, !big, false) : 0;
            frame_bytes = static_cast<unsigned>(l.channels) * bytes;
        } else if (named(c.bytes, "SSND") && c.got >= 8 + 8) {
            const std::uint64_t data = c.length < 8 ? 0 : c.length - 8;
            l.data_at = at + 16 + be32(body);
            l.open = data == 0 || c.length == all_ones32 || sox_placeholder(data, frame_bytes, 0x7f000000);
            return settled(l, data, frame_bytes);
        }
        if (!next_chunk(aiff_chunks, at, c, at))
            return {};
    }
    return {};
}

const unsigned char w64_riff[16] = {'r', 'i', 'f', 'f', 0x2e, 0x91, 0xcf, 0x11,
                                    0xa5, 0xd6, 0x28, 0xdb, 0x04, 0xc1, 0x00, 0x00};
// "wave", "fmt " and "data" share the rest of their GUIDs.
const unsigned char w64_tail[12] = {0xf3, 0xac, 0xd3, 0x11, 0x8c, 0xd1, 0x00, 0xc0, 0x4f, 0x8e, 0xdb, 0x8a};

bool w64_named(const unsigned char* p, const char* name)
{
    return named(p, name) && std::memcmp(p + 4, w64_tail, sizeof w64_tail) == 0;
}

// Sony Wave64: chunks of a 16-byte GUID and an 8-byte little-endian length
// that counts those 24 bytes, each at a multiple of 8; "fmt " as in WAV.
sound_layout read_w64(header_reader r)
{
    sound_layout l;
    unsigned frame_bytes = 0;
    unsigned char head[40];
    if (r.read(r.context, 0, head, sizeof head) != sizeof head || std::memcmp(head, w64_riff, 16) != 0 ||
        !w64_named(head + 24, "wave"))
        return {};
    chunk c;
    for (std::uint64_t at = 40; read_chunk(r, w64_chunks, at, c);) {
        if (w64_named(c.bytes, "fmt ") && c.got >= 24 + 16) {
            frame_bytes = read_fmt(c.body, c.got - 24, true, l);
        } else if (w64_named(c.bytes, "data")) {
            l.data_at = at + 24;
            // All ones, or all ones but the top bit, as ffmpeg leaves it.
            l.open = c.length <= 24 || c.length >= 0x7fffffffffffffff;
            return settled(l, c.length - 24, frame_bytes);
        }
        if (!next_chunk(w64_chunks, at, c, at))
            return {};
    }
    return {};
}

// CAF: big-endian chunks of a 4-byte name and an 8-byte length. "desc"
// holds the rate, the format, its flags (1 floating point, 2 little-endian),
// the bytes and frames of a packet, the channels and the bits; "data" a
// 4-byte edit count and then the samples. A length of all ones is the
// format's own "unknown"; libsndfile, where it cannot seek, gives the edit
// count's 4 bytes alone.
sound_layout read_caf(header_reader r)
{
    sound_layout l;
    unsigned frame_bytes = 0;
    chunk c;
    for (std::uint64_t at = 8; read_chunk(r, caf_chunks, at, c);) {
        const unsigned char* body = c.body;
        if (named(c.bytes, "desc") && c.got >= 12 + 32) {
            const std::uint32_t flags = be32(body + 12);
            frame_bytes = be32(body + 16);
            l.channels = static_cast<int>(be32(body + 24));
            const unsigned bytes = l.channels > 0 ? frame_bytes / static_cast<unsigned>(l.channels) : 0;
            const bool plain = named(body + 8, "lpcm") && be32(body + 20) == 1;
            l.format = plain ? raw_format(flags & 1, bytes, flags & 2, false) : 0;
        } else if (named(c.bytes, "data")) {
            l.data_at = at + 12 + 4;
            l.open = c.length <= 4 || c.length == ~std::uint64_t{0};
            return settled(l, c.length - 4, frame_bytes);
        }
        if (!next_chunk(caf_chunks, at, c, at))
            return {};
    }
    return {};
}

// Sun AU: a big-endian header of the samples' offset and length, their
// encoding, the rate and the channels. A length of all ones is the format's
// own "unknown".
sound_layout read_au(header_reader r)
{
    unsigned char head[24];
    if (r.read(r.context, 0, head, sizeof head) != sizeof head)
        return {};
    const std::uint32_t length = be32(head + 8);
    const std::uint32_t encoding = be32(head + 12);
    sound_layout l;
    l.data_at = be32(head + 4);
    if (l.data_at < sizeof head)
        return {};
    l.channels = static_cast<int>(be32(head + 20) & 0x7fff);
    l.open = length == 0 || length == all_ones32;
    const unsigned bytes = encoding >= 2 && encoding <= 5 ? encoding - 1 : encoding == 6 ? 4 : encoding == 7 ? 8 : 0;
    l.format = raw_format(encoding >= 6, bytes, false, false);
    return settled(l, length, bytes * static_cast<unsigned>(l.channels));
}

// The header as it stands from offset from on.
struct shifted {
    header_reader r;
    std::uint64_t from;
};

std::size_t read_shifted(void* context, std::uint64_t at, unsigned char* buf, std::size_t n)
{
    const shifted& s = *static_cast<shifted*>(context);
    return s.r.read(s.r.context, s.from + at, buf, n);
}

sound_layout read_one(header_reader r)
{
    unsigned char head[12];
    if (r.read(r.context, 0, head, sizeof head) != sizeof head)
        return {};
    if (named(head + 8, "WAVE") && (named(head, "RIFF") || named(head, "RF64") || named(head, "RIFX")))
        return read_wave(r, !named(head, "RIFX"), named(head, "RF64"));
    if (named(head, "FORM") && (named(head + 8, "AIFF") || named(head + 8, "AIFC")))
        return read_aiff(r, named(head + 8, "AIFC"));
    if (named(head, "riff"))
        return read_w64(r);
    if (named(head, "caff"))
        return read_caf(r);
    if (named(head, ".snd"))
        return read_au(r);
    return {};
}

// The header at from. libsndfile, writing CAF or Wave64 where it cannot
// seek, leaves the length open and writes the whole header again before
// the samples, and once more after them: then it is read again from
// there, and the last copy is no audio.
sound_layout read_from(header_reader r, std::uint64_t from, int again)
{
    shifted here{r, from};
    sound_layout l = read_one({read_shifted, &here});
    l.data_at += from;
    unsigned char first[4], next[4];
    if (l.format && l.open && again > 0 && r.read(r.context, from, first, 4) == 4 &&
        r.read(r.context, l.data_at, next, 4) == 4 && std::memcmp(first, next, 4) == 0) {
        sound_layout repeated = read_from(r, l.data_at, again - 1);
        if (repeated.format) {
            repeated.trailer = l.data_at - from;
            return repeated;
        }
    }
    return l;
}

}  // namespace

sound_layout read_layout(header_reader r)
{
    return read_from(r, 0, 2);
}
