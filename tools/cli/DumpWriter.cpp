#include "DumpWriter.h"

#include "capture/CaptureCheck.h"
#include "capture/SetupRequest.h"

#include <array>
#include <charconv>
#include <cstring>
#include <vector>

namespace vintrace::cli {

namespace {
constexpr std::size_t kBufferSize = std::size_t{4} << 20;
// The longest line without extra columns: a 20-digit index, "UNKNOWN", three 3-digit
// numbers, 66 bytes in hex, the TABs and the newline.
constexpr std::size_t kLineMax = 20 + 7 + 3 * 3 + 66 * 2 + 6;

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
} // namespace

DumpWriter::DumpWriter(std::FILE* out)
    : out_(out), buffer_(std::make_unique_for_overwrite<char[]>(kBufferSize)), at_(buffer_.get()),
      flushAt_(buffer_.get() + kBufferSize - kLineMax - 16) {
    Table();
}

DumpWriter::~DumpWriter() {
    flush();
}

void DumpWriter::appendIndex(std::size_t index) {
    char* const end = digits_ + sizeof digits_;
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
    std::memcpy(at_, end - digitCount_, digitCount_);
    at_ += digitCount_;
}

void DumpWriter::write(std::size_t index, const capture::CaptureRecord& r,
                       std::span<const std::string_view> extra) {
    const Tables& t = Table();
    char* at;
    appendIndex(index);
    at = at_;
    *at++ = '\t';
    at = Put(
        at,
        t.kind[std::min<std::size_t>(static_cast<std::size_t>(r.kind), capture::kRecordKindCount)]);
    at = Put(at, t.number[r.length]);
    if (capture::IsToken(r.kind)) {
        at = Put(at, t.number[r.address]);
        at = Put(at, t.number[r.endpoint]);
    } else {
        std::memcpy(at, "-\t-\t", 4);
        at += 4;
    }
    for (std::uint8_t b : r.bytes) {
        std::memcpy(at, t.hex[b].data(), 2);
        at += 2;
    }
    at_ = at;
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
    DumpWriter writer(out);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        writer.write(i, packets[i]);
    }
    return writer.flush();
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
