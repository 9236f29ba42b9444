#include "DumpWriter.h"

#include "capture/CaptureCheck.h"
#include "capture/SetupRequest.h"

#include <charconv>
#include <vector>

namespace vintrace::cli {

namespace {
constexpr std::size_t kFlushAt = 1 << 20;

void AppendNumber(std::string& s, std::size_t v) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, v).ptr;
    s.append(digits, end);
}
} // namespace

DumpWriter::DumpWriter(std::FILE* out) : out_(out) {
    buffer_.reserve(kFlushAt + 256);
}

DumpWriter::~DumpWriter() {
    flush();
}

void DumpWriter::write(std::size_t index, const capture::CaptureRecord& r,
                       std::span<const std::string_view> extra) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    AppendNumber(buffer_, index);
    buffer_ += '\t';
    buffer_ += capture::KindName(r.kind);
    buffer_ += '\t';
    AppendNumber(buffer_, r.length);
    buffer_ += '\t';
    if (capture::IsToken(r.kind)) {
        AppendNumber(buffer_, r.address);
        buffer_ += '\t';
        AppendNumber(buffer_, r.endpoint);
    } else {
        buffer_ += "-\t-";
    }
    buffer_ += '\t';
    for (std::uint8_t b : r.bytes) {
        buffer_ += kHex[b >> 4];
        buffer_ += kHex[b & 15];
    }
    for (std::string_view column : extra) {
        buffer_ += '\t';
        buffer_ += column;
    }
    buffer_ += '\n';
    if (buffer_.size() >= kFlushAt) {
        flush();
    }
}

bool DumpWriter::flush() {
    if (!buffer_.empty() && !failed_) {
        failed_ = std::fwrite(buffer_.data(), 1, buffer_.size(), out_) != buffer_.size();
    }
    buffer_.clear();
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
