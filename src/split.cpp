// SPDX-License-Identifier: MIT
#include "split.hpp"

#include "eintr.hpp"

#include <nettle/md5.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// A section's bits wait for the reader in a ring of this many words, most
// significant bit first, as the scan's reader holds them.
constexpr std::uint32_t ring_words = 1u << 14;
// A section's audio waits for its turn in the signature up to this many
// bytes; beyond them its thread waits for the turn.
constexpr std::size_t held_audio = 4u << 20;
// How far past where a section is meant to begin its first frame is looked
// for, beyond the section's own bytes.
constexpr std::uint64_t search_beyond = 1u << 20;
constexpr std::uint64_t none = ~std::uint64_t{0};
// A thread may decode this many sections ahead of the reader and the
// signature, while another adds its audio.
constexpr unsigned slots_a_thread = 3;

enum class section_end { open, boundary, stream_end, broken };

// A slot: the section a thread decodes and the reader reads, and its place
// in the signature. Everything but the ring's words between read and
// written is guarded by the split's lock.
struct section {
    std::uint64_t index = none;  // the section held; none: the slot is free
    bool began = false;          // found, at and first are known
    bool found = false;          // a frame begins the section
    std::uint64_t at = 0;        // of the stream, its first frame
    std::uint64_t first = 0;     // the sample frame that frame begins at
    section_end end = section_end::open;
    std::uint64_t end_at = 0;    // boundary: the frame after the section's last
    std::uint64_t next = 0;      // boundary: the sample frame it begins at
    bool goes_on = false;        // stream_end: a frame follows the length given
    std::vector<std::uint32_t> ring;
    std::uint64_t written = 0;   // bits; a multiple of 32 until the section ends
    std::uint64_t read = 0;      // bits
    // Held for the signature: held bytes at audio, which has room for
    // held_audio and a sample's spill.
    std::unique_ptr<unsigned char[]> audio;
    std::size_t held = 0;
    bool direct = false;         // its audio goes into the signature as it comes
    bool decoded = false;        // audio holds all it had, for its turn
    bool consumed = false;       // the reader is done with it
};

struct worker {
    file_split* split;
    bool opened = false;         // its own input of the file
    flac_input in;               // FLAC's; section 0 reads the placed one
    flac_input* input;           // the one the section reads
    positioned_file place;       // libsndfile's
    sndfile_ptr file;
    sndfile_block block;
    section* current = nullptr;  // the one it decodes
    bitreader r;
    sample_source s;
    std::array<std::uint32_t, 1024> batch;  // words for the ring, handed on together
    std::uint32_t batched;                  // bits in batch
    std::vector<unsigned char> packed;         // a frame's audio, as the signature takes it
    std::array<unsigned char, 1u << 16> look;  // bytes searched for a frame
};

// How a section ended, told to the reader under the lock.
struct ending {
    section_end end = section_end::broken;
    std::uint64_t end_at = 0, next = 0;
    bool goes_on = false;
};

// What differs between the formats.
struct split_format {
    // Sets sec.found, at and first for section k, and w.r and w.s up as a
    // reader of its bits, up to where section k + 1 begins; false when it
    // has no frames of its own.
    bool (*begin)(file_split& sp, worker& w, section& sec, std::uint64_t k);
    // How the section w read ended.
    ending (*classify)(file_split& sp, worker& w, const section& sec);
    // The reader goes on alone from the sample frame it read up to.
    void (*fall_back)(file_split& sp);
};

}  // namespace

struct file_split {
    split_plan plan;
    const split_format* format;
    flac_input* placed;
    std::int64_t base;          // of the stream in the file
    std::uint64_t first;        // position of the placed input's next frame
    std::uint64_t length;       // of the stream
    std::uint64_t count;        // sections
    bool hashing_wanted;
    std::mutex lock;
    std::condition_variable moved;   // a slot, a turn or an end changed, for the threads
    std::condition_variable filled;  // what the reader waits for changed
    std::condition_variable space;   // the reader made room in a ring
    bool go = false;            // every thread was started
    std::atomic<bool> stop{false};  // read unlocked by a thread searching for a frame
    std::uint64_t claimed = 0;  // sections taken by the threads
    std::uint64_t last;         // no section after it is wanted: it ended the stream, or broke
    md5_ctx md5;
    std::uint64_t hashed = 0;   // sections in the signature
    bool hashing = false;       // a thread is adding to it
    std::vector<section> slots;  // slots_a_thread a thread
    std::unique_ptr<worker[]> workers;
    // The reader's.
    bitreader* reader = nullptr;
    std::uint64_t reading = 0;  // the section
    std::uint64_t next;         // the sample frame after the last bit read
    bool ended = false;         // the sections ended the stream
    bool goes_on = false;
    bool matches = true;
    unsigned sections = 0;
    bool fell_back = false;
    flac_input again;           // the decoder of the whole stream, after a fall back
    sample_source again_source;
    // libsndfile's: the file, placed at the start, and what reads it
    // after a fall back.
    SNDFILE* file;
    sndfile_block* block;
    sample_source* source;
    SF_INFO info;
    std::uint64_t frames;       // a section's
    double bytes_per_frame;     // of the file, for the counters
    std::vector<std::jthread> threads;  // last: they end before the rest goes
};

namespace {

// With the lock held: every thread is to stop where it waits.
void stop_all(file_split& sp)
{
    sp.stop = true;
    sp.moved.notify_all();
    sp.filled.notify_all();
    sp.space.notify_all();
}

section& slot_of(file_split& sp, std::uint64_t k)
{
    return sp.slots[k % sp.slots.size()];
}

std::uint64_t meant_at(const file_split& sp, std::uint64_t k)
{
    return sp.first + k * sp.plan.section_bytes;
}

// With the lock held: whether the section in sec has left it to the next.
bool let_go(const file_split& sp, const section& sec)
{
    return sec.index == none || (sec.consumed && (!sp.hashing_wanted || sp.hashed > sec.index));
}

// Takes the next section, k, once its slot is free: sections go to the
// threads as they come free, so that one that adds to the signature
// decodes fewer. False when the split stops, or no section is wanted.
bool claim(file_split& sp, std::uint64_t& k)
{
    std::unique_lock hold(sp.lock);
    sp.moved.wait(hold, [&] {
        k = sp.claimed;
        return sp.stop || (sp.go && (k >= sp.count || k > sp.last || let_go(sp, slot_of(sp, k))));
    });
    if (sp.stop || k >= sp.count || k > sp.last)
        return false;
    ++sp.claimed;
    section& sec = slot_of(sp, k);
    std::vector<std::uint32_t> ring = std::move(sec.ring);
    std::unique_ptr<unsigned char[]> audio = std::move(sec.audio);
    sec = {};
    sec.ring = std::move(ring);
    sec.audio = std::move(audio);
    sec.index = k;
    return true;
}

// Adds the held audio of the sections whose turn it is, as a thread that
// decoded a section finds them ready; the others go on decoding meanwhile.
void pump(file_split& sp)
{
    if (!sp.hashing_wanted)
        return;
    std::unique_lock hold(sp.lock);
    while (!sp.stop && !sp.hashing && sp.hashed <= sp.last && sp.hashed < sp.count) {
        section& h = slot_of(sp, sp.hashed);
        if (h.index != sp.hashed || !h.decoded)
            return;
        sp.hashing = true;
        hold.unlock();
        md5_update(&sp.md5, h.held, h.audio.get());
        hold.lock();
        h.held = 0;
        h.decoded = false;
        ++sp.hashed;
        sp.hashing = false;
        sp.moved.notify_all();
        sp.filled.notify_one();
    }
}

// Waits until sec's turn in the signature has come, and takes it.
bool take_turn(file_split& sp, section& sec)
{
    std::unique_lock hold(sp.lock);
    sp.moved.wait(hold, [&] { return sp.stop || (sp.hashed == sec.index && !sp.hashing); });
    if (sp.stop)
        return false;
    sp.hashing = true;
    sec.direct = true;
    return true;
}

// A frame's audio as the signature takes it, at to: each sample in width
// bytes, least significant first, the channels interleaved.
void pack_audio(unsigned char* to, const FLAC__int32* const channel[2], std::uint32_t frames, std::uint32_t width)
{
    if constexpr (std::endian::native == std::endian::little) {
        // Each sample stored as 4 bytes, the next written over its top
        // ones; to has room for the last one's.
        for (std::uint32_t i = 0; i < frames; ++i, to += 2 * width) {
            std::memcpy(to, &channel[0][i], 4);
            std::memcpy(to + width, &channel[1][i], 4);
        }
    } else {
        for (std::uint32_t i = 0; i < frames; ++i)
            for (int c = 0; c < 2; ++c)
                for (std::uint32_t b = 0; b < width; ++b)
                    *to++ = static_cast<unsigned char>(static_cast<std::uint32_t>(channel[c][i]) >> (8 * b));
    }
}

// The hook: a frame's audio, packed where it is held until its section's
// turn, or, once that came, straight into the signature.
void hash_frame(void* opaque, const FLAC__int32* const channel[2], std::uint32_t frames, std::uint32_t bits)
{
    worker& w = *static_cast<worker*>(opaque);
    file_split& sp = *w.split;
    section& sec = *w.current;
    const std::uint32_t width = (bits + 7) / 8;
    const std::size_t n = std::size_t{2} * width * frames;
    if (!sec.direct && sec.held + n > held_audio) {
        if (!take_turn(sp, sec))
            return;
        md5_update(&sp.md5, sec.held, sec.audio.get());
        sec.held = 0;
    }
    if (sec.direct) {
        pack_audio(w.packed.data(), channel, frames, width);
        md5_update(&sp.md5, n, w.packed.data());
    } else {
        pack_audio(sec.audio.get() + sec.held, channel, frames, width);
        sec.held += n;
    }
}

// Hands on n bits of the window's words; false when the split stops.
bool emit(file_split& sp, section& sec, const std::uint32_t* words, std::uint32_t n)
{
    const std::uint32_t count = (n + 31) / 32;
    std::unique_lock hold(sp.lock);
    sp.space.wait(hold, [&] { return sp.stop || sec.written / 32 + count - sec.read / 32 <= ring_words; });
    if (sp.stop)
        return false;
    for (std::uint32_t i = 0; i < count; ++i)
        sec.ring[(sec.written / 32 + i) % ring_words] = words[i];
    sec.written += n;
    sp.filled.notify_one();
    return true;
}

// Decodes the section's frames into its bits, a window at a time, which
// go to the ring a batch at a time; false when the split stops.
bool decode_bits(file_split& sp, worker& w, section& sec)
{
    w.batched = 0;
    for (;;) {
        w.r.bitpos = w.r.bitend = 0;
        w.r.fill_bits(w.r, 1024);
        std::copy_n(w.r.bitbuf.data(), (w.r.bitend + 31) / 32, w.batch.data() + w.batched / 32);
        w.batched += w.r.bitend;
        const bool last = w.r.bitend < 1024;
        if ((last || w.batched == 32 * w.batch.size()) && w.batched) {
            if (!emit(sp, sec, w.batch.data(), w.batched))
                return false;
            w.batched = 0;
        }
        if (last)
            return true;
    }
}

// Whether a frame begins at position at of the stream and decodes with no
// error; it is then the pending block, and in.next where it begins.
bool confirmed(flac_input& in, std::uint64_t at)
{
    in.next = 0;
    return flac_restart_at(in, at) && flac_next_frame(in);
}

// Looks for section k's first frame, from where it is meant to begin.
bool find_first(file_split& sp, worker& w, section& sec, std::uint64_t k)
{
    const std::uint64_t from = meant_at(sp, k);
    const std::uint64_t end = std::min(sp.length, from + sp.plan.section_bytes + search_beyond);
    for (std::uint64_t pos = from; pos + 1 < end;) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(w.look.size(), end - pos));
        const ssize_t got = retry_eintr([&] { return pread(sp.plan.fd, w.look.data(), want, sp.base + static_cast<off_t>(pos)); });
        if (got < 2)
            return false;
        for (ssize_t i = 0; i + 1 < got; ++i) {
            if (w.look[i] != 0xff || (w.look[i + 1] & 0xfe) != 0xf8)
                continue;
            if (confirmed(w.in, pos + static_cast<std::uint64_t>(i))) {
                sec.at = pos + static_cast<std::uint64_t>(i);
                sec.first = w.in.next;
                return true;
            }
            if (sp.stop)
                return false;
        }
        pos += static_cast<std::uint64_t>(got) - 1;
    }
    return false;
}

// Where section k begins: the placed input's next frame, or one found.
bool begin_flac(file_split& sp, worker& w, section& sec, std::uint64_t k)
{
    flac_input* in = &w.in;
    if (k == 0) {
        in = sp.placed;
        sec.found = true;
        sec.at = sp.first;
        sec.first = sp.plan.start;
    } else if (!w.opened) {
        w.opened = open_flac(w.in, sp.plan.fd, true, false, sp.plan.counters) && w.in.base == sp.base;
    }
    in->hook = sp.hashing_wanted ? flac_frame_hook{hash_frame, &w} : flac_frame_hook{};
    if (k > 0) {
        w.in.limit = 0;
        w.in.follow = true;
        sec.found = w.opened && find_first(sp, w, sec, k);
    }
    in->limit = k + 1 < sp.count ? meant_at(sp, k + 1) : 0;
    w.input = in;
    if (sec.found) {
        init_bits_flac(w.r, w.s, *in, 0);
        w.r.msb = 1;
    }
    // A first frame at or past the next section's beginning is that
    // section's.
    return k == 0 || !in->limit || sec.at < in->limit;
}

ending classify_flac(file_split&, worker& w, const section&)
{
    flac_input& in = *w.input;
    ending e;
    if (in.stopped && flac_position(in, e.end_at)) {
        e.end = section_end::boundary;
        e.next = in.next;
    } else if (!in.stopped && in.total && in.next >= in.total && in.error < 0 && in.read_error == 0 &&
               !in.no_memory) {
        in.hook = {};
        in.follow = false;
        e.end = section_end::stream_end;
        e.goes_on = flac_goes_on(in);
    }
    return e;
}

void decode_section(file_split& sp, worker& w, section& sec, std::uint64_t k)
{
    w.current = &sec;
    const bool own = sp.format->begin(sp, w, sec, k);
    {
        const std::lock_guard hold(sp.lock);
        sec.began = true;
        sp.filled.notify_one();
    }
    ending e;
    if (sec.found && !own) {
        e = {section_end::boundary, sec.at, sec.first, false};
        sec.held = 0;
    } else if (sec.found) {
        if (!decode_bits(sp, w, sec))
            return;
        e = sp.format->classify(sp, w, sec);
    }
    {
        const std::lock_guard hold(sp.lock);
        sec.end = e.end;
        sec.end_at = e.end_at;
        sec.next = e.next;
        sec.goes_on = e.goes_on;
        if (sec.end != section_end::boundary)
            sp.last = std::min(sp.last, k);
        if (sec.direct) {
            sp.hashed = k + 1;
            sp.hashing = false;
        } else {
            sec.decoded = true;
        }
        sp.moved.notify_all();
        sp.filled.notify_one();
    }
    pump(sp);
}

void decode_sections(file_split& sp, worker& w)
{
    std::uint64_t k;
    while (claim(sp, k))
        decode_section(sp, w, slot_of(sp, k), k);
}

// ---------------------------------------------------------------------------
// The reader

// Appends the k bits (1..32) at the low end of v to r's window, most
// significant first.
void put_bits_msb(bitreader& r, std::uint32_t v, std::uint32_t k)
{
    const std::uint32_t w = r.bitend / 32;
    const std::uint32_t s = r.bitend % 32;
    const std::uint32_t shift = 64 - k - s;
    const std::uint64_t bits = std::uint64_t{v} << shift;
    const std::uint64_t mask = ((std::uint64_t{1} << k) - 1) << shift;
    r.bitbuf[w] = static_cast<std::uint32_t>((r.bitbuf[w] & ~(mask >> 32)) | bits >> 32);
    if (s + k > 32)
        r.bitbuf[w + 1] = static_cast<std::uint32_t>((r.bitbuf[w + 1] & ~mask) | (bits & 0xffffffffu));
    r.bitend += k;
}

// Moves n of the section's bits into r's window.
void copy_bits(bitreader& r, section& sec, std::uint64_t n)
{
    while (n) {
        const std::uint32_t word = sec.ring[(sec.read / 32) % ring_words];
        const auto off = static_cast<std::uint32_t>(sec.read % 32);
        const auto k = static_cast<std::uint32_t>(std::min<std::uint64_t>(32 - off, n));
        put_bits_msb(r, (word << off) >> (32 - k), k);
        sec.read += k;
        n -= k;
    }
}

// Goes on from the sample frame read up to with the reader of the whole
// file, reading again up to there.
void fall_back(file_split& sp, std::unique_lock<std::mutex>& hold)
{
    sp.fell_back = true;
    stop_all(sp);
    hold.unlock();
    sp.format->fall_back(sp);
    hold.lock();
}

// A decoder of the whole stream, as one thread reads it.
void fall_back_flac(file_split& sp)
{
    flac_input& in = sp.again;
    if (!open_flac(in, sp.plan.fd, true, sp.plan.whole, sp.plan.counters)) {
        if (in.no_memory)
            throw std::bad_alloc();
        throw std::runtime_error("the file changed while it was read");
    }
    if (flac_seek(in, sp.plan.start))
        flac_skip(in, sp.next - sp.plan.start);
    attach_bits_flac(*sp.reader, sp.again_source, in, 0);
}

constexpr split_format flac_format = {begin_flac, classify_flac, fall_back_flac};

// ---------------------------------------------------------------------------
// libsndfile's formats: section k holds the frames from start + k * frames,
// read through a handle of the thread's own.

bool begin_sndfile(file_split& sp, worker& w, section& sec, std::uint64_t k)
{
    if (!w.opened) {
        w.place = {sp.plan.fd, static_cast<std::int64_t>(sp.length), 0};
        SF_INFO info{};
        w.file.reset(sndfile_open_positioned(w.place, info));
        w.opened = w.file && info.frames == sp.info.frames && info.channels == 2 && info.format == sp.info.format;
    }
    sec.first = sec.at = sp.plan.start + k * sp.frames;
    sec.found = w.opened && sf_seek(w.file.get(), static_cast<sf_count_t>(sec.first), SEEK_SET) ==
                                static_cast<sf_count_t>(sec.first);
    w.block.left = std::min(sp.frames, static_cast<std::uint64_t>(sp.info.frames) - sec.first);
    w.block.withhold = w.block.held = w.block.kept_from = 0;
    init_bits_sf(w.r, w.s, w.block, w.file.get(), 0);
    w.r.msb = 1;
    w.s.counters = sp.plan.counters;
    w.s.bytes_per_frame = sp.bytes_per_frame;
    return true;
}

// A section read whole and sound ends at the next one, or at the end.
ending classify_sndfile(file_split& sp, worker& w, const section& sec)
{
    ending e;
    const std::uint64_t end = sec.first + w.s.frames_brought;
    const std::uint64_t meant = std::min(sec.first + sp.frames, static_cast<std::uint64_t>(sp.info.frames));
    if (end != meant || sf_error(w.file.get()) != SF_ERR_NO_ERROR)
        return e;
    e.end = end == static_cast<std::uint64_t>(sp.info.frames) ? section_end::stream_end : section_end::boundary;
    e.end_at = e.next = end;
    return e;
}

void fall_back_sndfile(file_split& sp)
{
    skip_frames(*sp.block, sp.file, static_cast<std::int64_t>(sp.next - sp.plan.start));
    attach_bits_sf(*sp.reader, *sp.source, *sp.block, sp.file, 0);
}

constexpr split_format sndfile_format = {begin_sndfile, classify_sndfile, fall_back_sndfile};

// With the lock held, once the section read has ended and its bits are
// read: the reader moves to the next section, falls back, or the stream
// has ended.
void next_section(file_split& sp, std::unique_lock<std::mutex>& hold)
{
    section& sec = slot_of(sp, sp.reading);
    if (sec.end == section_end::stream_end) {
        sp.filled.wait(hold, [&] { return sp.stop || !sp.hashing_wanted || sp.hashed > sp.reading; });
        std::uint8_t digest[MD5_DIGEST_SIZE];
        md5_digest(&sp.md5, sizeof digest, digest);
        sp.matches = !sp.hashing_wanted || std::memcmp(digest, sp.placed->md5, sizeof digest) == 0;
        sp.ended = true;
        sp.goes_on = sec.goes_on;
        ++sp.sections;
        return;
    }
    if (sec.end == section_end::boundary && sp.reading + 1 < sp.count) {
        section& after = slot_of(sp, sp.reading + 1);
        sp.filled.wait(hold, [&] { return sp.stop || (after.index == sp.reading + 1 && after.began); });
        if (after.found && after.at == sec.end_at && after.first == sec.next && sec.next == sp.next) {
            sec.consumed = true;
            ++sp.reading;
            ++sp.sections;
            sp.moved.notify_all();
            return;
        }
    }
    fall_back(sp, hold);
}

// The reader's refill: the sections' bits, in order, until r holds needed
// cells from bitpos or the sections end.
void fill_split(bitreader& r, std::int32_t needed)
{
    file_split& sp = *static_cast<file_split*>(r.source);
    const std::uint32_t want = r.bitpos + static_cast<std::uint32_t>(needed);
    std::unique_lock hold(sp.lock);
    while (r.bitend < want && !sp.ended && !sp.fell_back) {
        section& sec = slot_of(sp, sp.reading);
        sp.filled.wait(hold, [&] {
            return sp.stop || (sec.index == sp.reading && (sec.written > sec.read || sec.end != section_end::open));
        });
        if (sp.stop && !sp.fell_back)
            return;
        const std::uint64_t n = std::min<std::uint64_t>(sec.written - sec.read, 1024 - r.bitend);
        if (n) {
            copy_bits(r, sec, n);
            sp.next += n;
            sp.space.notify_all();
        } else {
            next_section(sp, hold);
        }
    }
    if (sp.fell_back) {
        hold.unlock();
        r.fill_bits(r, needed);
    }
}

split_ptr start_split(split_ptr sp);

}  // namespace

void split_closer::operator()(file_split* s) const
{
    {
        const std::lock_guard hold(s->lock);
        stop_all(*s);
    }
    s->threads.clear();
    delete s;
}

split_ptr split_flac(flac_input& placed, const split_plan& plan)
{
    std::uint64_t first;
    struct stat st;
    if (!placed.seekable || !placed.total || plan.threads < 2 || !flac_position(placed, first) ||
        fstat(plan.fd, &st) != 0 || st.st_size <= placed.base)
        return nullptr;
    const auto length = static_cast<std::uint64_t>(st.st_size - placed.base);
    const std::uint64_t bytes = std::max<std::uint64_t>(plan.section_bytes, 64);
    const std::uint64_t count = first < length ? (length - first + bytes - 1) / bytes : 0;
    if (count < 2)
        return nullptr;
    split_ptr sp{new file_split};
    sp->format = &flac_format;
    sp->plan = plan;
    sp->plan.section_bytes = bytes;
    sp->placed = &placed;
    sp->base = placed.base;
    sp->first = first;
    sp->length = length;
    sp->count = sp->last = count;
    sp->next = plan.start;
    // An all-zero signature is none: nothing to hash for.
    static constexpr std::uint8_t unsigned_md5[16] = {};
    sp->hashing_wanted = plan.whole && std::memcmp(placed.md5, unsigned_md5, sizeof unsigned_md5) != 0;
    return start_split(std::move(sp));
}

split_ptr split_sndfile(SNDFILE* file, sndfile_block& block, sample_source& source, const SF_INFO& info,
                        const split_plan& plan)
{
    struct stat st;
    const auto frames = static_cast<std::uint64_t>(info.frames);
    if (plan.threads < 2 || info.frames <= 0 || plan.start >= frames || info.channels != 2 ||
        fstat(plan.fd, &st) != 0 || st.st_size <= 0)
        return nullptr;
    // A section of about section_bytes of the file.
    const double bytes_per_frame = static_cast<double>(st.st_size) / static_cast<double>(frames);
    const auto per = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(static_cast<double>(plan.section_bytes) / bytes_per_frame));
    const std::uint64_t count = (frames - plan.start + per - 1) / per;
    if (count < 2)
        return nullptr;
    split_ptr sp{new file_split};
    sp->format = &sndfile_format;
    sp->plan = plan;
    sp->placed = nullptr;
    sp->length = static_cast<std::uint64_t>(st.st_size);
    sp->count = sp->last = count;
    sp->next = plan.start;
    sp->hashing_wanted = false;
    sp->file = file;
    sp->block = &block;
    sp->source = &source;
    sp->info = info;
    sp->frames = per;
    sp->bytes_per_frame = bytes_per_frame;
    return start_split(std::move(sp));
}

namespace {

// Starts sp's threads, or none of them.
split_ptr start_split(split_ptr sp)
{
    md5_init(&sp->md5);
    sp->plan.threads = static_cast<unsigned>(std::min<std::uint64_t>(sp->plan.threads, sp->count));
    const unsigned threads = sp->plan.threads;
    sp->slots.resize(slots_a_thread * std::size_t{threads});
    for (section& sec : sp->slots) {
        sec.ring.resize(ring_words);
        if (sp->hashing_wanted)
            sec.audio.reset(new unsigned char[held_audio + 4]);
    }
    sp->workers.reset(new worker[threads]);
    for (unsigned i = 0; i < threads; ++i) {
        worker& w = sp->workers[i];
        w.split = sp.get();
        w.packed.resize(std::size_t{2} * 4 * 65535 + 4);
    }
    // A thread that cannot be started leaves its sections to none: then
    // none starts, and the file is read on one thread, placed as it was.
    try {
        sp->threads.reserve(threads);
        for (unsigned i = 0; i < threads; ++i)
            sp->threads.emplace_back(decode_sections, std::ref(*sp), std::ref(sp->workers[i]));
    } catch (const std::system_error&) {
        return nullptr;
    }
    const std::lock_guard hold(sp->lock);
    sp->go = true;
    sp->moved.notify_all();
    return sp;
}

}  // namespace

void init_bits_split(bitreader& r, file_split& split)
{
    init_bits(r);
    r.fill_bits = fill_split;
    r.source = &split;
    split.reader = &r;
}

split_end end_of_split(file_split& split)
{
    {
        const std::lock_guard hold(split.lock);
        stop_all(split);
    }
    split.threads.clear();
    if (split.fell_back)
        return {split.placed ? &split.again : nullptr, true, split.next, false, true, split.sections};
    return {nullptr, false, split.next, split.goes_on, split.matches, split.sections};
}
