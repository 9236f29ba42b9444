#include "capture/CaptureDecoder.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <exception>
#include <thread>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define VINTRACE_DECODER_SSE2 1
#else
#define VINTRACE_DECODER_SSE2 0
#endif

// The per-packet steps are inlined into the hot loop: called, they cost as much as decoding a
// small packet's units.
#if defined(__GNUC__)
#define VINTRACE_FLATTEN [[gnu::flatten]]
#else
#define VINTRACE_FLATTEN
#endif

namespace vintrace::capture {

namespace {
struct PidTable {
    RecordKind kind[256];
    std::uint8_t capacity[256]; // CapacityOf(kind)
    std::uint8_t unknown[256];  // 1 when the identifier is kept as the record's first byte
    constexpr PidTable() : kind{}, capacity{}, unknown{} {
        for (int i = 0; i < 256; ++i) {
            kind[i] = RecordKind::Unknown;
        }
        kind[0x2D] = RecordKind::Setup;
        kind[0xE1] = RecordKind::Out;
        kind[0x69] = RecordKind::In;
        kind[0xD2] = RecordKind::Ack;
        kind[0x5A] = RecordKind::Nak;
        kind[0x1E] = RecordKind::Stall;
        kind[0xC3] = RecordKind::Data0;
        kind[0x4B] = RecordKind::Data1;
        kind[0xA5] = RecordKind::Sof;
        for (int i = 0; i < 256; ++i) {
            capacity[i] = CapacityOf(kind[i]);
            unknown[i] = kind[i] == RecordKind::Unknown ? 1 : 0;
        }
    }
};
constexpr PidTable kPidTable;
} // namespace

void CaptureDecoder::startRecord(std::uint8_t pid) {
    if (started_) {
        endRecord();
    }
    started_ = true;
    detached_ = false;
    // Fast paths of PacketList::pushHeader and reserveRecordBytes: this runs once per packet,
    // and the calls cost as much as decoding a small packet's units.
    if (appending_) {
        const std::size_t index = out_.count_;
        const std::size_t chunk = index >> PacketList::kChunkShift;
        if (chunk < out_.headerChunks_.size()) {
            header_ = &out_.headerChunks_[chunk][index & (PacketList::kChunkSize - 1)];
            ++out_.count_;
        } else {
            header_ = &out_.pushHeader();
        }
    } else {
        // The slots of a slice are consecutive: step through a chunk, look up the next one
        // only at its end.
        if (slot_ == slotEnd_) {
            PacketList::Header* chunk = out_.headerChunks_[next_ >> PacketList::kChunkShift].get();
            slot_ = chunk + (next_ & (PacketList::kChunkSize - 1));
            slotEnd_ = chunk + PacketList::kChunkSize;
        }
        ++next_;
        header_ = slot_++;
    }
    PacketList::Header& h = *header_;
    h.kind = kPidTable.kind[pid];
    PacketList::ByteCursor& cursor = *cursor_;
    if (PacketList::kBlockSize - cursor.used < PacketList::kRecordRoom) {
        newBlock();
    }
    h.setOffset(cursor.base | cursor.used);
    bytes_ = cursor.block + cursor.used;
    capacity_ = kPidTable.capacity[pid];
    // An unrecognised identifier is kept as the first byte and counted in the length; for the
    // others the byte is written all the same (the record has room) and overwritten later.
    bytes_[0] = pid;
    stored_ = kPidTable.unknown[pid];
    received_ = stored_;
}

void CaptureDecoder::newBlock() {
    if (blockLock_ != nullptr) {
        const std::lock_guard<std::mutex> lock(*blockLock_);
        out_.newBlock(*cursor_);
    } else {
        out_.newBlock(*cursor_);
    }
}

void CaptureDecoder::endRecord() {
    PacketList::Header& h = *header_;
    h.length = static_cast<std::uint8_t>(received_); // counts modulo 256
    h.stored = static_cast<std::uint8_t>(stored_);
    if (!detached_) {
        cursor_->used += stored_;
    }
    PacketList::deriveTokenFields(h, bytes_);
    if (endpoints_ != nullptr && IsToken(h.kind)) {
        endpoints_->note(h.address, h.endpoint);
    }
}

void CaptureDecoder::detachRecord() {
    if (started_ && !detached_) {
        // startRecord left at least this much room in the block.
        cursor_->used += PacketList::kRecordRoom;
        detached_ = true;
    }
}

void CaptureDecoder::unit(std::uint8_t marker, std::uint8_t value) {
    if (marker == 1) {
        startRecord(value);
    } else if (started_) {
        // A record keeps the first bytes it received, never overwriting them once its length
        // count wraps; the byte after them is slack reserved for this branch-free store.
        bytes_[stored_] = value;
        stored_ += stored_ < capacity_;
        ++received_;
    }
}

VINTRACE_FLATTEN void CaptureDecoder::feed(std::span<const std::uint8_t> piece) {
    const std::uint8_t* p = piece.data();
    std::size_t n = piece.size();
    if (n == 0) {
        return;
    }
    if (havePending_) {
        havePending_ = false;
        unit(pending_, p[0]);
        ++p;
        --n;
    }
    const std::uint8_t* end = p + (n & ~std::size_t{1});
    // Units before the first start unit belong to a packet whose start is not in the file.
    while (!started_ && p != end) {
        unit(p[0], p[1]);
        p += 2;
    }
    // Hot loop: the current record's state lives in locals.
    std::uint8_t* bytes = bytes_;
    std::uint32_t stored = stored_;
    std::uint32_t capacity = capacity_;
    std::uint32_t received = received_;
    while (p != end) {
        if (p[0] == 1) {
            stored_ = stored;
            received_ = received;
            startRecord(p[1]);
            bytes = bytes_;
            stored = stored_;
            capacity = capacity_;
            received = received_;
            p += 2;
            continue;
        }
#if VINTRACE_DECODER_SSE2
        // Most of a capture is data payload: take continuation units 8 at a time while the
        // record has room for 8 more bytes, stopping at the first start unit.
        while (capacity - stored >= 8 && end - p >= 16) {
            const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const unsigned starts =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(units, _mm_set1_epi8(1)))) &
                0x5555u; // markers sit at the even byte positions
            const __m128i values = _mm_packus_epi16(_mm_srli_epi16(units, 8), _mm_setzero_si128());
            // All 8 bytes fit below the capacity; those past a start unit are not committed.
            _mm_storel_epi64(reinterpret_cast<__m128i*>(bytes + stored), values);
            const unsigned taken = starts != 0 ? std::countr_zero(starts) / 2 : 8;
            stored += taken;
            received += taken;
            p += 2 * taken;
            if (starts != 0) {
                break;
            }
        }
        if (p == end || p[0] == 1) {
            continue;
        }
#endif
        bytes[stored] = p[1];
        stored += stored < capacity;
        ++received;
        p += 2;
    }
    stored_ = stored;
    received_ = received;
    if (n & 1) {
        havePending_ = true;
        pending_ = *end;
    }
}

void CaptureDecoder::finish() {
    if (started_) {
        endRecord();
        started_ = false;
    }
    havePending_ = false;
}

void ParseCaptureFile(std::span<const std::uint8_t> data, PacketList& out) {
    CaptureDecoder decoder(out);
    decoder.feed(data);
    decoder.finish();
}

namespace {
constexpr std::size_t kNoStart = static_cast<std::size_t>(-1);

/// Counts the start units among the whole units of `data` (which begins on a unit) and finds
/// the offset of the first one (kNoStart when there is none).
std::size_t CountStarts(const std::uint8_t* data, std::size_t size, std::size_t& first) {
    const std::size_t units = size / 2;
    std::size_t count = 0;
    std::size_t i = 0;
    first = kNoStart;
#if VINTRACE_DECODER_SSE2
    const __m128i one = _mm_set1_epi8(1);
    const __m128i markers = _mm_set1_epi16(0x00FF); // markers sit at the even byte positions
    // Up to the first start unit, look at each block; after it, only count.
    for (; i + 8 <= units && first == kNoStart; i += 8) {
        const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 2 * i));
        const unsigned starts = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(u, one), markers)));
        if (starts != 0) {
            first = 2 * i + static_cast<std::size_t>(std::countr_zero(starts));
            count += static_cast<std::size_t>(std::popcount(starts));
        }
    }
    // Per-byte counters, summed before they can overflow; 16 units at a time, then 8.
    while (i + 16 <= units) {
        const std::size_t blocks = std::min<std::size_t>((units - i) / 16, 127);
        __m128i sums = _mm_setzero_si128();
        for (std::size_t b = 0; b < blocks; ++b, i += 16) {
            const __m128i u0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 2 * i));
            const __m128i u1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 2 * i + 16));
            // Each matching byte is -1: the pair sums to -2 at most, counted as a byte.
            const __m128i both = _mm_add_epi8(_mm_cmpeq_epi8(u0, one), _mm_cmpeq_epi8(u1, one));
            sums = _mm_sub_epi8(sums, _mm_and_si128(both, markers));
        }
        const __m128i total = _mm_sad_epu8(sums, _mm_setzero_si128());
        count += static_cast<std::size_t>(_mm_cvtsi128_si32(total)) +
                 static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(total, 8)));
    }
    while (i + 8 <= units) {
        const std::size_t blocks = std::min<std::size_t>((units - i) / 8, 255);
        __m128i sums = _mm_setzero_si128();
        for (std::size_t b = 0; b < blocks; ++b, i += 8) {
            const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 2 * i));
            sums = _mm_sub_epi8(sums, _mm_and_si128(_mm_cmpeq_epi8(u, one), markers));
        }
        const __m128i total = _mm_sad_epu8(sums, _mm_setzero_si128());
        count += static_cast<std::size_t>(_mm_cvtsi128_si32(total)) +
                 static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(total, 8)));
    }
#endif
    for (; i < units; ++i) {
        if (data[2 * i] == 1) {
            if (first == kNoStart) {
                first = 2 * i;
            }
            ++count;
        }
    }
    return count;
}
} // namespace

// Cache-line aligned: threads fill neighbouring slices at the same time.
struct alignas(64) ParallelDecoder::Slice {
    std::size_t offset = 0; // in the window
    std::size_t size = 0;   // bytes in the slice once filled
    std::size_t starts = 0; // start units
    std::size_t first = kNoStart;
    // Set when joining: the bytes this slice decodes, and its first record's index.
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t firstIndex = 0;
    std::optional<CaptureDecoder> decoder; // the last slice's, whose packet may go on
    EndpointLog endpoints;                 // the token pairs of the records it ended
};

ParallelDecoder::ParallelDecoder(PacketList& out, const SliceOptions& options)
    : out_(out), threads_(options.threads) {
    if (threads_ == 0) {
        threads_ = std::max(1u, std::thread::hardware_concurrency());
    }
    // Several slices per thread, so a thread slowed by other work takes fewer of them, in a
    // window of at most 64 MiB, so that its buffer does not matter next to the store.
    constexpr std::size_t kWindowMax = std::size_t{64} << 20;
    sliceBytes_ = options.sliceBytes != 0 ? options.sliceBytes
                                          : std::clamp(kWindowMax / (4 * std::size_t{threads_}),
                                                       std::size_t{1} << 20, std::size_t{4} << 20);
    sliceBytes_ = std::max<std::size_t>(2, (sliceBytes_ + 1) & ~std::size_t{1});
    slicesPerWindow_ =
        options.slicesPerWindow != 0
            ? options.slicesPerWindow
            : std::min<std::size_t>(4 * std::size_t{threads_},
                                    std::max<std::size_t>(threads_, kWindowMax / sliceBytes_));
    cursors_.resize(threads_);
    slices_.resize(slicesPerWindow_);
}

/// The decoding threads, started on the first parallel step and kept for the decoder's life:
/// a load takes two steps per window, and starting threads for each would cost more than
/// decoding a small window.
struct ParallelDecoder::Pool {
    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable done;
    const std::function<void(std::size_t, unsigned)>* task = nullptr;
    std::size_t count = 0;
    std::atomic<std::size_t> next{0};
    std::uint64_t step = 0; // bumped for each parallel step
    unsigned busy = 0;      // workers still in the current step
    bool stop = false;
    std::vector<std::exception_ptr> errors;
    std::vector<std::thread> threads;

    // Slices are taken in turn, so a thread slowed by other work takes fewer of them.
    void run(unsigned thread) {
        try {
            for (std::size_t i = next++; i < count; i = next++) {
                (*task)(i, thread);
            }
        } catch (...) {
            errors[thread] = std::current_exception();
            next = count; // the others stop at their next slice
        }
    }

    void work(unsigned thread) {
        std::uint64_t seen = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> hold(lock);
                wake.wait(hold, [&] { return stop || step != seen; });
                if (stop) {
                    return;
                }
                seen = step;
            }
            run(thread);
            const std::lock_guard<std::mutex> hold(lock);
            if (--busy == 0) {
                done.notify_one();
            }
        }
    }
};

ParallelDecoder::~ParallelDecoder() {
    if (pool_) {
        {
            const std::lock_guard<std::mutex> hold(pool_->lock);
            pool_->stop = true;
        }
        pool_->wake.notify_all();
        for (std::thread& t : pool_->threads) {
            t.join();
        }
    }
}

void ParallelDecoder::parallel(std::size_t n,
                               const std::function<void(std::size_t, unsigned)>& task) {
    if (threads_ <= 1 || n <= 1) {
        for (std::size_t i = 0; i < n; ++i) {
            task(i, 0);
        }
        return;
    }
    if (!pool_) {
        pool_ = std::make_unique<Pool>();
        pool_->errors.resize(threads_);
        for (unsigned t = 1; t < threads_; ++t) {
            pool_->threads.emplace_back([pool = pool_.get(), t] { pool->work(t); });
        }
    }
    Pool& pool = *pool_;
    {
        const std::lock_guard<std::mutex> hold(pool.lock);
        pool.task = &task;
        pool.count = n;
        pool.next = 0;
        pool.busy = threads_ - 1;
        ++pool.step;
    }
    pool.wake.notify_all();
    pool.run(0);
    {
        std::unique_lock<std::mutex> hold(pool.lock);
        pool.done.wait(hold, [&] { return pool.busy == 0; });
    }
    std::exception_ptr error;
    for (std::exception_ptr& e : pool.errors) {
        if (e && !error) {
            error = e;
        }
        e = nullptr;
    }
    if (error) {
        std::rethrow_exception(error); // out of memory, as on one thread
    }
}

void ParallelDecoder::scan(Slice& slice, const std::uint8_t* data) const {
    std::size_t first = kNoStart;
    slice.starts = CountStarts(data + slice.offset, slice.size, first);
    slice.first = first == kNoStart ? kNoStart : slice.offset + first;
}

void ParallelDecoder::window(std::span<const std::uint8_t> data) {
    for (std::size_t at = 0; at < data.size(); at += windowBytes()) {
        const std::span<const std::uint8_t> part =
            data.subspan(at, std::min(windowBytes(), data.size() - at));
        const std::size_t count = (part.size() + sliceBytes_ - 1) / sliceBytes_;
        for (std::size_t i = 0; i < count; ++i) {
            slices_[i].offset = i * sliceBytes_;
            slices_[i].size = std::min(sliceBytes_, part.size() - slices_[i].offset);
        }
        parallel(count, [&](std::size_t i, unsigned) { scan(slices_[i], part.data()); });
        decode(part.data(), part.size());
    }
}

std::size_t ParallelDecoder::readWindow(std::uint8_t* buffer, std::size_t size,
                                        std::uint64_t offset, const Fill& fill) {
    size = std::min(size, windowBytes());
    const std::size_t count = (size + sliceBytes_ - 1) / sliceBytes_;
    parallel(count, [&](std::size_t i, unsigned) {
        Slice& slice = slices_[i];
        slice.offset = i * sliceBytes_;
        const std::size_t want = std::min(sliceBytes_, size - slice.offset);
        // Read and count in pieces that stay in the core's own cache between the two.
        constexpr std::size_t kPiece = std::size_t{256} << 10;
        slice.size = 0;
        slice.starts = 0;
        slice.first = kNoStart;
        while (slice.size < want) {
            std::uint8_t* at = buffer + slice.offset + slice.size;
            const std::size_t asked = std::min(kPiece, want - slice.size);
            const std::size_t got =
                fill(offset + slice.offset + slice.size, std::span<std::uint8_t>(at, asked));
            std::size_t first = kNoStart;
            slice.starts += CountStarts(at, got, first);
            if (slice.first == kNoStart && first != kNoStart) {
                slice.first = slice.offset + slice.size + first;
            }
            slice.size += got;
            if (got < asked) {
                break;
            }
        }
    });
    // The window ends at the first slice that came back short: the file ended there (or
    // could not be read further), and whatever later slices found is not after it.
    std::size_t length = 0;
    for (std::size_t i = 0; i < count; ++i) {
        length += slices_[i].size;
        if (slices_[i].size != std::min(sliceBytes_, size - slices_[i].offset)) {
            break;
        }
    }
    decode(buffer, length);
    return length;
}

void ParallelDecoder::decode(const std::uint8_t* data, std::size_t length) {
    const std::size_t count = (length + sliceBytes_ - 1) / sliceBytes_;
    if (count == 0) {
        return;
    }
    // A slice decodes from its first start unit to the next slice's; one without a start
    // unit is empty, and its units go to the slice before.
    std::size_t end = length;
    for (std::size_t i = count; i-- > 0;) {
        Slice& slice = slices_[i];
        slice.end = end;
        slice.begin = slice.first == kNoStart ? end : slice.first;
        end = slice.begin;
    }
    // Units before the window's first start unit continue the packet left open at the end of
    // the previous window (or, before any start unit, belong to no packet at all).
    if (carry_) {
        carry_->feed(std::span<const std::uint8_t>(data, end));
    }
    if (end == length) {
        return; // no packet starts here: the open one, if any, goes on
    }
    if (carry_) {
        carry_->finish(); // notes its pair straight in endpoints_, ahead of this window's
        carry_.reset();
    }
    std::size_t index = out_.size();
    std::size_t last = 0;
    for (std::size_t i = 0; i < count; ++i) {
        slices_[i].firstIndex = index;
        index += slices_[i].starts;
        if (slices_[i].begin != slices_[i].end) {
            last = i;
        }
    }
    out_.resizeHeaders(index);
    parallel(count, [&](std::size_t i, unsigned thread) {
        Slice& slice = slices_[i];
        if (slice.begin == slice.end) {
            return;
        }
        CaptureDecoder decoder(out_, cursors_[thread].cursor, blockLock_, slice.firstIndex);
        if (endpoints_ != nullptr) {
            // Each slice notes its own pairs; they are joined in slice order below.
            slice.endpoints.clear();
            decoder.endpoints_ = &slice.endpoints;
        }
        decoder.feed(std::span<const std::uint8_t>(data + slice.begin, slice.end - slice.begin));
        if (i == last) {
            decoder.detachRecord();
            slice.decoder.emplace(decoder);
        } else {
            decoder.finish();
        }
    });
    if (endpoints_ != nullptr) {
        for (std::size_t i = 0; i < count; ++i) {
            if (slices_[i].begin != slices_[i].end) {
                endpoints_->append(slices_[i].endpoints);
            }
        }
    }
    carry_.emplace(*slices_[last].decoder);
    slices_[last].decoder.reset();
    carry_->endpoints_ = endpoints_; // its packet ends after this window's
}

void ParallelDecoder::finish() {
    if (carry_) {
        carry_->finish();
        carry_.reset();
    }
    // Appends after a parallel decode start a fresh block rather than share a thread's.
    out_.tail_ = PacketList::ByteCursor();
}

void ParseCaptureFileParallel(std::span<const std::uint8_t> data, PacketList& out,
                              const SliceOptions& options, EndpointLog* endpoints) {
    ParallelDecoder decoder(out, options);
    if (endpoints != nullptr) {
        decoder.collectEndpoints(*endpoints);
    }
    decoder.window(data);
    decoder.finish();
}

} // namespace vintrace::capture
