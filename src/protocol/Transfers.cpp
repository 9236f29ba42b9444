#include "protocol/Transfers.h"

#include "capture/PacketClass.h"

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <ostream>
#include <sstream>

namespace vintrace::protocol {

namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
constexpr std::size_t kEndpoints = 128 * 16;

std::size_t EndpointKey(std::uint8_t address, std::uint8_t endpoint) {
    return static_cast<std::size_t>(address & 0x7F) << 4 | (endpoint & 0x0F);
}
std::size_t PipeKey(std::uint8_t address, std::uint8_t endpoint, Direction d) {
    return EndpointKey(address, endpoint) << 1 | (d == Direction::In ? 1 : 0);
}

/// Appends ACKed data once: a packet that repeats the previous ACKed packet's toggle is a
/// retransmission after a lost ACK, its data already delivered.
class ToggleFilter {
public:
    bool accept(int toggle) {
        if (toggle == last_) {
            return false;
        }
        last_ = toggle;
        return true;
    }

private:
    int last_ = -1;
};

/// True when the SETUP transaction opens a control transfer: DATA0 with 8 bytes, ACKed.
bool OpensControl(const capture::PacketList& packets, const Transaction& t) {
    return t.kind == TransactionKind::Setup && t.outcome == Outcome::Ack && t.hasData() &&
           TransactionToggle(packets, t) == 0 && TransactionPayloadLength(packets, t) == 8 &&
           TransactionPayload(packets, t).size() == 8;
}

std::uint32_t AddBytes(std::uint32_t total, std::size_t more) {
    const std::uint64_t sum = std::uint64_t{total} + more;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(sum, 0xFFFFFFFFu));
}

class Assembler {
public:
    Assembler(const capture::PacketList& packets, const Transactions& tx,
              const TransferOptions& options)
        : packets_(packets), tx_(tx), options_(options) {
        controlOpen_.fill(kNone);
        pipeOpen_.fill(kNone);
        pollOpen_.fill(kNone);
    }

    std::vector<TransferItem> run() {
        measureLargestPackets();
        for (std::size_t x = 0; x < tx_.size(); ++x) {
            step(x, tx_[x]);
        }
        return std::move(items_);
    }

private:
    struct ControlState {
        ToggleFilter toggles;
    };
    struct PipeState {
        ToggleFilter toggles;
    };

    void measureLargestPackets() {
        for (std::size_t x = 0; x < tx_.size(); ++x) {
            const Transaction t = tx_[x];
            if (t.hasToken() && t.hasData()) {
                std::uint16_t& largest = largest_[PipeKey(t.address, t.endpoint, t.direction())];
                largest = std::max<std::uint16_t>(
                    largest, static_cast<std::uint16_t>(TransactionPayloadLength(packets_, t)));
            }
        }
    }

    TransferItem& open(TransferType type, std::size_t x, const Transaction& t) {
        TransferItem item;
        item.type = type;
        item.address = t.address;
        item.endpoint = t.endpoint;
        item.direction = t.direction();
        item.firstTransaction = x;
        item.lastTransaction = x;
        item.count = 1;
        items_.push_back(item);
        return items_.back();
    }
    void extend(std::size_t item, std::size_t x) {
        items_[item].lastTransaction = x;
        ++items_[item].count;
    }

    /// Anything but an SOF or a NAKed poll ends the folded runs.
    void endRuns() {
        sofOpen_ = kNone;
        for (std::size_t key : openPolls_) {
            pollOpen_[key] = kNone;
        }
        openPolls_.clear();
    }

    void step(std::size_t x, const Transaction& t) {
        if (t.kind == TransactionKind::Sof) {
            if (options_.fold && sofOpen_ != kNone) {
                extend(sofOpen_, x);
            } else {
                TransferItem& item = open(TransferType::Sof, x, t);
                item.address = 0;
                item.endpoint = 0;
                sofOpen_ = options_.fold ? items_.size() - 1 : kNone;
            }
            return;
        }
        if (t.kind == TransactionKind::Malformed) {
            endRuns();
            TransferItem& item = open(TransferType::Malformed, x, t);
            item.status = TransferStatus::Error;
            return;
        }
        const std::size_t ep = EndpointKey(t.address, t.endpoint);
        if (t.kind == TransactionKind::Setup) {
            setup(x, t, ep);
        } else if (controlOpen_[ep] != kNone) {
            controlStage(x, t, ep);
        } else if (t.outcome == Outcome::Nak) {
            poll(x, t);
        } else if (isControlEndpoint(t, ep)) {
            // A stage whose SETUP the capture does not hold (it began mid-transfer).
            endRuns();
            TransferItem& item = open(TransferType::Control, x, t);
            item.status =
                t.outcome == Outcome::Stall ? TransferStatus::Stall : TransferStatus::Incomplete;
        } else {
            endRuns();
            pipe(x, t);
        }
    }

    bool isControlEndpoint(const Transaction& t, std::size_t ep) {
        if (t.endpoint == 0 || setupSeen_[ep]) {
            return true;
        }
        const auto d = describe(t);
        return d && d->type == TransferType::Control;
    }

    std::optional<EndpointDescription> describe(const Transaction& t) {
        const std::size_t key = PipeKey(t.address, t.endpoint, t.direction());
        if (!described_[key] || t.first >= descriptions_[key].validUntil) {
            described_[key] = true;
            if (options_.endpoints) {
                descriptions_[key] =
                    options_.endpoints(t.address, t.endpoint, t.direction(), t.first);
            }
        }
        return descriptions_[key].description;
    }

    void setup(std::size_t x, const Transaction& t, std::size_t ep) {
        endRuns();
        controlOpen_[ep] = kNone; // an open transfer stays "incomplete"
        setupSeen_[ep] = true;
        const std::size_t index = items_.size();
        TransferItem& item = open(TransferType::Control, x, t);
        const auto payload = TransactionPayload(packets_, t);
        if (!payload.empty()) {
            item.direction = (payload[0] & 0x80) != 0 ? Direction::In : Direction::Out;
        }
        if (OpensControl(packets_, t)) {
            item.status = TransferStatus::Incomplete; // until its status stage
            controlOpen_[ep] = index;
            controls_[ep] = ControlState{};
        } else {
            item.status =
                t.outcome == Outcome::Stall ? TransferStatus::Stall : TransferStatus::Error;
        }
    }

    void controlStage(std::size_t x, const Transaction& t, std::size_t ep) {
        const std::size_t index = controlOpen_[ep];
        extend(index, x);
        TransferItem& item = items_[index];
        if (t.outcome == Outcome::Nak) {
            ++item.naks;
            return;
        }
        endRuns();
        if (t.outcome == Outcome::Stall) {
            item.status = TransferStatus::Stall;
            controlOpen_[ep] = kNone;
            return;
        }
        if (t.outcome != Outcome::Ack) {
            return; // unanswered: the host tries again
        }
        const std::size_t length = TransactionPayloadLength(packets_, t);
        if (t.direction() == item.direction) {
            if (controls_[ep].toggles.accept(TransactionToggle(packets_, t))) {
                item.bytes = AddBytes(item.bytes, length);
            }
            return;
        }
        item.status = length == 0 ? TransferStatus::Ok : TransferStatus::Error;
        controlOpen_[ep] = kNone;
    }

    void poll(std::size_t x, const Transaction& t) {
        const std::size_t key = PipeKey(t.address, t.endpoint, t.direction());
        if (options_.fold && pollOpen_[key] != kNone) {
            extend(pollOpen_[key], x);
            return;
        }
        open(TransferType::Polling, x, t);
        if (options_.fold) {
            pollOpen_[key] = items_.size() - 1;
            openPolls_.push_back(key);
        }
    }

    void pipe(std::size_t x, const Transaction& t) {
        const std::size_t key = PipeKey(t.address, t.endpoint, t.direction());
        const auto description = describe(t);
        const TransferType type = description ? description->type : TransferType::Data;
        // The capture may end between a packet and its answer: that is no fault of the bus.
        const bool cut = t.outcome == Outcome::NoHandshake && t.last() + 1 == packets_.size();
        const bool unanswered = t.outcome == Outcome::NoHandshake && !cut;
        // Only isochronous data goes unanswered, so an unknown endpoint that does it is one.
        const bool isochronous =
            type == TransferType::Isochronous ||
            (type == TransferType::Data && unanswered && t.hasData() && pipeOpen_[key] == kNone);
        if (isochronous) {
            TransferItem& item = open(TransferType::Isochronous, x, t);
            item.bytes = AddBytes(0, TransactionPayloadLength(packets_, t));
            item.status = t.outcome == Outcome::NoHandshake && t.hasData() ? TransferStatus::Ok
                                                                           : TransferStatus::Error;
            return;
        }
        if (pipeOpen_[key] == kNone) {
            open(type, x, t).status = TransferStatus::Incomplete;
            pipeOpen_[key] = items_.size() - 1;
            pipes_[key] = PipeState{};
        } else {
            extend(pipeOpen_[key], x);
        }
        TransferItem& item = items_[pipeOpen_[key]];
        if (cut) {
            return;
        }
        if (t.outcome == Outcome::Stall || unanswered) {
            item.status = unanswered ? TransferStatus::Error : TransferStatus::Stall;
            pipeOpen_[key] = kNone;
            return;
        }
        if (!t.hasData() || !pipes_[key].toggles.accept(TransactionToggle(packets_, t))) {
            return;
        }
        const std::size_t length = TransactionPayloadLength(packets_, t);
        item.bytes = AddBytes(item.bytes, length);
        const std::size_t max = description && description->maxPacketSize != 0
                                    ? description->maxPacketSize
                                    : largest_[key];
        if (length == 0 || length < max) {
            item.status = TransferStatus::Ok;
            pipeOpen_[key] = kNone;
        }
    }

    const capture::PacketList& packets_;
    const Transactions& tx_;
    const TransferOptions& options_;
    std::vector<TransferItem> items_;
    std::size_t sofOpen_ = kNone;
    std::array<std::size_t, kEndpoints> controlOpen_{};
    std::array<ControlState, kEndpoints> controls_{};
    std::array<bool, kEndpoints> setupSeen_{};
    std::array<std::size_t, kEndpoints * 2> pipeOpen_{};
    std::array<PipeState, kEndpoints * 2> pipes_{};
    std::array<std::size_t, kEndpoints * 2> pollOpen_{};
    std::vector<std::size_t> openPolls_;
    std::array<std::uint16_t, kEndpoints * 2> largest_{};
    std::array<bool, kEndpoints * 2> described_{};
    std::array<EndpointAnswer, kEndpoints * 2> descriptions_{};
};

} // namespace

std::vector<TransferItem> AssembleTransfers(const capture::PacketList& packets,
                                            const Transactions& transactions,
                                            const TransferOptions& options) {
    // The state tables are large; keep them off the stack.
    auto assembler = std::make_unique<Assembler>(packets, transactions, options);
    return assembler->run();
}

bool IsMember(const TransferItem& item, std::size_t index, const Transaction& t) {
    if (index < item.firstTransaction || index > item.lastTransaction) {
        return false;
    }
    const bool sameEndpoint =
        t.hasToken() && t.address == item.address && t.endpoint == item.endpoint;
    switch (item.type) {
    case TransferType::Sof:
        return t.kind == TransactionKind::Sof;
    case TransferType::Control:
        return sameEndpoint;
    case TransferType::Polling:
        return sameEndpoint && t.direction() == item.direction && t.outcome == Outcome::Nak;
    case TransferType::Bulk:
    case TransferType::Interrupt:
    case TransferType::Data:
        return sameEndpoint && t.direction() == item.direction && t.outcome != Outcome::Nak;
    case TransferType::Isochronous:
    case TransferType::Malformed:
        return index == item.firstTransaction;
    }
    return false;
}

std::vector<std::size_t> Members(const Transactions& transactions, const TransferItem& item) {
    std::vector<std::size_t> out;
    for (std::size_t x = item.firstTransaction;
         x <= item.lastTransaction && x < transactions.size(); ++x) {
        if (IsMember(item, x, transactions[x])) {
            out.push_back(x);
        }
    }
    return out;
}

std::size_t FirstRecord(const Transactions& transactions, const TransferItem& item) {
    return transactions[item.firstTransaction].first;
}

std::size_t LastRecord(const Transactions& transactions, const TransferItem& item) {
    return transactions[item.lastTransaction].last();
}

std::vector<std::uint8_t> DeliveredPayload(const capture::PacketList& packets,
                                           const Transactions& transactions,
                                           const TransferItem& item) {
    std::vector<std::uint8_t> out;
    auto append = [&](const Transaction& t) {
        const auto payload = TransactionPayload(packets, t);
        out.insert(out.end(), payload.begin(), payload.end());
    };
    switch (item.type) {
    case TransferType::Isochronous:
        append(transactions[item.firstTransaction]);
        return out;
    case TransferType::Control:
        if (!ControlRequest(packets, transactions, item)) {
            return out;
        }
        break;
    case TransferType::Bulk:
    case TransferType::Interrupt:
    case TransferType::Data:
        break;
    default:
        return out;
    }
    ToggleFilter toggles;
    const bool control = item.type == TransferType::Control;
    for (std::size_t x : Members(transactions, item)) {
        const Transaction t = transactions[x];
        if ((control && (x == item.firstTransaction || t.direction() != item.direction)) ||
            t.outcome != Outcome::Ack || !t.hasData()) {
            continue;
        }
        if (toggles.accept(TransactionToggle(packets, t))) {
            append(t);
        }
    }
    return out;
}

std::optional<capture::SetupRequest> ControlRequest(const capture::PacketList& packets,
                                                    const Transactions& transactions,
                                                    const TransferItem& item) {
    if (item.type != TransferType::Control) {
        return std::nullopt;
    }
    const Transaction t = transactions[item.firstTransaction];
    if (t.kind != TransactionKind::Setup || !t.hasData()) {
        return std::nullopt;
    }
    const auto payload = TransactionPayload(packets, t);
    if (payload.size() != 8) {
        return std::nullopt;
    }
    return capture::ParseSetupRequest(payload);
}

std::optional<std::pair<std::uint16_t, std::uint16_t>> SofFrames(const capture::PacketList& packets,
                                                                 const Transactions& transactions,
                                                                 const TransferItem& item) {
    if (item.type != TransferType::Sof) {
        return std::nullopt;
    }
    const capture::CaptureRecord first = packets[FirstRecord(transactions, item)];
    const capture::CaptureRecord last = packets[LastRecord(transactions, item)];
    if (first.bytes.size() < 2 || last.bytes.size() < 2) {
        return std::nullopt;
    }
    auto frame = [](const capture::CaptureRecord& r) {
        return static_cast<std::uint16_t>(r.bytes[0] | (r.bytes[1] & 7) << 8);
    };
    return std::make_pair(frame(first), frame(last));
}

std::string_view TypeName(TransferType t) {
    static constexpr std::array<std::string_view, 8> kNames = {
        "control", "bulk", "interrupt", "isochronous", "data", "sof", "polling", "malformed"};
    const auto i = static_cast<std::size_t>(t);
    return i < kNames.size() ? kNames[i] : "?";
}

std::string_view StatusName(TransferStatus s) {
    static constexpr std::array<std::string_view, 4> kNames = {"ok", "stall", "incomplete",
                                                               "error"};
    const auto i = static_cast<std::size_t>(s);
    return i < kNames.size() ? kNames[i] : "?";
}

std::string_view DirectionName(Direction d) {
    return d == Direction::In ? "in" : "out";
}

std::string ToString(const TransferItem& item) {
    std::ostringstream s;
    s << TypeName(item.type) << ' ' << int{item.address} << '.' << int{item.endpoint} << ' '
      << DirectionName(item.direction) << ' ' << StatusName(item.status) << " tx "
      << item.firstTransaction << ".." << item.lastTransaction << " count " << item.count;
    if (item.naks != 0) {
        s << " naks " << item.naks;
    }
    s << " bytes " << item.bytes;
    return s.str();
}

std::ostream& operator<<(std::ostream& os, const TransferItem& item) {
    return os << ToString(item);
}

} // namespace vintrace::protocol
