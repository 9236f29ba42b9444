#include "protocol/Diagnostics.h"

#include "capture/CaptureCheck.h"
#include "capture/HexText.h"
#include "capture/PacketClass.h"
#include "capture/SetupRequest.h"
#include "capture/UsbCrc.h"
#include "protocol/Descriptors.h"
#include "protocol/HidReport.h"
#include "protocol/LittleEndian.h"

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <tuple>

namespace vintrace::protocol {

namespace {

using capture::kPreamblePid;
using capture::RecordKind;

// Rule numbers: the order of the table below.
enum RuleNumber : std::size_t {
    kCrc5,
    kCrc16,
    kPidCheck,
    kPacketLength,
    kStrayPacket,
    kNoHandshake,
    kNoResponse,
    kSetupNotAcked,
    kSetupLength,
    kToggle,
    kBabble,
    kHandshakeOnIsochronous,
    kEndpointHalted,
    kControlOverrun,
    kControlNoStatus,
    kZlpMissing,
    kStallStandard,
    kDescriptorInvalid,
    kMaxPacketInvalid,
    kIntervalInvalid,
    kStringInvalid,
    kHidReportInvalid,
    kSofGap,
    kBotCswInvalid,
    kBotPhaseError,
    kCdcLineCodingInvalid,
    kRuleCount
};

constexpr std::array<Rule, kRuleCount> kRules = {{
    {"crc5-error", Severity::Error,
     "A token or SOF whose CRC5 does not match its 11 bits: every device ignores it",
     "USB 2.0 8.3.5.1"},
    {"crc16-error", Severity::Error,
     "A data packet whose CRC16 does not match its payload: its receiver discards it",
     "USB 2.0 8.3.5.2"},
    {"pid-check-error", Severity::Error,
     "A packet identifier whose check bits are not the complement of its type bits",
     "USB 2.0 8.3.1"},
    {"packet-length", Severity::Error,
     "A token or SOF not 2 bytes after its PID, a handshake with bytes, or a data packet too "
     "short for its CRC16",
     "USB 2.0 8.4"},
    {"stray-packet", Severity::Warning,
     "Data packets, handshakes or unknown PIDs that answer no token (the capture's first "
     "packets aside)",
     "USB 2.0 8.5"},
    {"no-handshake", Severity::Error,
     "A data packet that needs a handshake gets none (isochronous endpoints aside)",
     "USB 2.0 8.4.6"},
    {"no-response", Severity::Warning,
     "An IN token the device answers with neither data nor a handshake", "USB 2.0 8.4.6.1"},
    {"setup-not-acked", Severity::Error, "The device answers a SETUP with NAK or STALL",
     "USB 2.0 8.4.6.4, 8.5.3"},
    {"setup-length", Severity::Error, "A SETUP's data packet does not carry exactly 8 bytes",
     "USB 2.0 9.3"},
    {"toggle-error", Severity::Error,
     "DATA0/DATA1 out of sequence, and not a retransmission of the endpoint's last packet",
     "USB 2.0 8.6"},
    {"babble", Severity::Error, "A payload longer than the endpoint's maximum packet size",
     "USB 2.0 5.5.3, 5.7.3, 5.8.3"},
    {"handshake-on-isochronous", Severity::Error,
     "A handshake in a transaction of an isochronous endpoint", "USB 2.0 8.5.5"},
    {"endpoint-halted", Severity::Info,
     "A bulk or interrupt endpoint answers STALL: it stays halted until CLEAR_FEATURE",
     "USB 2.0 8.4.5, 9.4.5"},
    {"control-overrun", Severity::Error, "A control transfer's data stage is longer than wLength",
     "USB 2.0 9.3.5"},
    {"control-no-status", Severity::Warning,
     "A control transfer's status stage never comes before the next SETUP to its endpoint",
     "USB 2.0 8.5.3"},
    {"zlp-missing", Severity::Error,
     "An IN data stage shorter than wLength ends with a full-size packet and no zero-length "
     "packet",
     "USB 2.0 5.5.3"},
    {"stall-standard", Severity::Error,
     "A STALL answering a standard request every device supports (GET_DESCRIPTOR of the "
     "device or configuration, SET_ADDRESS, SET_CONFIGURATION, GET_CONFIGURATION, "
     "GET_STATUS of the device)",
     "USB 2.0 9.4"},
    {"descriptor-invalid", Severity::Error,
     "A descriptor whose bLength, type, wTotalLength, bNumInterfaces, bNumEndpoints or "
     "endpoint address disagree with what was delivered",
     "USB 2.0 9.6"},
    {"max-packet-invalid", Severity::Error,
     "bMaxPacketSize0 not 8, 16, 32 or 64 (8 at low speed), an endpoint size its type does not "
     "allow, or a low-speed bulk or isochronous endpoint",
     "USB 2.0 5.5.3, 5.6.3, 5.7.3, 5.8.3, 9.6.1"},
    {"interval-invalid", Severity::Error,
     "An interrupt endpoint with bInterval 0, or an isochronous one outside 1 to 16",
     "USB 2.0 9.6.6"},
    {"string-invalid", Severity::Error,
     "A string descriptor of odd length, bad UTF-16 or a length it does not deliver",
     "USB 2.0 9.6.7"},
    {"hid-report-invalid", Severity::Error,
     "A report descriptor with unbalanced collections, sizes past the limits, items cut off or "
     "a main item without a usage page",
     "HID 1.11 6.2.2"},
    {"sof-gap", Severity::Warning, "SOF frame numbers that skip or repeat frames", "USB 2.0 8.4.3"},
    {"bot-csw-invalid", Severity::Error,
     "A mass-storage status wrapper of the wrong size or signature, a reserved status, or a tag "
     "that is not its command's",
     "BOT 1.0 5.2, 6.3"},
    {"bot-phase-error", Severity::Error,
     "A mass-storage status wrapper with a phase error, or a residue larger than the command's "
     "transfer length",
     "BOT 1.0 5.2, 6.7"},
    {"cdc-line-coding-invalid", Severity::Error,
     "A line coding that is not 7 bytes, or with a rate of 0, stop bits, parity or data bits "
     "the class does not define",
     "CDC PSTN 1.2 6.3.11"},
}};

std::string Plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string EndpointText(const Transaction& t) {
    return std::to_string(t.address) + "." + std::to_string(t.endpoint) + " " +
           (t.direction() == Direction::In ? "IN" : "OUT");
}

/// "GET_DESCRIPTOR CONFIGURATION 0", "SET_ADDRESS 5", "class request 0x20".
std::string RequestText(const capture::SetupRequest& r) {
    const std::string_view name = capture::StandardRequestName(r);
    if (name.empty()) {
        static constexpr std::array<const char*, 4> kTypes = {"standard", "class", "vendor",
                                                              "reserved"};
        return std::string(kTypes[r.type()]) + " request " + capture::HexText(r.request, 2);
    }
    std::string s(name);
    if (r.request == 6 || r.request == 7) {
        const std::string_view type =
            capture::DescriptorTypeName(static_cast<std::uint8_t>(r.value >> 8));
        s += " " + (type.empty() ? capture::HexText(r.value >> 8, 2) : std::string(type)) + " " +
             std::to_string(r.value & 0xFF);
    } else if (r.request == 5 || r.request == 9) {
        s += " " + std::to_string(r.value);
    }
    return s;
}

/// FNV-1a over a payload and its length: enough to tell a retransmission from new data.
std::uint64_t PayloadHash(std::span<const std::uint8_t> payload, std::size_t length) {
    std::uint64_t h = 0xCBF29CE484222325ull ^ length;
    for (std::uint8_t b : payload) {
        h = (h ^ b) * 0x100000001B3ull;
    }
    return h;
}

class Diagnoser {
public:
    Diagnoser(const capture::PacketList& packets, const Transactions& tx,
              const std::vector<TransferItem>& items, const DeviceModel& devices)
        : packets_(packets), tx_(tx), items_(items), devices_(devices), deviceAt_(devices),
          lowSpeedDevice_(devices.devices().size(), false) {}

    std::vector<Finding> run() {
        packetPass();
        transactionPass();
        transferPass();
        return finish();
    }

private:
    struct Pending {
        std::size_t rule = 0;
        Finding finding;
    };
    /// What the descriptors say of a pipe, and until which record that holds.
    struct PipeDescription {
        bool fetched = false;
        EndpointAnswer answer;
    };
    /// The last data packet a pipe's receiver took, to tell a retransmission from new data.
    struct LastData {
        bool valid = false;
        int toggle = 0;
        std::uint64_t hash = 0;
    };
    /// A control transfer of one endpoint whose verdict waits for what follows it.
    struct OpenControl {
        std::size_t item = 0;
        capture::SetupRequest request;
        std::size_t returned = 0; // bytes of the data stage, past wLength included
        bool overrun = false;
        std::size_t lastRecord = 0;
    };
    /// Where a bulk-only interface stands between its command and status wrappers.
    struct BotState {
        enum class Phase : std::uint8_t { Command, Data, Status } phase = Phase::Command;
        std::uint32_t tag = 0;
        std::uint32_t length = 0;
        Direction direction = Direction::In;
    };

    void add(std::size_t rule, std::size_t first, std::size_t last,
             std::optional<std::uint8_t> address, std::optional<std::uint8_t> endpoint,
             std::string message) {
        const Rule& r = kRules[rule];
        if (++counts_[rule] > kListedPerRule) {
            auto& [from, to] = unlisted_[rule];
            from = counts_[rule] == kListedPerRule + 1 ? first : std::min(from, first);
            to = std::max(to, last);
            return;
        }
        Pending p;
        p.rule = rule;
        p.finding = Finding{r.id,     r.severity,         first,      last, address,
                            endpoint, std::move(message), r.reference};
        found_.push_back(std::move(p));
    }
    void addAt(std::size_t rule, const Transaction& t, std::string message) {
        add(rule, t.first, t.last(), t.address, t.endpoint, std::move(message));
    }
    void addAt(std::size_t rule, const TransferItem& item, std::string message) {
        add(rule, FirstRecord(tx_, item), LastRecord(tx_, item), item.address, item.endpoint,
            std::move(message));
    }

    std::vector<Finding> finish() {
        for (std::size_t rule = 0; rule < kRuleCount; ++rule) {
            if (counts_[rule] > kListedPerRule) {
                const Rule& r = kRules[rule];
                Pending p;
                p.rule = rule;
                p.finding =
                    Finding{r.id,
                            r.severity,
                            unlisted_[rule].first,
                            unlisted_[rule].second,
                            std::nullopt,
                            std::nullopt,
                            std::to_string(counts_[rule] - kListedPerRule) + " more findings of " +
                                std::string(r.id) + " not listed (the first " +
                                std::to_string(kListedPerRule) + " are)",
                            r.reference};
                found_.push_back(std::move(p));
            }
        }
        std::stable_sort(found_.begin(), found_.end(), [](const Pending& a, const Pending& b) {
            if (a.finding.first != b.finding.first) {
                return a.finding.first < b.finding.first;
            }
            return a.rule < b.rule;
        });
        std::vector<Finding> out;
        out.reserve(found_.size());
        for (Pending& p : found_) {
            out.push_back(std::move(p.finding));
        }
        return out;
    }

    // --- Packets: what capture::CheckCapture finds in each record on its own. ---

    void packetPass() {
        checks_ = capture::CheckCapture(packets_);
        const std::size_t n = packets_.size();
        // The recording may begin inside a packet: a first packet that is neither a token nor
        // an SOF is not judged on its own.
        const std::size_t start = leadingOrphans() > 0 ? 1 : 0;
        for (std::size_t i = start; i < n; ++i) {
            const capture::Findings f = checks_[i];
            if ((f & (capture::kFindingCrc5 | capture::kFindingCrc16 | capture::kFindingPid |
                      capture::kFindingLength)) == 0) {
                continue;
            }
            // The recording may stop inside its last packet: its length and CRC are not judged.
            const bool last = i + 1 == n;
            const capture::CaptureRecord r = packets_[i];
            if ((f & capture::kFindingCrc5) != 0) {
                crc5(i, r);
            }
            if ((f & capture::kFindingCrc16) != 0 && !last) {
                crc16(i, r);
            }
            if ((f & capture::kFindingPid) != 0) {
                const std::uint8_t pid = r.byteAt(0);
                add(kPidCheck, i, i, std::nullopt, std::nullopt,
                    "PID byte " + capture::HexText(pid, 2) + ": check bits " +
                        capture::HexText(pid >> 4, 1) + " where " +
                        capture::HexText(~pid & 0x0F, 1) + " complements type " +
                        capture::HexText(pid & 0x0F, 1));
            }
            if ((f & capture::kFindingLength) != 0 && !last) {
                length(i, r);
            }
        }
    }

    /// How many packets at the start of the capture come before any token or SOF: the answers
    /// of a transaction whose token went by before the recording began.
    std::size_t leadingOrphans() const {
        return packets_.findKind(0,
                                 [](RecordKind k) { return IsToken(k) || k == RecordKind::Sof; });
    }

    void crc5(std::size_t i, const capture::CaptureRecord& r) {
        const std::uint16_t field = static_cast<std::uint16_t>(r.bytes[0] | r.bytes[1] << 8);
        const std::uint16_t eleven = field & 0x7FF;
        const std::string sent = capture::HexText(field >> 11, 2);
        const std::string expected = capture::HexText(capture::Crc5(eleven), 2);
        std::string what;
        if (r.kind == RecordKind::Sof) {
            what = "SOF (frame " + std::to_string(eleven) + " as received)";
        } else {
            what = std::string(capture::KindName(r.kind)) + " token (address " +
                   std::to_string(eleven & 0x7F) + ", endpoint " + std::to_string(eleven >> 7) +
                   " as received)";
        }
        add(kCrc5, i, i, std::nullopt, std::nullopt,
            what + ": CRC5 " + sent + ", " + expected + " expected");
    }

    void crc16(std::size_t i, const capture::CaptureRecord& r) {
        const std::size_t payload = r.bytes.size() - 2;
        const std::uint16_t sent =
            static_cast<std::uint16_t>(r.bytes[payload] | r.bytes[payload + 1] << 8);
        const std::uint16_t expected = capture::Crc16(r.bytes.first(payload));
        std::optional<std::uint8_t> address;
        std::optional<std::uint8_t> endpoint;
        if (!tx_.empty()) {
            const Transaction t = tx_[tx_.indexOfRecord(i)];
            if (t.hasToken()) {
                address = t.address;
                endpoint = t.endpoint;
            }
        }
        add(kCrc16, i, i, address, endpoint,
            std::string(capture::KindName(r.kind)) + " with " +
                Plural(payload, "payload byte", "payload bytes") + ": CRC16 " +
                capture::HexText(sent, 4) + ", " + capture::HexText(expected, 4) + " expected");
    }

    void length(std::size_t i, const capture::CaptureRecord& r) {
        const std::string name(capture::KindName(r.kind));
        std::string what;
        if (IsToken(r.kind) || r.kind == RecordKind::Sof) {
            what =
                name + " of " + Plural(r.length, "byte", "bytes") + " after its PID (2 expected)";
        } else if (IsHandshake(r.kind)) {
            what = name + " with " + Plural(r.length, "byte", "bytes") +
                   " after its PID (none expected)";
        } else if (r.bytes.size() > r.length) {
            what = name + " of 256 bytes or more: its length count wrapped";
        } else {
            what = name + " of " + Plural(r.length, "byte", "bytes") +
                   " after its PID: too short for its CRC16";
        }
        add(kPacketLength, i, i, std::nullopt, std::nullopt, what);
    }

    // --- Transactions: handshakes, toggles, sizes, the frame numbers. ---

    void transactionPass() {
        // Which pipes ever answer with a handshake: only isochronous ones never do.
        for (std::size_t x = 0; x < tx_.size(); ++x) {
            const Transaction t = tx_[x];
            if (t.kind == TransactionKind::Sof) {
                sawSof_ = true;
            }
            if (t.hasToken() && t.outcome != Outcome::NoHandshake) {
                handshaken_[PipeKey(t.address, t.endpoint, t.direction())] = true;
            }
        }
        const std::size_t orphans = leadingOrphans();
        for (std::size_t x = 0; x < tx_.size(); ++x) {
            const Transaction t = tx_[x];
            if (t.kind != TransactionKind::Malformed) {
                flushStray();
            }
            switch (t.kind) {
            case TransactionKind::Sof:
                sof(t);
                break;
            case TransactionKind::Malformed:
                if (t.first >= orphans) {
                    malformed(t);
                }
                break;
            default:
                token(t);
                break;
            }
        }
        flushStray();
    }

    const PipeDescription& describe(const Transaction& t) {
        PipeDescription& d = descriptions_[PipeKey(t.address, t.endpoint, t.direction())];
        if (!d.fetched || t.first >= d.answer.validUntil) {
            d.fetched = true;
            d.answer = devices_.endpoint(t.address, t.endpoint, t.direction(), t.first);
        }
        return d;
    }

    /// The device that held `address` when `record` was on the bus.
    std::optional<std::size_t> deviceAt(std::uint8_t address, std::size_t record) {
        return deviceAt_(address, record);
    }

    /// bMaxPacketSize0 of the device at the address, when its device descriptor says.
    std::optional<std::uint16_t> maxPacket0(std::uint8_t address, std::size_t record) {
        const auto d = deviceAt(address, record);
        if (!d) {
            return std::nullopt;
        }
        const DeviceInfo& device = devices_.devices()[*d];
        if (!device.device) {
            return std::nullopt;
        }
        return device.device->field("bMaxPacketSize0");
    }

    void token(const Transaction& t) {
        const std::size_t n = packets_.size();
        // The recording may end between a packet and its answer.
        const bool cut = t.last() + 1 >= n;
        if (packets_.kind(t.first) == RecordKind::Unknown && IsPreamble(packets_, t.first)) {
            if (const auto d = deviceAt(t.address, t.first)) {
                lowSpeedDevice_[*d] = true;
            }
        }
        const std::size_t key = PipeKey(t.address, t.endpoint, t.direction());
        const PipeDescription& description = describe(t);
        const std::optional<EndpointDescription>& e = description.answer.description;
        const bool isochronous = e && e->type == TransferType::Isochronous;
        const bool setup = t.kind == TransactionKind::Setup;
        const std::size_t length = TransactionPayloadLength(packets_, t);
        // Named only when a finding needs it: most transactions have none.
        auto data = [&] { return std::string(capture::KindName(packets_.kind(t.dataRecord()))); };

        if (setup && (t.outcome == Outcome::Nak || t.outcome == Outcome::Stall)) {
            addAt(kSetupNotAcked, t,
                  "device answered SETUP to endpoint " + std::to_string(t.address) + "." +
                      std::to_string(t.endpoint) + " with " + std::string(OutcomeName(t.outcome)));
        }
        if (setup && t.hasData() && !t.corruptData && length != 8) {
            addAt(kSetupLength, t,
                  "SETUP data of " + Plural(length, "byte", "bytes") + " (8 expected)");
        }
        if (isochronous && t.outcome != Outcome::NoHandshake && t.outcome != Outcome::Malformed) {
            addAt(kHandshakeOnIsochronous, t,
                  std::string(OutcomeName(t.outcome)) + " on isochronous endpoint " +
                      EndpointText(t));
        }
        const bool couldBeIsochronous = isochronous || (!e && t.endpoint != 0 && !handshaken_[key]);
        if (t.outcome == Outcome::NoHandshake && !cut && !couldBeIsochronous) {
            if (t.hasData() && !t.corruptData) {
                addAt(kNoHandshake, t,
                      data() + " of " + Plural(length, "byte", "bytes") + " to " + EndpointText(t) +
                          " got no handshake");
            } else if (!t.hasData() && t.kind == TransactionKind::In) {
                addAt(kNoResponse, t,
                      "IN to endpoint " + std::to_string(t.address) + "." +
                          std::to_string(t.endpoint) + " got neither data nor a handshake");
            }
        }
        if (t.hasData() && !t.corruptData && !setup) {
            std::optional<std::uint16_t> max;
            if (t.endpoint == 0) {
                max = maxPacket0(t.address, t.first);
            } else if (e && e->maxPacketSize != 0) {
                max = e->maxPacketSize;
            }
            if (max && length > *max) {
                addAt(kBabble, t,
                      data() + " of " + Plural(length, "byte", "bytes") + " on " + EndpointText(t) +
                          ", whose maximum packet size is " + std::to_string(*max));
            }
        }
        if (t.outcome == Outcome::Stall && t.endpoint != 0 && !setup && !isochronous) {
            addAt(kEndpointHalted, t, "endpoint " + EndpointText(t) + " answered STALL");
        }
        if (t.hasData() && !isochronous) {
            toggle(t, key, length); // isochronous data carries no toggle sequence (8.6)
        }
    }

    void toggle(const Transaction& t, std::size_t key, std::size_t length) {
        const RecordKind kind = packets_.kind(t.dataRecord());
        const int seen = DataToggle(kind);
        const auto payload = TransactionPayload(packets_, t);
        const std::uint64_t hash = PayloadHash(payload, length);
        if ((checks_[t.dataRecord()] & capture::kFindingToggle) != 0) {
            const LastData& last = lastData_[key];
            const bool repeat = last.valid && last.toggle == seen && last.hash == hash;
            if (t.kind == TransactionKind::Setup) {
                addAt(kToggle, t,
                      "SETUP data sent as " + std::string(capture::KindName(kind)) +
                          "; a SETUP always carries DATA0");
            } else if (!repeat) {
                const char* expected = seen == 0 ? "DATA1" : "DATA0";
                addAt(kToggle, t,
                      std::string(capture::KindName(kind)) + " where " + expected +
                          " was expected on " + EndpointText(t) +
                          ", with new data: not a retransmission");
            }
        }
        if (t.outcome != Outcome::Ack || t.corruptData) {
            return;
        }
        if (t.kind == TransactionKind::Setup) {
            // A SETUP starts both directions of its endpoint afresh (8.6.1).
            lastData_[PipeKey(t.address, t.endpoint, Direction::In)] = LastData{};
            lastData_[PipeKey(t.address, t.endpoint, Direction::Out)] = LastData{};
            return;
        }
        lastData_[key] = LastData{true, seen, hash};
    }

    void sof(const Transaction& t) {
        const capture::CaptureRecord r = packets_[t.first];
        if (r.bytes.size() < 2) {
            return;
        }
        const auto frame = static_cast<std::uint16_t>(r.bytes[0] | (r.bytes[1] & 7) << 8);
        if (lastSof_) {
            // A corrupted SOF still stood for its frame.
            const auto expected =
                static_cast<std::uint16_t>((lastFrame_ + 1 + corruptSofs_) & 0x7FF);
            if (frame != expected) {
                const unsigned step = (frame - lastFrame_) & 0x7FFu;
                std::string what = step == 0
                                       ? "SOF repeats frame " + std::to_string(frame)
                                       : "SOF frame " + std::to_string(frame) + " follows frame " +
                                             std::to_string(lastFrame_) + " where " +
                                             std::to_string(expected) + " was expected";
                add(kSofGap, *lastSof_, t.first, std::nullopt, std::nullopt, std::move(what));
            }
        }
        lastSof_ = t.first;
        lastFrame_ = frame;
        corruptSofs_ = 0;
    }

    void malformed(const Transaction& t) {
        const std::size_t head = packets_.kind(t.first) == RecordKind::Unknown &&
                                         IsPreamble(packets_, t.first) && t.count > 1
                                     ? t.first + 1
                                     : t.first;
        const RecordKind kind = packets_.kind(head);
        if (kind == RecordKind::Sof) {
            ++corruptSofs_;
        }
        // A packet already found wrong on its own (bad CRC5, PID or length) says why.
        const capture::Findings own =
            checks_[head] &
            (capture::kFindingCrc5 | capture::kFindingPid | capture::kFindingLength);
        if (own != 0 || IsToken(kind) || kind == RecordKind::Sof) {
            flushStray();
            return;
        }
        if (!stray_ || stray_->last + 1 != t.first) {
            flushStray();
            stray_ = StrayRun{t.first, t.last(), {}};
        }
        stray_->last = t.last();
        for (std::size_t i = t.first; i <= t.last(); ++i) {
            stray_->kinds.push_back(i);
        }
    }

    void flushStray() {
        if (!stray_) {
            return;
        }
        std::string names;
        constexpr std::size_t kNamed = 4;
        for (std::size_t k = 0; k < stray_->kinds.size() && k < kNamed; ++k) {
            const std::size_t i = stray_->kinds[k];
            const RecordKind kind = packets_.kind(i);
            const std::uint8_t pid = packets_[i].byteAt(0);
            names += (k == 0 ? "" : ", ") +
                     (kind != RecordKind::Unknown ? std::string(capture::KindName(kind))
                      : pid == kPreamblePid       ? std::string("PRE")
                                                  : "PID " + capture::HexText(pid, 2));
        }
        if (stray_->kinds.size() > kNamed) {
            names += ", ...";
        }
        const std::size_t count = stray_->kinds.size();
        add(kStrayPacket, stray_->first, stray_->last, std::nullopt, std::nullopt,
            Plural(count, "packet", "packets") + " answering no token: " + names);
        stray_.reset();
    }

    // --- Transfers: control stages, descriptors, class protocols. ---

    void transferPass() {
        for (std::size_t i = 0; i < items_.size(); ++i) {
            const TransferItem& item = items_[i];
            if (item.type == TransferType::Control) {
                control(item);
            } else if (item.type == TransferType::Bulk) {
                bulk(item);
            }
        }
        for (auto& [key, open] : controls_) {
            closeControl(open, std::nullopt);
        }
    }

    void control(const TransferItem& item) {
        const std::uint16_t key =
            static_cast<std::uint16_t>((item.address & 0x7F) << 4 | (item.endpoint & 0x0F));
        const auto request = ControlRequest(packets_, tx_, item);
        if (!request) {
            // What a device sent past wLength comes as an item of its own.
            const auto open = controls_.find(key);
            if (open != controls_.end() && item.excess != 0) {
                open->second.overrun = true;
                open->second.returned += item.excess;
                open->second.lastRecord = LastRecord(tx_, item);
            }
            return;
        }
        const auto previous = controls_.find(key);
        if (previous != controls_.end()) {
            closeControl(previous->second, FirstRecord(tx_, item));
        }
        OpenControl& open = controls_[key];
        open = OpenControl{};
        open.item = static_cast<std::size_t>(&item - items_.data());
        open.request = *request;
        open.returned = std::size_t{item.bytes} + item.excess;
        open.overrun = item.excess != 0;
        open.lastRecord = LastRecord(tx_, item);

        const Transaction setup = tx_[item.firstTransaction];
        if (item.status == TransferStatus::Stall && setup.outcome == Outcome::Ack) {
            stall(item, *request);
        }
        if (item.status == TransferStatus::Ok && request->deviceToHost()) {
            zlp(item, *request);
        }
        if (item.status == TransferStatus::Ok || item.excess != 0) {
            delivered(item, *request);
        }
    }

    /// Judges a control transfer once the next SETUP to its endpoint (at record `next`) or the
    /// end of the capture shows how it ended.
    void closeControl(const OpenControl& open, std::optional<std::size_t> next) {
        const TransferItem& item = items_[open.item];
        const capture::SetupRequest& r = open.request;
        if (open.overrun) {
            add(kControlOverrun, FirstRecord(tx_, item), open.lastRecord, item.address,
                item.endpoint,
                std::string(r.deviceToHost() ? "device returned " : "host sent ") +
                    Plural(open.returned, "byte", "bytes") + " for wLength " +
                    std::to_string(r.length) + " (" + RequestText(r) + ")");
        }
        if (next && item.status == TransferStatus::Incomplete) {
            // Incomplete with its status stage seen: a data stage the capture does not hold.
            const Transaction last = tx_[item.lastTransaction];
            const bool statusSeen = item.lastTransaction != item.firstTransaction &&
                                    last.direction() != item.direction &&
                                    last.outcome == Outcome::Ack;
            if (!statusSeen) {
                addAt(kControlNoStatus, item,
                      RequestText(r) + " got no status stage before the next SETUP (record " +
                          std::to_string(*next) + ")");
            }
        }
    }

    void stall(const TransferItem& item, const capture::SetupRequest& r) {
        if (r.type() != 0 || r.recipient() != 0) {
            return;
        }
        const std::uint8_t type = static_cast<std::uint8_t>(r.value >> 8);
        const std::uint8_t index = static_cast<std::uint8_t>(r.value & 0xFF);
        bool mandatory = false;
        switch (r.request) {
        case 0: // GET_STATUS
        case 5: // SET_ADDRESS
        case 8: // GET_CONFIGURATION
            mandatory = true;
            break;
        case 6: // GET_DESCRIPTOR
            mandatory = type == 1 || (type == 2 && index == 0);
            break;
        case 9: // SET_CONFIGURATION: 0, or a value the device's configurations name
            mandatory = (r.value & 0xFF) == 0 || configurationValueKnown(item, r.value & 0xFF);
            break;
        default:
            break;
        }
        if (mandatory) {
            addAt(kStallStandard, item,
                  "device STALLed " + RequestText(r) + ", which every device supports");
        }
    }

    bool configurationValueKnown(const TransferItem& item, unsigned value) {
        const auto d = deviceAt(item.address, FirstRecord(tx_, item));
        if (!d) {
            return false;
        }
        for (const auto& [index, c] : devices_.devices()[*d].configurations) {
            if (c.descriptor.field("bConfigurationValue") == value) {
                return true;
            }
        }
        return false;
    }

    void zlp(const TransferItem& item, const capture::SetupRequest& r) {
        const auto max = maxPacket0(item.address, FirstRecord(tx_, item));
        if (!max || *max == 0 || item.bytes == 0 || item.bytes >= r.length ||
            item.bytes % *max != 0) {
            return;
        }
        // The last packet of the data stage: the status stage is the last member.
        for (std::size_t x = item.lastTransaction; x > item.firstTransaction; --x) {
            const Transaction t = tx_[x];
            if (!IsMember(item, x, t) || t.direction() != Direction::In ||
                t.outcome != Outcome::Ack || !t.hasData() || t.corruptData) {
                continue;
            }
            if (TransactionPayloadLength(packets_, t) == *max) {
                addAt(kZlpMissing, item,
                      "device returned " + Plural(item.bytes, "byte", "bytes") + " for wLength " +
                          std::to_string(r.length) + " (" + RequestText(r) +
                          "), ending with a full " + std::to_string(*max) +
                          "-byte packet and no zero-length packet");
            }
            return;
        }
    }

    // Descriptors as delivered, parsed as the device model parses them; each fault once per
    // device.

    /// Notes a fault of the descriptor transfer being read; flushFaults reports them.
    void fault(std::size_t rule, std::string message) {
        faults_[rule].push_back(std::move(message));
    }

    /// One finding per rule for the descriptor transfer just read, its faults joined; a device
    /// that delivers the same faulty descriptor again is not told again.
    void flushFaults(const TransferItem& item, std::optional<std::size_t> device) {
        for (auto& [rule, messages] : faults_) {
            std::string message;
            for (const std::string& m : messages) {
                message += (message.empty() ? "" : "; ") + m;
            }
            if (reported_.insert({device ? *device : kNoDevice, rule, message}).second) {
                add(rule, FirstRecord(tx_, item), LastRecord(tx_, item), item.address,
                    std::uint8_t{0}, std::move(message));
            }
        }
        faults_.clear();
    }

    void delivered(const TransferItem& item, const capture::SetupRequest& r) {
        if (r.type() == 1 && r.recipient() == 1 && (r.request == 0x20 || r.request == 0x21)) {
            lineCoding(item, r);
        }
        if (r.type() == 0 && r.request == 9 && item.status == TransferStatus::Ok) {
            std::erase_if(bot_, [&](const auto& b) { return b.first >> 8 == item.address; });
        }
        if (r.type() == 1 && r.recipient() == 1 && r.request == 0xFF) {
            bot_.erase(static_cast<std::uint16_t>(item.address << 8 | (r.index & 0xFF)));
        }
        if (r.type() != 0 || r.request != 6 || !r.deviceToHost()) {
            return;
        }
        const std::uint8_t type = static_cast<std::uint8_t>(r.value >> 8);
        const auto device = deviceAt(item.address, FirstRecord(tx_, item));
        const std::vector<std::uint8_t> data = DeliveredPayload(packets_, tx_, item);
        if (r.recipient() == 1 && type == 0x22) {
            hidReport(r, device, data);
        } else if (r.recipient() == 0) {
            standardDescriptor(r, device, data);
        }
        flushFaults(item, device);
    }

    void standardDescriptor(const capture::SetupRequest& r, std::optional<std::size_t> device,
                            const std::vector<std::uint8_t>& data) {
        const std::uint8_t type = static_cast<std::uint8_t>(r.value >> 8);
        const std::uint8_t index = static_cast<std::uint8_t>(r.value & 0xFF);
        const DescriptorKind kind = KindOfRequestedType(type);
        const std::string what = std::string(KindName(kind)) + " " + std::to_string(index);
        auto note = [&](std::size_t rule, const std::vector<DescriptorProblem>& problems) {
            for (const DescriptorProblem& p : problems) {
                fault(rule, what + ", byte " + std::to_string(p.offset) + ": " + p.what);
            }
        };
        const bool low = device && (busLowSpeed() || lowSpeedDevice_[*device]);
        switch (kind) {
        case DescriptorKind::Device:
        case DescriptorKind::DeviceQualifier: {
            const ParsedDescriptor parsed = ParseDescriptor(data, kind, r.length);
            note(kDescriptorInvalid, parsed.problems);
            if (kind == DescriptorKind::Device) {
                deviceDescriptor(parsed.descriptor, low);
            }
            break;
        }
        case DescriptorKind::Configuration:
        case DescriptorKind::OtherSpeedConfiguration: {
            const ConfigurationDescription parsed = ParseConfiguration(data, r.length);
            note(kDescriptorInvalid, parsed.problems);
            if (parsed.complete && kind == DescriptorKind::Configuration) {
                configuration(parsed, low);
            }
            break;
        }
        case DescriptorKind::String:
            if (index == 0) {
                note(kStringInvalid, ParseLanguages(data, r.length).problems);
            } else {
                const ParsedString parsed = ParseString(data, r.length);
                note(kStringInvalid, parsed.problems);
                if (parsed.unpairedSurrogate) {
                    fault(kStringInvalid, what + ", byte " +
                                              std::to_string(*parsed.unpairedSurrogate) +
                                              ": unpaired UTF-16 surrogate");
                }
            }
            break;
        default:
            break;
        }
    }

    void deviceDescriptor(const Descriptor& d, bool low) {
        const auto bLength = d.field("bLength");
        if (bLength && *bLength != 18 && d.bytes.size() >= 18) {
            fault(kDescriptorInvalid,
                  "device descriptor with bLength " + std::to_string(*bLength) + " (18 expected)");
        }
        if (const auto configurations = d.field("bNumConfigurations"); configurations == 0) {
            fault(kDescriptorInvalid, "device descriptor with bNumConfigurations 0");
        }
        const auto max = d.field("bMaxPacketSize0");
        if (!max) {
            return;
        }
        if (low && *max != 8) {
            fault(kMaxPacketInvalid, "bMaxPacketSize0 " + std::to_string(*max) +
                                         " on a low-speed device (8 required)");
        } else if (*max != 8 && *max != 16 && *max != 32 && *max != 64) {
            fault(kMaxPacketInvalid,
                  "bMaxPacketSize0 " + std::to_string(*max) + " (8, 16, 32 or 64)");
        }
    }

    void configuration(const ConfigurationDescription& c, bool low) {
        const std::string at =
            "configuration " +
            std::to_string(c.descriptor.field("bConfigurationValue").value_or(0));
        if (const auto bLength = c.descriptor.field("bLength"); bLength && *bLength != 9) {
            fault(kDescriptorInvalid,
                  at + ": bLength " + std::to_string(*bLength) + " (9 expected)");
        }
        std::set<std::uint16_t> numbers;
        for (const InterfaceDescription& i : c.interfaces) {
            if (const auto number = i.descriptor.field("bInterfaceNumber")) {
                numbers.insert(*number);
            }
        }
        const auto declared = c.descriptor.field("bNumInterfaces");
        if (declared && *declared != numbers.size()) {
            fault(kDescriptorInvalid, at + ": bNumInterfaces " + std::to_string(*declared) +
                                          ", but the configuration has " +
                                          Plural(numbers.size(), "interface", "interfaces"));
        }
        for (const InterfaceDescription& i : c.interfaces) {
            const std::string interface =
                at + ", interface " +
                std::to_string(i.descriptor.field("bInterfaceNumber").value_or(0)) + " alternate " +
                std::to_string(i.descriptor.field("bAlternateSetting").value_or(0));
            if (const auto bLength = i.descriptor.field("bLength"); bLength && *bLength != 9) {
                fault(kDescriptorInvalid,
                      interface + ": bLength " + std::to_string(*bLength) + " (9 expected)");
            }
            const auto endpoints = i.descriptor.field("bNumEndpoints");
            if (endpoints && *endpoints != i.endpoints.size()) {
                fault(kDescriptorInvalid, interface + ": bNumEndpoints " +
                                              std::to_string(*endpoints) +
                                              ", but the interface has " +
                                              Plural(i.endpoints.size(), "endpoint", "endpoints"));
            }
            for (const Descriptor& e : i.endpoints) {
                endpoint(interface, e, low);
            }
        }
    }

    void endpoint(const std::string& interface, const Descriptor& e, bool low) {
        const auto address = e.field("bEndpointAddress");
        const auto attributes = e.field("bmAttributes");
        const auto size = e.field("wMaxPacketSize");
        const auto interval = e.field("bInterval");
        if (!address || !attributes || !size || !interval) {
            fault(kDescriptorInvalid, interface + ": endpoint descriptor of " +
                                          Plural(e.bytes.size(), "byte", "bytes") +
                                          " (7 expected)");
            return;
        }
        const std::string name = interface + ", endpoint " + capture::HexText(*address, 2);
        if ((*address & 0x0F) == 0) {
            fault(kDescriptorInvalid, name + ": an endpoint descriptor for endpoint 0");
            return;
        }
        const unsigned type = *attributes & 3;
        const unsigned max = *size & 0x7FF;
        const std::string typeName(EndpointTypeName(static_cast<std::uint8_t>(type)));
        std::string wrong;
        if ((*size & 0x1800) != 0) {
            wrong = "wMaxPacketSize " + capture::HexText(*size, 4) +
                    " asks for additional transactions per microframe, a high-speed feature";
        } else if (low && (type == 1 || type == 2)) {
            wrong = "a low-speed device may have no " + typeName + " endpoint";
        } else if (low && max > 8) {
            wrong = typeName + " wMaxPacketSize " + std::to_string(max) +
                    " on a low-speed device (at most 8)";
        } else if ((type == 0 || type == 2) && max != 8 && max != 16 && max != 32 && max != 64) {
            wrong = typeName + " wMaxPacketSize " + std::to_string(max) + " (8, 16, 32 or 64)";
        } else if (type == 3 && max > 64) {
            wrong = "interrupt wMaxPacketSize " + std::to_string(max) + " (at most 64)";
        } else if (type == 1 && max > 1023) {
            wrong = "isochronous wMaxPacketSize " + std::to_string(max) + " (at most 1023)";
        }
        if (!wrong.empty()) {
            fault(kMaxPacketInvalid, name + ": " + wrong);
        }
        if (type == 3 && *interval == 0) {
            fault(kIntervalInvalid, name + ": interrupt endpoint with bInterval 0 (1 to 255)");
        } else if (type == 1 && (*interval == 0 || *interval > 16)) {
            fault(kIntervalInvalid, name + ": isochronous endpoint with bInterval " +
                                        std::to_string(*interval) + " (1 to 16)");
        }
    }

    void hidReport(const capture::SetupRequest& r, std::optional<std::size_t> device,
                   const std::vector<std::uint8_t>& data) {
        const std::uint8_t number = static_cast<std::uint8_t>(r.index & 0xFF);
        // A descriptor cut by wLength is judged only when it is known to be whole.
        bool whole = data.size() < r.length;
        if (!whole && device) {
            if (const InterfaceDescription* i = devices_.devices()[*device].interface(number)) {
                for (const Descriptor& d : i->extra) {
                    if (d.kind == DescriptorKind::Hid) {
                        const auto length = d.field("wDescriptorLength");
                        whole = length && data.size() >= *length;
                    }
                }
            }
        }
        if (!whole) {
            return;
        }
        const HidReportDescriptor parsed = ParseReportDescriptor(data);
        for (const auto& [offset, what] : parsed.problems) {
            fault(kHidReportInvalid, "report descriptor of interface " + std::to_string(number) +
                                         ", byte " + std::to_string(offset) + ": " + what);
        }
    }

    void lineCoding(const TransferItem& item, const capture::SetupRequest& r) {
        if (item.status != TransferStatus::Ok) {
            return;
        }
        const auto device = deviceAt(item.address, FirstRecord(tx_, item));
        const std::uint8_t number = static_cast<std::uint8_t>(r.index & 0xFF);
        bool cdc = false;
        if (device) {
            const DeviceInfo& d = devices_.devices()[*device];
            if (const InterfaceDescription* i = d.interface(number)) {
                cdc = i->descriptor.field("bInterfaceClass") == 0x02;
            } else {
                // Without its descriptors, a 7-byte request of these numbers is taken as CDC.
                cdc = d.configurations.empty() && r.length == 7;
            }
        }
        if (!cdc) {
            return;
        }
        const std::string name = r.request == 0x20 ? "SET_LINE_CODING" : "GET_LINE_CODING";
        const std::vector<std::uint8_t> data = DeliveredPayload(packets_, tx_, item);
        if (data.size() != 7) {
            // GET_LINE_CODING with a wLength below 7 is the host's choice to read less.
            if (r.request == 0x20 || r.length >= 7) {
                addAt(kCdcLineCodingInvalid, item,
                      name + " with " + Plural(data.size(), "byte", "bytes") + " (7 expected)");
            }
            if (data.size() < 7) {
                return;
            }
        }
        std::vector<std::string> faults;
        if (Le32(data, 0) == 0) {
            faults.push_back("dwDTERate 0");
        }
        if (data[4] > 2) {
            faults.push_back("bCharFormat " + std::to_string(data[4]) + " (0 to 2)");
        }
        if (data[5] > 4) {
            faults.push_back("bParityType " + std::to_string(data[5]) + " (0 to 4)");
        }
        const std::uint8_t bits = data[6];
        if (bits != 5 && bits != 6 && bits != 7 && bits != 8 && bits != 16) {
            faults.push_back("bDataBits " + std::to_string(bits) + " (5, 6, 7, 8 or 16)");
        }
        if (!faults.empty()) {
            std::string s = name + " with ";
            for (std::size_t k = 0; k < faults.size(); ++k) {
                s += (k == 0 ? "" : ", ") + faults[k];
            }
            addAt(kCdcLineCodingInvalid, item, s);
        }
    }

    /// Follows each bulk-only interface from command wrapper to data to status wrapper (BOT
    /// 1.0 5.3), as the transfer list splits them.
    void bulk(const TransferItem& item) {
        const std::size_t first = FirstRecord(tx_, item);
        const auto description =
            devices_.endpoint(item.address, item.endpoint, item.direction, first).description;
        if (!description || !description->bulkOnly) {
            return;
        }
        BotState& s =
            bot_[static_cast<std::uint16_t>(item.address << 8 | description->interfaceNumber)];
        using Phase = BotState::Phase;
        const bool dataStage = s.phase == Phase::Data && item.direction == s.direction;
        if (item.direction == Direction::Out && !dataStage) {
            const std::vector<std::uint8_t> w = DeliveredPayload(packets_, tx_, item);
            if (item.status == TransferStatus::Ok && w.size() == 31 && Le32(w, 0) == 0x43425355) {
                s.tag = Le32(w, 4);
                s.length = Le32(w, 8);
                s.direction = (w[12] & 0x80) != 0 ? Direction::In : Direction::Out;
                s.phase = s.length != 0 ? Phase::Data : Phase::Status;
            }
            return;
        }
        if (dataStage) {
            s.phase = Phase::Status; // ended by its length, a short packet or a STALL
            return;
        }
        if (s.phase != Phase::Status || item.direction != Direction::In ||
            item.status == TransferStatus::Stall || item.status == TransferStatus::Incomplete) {
            return; // a halted status read is read again once the halt is cleared
        }
        s.phase = Phase::Command;
        const std::vector<std::uint8_t> w = DeliveredPayload(packets_, tx_, item);
        if (w.size() != 13) {
            addAt(kBotCswInvalid, item,
                  "status wrapper of " + Plural(w.size(), "byte", "bytes") +
                      " (13 expected) for the command with tag " + capture::HexText(s.tag, 8));
            return;
        }
        if (const std::uint32_t signature = Le32(w, 0); signature != 0x53425355) {
            addAt(kBotCswInvalid, item,
                  "CSW signature " + capture::HexText(signature, 8) +
                      " where 0x53425355 (\"USBS\") is required");
            return;
        }
        if (const std::uint32_t tag = Le32(w, 4); tag != s.tag) {
            addAt(kBotCswInvalid, item,
                  "CSW tag " + capture::HexText(tag, 8) + " is not its command's tag " +
                      capture::HexText(s.tag, 8));
        }
        const std::uint8_t status = w[12];
        const std::uint32_t residue = Le32(w, 8);
        if (status > 2) {
            addAt(kBotCswInvalid, item,
                  "CSW status " + capture::HexText(status, 2) + " is reserved");
        } else if (status == 2) {
            addAt(kBotPhaseError, item,
                  "CSW reports a phase error for tag " + capture::HexText(s.tag, 8));
        }
        if (residue > s.length) {
            addAt(kBotPhaseError, item,
                  "CSW residue " + std::to_string(residue) + " exceeds the command's length " +
                      std::to_string(s.length));
        }
    }

    bool busLowSpeed() const {
        // A full-speed bus carries an SOF every millisecond; a low-speed bus carries none.
        return !sawSof_;
    }

    struct StrayRun {
        std::size_t first = 0;
        std::size_t last = 0;
        std::vector<std::size_t> kinds; // the records
    };
    static constexpr std::size_t kNoDevice = static_cast<std::size_t>(-1);

    const capture::PacketList& packets_;
    const Transactions& tx_;
    const std::vector<TransferItem>& items_;
    const DeviceModel& devices_;
    DeviceAtCache deviceAt_;

    std::vector<Pending> found_;
    std::array<std::size_t, kRuleCount> counts_{};
    std::array<std::pair<std::size_t, std::size_t>, kRuleCount> unlisted_{};

    std::vector<capture::Findings> checks_;
    bool sawSof_ = false;
    std::vector<bool> lowSpeedDevice_;
    std::array<bool, kPipes> handshaken_{};
    std::array<PipeDescription, kPipes> descriptions_{};
    std::array<LastData, kPipes> lastData_{};
    std::optional<std::size_t> lastSof_;
    std::uint16_t lastFrame_ = 0;
    unsigned corruptSofs_ = 0;
    std::optional<StrayRun> stray_;

    std::map<std::uint16_t, OpenControl> controls_;
    std::map<std::uint16_t, BotState> bot_;
    std::set<std::tuple<std::size_t, std::size_t, std::string>> reported_;
    std::map<std::size_t, std::vector<std::string>> faults_; // by rule
};

} // namespace

std::span<const Rule> Rules() {
    return kRules;
}

const Rule* FindRule(std::string_view id) {
    for (const Rule& r : kRules) {
        if (r.id == id) {
            return &r;
        }
    }
    return nullptr;
}

std::vector<Finding> Diagnose(const capture::PacketList& packets, const Transactions& transactions,
                              const std::vector<TransferItem>& items, const DeviceModel& devices) {
    // The per-pipe tables are large; keep them off the stack.
    auto diagnoser = std::make_unique<Diagnoser>(packets, transactions, items, devices);
    return diagnoser->run();
}

std::vector<Finding> DiagnoseCapture(const capture::PacketList& packets,
                                     const EndpointAssumptions* assumptions) {
    const Transactions transactions = GroupTransactions(packets);
    const DescribedTransfers described =
        AssembleDescribedTransfers(packets, transactions, true, assumptions);
    return Diagnose(packets, transactions, described.items, described.devices);
}

bool AnyAtLeast(const std::vector<Finding>& findings, Severity threshold) {
    return std::any_of(findings.begin(), findings.end(),
                       [threshold](const Finding& f) { return f.severity >= threshold; });
}

std::string_view SeverityName(Severity s) {
    switch (s) {
    case Severity::Info:
        return "info";
    case Severity::Warning:
        return "warning";
    case Severity::Error:
        break;
    }
    return "error";
}

std::optional<Severity> SeverityFromName(std::string_view name) {
    for (const Severity s : {Severity::Info, Severity::Warning, Severity::Error}) {
        if (SeverityName(s) == name) {
            return s;
        }
    }
    return std::nullopt;
}

std::string ToString(const Finding& f) {
    std::string s = std::string(SeverityName(f.severity)) + " " + std::string(f.rule) + " " +
                    std::to_string(f.first) + ".." + std::to_string(f.last);
    if (f.address) {
        s += " " + std::to_string(*f.address);
        if (f.endpoint) {
            s += "." + std::to_string(*f.endpoint);
        }
    }
    return s + ": " + f.message + " (" + std::string(f.reference) + ")";
}

std::ostream& operator<<(std::ostream& os, const Finding& f) {
    return os << ToString(f);
}

} // namespace vintrace::protocol
