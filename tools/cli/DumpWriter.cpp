#include "DumpWriter.h"

#include "capture/CaptureCheck.h"
#include "capture/SetupRequest.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define VINTRACE_DUMP_SSE2 1
#else
#define VINTRACE_DUMP_SSE2 0
#endif

namespace vintrace::cli {

namespace {
constexpr std::size_t kBufferSize = std::size_t{4} << 20;
// The longest line without extra columns: a 20-digit index, "UNKNOWN", three 3-digit
// numbers, 66 bytes in hex, the TABs and the newline.
constexpr std::size_t kMaxDigits = 20;
constexpr std::size_t kLineMax = kMaxDigits + 7 + 3 * 3 + 66 * 2 + 6;
/// Room past a line for fixed-size copies that write a little beyond the text they keep.
constexpr std::size_t kLineSlack = 16;
/// Records per batch of a parallel dump: a few megabytes of text.
constexpr std::size_t kDumpBatch = std::size_t{1} << 15;

struct Field {
    char text[12];
    std::uint8_t size;
};

/// The fields that come from a small set of values, formatted once.
struct Tables {
    std::array<std::array<char, 2>, 256> hex{};
    std::array<Field, 256> number{};                         // "0\t" to "255\t"
    std::array<Field, capture::kRecordKindCount + 1> kind{}; // "SETUP\t"..., "?\t"

    Tables() {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        for (int i = 0; i < 256; ++i) {
            hex[i] = {kDigits[i >> 4], kDigits[i & 15]};
            Field& f = number[i];
            char* end = std::to_chars(f.text, f.text + sizeof f.text, i).ptr;
            *end++ = '\t';
            f.size = static_cast<std::uint8_t>(end - f.text);
        }
        for (int k = 0; k <= capture::kRecordKindCount; ++k) {
            const std::string_view name = capture::KindName(static_cast<capture::RecordKind>(k));
            Field& f = kind[k];
            const std::size_t n = std::min(name.size(), sizeof f.text - 1);
            std::memcpy(f.text, name.data(), n);
            f.text[n] = '\t';
            f.size = static_cast<std::uint8_t>(n + 1);
        }
    }
};

const Tables& Table() {
    static const Tables tables;
    return tables;
}

char* Put(char* at, const Field& f) {
    std::memcpy(at, f.text, sizeof f.text); // fixed size: one or two moves, no loop
    return at + f.size;
}

#if VINTRACE_DUMP_SSE2
/// The hex digits of the bytes in the low 8 (`wide` false) or all 16 lanes of `v`.
inline void PutHexLanes(char* at, __m128i v, bool wide) {
    const __m128i low = _mm_set1_epi8(0x0F);
    const __m128i hi = _mm_and_si128(_mm_srli_epi16(v, 4), low);
    const __m128i lo = _mm_and_si128(v, low);
    // Nibble to digit: '0' + n, and 7 more past 9 to reach 'A'.
    const auto digits = [](__m128i n) {
        const __m128i letters =
            _mm_and_si128(_mm_cmpgt_epi8(n, _mm_set1_epi8(9)), _mm_set1_epi8(7));
        return _mm_add_epi8(_mm_add_epi8(n, _mm_set1_epi8('0')), letters);
    };
    const __m128i h = digits(hi);
    const __m128i l = digits(lo);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm_unpacklo_epi8(h, l));
    if (wide) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at + 16), _mm_unpackhi_epi8(h, l));
    }
}
#endif

char* PutHex(char* at, const Tables& t, const std::uint8_t* p, std::size_t n) {
#if VINTRACE_DUMP_SSE2
    // Data payloads run to 66 bytes: 16, then 8, at a time; reads stay inside the bytes.
    for (; n >= 16; n -= 16, p += 16, at += 32) {
        PutHexLanes(at, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), true);
    }
    if (n >= 8) {
        PutHexLanes(at, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), false);
        n -= 8;
        p += 8;
        at += 16;
    }
#endif
    for (; n != 0; --n, ++p, at += 2) {
        std::memcpy(at, t.hex[*p].data(), 2);
    }
    return at;
}
} // namespace

/// Formats lines: `put` needs kLineMax + kLineSlack bytes of room.
class LineFormatter {
public:
    LineFormatter() : t_(Table()) {}

    char* put(char* at, std::size_t index, const capture::CaptureRecord& r) {
        at = putIndex(at, index);
        *at++ = '\t';
        at = Put(at, t_.kind[std::min<std::size_t>(static_cast<std::size_t>(r.kind),
                                                   capture::kRecordKindCount)]);
        at = Put(at, t_.number[r.length]);
        if (capture::IsToken(r.kind)) {
            at = Put(at, t_.number[r.address]);
            at = Put(at, t_.number[r.endpoint]);
        } else {
            std::memcpy(at, "-\t-\t", 4);
            at += 4;
        }
        return PutHex(at, t_, r.bytes.data(), r.bytes.size());
    }

private:
    static constexpr std::size_t kDigitsEnd = 24;

    char* putIndex(char* at, std::size_t index) {
        char* const end = digits_ + kDigitsEnd;
        if (index == nextIndex_ && digitCount_ != 0) {
            // Lines are mostly numbered in order: count on in place instead of converting.
            char* d = end - 1;
            while (d >= end - digitCount_ && *d == '9') {
                *d-- = '0';
            }
            if (d < end - digitCount_) {
                *d = '1';
                ++digitCount_;
            } else {
                ++*d;
            }
        } else {
            char text[24];
            const char* last = std::to_chars(text, text + sizeof text, index).ptr;
            digitCount_ = static_cast<std::size_t>(last - text);
            std::memcpy(end - digitCount_, text, digitCount_);
        }
        nextIndex_ = index + 1;
        // A fixed-size copy (the digits and what follows them, overwritten next) instead of a
        // call to copy a few bytes.
        std::memcpy(at, end - digitCount_, kMaxDigits);
        return at + digitCount_;
    }

    const Tables& t_;
    // The last index written, right-aligned at kDigitsEnd, with room after it for the
    // fixed-size copy.
    char digits_[kDigitsEnd + kMaxDigits]{};
    std::size_t digitCount_ = 0;
    std::size_t nextIndex_ = 0;
};

DumpWriter::DumpWriter(std::FILE* out)
    : out_(out), buffer_(std::make_unique_for_overwrite<char[]>(kBufferSize)), at_(buffer_.get()),
      flushAt_(buffer_.get() + kBufferSize - kLineMax - kLineSlack),
      lines_(std::make_unique<LineFormatter>()) {}

DumpWriter::~DumpWriter() {
    flush();
}

void DumpWriter::write(std::size_t index, const capture::CaptureRecord& r,
                       std::span<const std::string_view> extra) {
    at_ = lines_->put(at_, index, r);
    for (std::string_view column : extra) {
        append("\t");
        append(column);
    }
    *at_++ = '\n';
    if (at_ >= flushAt_) {
        writeOut();
    }
}

void DumpWriter::append(std::string_view text) {
    // Room is kept for the newline that ends the line.
    const char* const end = buffer_.get() + kBufferSize - 1;
    while (!text.empty()) {
        if (at_ == end) {
            writeOut();
        }
        const std::size_t n = std::min(text.size(), static_cast<std::size_t>(end - at_));
        std::memcpy(at_, text.data(), n);
        at_ += n;
        text.remove_prefix(n);
    }
}

void DumpWriter::writeOut() {
    const std::size_t n = static_cast<std::size_t>(at_ - buffer_.get());
    if (n != 0 && !failed_) {
        failed_ = std::fwrite(buffer_.get(), 1, n, out_) != n;
    }
    at_ = buffer_.get();
}

bool DumpWriter::flush() {
    writeOut();
    if (!failed_) {
        failed_ = std::fflush(out_) != 0;
    }
    return !failed_;
}

bool DumpAll(const capture::PacketList& packets, std::FILE* out) {
    return DumpAll(packets, out, 0, kDumpBatch);
}

bool DumpAll(const capture::PacketList& packets, std::FILE* out, unsigned threads,
             std::size_t batch) {
    if (threads == 0) {
        threads = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    }
    batch = std::max<std::size_t>(batch, 1);
    const std::size_t batches = (packets.size() + batch - 1) / batch;
    if (threads == 1 || batches < 2) {
        DumpWriter writer(out);
        for (std::size_t i = 0; i < packets.size(); ++i) {
            writer.write(i, packets[i]);
        }
        return writer.flush();
    }
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, batches));
    // Formatting is nearly all of a dump's work: the threads format batches into a ring of
    // buffers, two per thread so that none waits on the writer, and this thread writes them
    // out in order. Pages of a buffer are touched only as lines fill them.
    struct Slot {
        std::unique_ptr<char[]> text;
        std::size_t size = 0;
        bool ready = false;
    };
    std::vector<Slot> slots(2 * std::size_t{threads});
    for (Slot& slot : slots) {
        slot.text = std::make_unique_for_overwrite<char[]>(batch * (kLineMax + 1) + kLineSlack);
    }
    std::mutex lock;
    std::condition_variable changed;
    std::size_t next = 0;    // the next batch to format
    std::size_t written = 0; // batches written out
    bool stop = false;       // the output failed
    const auto format = [&] {
        LineFormatter lines;
        for (;;) {
            std::size_t b = 0;
            {
                std::unique_lock<std::mutex> hold(lock);
                if (stop || next == batches) {
                    return;
                }
                b = next++;
                // Slot b % size is free once the batch before it in the ring is written.
                changed.wait(hold, [&] { return stop || b < written + slots.size(); });
                if (stop) {
                    return;
                }
            }
            Slot& slot = slots[b % slots.size()];
            char* at = slot.text.get();
            const std::size_t end = std::min(packets.size(), (b + 1) * batch);
            for (std::size_t i = b * batch; i < end; ++i) {
                at = lines.put(at, i, packets[i]);
                *at++ = '\n';
            }
            const std::lock_guard<std::mutex> hold(lock);
            slot.size = static_cast<std::size_t>(at - slot.text.get());
            slot.ready = true;
            changed.notify_all();
        }
    };
    std::vector<std::thread> workers;
    const auto stopAll = [&] {
        {
            const std::lock_guard<std::mutex> hold(lock);
            stop = true;
        }
        changed.notify_all();
        for (std::thread& t : workers) {
            t.join();
        }
    };
    try {
        for (unsigned t = 0; t < threads; ++t) {
            workers.emplace_back(format);
        }
    } catch (...) {
        stopAll(); // no thread to be had: the ones started must not outlive this frame
        throw;
    }
    bool failed = false;
    for (std::size_t b = 0; b < batches && !failed; ++b) {
        Slot& slot = slots[b % slots.size()];
        {
            std::unique_lock<std::mutex> hold(lock);
            changed.wait(hold, [&] { return slot.ready; });
        }
        failed = std::fwrite(slot.text.get(), 1, slot.size, out) != slot.size;
        const std::lock_guard<std::mutex> hold(lock);
        slot.ready = false;
        ++written;
        stop = failed;
        changed.notify_all();
    }
    for (std::thread& t : workers) {
        t.join();
    }
    return !failed && std::fflush(out) == 0;
}

bool DumpAll(const capture::PacketList& packets, std::FILE* out, DumpColumns columns) {
    if (!columns.check && !columns.decode) {
        return DumpAll(packets, out);
    }
    std::vector<capture::Findings> findings;
    if (columns.check) {
        findings = capture::CheckCapture(packets);
    }
    DumpWriter writer(out);
    std::string checkText;
    std::string decodeText;
    std::string_view extra[2];
    for (std::size_t i = 0; i < packets.size(); ++i) {
        std::size_t n = 0;
        if (columns.check) {
            checkText = capture::FindingsText(findings[i]);
            extra[n++] = checkText;
        }
        if (columns.decode) {
            const auto request = capture::SetupRequestAt(packets, i);
            decodeText = request ? capture::DescribeSetupRequest(*request) : std::string();
            extra[n++] = decodeText;
        }
        writer.write(i, packets[i], std::span<const std::string_view>(extra, n));
    }
    return writer.flush();
}

} // namespace vintrace::cli
