#include "capture/PcapFile.h"

#include "capture/BusSpeedSigns.h"
#include "capture/CaptureLoader.h"
#include "capture/RecordKind.h"
#include "capture/StagedFile.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdio_ext.h>
#include <unistd.h>
#include <vector>

namespace vintrace::capture {

namespace {

constexpr std::size_t kStreamBuffer = std::size_t{1} << 20;
constexpr std::uint32_t kClassicMagicNano = 0xA1B23C4D;
constexpr std::uint32_t kClassicMagicMicro = 0xA1B2C3D4;
constexpr std::uint32_t kSnapLength = 65535;
constexpr std::size_t kClassicHeader = 24;
constexpr std::uint64_t kClassicLinkTypeOffset = 20;
constexpr std::size_t kClassicRecordHeader = 16;

struct PcapCloser {
    void operator()(pcap_t* p) const { pcap_close(p); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

/// Large buffers and no per-call locking: the stream is private to one conversion, and
/// libpcap reads pcapng blocks with many small stdio calls.
void TuneStream(std::FILE* f) {
    std::setvbuf(f, nullptr, _IOFBF, kStreamBuffer);
    __fsetlocking(f, FSETLOCKING_BYCALLER);
}

PcapResult Failure(PcapStatus status, std::string file, std::string reason,
                   std::optional<std::uint64_t> offset = std::nullopt) {
    PcapResult r;
    r.status = status;
    r.file = std::move(file);
    r.reason = std::move(reason);
    r.offset = offset;
    return r;
}

PcapResult WrongLinkType(const std::string& name, int linkType,
                         std::optional<std::uint64_t> offset) {
    const char* linkName = pcap_datalink_val_to_name(linkType);
    return Failure(PcapStatus::WrongLinkType, name,
                   "link type " + std::to_string(linkType) +
                       (linkName ? std::string(" (") + linkName + ")" : std::string()) +
                       " is not USB packets; expected 288, 293 or 294",
                   offset);
}

PcapResult OutputFailure(const StagedFile& staged, const std::string& path) {
    if (staged.targetExisted()) {
        return Failure(PcapStatus::TargetExists, path, "already exists");
    }
    if (staged.targetNotRegular()) {
        return Failure(PcapStatus::TargetNotRegular, path, "not a regular file");
    }
    return Failure(PcapStatus::CannotWrite, path, staged.error());
}

/// The refusal for a target that may not be written, before any work is done.
std::optional<PcapResult> RefuseTarget(const std::string& path, bool overwrite) {
    switch (StagedFile::CheckTarget(path, overwrite)) {
    case StagedFile::TargetStatus::Writable:
        return std::nullopt;
    case StagedFile::TargetStatus::Exists:
        return Failure(PcapStatus::TargetExists, path, "already exists");
    case StagedFile::TargetStatus::NotRegular:
        return Failure(PcapStatus::TargetNotRegular, path, "not a regular file");
    }
    return std::nullopt;
}

/// Files read alongside a stream being written, each dropped at its first byte that differs:
/// what is left at the end holds exactly the bytes written. Each file is read once.
class SameBytes {
public:
    /// `file` is owned from now on; `tag` says which it is.
    void add(std::FILE* file, std::size_t tag) { files_.push_back({FilePointer(file), tag}); }

    void compare(std::span<const std::uint8_t> written) {
        if (files_.empty()) {
            return;
        }
        if (read_.size() < written.size()) {
            read_.resize(written.size());
        }
        std::erase_if(files_, [&](const Candidate& c) {
            return std::fread(read_.data(), 1, written.size(), c.file.get()) != written.size() ||
                   std::memcmp(read_.data(), written.data(), written.size()) != 0;
        });
    }

    /// The tag of the first file added that also ends where the stream ended.
    std::optional<std::size_t> first() const {
        for (const Candidate& c : files_) {
            if (std::fgetc(c.file.get()) == EOF && std::ferror(c.file.get()) == 0) {
                return c.tag;
            }
        }
        return std::nullopt;
    }

private:
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    using FilePointer = std::unique_ptr<std::FILE, Closer>;
    struct Candidate {
        FilePointer file;
        std::size_t tag;
    };
    std::vector<Candidate> files_;
    std::vector<std::uint8_t> read_;
};

/// Writes capture-format units for pcap records into a stream, in large pieces.
class DatWriter : public PcapRecordSink {
public:
    explicit DatWriter(std::FILE* out)
        : out_(out), buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(kBufferRoom)) {}

    bool record(std::span<const std::uint8_t> bytes) override {
        if (bytes.empty()) {
            ++empty_;
            read_ += kClassicRecordHeader;
            return true;
        }
        signs_.note(bytes);
        read_ += kClassicRecordHeader + bytes.size();
        std::uint8_t* out = buffer_.get() + used_;
        out[0] = 0x01;
        out[1] = bytes[0];
        for (std::size_t i = 1; i < bytes.size(); ++i) {
            out[2 * i] = 0x00;
            out[2 * i + 1] = bytes[i];
        }
        used_ += 2 * bytes.size();
        ++records_;
        // The file keeps every byte, but a record holds only its kind's capacity: say so
        // rather than let a round trip lose data without a word.
        const RecordKind kind = KindOfPid(bytes[0]);
        const std::size_t kept =
            kind == RecordKind::Unknown ? CapacityOf(kind) : 1 + std::size_t{CapacityOf(kind)};
        if (bytes.size() > kept) {
            ++cut_;
            longestCut_ = std::max(longestCut_, static_cast<std::uint32_t>(bytes.size()));
        }
        return used_ < kStreamBuffer || flush();
    }

    bool flush() {
        if (progress_ != nullptr) {
            progress_->records.store(records_, std::memory_order_relaxed);
            progress_->bytes.store(read_, std::memory_order_relaxed);
            if (progress_->stop.load(std::memory_order_relaxed)) {
                stopped_ = true;
                return false;
            }
        }
        const bool ok = std::fwrite(buffer_.get(), 1, used_, out_) == used_;
        if (same_ != nullptr) {
            same_->compare({buffer_.get(), used_});
        }
        used_ = 0;
        return ok;
    }

    /// Compares everything written with these files as it goes.
    void compareWith(SameBytes& same) { same_ = &same; }
    /// Tells `progress` how far the conversion has come at each flush, and stops there when
    /// asked to.
    void reportTo(PcapProgress* progress) { progress_ = progress; }
    /// True when a flush stopped because `progress` asked it to.
    bool stopped() const { return stopped_; }

    std::uint64_t records() const { return records_; }
    std::uint64_t empty() const { return empty_; }
    bool highSpeed() const { return signs_.highSpeed(); }
    std::uint64_t cut() const { return cut_; }
    std::uint32_t longestCut() const { return longestCut_; }

private:
    // Flushed once past kStreamBuffer, so one more record of the longest kind always fits.
    static constexpr std::size_t kBufferRoom = kStreamBuffer + 2 * kMaxUsbRecord;
    std::FILE* out_;
    SameBytes* same_ = nullptr;
    PcapProgress* progress_ = nullptr;
    bool stopped_ = false;
    /// Input bytes the records took, as a classic pcap holds them (pcapng: about as many).
    std::uint64_t read_ = kClassicHeader;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t used_ = 0;
    std::uint64_t records_ = 0;
    std::uint64_t empty_ = 0;
    BusSpeedSigns signs_;
    std::uint64_t cut_ = 0;
    std::uint32_t longestCut_ = 0;
};

std::uint32_t Load32(const std::uint8_t* p, bool swapped) {
    const std::uint32_t le =
        static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
        static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    return swapped ? __builtin_bswap32(le) : le;
}

/// Reads classic pcap records (after the 24-byte file header) in large pieces. libpcap
/// reads each record with two stdio calls, which held import to about 440 MB/s of capture;
/// this loop is several times faster. pcapng and unusual variants still go to libpcap.
PcapResult ReadClassicRecords(std::FILE* in, const std::string& name, bool swapped,
                              PcapRecordSink& sink) {
    constexpr std::size_t kPiece = kStreamBuffer;
    const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kPiece);
    std::size_t begin = 0;
    std::size_t end = 0;
    bool atEof = false;
    std::uint64_t offset = kClassicHeader; // file offset of buffer[begin]
    PcapResult result;
    result.file = name;
    // Makes at least `need` bytes available from begin, unless the file ends first.
    auto fill = [&](std::size_t need) {
        if (end - begin >= need || atEof) {
            return;
        }
        std::memmove(buffer.get(), buffer.get() + begin, end - begin);
        end -= begin;
        begin = 0;
        while (end < kPiece && !atEof) {
            const std::size_t n = std::fread(buffer.get() + end, 1, kPiece - end, in);
            end += n;
            atEof = n == 0;
        }
    };
    for (;;) {
        fill(kClassicRecordHeader);
        const std::size_t have = end - begin;
        if (have == 0) {
            break;
        }
        if (have < kClassicRecordHeader) {
            return Failure(PcapStatus::BadFile, name,
                           "truncated record header: " + std::to_string(have) + " of 16 bytes",
                           offset);
        }
        const std::uint32_t caplen = Load32(buffer.get() + begin + 8, swapped);
        if (caplen > kMaxUsbRecord) {
            return Failure(PcapStatus::BadFile, name,
                           "record of " + std::to_string(caplen) +
                               " bytes is longer than any USB packet",
                           offset);
        }
        fill(kClassicRecordHeader + caplen);
        if (end - begin < kClassicRecordHeader + caplen) {
            return Failure(
                PcapStatus::BadFile, name,
                "truncated record: " + std::to_string(end - begin - kClassicRecordHeader) + " of " +
                    std::to_string(caplen) + " bytes",
                offset);
        }
        if (!sink.record(std::span<const std::uint8_t>(buffer.get() + begin + kClassicRecordHeader,
                                                       caplen))) {
            return Failure(PcapStatus::CannotWrite, name, std::strerror(errno ? errno : EIO));
        }
        ++result.records;
        begin += kClassicRecordHeader + caplen;
        offset += kClassicRecordHeader + caplen;
    }
    if (std::ferror(in)) {
        return Failure(PcapStatus::CannotOpen, name, std::strerror(errno ? errno : EIO), offset);
    }
    return result;
}

} // namespace

bool IsUsbLinkType(int linkType) {
    return linkType == static_cast<int>(UsbLinkType::Usb20) ||
           linkType == static_cast<int>(UsbLinkType::LowSpeed) ||
           linkType == static_cast<int>(UsbLinkType::FullSpeed);
}

std::uint64_t ExportClock::next(const CaptureRecord& r) {
    std::uint64_t t = first_ ? 0 : last_ + 1;
    if (r.kind == RecordKind::Sof && r.bytes.size() == 2) {
        const auto frame = static_cast<std::uint16_t>(r.bytes[0] | ((r.bytes[1] & 0x07) << 8));
        if (!frame_) {
            frameStart_ = t;
        } else {
            // A repeated frame number stays in its frame; a lost SOF still advances the time.
            const unsigned delta = (frame - *frame_) & 0x7FF;
            if (delta != 0) {
                t = std::max(t, frameStart_ + std::uint64_t{delta} * 1000);
                frameStart_ = t;
            }
        }
        frame_ = frame;
    }
    first_ = false;
    last_ = t;
    return t;
}

namespace {
void PutHeader(std::vector<std::uint8_t>& buffer, UsbLinkType linkType) {
    for (const std::uint32_t v : {kClassicMagicMicro,
                                  2 | (4u << 16), // version 2.4, two little-endian 16-bit fields
                                  0u,             // time zone offset
                                  0u,             // time stamp accuracy
                                  kSnapLength, static_cast<std::uint32_t>(linkType)}) {
        for (int shift = 0; shift < 32; shift += 8) {
            buffer.push_back(static_cast<std::uint8_t>(v >> shift));
        }
    }
}
} // namespace

bool WritePcapHeader(std::FILE* out, UsbLinkType linkType) {
    std::vector<std::uint8_t> buffer;
    PutHeader(buffer, linkType);
    return std::fwrite(buffer.data(), 1, buffer.size(), out) == buffer.size() &&
           std::fflush(out) == 0;
}

PcapResult WritePcap(const PacketList& packets, std::FILE* out, const std::string& name,
                     UsbLinkType linkType, bool withHeader, PcapProgress* progress) {
    // Written directly rather than through libpcap: the libpcap of Debian 12 (1.10.3) refuses
    // to write link types 293 and 294, and the classic format is four fixed fields per record.
    std::vector<std::uint8_t> buffer;
    buffer.reserve(kStreamBuffer + 128);
    auto put32 = [&buffer](std::uint32_t v) {
        const std::uint8_t le[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                    static_cast<std::uint8_t>(v >> 16),
                                    static_cast<std::uint8_t>(v >> 24)};
        buffer.insert(buffer.end(), le, le + 4);
    };
    if (withHeader) {
        PutHeader(buffer, linkType);
    }
    ExportClock clock;
    bool written = true;
    constexpr std::size_t kProgressStep = std::size_t{1} << 16;
    for (std::size_t i = 0; i < packets.size() && written; ++i) {
        if (progress != nullptr && i % kProgressStep == 0) {
            progress->records.store(i, std::memory_order_relaxed);
            if (progress->stop.load(std::memory_order_relaxed)) {
                return Failure(PcapStatus::Stopped, name, "stopped before the end");
            }
        }
        const CaptureRecord r = packets[i];
        const bool pidStored = r.kind == RecordKind::Unknown;
        const auto n = static_cast<std::uint32_t>(r.bytes.size() + (pidStored ? 0 : 1));
        const std::uint64_t t = clock.next(r);
        put32(static_cast<std::uint32_t>(t / 1'000'000));
        put32(static_cast<std::uint32_t>(t % 1'000'000));
        put32(n);
        put32(n);
        if (!pidStored) {
            buffer.push_back(PidOfKind(r.kind));
        }
        buffer.insert(buffer.end(), r.bytes.begin(), r.bytes.end());
        if (buffer.size() >= kStreamBuffer) {
            written = std::fwrite(buffer.data(), 1, buffer.size(), out) == buffer.size();
            buffer.clear();
        }
    }
    if (written) {
        written = std::fwrite(buffer.data(), 1, buffer.size(), out) == buffer.size();
    }
    // A full disk or a closed pipe may show only when the stream's buffer is flushed.
    if (written) {
        written = std::fflush(out) == 0;
    }
    if (!written) {
        return Failure(PcapStatus::CannotWrite, name, std::strerror(errno ? errno : EIO));
    }
    if (progress != nullptr) {
        progress->records.store(packets.size(), std::memory_order_relaxed);
    }
    PcapResult ok;
    ok.file = name;
    ok.records = packets.size();
    return ok;
}

PcapResult ExportPcap(const PacketList& packets, const std::string& path, UsbLinkType linkType,
                      bool overwrite, PcapProgress* progress) {
    if (auto refused = RefuseTarget(path, overwrite)) {
        return *refused;
    }
    StagedFile staged(path);
    if (staged.file() == nullptr) {
        return Failure(PcapStatus::CannotWrite, path, staged.error());
    }
    PcapResult result = WritePcap(packets, staged.file(), path, linkType, true, progress);
    if (!result.ok()) {
        return result;
    }
    if (!staged.commit(overwrite)) {
        return OutputFailure(staged, path);
    }
    return result;
}

PcapResult ReadPcap(std::FILE* in, const std::string& name, PcapRecordSink& sink) {
    TuneStream(in);
    std::array<std::uint8_t, kClassicHeader> header{};
    const std::size_t got = std::fread(header.data(), 1, header.size(), in);
    const std::uint32_t magic = got >= 4 ? Load32(header.data(), false) : 0;
    const bool classicNative = magic == kClassicMagicMicro || magic == kClassicMagicNano;
    const bool classicSwapped = magic == __builtin_bswap32(kClassicMagicMicro) ||
                                magic == __builtin_bswap32(kClassicMagicNano);
    if (classicNative || classicSwapped) {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> owned(in, &std::fclose);
        if (got < header.size()) {
            return Failure(PcapStatus::BadFile, name,
                           "truncated file header: " + std::to_string(got) + " of 24 bytes", 0);
        }
        const std::uint32_t linkType = Load32(header.data() + 20, classicSwapped) & 0xFFFF;
        if (!IsUsbLinkType(static_cast<int>(linkType))) {
            return WrongLinkType(name, static_cast<int>(linkType), kClassicLinkTypeOffset);
        }
        return ReadClassicRecords(in, name, classicSwapped, sink);
    }
    // pcapng and the rarer classic variants: libpcap knows them all.
    if (std::fseek(in, 0, SEEK_SET) != 0) {
        std::fclose(in);
        return Failure(PcapStatus::CannotOpen, name, "cannot read from the start");
    }
    std::array<char, PCAP_ERRBUF_SIZE> error{};
    PcapHandle pcap(
        pcap_fopen_offline_with_tstamp_precision(in, PCAP_TSTAMP_PRECISION_MICRO, error.data()));
    if (!pcap) {
        std::fclose(in);
        return Failure(PcapStatus::BadFile, name, error.data(), 0);
    }
    const int linkType = pcap_datalink(pcap.get());
    if (!IsUsbLinkType(linkType)) {
        return WrongLinkType(name, linkType, std::nullopt);
    }
    PcapResult result;
    result.file = name;
    for (;;) {
        pcap_pkthdr* record = nullptr;
        const u_char* data = nullptr;
        const int status = pcap_next_ex(pcap.get(), &record, &data);
        if (status == PCAP_ERROR_BREAK) {
            break;
        }
        // libpcap does not say where a bad block starts; this is where reading stopped.
        auto stoppedAt = [&pcap] {
            return static_cast<std::uint64_t>(std::max(0L, std::ftell(pcap_file(pcap.get()))));
        };
        if (status != 1) {
            return Failure(PcapStatus::BadFile, name, pcap_geterr(pcap.get()), stoppedAt());
        }
        if (record->caplen > kMaxUsbRecord) {
            return Failure(PcapStatus::BadFile, name,
                           "record of " + std::to_string(record->caplen) +
                               " bytes is longer than any USB packet",
                           stoppedAt());
        }
        if (!sink.record(std::span<const std::uint8_t>(data, record->caplen))) {
            return Failure(PcapStatus::CannotWrite, name, std::strerror(errno ? errno : EIO));
        }
        ++result.records;
    }
    return result;
}

namespace {

/// Converts the pcap `in` (closed here) into `staged`'s file, comparing what it writes with
/// `same` when given; the result counts what was written. Nothing is committed.
PcapResult ConvertInto(std::FILE* in, const std::string& pcapPath, const std::string& datPath,
                       StagedFile& staged, SameBytes* same, PcapProgress* progress) {
    if (staged.file() == nullptr) {
        std::fclose(in);
        return Failure(PcapStatus::CannotWrite, datPath, staged.error());
    }
    DatWriter writer(staged.file());
    if (same != nullptr) {
        writer.compareWith(*same);
    }
    writer.reportTo(progress);
    PcapResult result = ReadPcap(in, pcapPath, writer);
    if (writer.stopped()) {
        return Failure(PcapStatus::Stopped, pcapPath, "stopped before the end");
    }
    if (result.status == PcapStatus::CannotWrite) {
        result.file = datPath;
    }
    if (!result.ok()) {
        return result;
    }
    if (!writer.flush()) {
        return writer.stopped()
                   ? Failure(PcapStatus::Stopped, pcapPath, "stopped before the end")
                   : Failure(PcapStatus::CannotWrite, datPath, std::strerror(errno ? errno : EIO));
    }
    result.records = writer.records();
    result.emptyRecords = writer.empty();
    result.highSpeed = writer.highSpeed();
    result.cutRecords = writer.cut();
    result.longestCut = writer.longestCut();
    return result;
}

} // namespace

PcapResult ImportPcap(const std::string& pcapPath, const std::string& datPath, bool overwrite) {
    std::string reason;
    std::FILE* in = OpenRegularFile(pcapPath, reason);
    if (in == nullptr) {
        return Failure(PcapStatus::CannotOpen, pcapPath, reason);
    }
    if (auto refused = RefuseTarget(datPath, overwrite)) {
        std::fclose(in);
        return *refused;
    }
    StagedFile staged(datPath);
    PcapResult result = ConvertInto(in, pcapPath, datPath, staged, nullptr, nullptr);
    if (result.ok() && !staged.commit(overwrite)) {
        return OutputFailure(staged, datPath);
    }
    return result;
}

namespace {

/// `datPath` for n = 1, else "-n" put before the extension of its last component.
std::string NumberedName(const std::string& datPath, int n) {
    if (n == 1) {
        return datPath;
    }
    const std::size_t slash = datPath.find_last_of('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = datPath.find_last_of('.');
    if (dot == std::string::npos || dot <= nameStart) {
        dot = datPath.size(); // no extension (a leading dot names, it does not extend)
    }
    return datPath.substr(0, dot) + "-" + std::to_string(n) + datPath.substr(dot);
}

} // namespace

PcapResult ImportPcapBeside(const std::string& pcapPath, const std::string& datPath,
                            PcapProgress* progress) {
    std::string reason;
    std::FILE* in = OpenRegularFile(pcapPath, reason);
    if (in == nullptr) {
        return Failure(PcapStatus::CannotOpen, pcapPath, reason);
    }
    // The names in use up to the first free one; regular files among them (not links) may
    // hold this very import.
    SameBytes same;
    std::optional<int> free;
    for (int n = 1; n <= kImportNames && !free; ++n) {
        const std::string name = NumberedName(datPath, n);
        std::error_code ec;
        const auto link = std::filesystem::symlink_status(name, ec);
        if (ec || link.type() == std::filesystem::file_type::not_found) {
            free = n;
        } else if (link.type() == std::filesystem::file_type::regular) {
            if (std::FILE* f = OpenRegularFile(name, reason)) {
                std::setvbuf(f, nullptr, _IOFBF, kStreamBuffer);
                same.add(f, static_cast<std::size_t>(n));
            }
        }
    }
    StagedFile staged(NumberedName(datPath, free.value_or(1)));
    PcapResult result = ConvertInto(in, pcapPath, datPath, staged, &same, progress);
    if (!result.ok()) {
        return result;
    }
    if (const auto n = same.first()) {
        result.target = NumberedName(datPath, static_cast<int>(*n));
        result.reused = true;
        return result; // the staged copy goes with `staged`
    }
    // A name taken while we converted moves the file on to the next free one.
    for (int n = free.value_or(kImportNames + 1); n <= kImportNames; ++n) {
        staged.retarget(NumberedName(datPath, n));
        if (staged.commit(false)) {
            result.target = staged.target();
            return result;
        }
        if (!staged.targetExisted() && !staged.targetNotRegular()) {
            return Failure(PcapStatus::CannotWrite, staged.target(), staged.error());
        }
    }
    return Failure(PcapStatus::TargetExists, datPath,
                   "already exists, as do the next " + std::to_string(kImportNames - 1) +
                       " numbered names beside it");
}

} // namespace vintrace::capture
