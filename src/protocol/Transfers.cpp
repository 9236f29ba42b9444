#include "protocol/Transfers.h"

#include "capture/PacketClass.h"
#include "protocol/Frames.h"
#include "protocol/LittleEndian.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
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

/// Appends ACKed data once: a packet that repeats the previous ACKed packet's toggle is a
/// retransmission after a lost ACK, its data already delivered (8.6.4).
class ToggleFilter {
public:
    bool accept(int toggle) {
        if (toggle == last_) {
            return false;
        }
        last_ = toggle;
        return true;
    }
    /// True when `toggle` is the one last accepted.
    bool repeats(int toggle) const { return toggle == last_; }

private:
    int last_ = -1;
};

/// True when the SETUP transaction opens a control transfer: DATA0 with 8 bytes, ACKed.
bool OpensControl(const capture::PacketList& packets, const Transaction& t) {
    return t.kind == TransactionKind::Setup && t.outcome == Outcome::Ack && t.hasData() &&
           !t.corruptData && TransactionToggle(packets, t) == 0 &&
           TransactionPayloadLength(packets, t) == 8 && TransactionPayload(packets, t).size() == 8;
}

std::uint32_t AddBytes(std::uint32_t total, std::size_t more) {
    const std::uint64_t sum = std::uint64_t{total} + more;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(sum, 0xFFFFFFFFu));
}

// Bulk-only transport wrappers (BOT 1.0 5.1, 5.2): a command of exactly 31 bytes, a status of
// exactly 13, each with its signature.
constexpr std::size_t kCbwLength = 31;
constexpr std::size_t kCswLength = 13;
constexpr std::uint32_t kCbwSignature = 0x43425355; // "USBC"
constexpr std::uint32_t kCswSignature = 0x53425355; // "USBS"

} // namespace

/// The assembly over a store: the TransferStore interface, or a store type it is compiled
/// for (the whole list, without a call through a table for every item touched).
template <typename Store> class BasicAssembler {
public:
    BasicAssembler(const capture::PacketList& packets, const Transactions& tx,
                   const TransferOptions& options, const LargestPayloads& largest, Store& store)
        : packets_(packets), tx_(tx), options_(options), largest_(largest), store_(store) {
        controlOpen_.fill(kNone);
        pipeOpen_.fill(kNone);
        pollOpen_.fill(kNone);
        loneNak_.fill(LoneNak{});
    }

    void finish() {
        // A command whose status the capture does not hold did not finish in it.
        for (const auto& [key, state] : commands_) {
            if (state.phase != Phase::Command && state.commandItem != kNone) {
                TransferItem item = store_.get(state.commandItem);
                item.status = TransferStatus::Incomplete;
                store_.set(state.commandItem, item);
            }
        }
    }

private:
    struct ControlState {
        ToggleFilter toggles;
        std::uint16_t length = 0; // wLength
        bool dataSeen = false;
        /// The item that holds what came past wLength, once something did.
        std::size_t excess = kNone;
    };
    /// Where a bulk-only interface stands between its command and status wrappers.
    enum class Phase : std::uint8_t { Command, Data, Status };
    enum class Role : std::uint8_t { None, Command, Data, Status };
    struct CommandState {
        Phase phase = Phase::Command;
        Direction direction = Direction::In;
        std::uint32_t length = 0; // dCBWDataTransferLength
        std::uint32_t tag = 0;
        std::size_t commandItem = kNone;
    };
    /// Kept for the whole capture: the toggle a retransmission repeats may fall into the next
    /// transfer.
    struct PipeState {
        ToggleFilter toggles;
        /// The item that last took data, while no other item of the pipe followed it.
        std::size_t lastItem = kNone;
        bool isochronous = false;
        /// Bulk-only interfaces: what the open transfer is, the length at which it ends (0:
        /// at a short packet only) and the first bytes of a wrapper.
        Role role = Role::None;
        std::uint32_t limit = 0;
        std::uint16_t command = 0; // CommandKey of the interface
        std::vector<std::uint8_t> wrapper;
    };

    /// A new item of one transaction, not yet in the store.
    static TransferItem fresh(TransferType type, std::size_t x, const Transaction& t) {
        TransferItem item;
        item.type = type;
        item.address = t.address;
        item.endpoint = t.endpoint;
        item.direction = t.direction();
        item.firstTransaction = x;
        item.lastTransaction = x;
        item.count = 1;
        return item;
    }
    void extend(std::size_t index, std::size_t x) {
        auto grow = [x](TransferItem& item) {
            item.lastTransaction = x;
            ++item.count;
        };
        // Every SOF and NAKed poll of a run lands here: changed in place where the store can.
        if constexpr (requires { store_.edit(index); }) {
            grow(store_.edit(index));
        } else {
            TransferItem item = store_.get(index);
            grow(item);
            store_.set(index, item);
        }
    }
    /// Closes the open control transfer of an endpoint (and the item of what came past its
    /// wLength): neither changes any more.
    void endControl(std::size_t ep) {
        const std::size_t index = controlOpen_[ep];
        if (index == kNone) {
            return;
        }
        controlOpen_[ep] = kNone;
        if (controls_[ep].excess != kNone) {
            store_.controlSettled(controls_[ep].excess);
        }
        store_.controlSettled(index);
    }

    /// Anything but an SOF or a NAKed poll ends the folded run of SOFs.
    void endSofRun() { sofOpen_ = kNone; }
    /// A garbled transaction may be any pipe's: it ends every folded run.
    void endRuns() {
        sofOpen_ = kNone;
        for (std::size_t key : openPolls_) {
            pollOpen_[key] = kNone;
            pollListed_[key] = false;
        }
        openPolls_.clear();
    }

public:
    void step(std::size_t x, const Transaction& t) {
        if (t.kind == TransactionKind::Sof) {
            // A run folds consecutive frames only: where frame numbers are skipped, the run is
            // split so that the hole shows (each frame has its SOF, USB 2.0 8.4.3.1).
            const auto frame = SofFrameOf(packets_, tx_, x);
            const bool next = !frame || !lastSof_ || ((*frame - *lastSof_) & 0x7FF) <= 1;
            if (frame) {
                lastSof_ = frame;
            }
            if (options_.fold && sofOpen_ != kNone && next) {
                extend(sofOpen_, x);
            } else {
                TransferItem item = fresh(TransferType::Sof, x, t);
                item.address = 0;
                item.endpoint = 0;
                const std::size_t index = store_.open(item);
                sofOpen_ = options_.fold ? index : kNone;
            }
            return;
        }
        if (t.kind == TransactionKind::Malformed) {
            endRuns();
            TransferItem item = fresh(TransferType::Malformed, x, t);
            item.status = TransferStatus::Error;
            store_.open(item);
            return;
        }
        const std::size_t ep = EndpointKey(t.address, t.endpoint);
        const std::size_t key = PipeKey(t.address, t.endpoint, t.direction());
        // A lone NAK waits for the pipe's next transaction to tell whether it opens a transfer.
        foldable_ = loneNak_[key];
        loneNak_[key] = LoneNak{};
        // Only the pipe's own traffic ends its run of NAKs: a device polled while others
        // talk shows one run, not a row for each NAK between their transfers. A SETUP ends
        // the runs of both directions of its control pipe.
        if (t.outcome != Outcome::Nak || t.kind == TransactionKind::Setup) {
            pollOpen_[key] = kNone;
            if (t.kind == TransactionKind::Setup) {
                pollOpen_[PipeKey(t.address, t.endpoint, Direction::In)] = kNone;
            }
        }
        if (t.kind == TransactionKind::Setup) {
            setup(x, t, ep);
        } else if (controlOpen_[ep] != kNone) {
            controlStage(x, t, ep);
        } else if (t.outcome == Outcome::Nak) {
            if (options_.fold && pipeOpen_[key] != kNone) {
                // The host still waits for the rest of the open transfer (5.8.3): a NAK only
                // delays it, so it is counted there instead of getting a row of its own.
                TransferItem item = store_.get(pipeOpen_[key]);
                item.lastTransaction = x;
                ++item.count;
                ++item.naks;
                store_.set(pipeOpen_[key], item);
            } else {
                poll(x, t);
            }
        } else if (isControlEndpoint(t, ep)) {
            // A stage whose SETUP the capture does not hold (it began mid-transfer).
            endSofRun();
            TransferItem item = fresh(TransferType::Control, x, t);
            item.status =
                t.outcome == Outcome::Stall ? TransferStatus::Stall : TransferStatus::Incomplete;
            store_.controlSettled(store_.open(item));
        } else {
            endSofRun();
            pipe(x, t);
        }
    }

private:
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
        endSofRun();
        endControl(ep); // an open transfer stays "incomplete"
        controls_[ep] = ControlState{};
        setupSeen_[ep] = true;
        TransferItem item = fresh(TransferType::Control, x, t);
        const auto payload = TransactionPayload(packets_, t);
        if (!payload.empty()) {
            item.direction = (payload[0] & 0x80) != 0 ? Direction::In : Direction::Out;
        }
        if (OpensControl(packets_, t)) {
            item.status = TransferStatus::Incomplete; // until its status stage
            controlOpen_[ep] = store_.open(item);
            controls_[ep].length = capture::ParseSetupRequest(payload)->length;
        } else {
            item.status =
                t.outcome == Outcome::Stall ? TransferStatus::Stall : TransferStatus::Error;
            store_.controlSettled(store_.open(item));
        }
    }

    void controlStage(std::size_t x, const Transaction& t, std::size_t ep) {
        ControlState& c = controls_[ep];
        const std::size_t index = controlOpen_[ep];
        TransferItem item = store_.get(index);
        const bool dataStage = t.direction() == item.direction;
        const bool delivers = t.outcome == Outcome::Ack && t.hasData() && !t.corruptData;
        const int toggle = TransactionToggle(packets_, t);
        const std::size_t length = TransactionPayloadLength(packets_, t);
        // The data stage ends at wLength (9.3.5): more data is the device's own, flagged item,
        // which holds the rest of the transfer.
        if (dataStage && delivers && length != 0 && c.excess == kNone && item.bytes >= c.length &&
            !c.toggles.repeats(toggle)) {
            endSofRun();
            c.toggles.accept(toggle);
            TransferItem extra = fresh(TransferType::Control, x, t);
            extra.direction = item.direction;
            extra.status = TransferStatus::Error;
            extra.excess = AddBytes(0, length);
            c.excess = store_.open(extra);
            return;
        }
        if (c.excess != kNone) {
            // What follows belongs to the item that holds the rest of the transfer.
            TransferItem holder = store_.get(c.excess);
            holder.lastTransaction = x;
            ++holder.count;
            if (t.outcome == Outcome::Nak) {
                ++holder.naks;
            } else if (t.outcome == Outcome::Ack && dataStage && t.hasData() && !t.corruptData &&
                       c.toggles.accept(toggle)) {
                c.dataSeen = true;
                holder.excess = AddBytes(holder.excess, length);
            } else if (t.outcome == Outcome::Ack && dataStage && t.hasData()) {
                c.dataSeen = c.dataSeen || !t.corruptData;
                c.toggles.accept(toggle);
            }
            store_.set(c.excess, holder);
            if (t.outcome == Outcome::Nak) {
                return;
            }
            endSofRun();
        } else {
            item.lastTransaction = x;
            ++item.count;
            if (t.outcome == Outcome::Nak) {
                ++item.naks;
                store_.set(index, item);
                return;
            }
            endSofRun();
        }
        if (t.outcome == Outcome::Stall) {
            item.status = TransferStatus::Stall;
            store_.set(index, item);
            endControl(ep);
            return;
        }
        if (t.outcome != Outcome::Ack) {
            store_.set(index, item);
            return; // unanswered: the host tries again
        }
        if (dataStage) {
            if (c.excess == kNone && t.hasData()) {
                if (t.corruptData) {
                    // Taken by its receiver, but what it carried is not known (8.6.3).
                    c.toggles.accept(toggle);
                } else {
                    c.dataSeen = true;
                    if (c.toggles.accept(toggle)) {
                        const std::size_t room = c.length > item.bytes ? c.length - item.bytes : 0;
                        item.bytes = AddBytes(item.bytes, std::min(length, room));
                        if (length > room) {
                            item.excess = AddBytes(item.excess, length - room);
                        }
                    }
                }
            }
            store_.set(index, item);
            return;
        }
        if (t.corruptData) {
            store_.set(index, item);
            return; // its receiver ignores it; the host tries again
        }
        // The status stage. A data stage that wLength announced and the capture does not
        // hold leaves the transfer incomplete.
        const bool missing = c.length != 0 && !c.dataSeen;
        item.status = length != 0 || item.excess != 0 ? TransferStatus::Error
                      : missing                       ? TransferStatus::Incomplete
                                                      : TransferStatus::Ok;
        store_.set(index, item);
        endControl(ep);
        if (item.status == TransferStatus::Ok) {
            applyRequest(item);
        }
    }

    /// What a completed request does to the data toggles (a configuration or alternate
    /// setting starts its endpoints at DATA0, 9.1.1.5; so does clearing a halt, 9.4.5) and to
    /// a bulk-only interface (its reset, BOT 1.0 3.1).
    void applyRequest(const TransferItem& item) {
        const auto request = ControlRequest(packets_, tx_, item);
        if (!request) {
            return;
        }
        constexpr std::uint8_t kClearFeature = 1;
        constexpr std::uint8_t kSetConfiguration = 9;
        constexpr std::uint8_t kSetInterface = 11;
        constexpr std::uint8_t kMassStorageReset = 0xFF;
        const std::uint8_t address = item.address;
        if (request->type() == 0 &&
            (request->request == kSetConfiguration || request->request == kSetInterface)) {
            for (std::uint8_t e = 1; e < 16; ++e) {
                pipes_[PipeKey(address, e, Direction::In)].toggles = ToggleFilter{};
                pipes_[PipeKey(address, e, Direction::Out)].toggles = ToggleFilter{};
                // A NAK of the previous configuration delays nothing of the new one.
                loneNak_[PipeKey(address, e, Direction::In)] = LoneNak{};
                loneNak_[PipeKey(address, e, Direction::Out)] = LoneNak{};
                pollOpen_[PipeKey(address, e, Direction::In)] = kNone;
                pollOpen_[PipeKey(address, e, Direction::Out)] = kNone;
            }
            std::erase_if(commands_, [&](const auto& c) { return c.first >> 8 == address; });
        } else if (request->type() == 0 && request->request == kClearFeature &&
                   request->recipient() == 2 && request->value == 0) {
            const Direction d = (request->index & 0x80) != 0 ? Direction::In : Direction::Out;
            pipes_[PipeKey(address, static_cast<std::uint8_t>(request->index & 0x0F), d)].toggles =
                ToggleFilter{};
        } else if (request->type() == 1 && request->recipient() == 1 &&
                   request->request == kMassStorageReset) {
            commands_.erase(CommandKey(address, static_cast<std::uint8_t>(request->index)));
        }
    }

    void poll(std::size_t x, const Transaction& t) {
        const std::size_t key = PipeKey(t.address, t.endpoint, t.direction());
        if (options_.fold && pollOpen_[key] != kNone) {
            extend(pollOpen_[key], x);
            return;
        }
        const std::size_t index = store_.open(fresh(TransferType::Polling, x, t));
        if (options_.fold) {
            pollOpen_[key] = index;
            // Listed once: a run that its pipe ended is still listed, and a capture without
            // garbled transactions never clears the list.
            if (!pollListed_[key]) {
                pollListed_[key] = true;
                openPolls_.push_back(key);
            }
            loneNak_[key] = LoneNak{index, x};
        }
    }

    static std::uint16_t CommandKey(std::uint8_t address, std::uint8_t interface) {
        return static_cast<std::uint16_t>((address & 0x7F) << 8 | interface);
    }

    void pipe(std::size_t x, const Transaction& t) {
        const std::size_t key = PipeKey(t.address, t.endpoint, t.direction());
        PipeState& pipe = pipes_[key];
        const auto description = describe(t);
        const TransferType type = description ? description->type : TransferType::Data;
        // The capture may end between a packet and its answer: that is no fault of the bus.
        const bool cut = t.outcome == Outcome::NoHandshake && t.last() + 1 == packets_.size();
        // A corrupted packet goes unanswered: its receiver ignored it (8.6.3).
        const bool corrupt = t.hasData() && t.corruptData;
        const bool unanswered = t.outcome == Outcome::NoHandshake && !cut && !corrupt;
        // Only isochronous data goes unanswered, so an unknown endpoint that does it is one.
        const bool isochronous =
            type == TransferType::Isochronous ||
            (type == TransferType::Data && pipe.isochronous && cut) ||
            (type == TransferType::Data && unanswered && t.hasData() && pipeOpen_[key] == kNone);
        const int toggle = TransactionToggle(packets_, t);
        if (isochronous) {
            TransferItem item = fresh(TransferType::Isochronous, x, t);
            pipe.isochronous = true;
            pipe.lastItem = kNone;
            const bool carried = t.hasData() && !t.corruptData;
            const bool delivered = t.outcome == Outcome::NoHandshake && carried;
            item.bytes = carried ? AddBytes(0, TransactionPayloadLength(packets_, t)) : 0;
            item.status = delivered ? TransferStatus::Ok
                          : cut     ? TransferStatus::Incomplete
                                    : TransferStatus::Error;
            store_.open(item);
            return;
        }
        if (pipeOpen_[key] == kNone && pipe.lastItem != kNone && t.outcome == Outcome::Ack &&
            t.hasData() && !corrupt && pipe.toggles.repeats(toggle)) {
            // Sent again because the ACK was lost: it belongs to the transfer it repeats.
            extend(pipe.lastItem, x);
            return;
        }
        TransferItem item;
        if (pipeOpen_[key] == kNone) {
            item = fresh(type, x, t);
            item.status = TransferStatus::Incomplete;
            if (foldable_.index != kNone) {
                // A single NAK before a transfer only delayed it: the transfer takes the NAK's
                // row (still in capture order) instead of leaving a poll of one behind.
                item.firstTransaction = foldable_.transaction;
                item.count = 2;
                item.naks = 1;
                store_.set(foldable_.index, item);
                pipeOpen_[key] = foldable_.index;
            } else {
                pipeOpen_[key] = store_.open(item);
            }
            pipe.lastItem = kNone;
            // What the transfer delivers is judged from its own packets on.
            pipe.toggles = ToggleFilter{};
            begin(pipe, t, description);
        } else {
            item = store_.get(pipeOpen_[key]);
            item.lastTransaction = x;
            ++item.count;
            store_.set(pipeOpen_[key], item);
        }
        if (cut) {
            return;
        }
        if (t.outcome == Outcome::Stall || unanswered) {
            close(key, unanswered ? TransferStatus::Error : TransferStatus::Stall);
            return;
        }
        if (!t.hasData()) {
            return;
        }
        if (corrupt) {
            if (t.outcome == Outcome::Ack) {
                pipe.toggles.accept(toggle); // the receiver took it all the same
            }
            return;
        }
        if (!pipe.toggles.accept(toggle)) {
            return;
        }
        pipe.lastItem = pipeOpen_[key];
        const std::size_t length = TransactionPayloadLength(packets_, t);
        item.bytes = AddBytes(item.bytes, length);
        store_.set(pipeOpen_[key], item);
        if (pipe.role == Role::Command || pipe.role == Role::Status) {
            const auto payload = TransactionPayload(packets_, t);
            const std::size_t room = kCbwLength - std::min(kCbwLength, pipe.wrapper.size());
            pipe.wrapper.insert(pipe.wrapper.end(), payload.begin(),
                                payload.begin() +
                                    static_cast<std::ptrdiff_t>(std::min(room, payload.size())));
        }
        std::size_t max = description && description->maxPacketSize != 0
                              ? description->maxPacketSize
                              : largest_(t.address, t.endpoint, t.direction());
        if (description && description->sizeUnknown && type == TransferType::Bulk) {
            // 5.8.3: a full-speed bulk endpoint's packets are 8, 16, 32 or 64 bytes; the
            // largest packet seen is at most that.
            std::size_t size = 8;
            while (size < max && size < 64) {
                size *= 2;
            }
            max = size;
        }
        // A host asks an interrupt endpoint for one report at a time; a bulk transfer ends at
        // a short packet (5.8.3) or at the length its protocol announced.
        const bool full = pipe.limit != 0 && item.bytes >= pipe.limit;
        if (type == TransferType::Interrupt || length == 0 || length < max || full) {
            close(key, TransferStatus::Ok);
        }
    }

    /// What a new transfer on a bulk-only interface is: the data stage the last command
    /// announced, its status wrapper, or a new command (BOT 1.0 5.3).
    void begin(PipeState& pipe, const Transaction& t,
               const std::optional<EndpointDescription>& description) {
        pipe.role = Role::None;
        pipe.limit = 0;
        pipe.wrapper.clear();
        if (!description || !description->bulkOnly) {
            return;
        }
        pipe.command = CommandKey(t.address, description->interfaceNumber);
        const CommandState& c = commands_[pipe.command];
        const Direction d = t.direction();
        if (c.phase == Phase::Data && c.direction == d) {
            pipe.role = Role::Data;
            pipe.limit = c.length;
        } else if (d == Direction::Out) {
            pipe.role = Role::Command;
            pipe.limit = kCbwLength;
        } else if (c.phase != Phase::Command) {
            pipe.role = Role::Status;
            pipe.limit = kCswLength;
        }
    }

    void close(std::size_t key, TransferStatus status) {
        const std::size_t index = pipeOpen_[key];
        pipeOpen_[key] = kNone;
        TransferItem item = store_.get(index);
        item.status = status;
        store_.set(index, item);
        PipeState& pipe = pipes_[key];
        if (pipe.role == Role::None) {
            return;
        }
        CommandState& c = commands_[pipe.command];
        const std::span<const std::uint8_t> w = pipe.wrapper;
        switch (pipe.role) {
        case Role::Command:
            if (status == TransferStatus::Ok && item.bytes == kCbwLength &&
                Le32(w, 0) == kCbwSignature) {
                if (c.phase != Phase::Command && c.commandItem != kNone) {
                    TransferItem command = store_.get(c.commandItem);
                    command.status = TransferStatus::Incomplete; // no status came
                    store_.set(c.commandItem, command);
                }
                c.tag = Le32(w, 4);
                c.length = Le32(w, 8);
                c.direction = (w[12] & 0x80) != 0 ? Direction::In : Direction::Out;
                c.phase = c.length != 0 ? Phase::Data : Phase::Status;
                c.commandItem = index;
            }
            break;
        case Role::Data:
            c.phase = Phase::Status; // ended by its length, a short packet or a STALL
            break;
        case Role::Status:
            if (status != TransferStatus::Ok) {
                break; // the host reads the status again (after clearing the halt)
            }
            // The status wrapper answers the last command, with its tag (BOT 1.0 5.2, 6.3).
            if (item.bytes != kCswLength || Le32(w, 0) != kCswSignature || Le32(w, 4) != c.tag) {
                item.status = TransferStatus::Error;
                store_.set(index, item);
            }
            c.phase = Phase::Command;
            c.commandItem = kNone;
            break;
        case Role::None:
            break;
        }
        pipe.role = Role::None;
    }

    const capture::PacketList& packets_;
    const Transactions& tx_;
    const TransferOptions& options_;
    const LargestPayloads& largest_;
    Store& store_;
    std::size_t sofOpen_ = kNone;
    /// Frame number of the last SOF that carried one.
    std::optional<std::uint16_t> lastSof_;
    std::array<std::size_t, kEndpoints> controlOpen_{};
    std::array<ControlState, kEndpoints> controls_{};
    std::array<bool, kEndpoints> setupSeen_{};
    std::array<std::size_t, kPipes> pipeOpen_{};
    std::array<PipeState, kPipes> pipes_{};
    std::array<std::size_t, kPipes> pollOpen_{};
    std::vector<std::size_t> openPolls_;
    std::array<bool, kPipes> pollListed_{};
    /// Per pipe, the poll item of one NAK that the pipe's next transaction may still fold
    /// into the transfer it opens; `foldable_` is the current transaction's pipe's.
    struct LoneNak {
        std::size_t index = kNone;
        std::size_t transaction = kNone;
    };
    std::array<LoneNak, kPipes> loneNak_{};
    LoneNak foldable_;
    std::array<bool, kPipes> described_{};
    std::array<EndpointAnswer, kPipes> descriptions_{};
    /// Bulk-only interfaces by address and interface number.
    std::map<std::uint16_t, CommandState> commands_;
};

class TransferAssembly::Assembler : public BasicAssembler<TransferStore> {
public:
    using BasicAssembler::BasicAssembler;
};

TransferAssembly::TransferAssembly(const capture::PacketList& packets,
                                   const Transactions& transactions, const TransferOptions& options,
                                   const LargestPayloads& largest, TransferStore& store)
    : assembler_(std::make_unique<Assembler>(packets, transactions, options, largest, store)) {}

TransferAssembly::~TransferAssembly() = default;

void TransferAssembly::step(std::size_t x, const Transaction& t) {
    assembler_->step(x, t);
}

void TransferAssembly::finish() {
    assembler_->finish();
}

namespace {

/// The whole list, with the items last touched kept unpacked: the assembly extends the same
/// few open items (a run of SOFs, a poll, a bulk transfer) again and again.
class ListStore {
public:
    std::size_t open(const TransferItem& item) {
        items_.push_back(item);
        return items_.size() - 1;
    }
    TransferItem get(std::size_t index) { return slotOf(index).item; }
    /// Item `index`, to be changed in place (as get() then set()).
    TransferItem& edit(std::size_t index) {
        Slot& slot = slotOf(index);
        slot.dirty = true;
        return slot.item;
    }
    // Field by field: a whole Slot built and copied cost a stalled store on every step.
    void set(std::size_t index, const TransferItem& item) {
        Slot& slot = slots_[index % kSlots];
        if (slot.index != index) {
            flush(slot);
            slot.index = index;
        }
        slot.item = item;
        slot.dirty = true;
    }
    void controlSettled(std::size_t) {}

    /// The list, with every item written back.
    TransferList take() {
        for (Slot& slot : slots_) {
            flush(slot);
        }
        return std::move(items_);
    }

private:
    static constexpr std::size_t kSlots = 16;
    struct Slot {
        std::size_t index = static_cast<std::size_t>(-1);
        TransferItem item;
        bool dirty = false;
    };
    /// The slot of item `index`, holding it.
    Slot& slotOf(std::size_t index) {
        Slot& slot = slots_[index % kSlots];
        if (slot.index != index) {
            flush(slot);
            slot.index = index;
            slot.item = items_[index];
        }
        return slot;
    }
    void flush(Slot& slot) {
        if (slot.dirty) {
            items_.set(slot.index, slot.item);
            slot.dirty = false;
        }
    }

    TransferList items_;
    std::array<Slot, kSlots> slots_{};
};

} // namespace

const LargestPayloads& LargestPayloadsOf(const capture::PacketList& packets,
                                         const Transactions& transactions,
                                         LargestPayloads& scratch) {
    if (const LargestPayloads* measured = transactions.largestPayloads()) {
        return *measured;
    }
    for (std::size_t x = 0; x < transactions.size(); ++x) {
        const Transaction t = transactions[x];
        if (t.hasData()) {
            scratch.note(t, TransactionPayloadLength(packets, t));
        }
    }
    return scratch;
}

TransferList AssembleTransferList(const capture::PacketList& packets,
                                  const Transactions& transactions,
                                  const TransferOptions& options) {
    LargestPayloads scratch;
    const LargestPayloads& largest = LargestPayloadsOf(packets, transactions, scratch);
    ListStore store;
    // The state tables are large; keep them off the stack.
    auto assembler =
        std::make_unique<BasicAssembler<ListStore>>(packets, transactions, options, largest, store);
    constexpr std::size_t kStretch = std::size_t{1} << 16;
    for (std::size_t x = 0; x < transactions.size(); ++x) {
        if (x % kStretch == 0 &&
            ((options.stop != nullptr && options.stop->load(std::memory_order_relaxed)) ||
             (options.halt != nullptr && options.halt->load(std::memory_order_relaxed)))) {
            return store.take();
        }
        assembler->step(x, transactions[x]);
    }
    assembler->finish();
    return store.take();
}

std::vector<TransferItem> AssembleTransfers(const capture::PacketList& packets,
                                            const Transactions& transactions,
                                            const TransferOptions& options) {
    return AssembleTransferList(packets, transactions, options).release();
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
        // Folded, a transfer takes in every NAK of its pipe from the single NAK that delayed
        // it to its end; unfolded, each NAK keeps its own row.
        return sameEndpoint && t.direction() == item.direction &&
               (t.outcome != Outcome::Nak || item.naks > 0);
    case TransferType::Isochronous:
    case TransferType::Malformed:
        return index == item.firstTransaction;
    }
    return false;
}

std::vector<std::size_t> Members(const Transactions& transactions, const TransferItem& item) {
    std::vector<std::size_t> out;
    ForEachMember(transactions, item, [&](std::size_t x, const Transaction&) { out.push_back(x); });
    return out;
}

std::size_t FirstRecord(const Transactions& transactions, const TransferItem& item) {
    return transactions[item.firstTransaction].first;
}

std::size_t LastRecord(const Transactions& transactions, const TransferItem& item) {
    return transactions[item.lastTransaction].last();
}

namespace {

/// Calls `take(t)` for each member transaction of `item` whose data its receiver took, in
/// capture order, while `more()` holds: ACKed data, a repeated toggle once, never a corrupt
/// packet (its toggle still counts, as the receiver took it). A control transfer's data stage
/// only: neither its setup nor its status stage.
template <typename More, typename Take>
void ForEachDelivered(const capture::PacketList& packets, const Transactions& transactions,
                      const TransferItem& item, More&& more, Take&& take) {
    ToggleFilter toggles;
    const bool control = item.type == TransferType::Control;
    for (std::size_t x = item.firstTransaction;
         x <= item.lastTransaction && x < transactions.size() && more(); ++x) {
        const Transaction t = transactions[x];
        if (!IsMember(item, x, t) ||
            (control && (x == item.firstTransaction || t.direction() != item.direction)) ||
            t.outcome != Outcome::Ack || !t.hasData()) {
            continue;
        }
        const int toggle = TransactionToggle(packets, t);
        if (t.corruptData) {
            toggles.accept(toggle); // taken by the receiver, but not known
        } else if (toggles.accept(toggle)) {
            take(t);
        }
    }
}

} // namespace

std::vector<std::uint8_t> DeliveredPayload(const capture::PacketList& packets,
                                           const Transactions& transactions,
                                           const TransferItem& item, std::size_t limit) {
    std::vector<std::uint8_t> out;
    DeliveredPayloadInto(out, packets, transactions, item, limit);
    return out;
}

namespace {

/// Calls `piece(bytes)` for each run of the payload DeliveredPayload gathers, in order, up to
/// `limit` bytes in all.
template <typename Piece>
void VisitDelivered(const capture::PacketList& packets, const Transactions& transactions,
                    const TransferItem& item, std::size_t limit, Piece&& piece) {
    std::size_t taken = 0;
    auto take = [&](const Transaction& t) {
        const auto payload = TransactionPayload(packets, t);
        const std::size_t n = std::min(payload.size(), limit - taken);
        if (n != 0) {
            piece(payload.first(n));
            taken += n;
        }
    };
    switch (item.type) {
    case TransferType::Isochronous:
        if (!transactions[item.firstTransaction].corruptData) {
            take(transactions[item.firstTransaction]);
        }
        return;
    case TransferType::Control: {
        const auto request = ControlRequest(packets, transactions, item);
        if (!request) {
            return;
        }
        // The data stage ends at wLength; what came past it is not delivered.
        limit = std::min<std::size_t>(limit, request->length);
        break;
    }
    case TransferType::Bulk:
    case TransferType::Interrupt:
    case TransferType::Data:
        break;
    default:
        return;
    }
    // Capture order, so the first `limit` bytes are known once that many are in.
    ForEachDelivered(
        packets, transactions, item, [&] { return taken < limit; }, take);
}

} // namespace

void DeliveredPayloadInto(std::vector<std::uint8_t>& out, const capture::PacketList& packets,
                          const Transactions& transactions, const TransferItem& item,
                          std::size_t limit) {
    out.clear();
    // The bytes the assembly counted, so that gathering a transfer of many packets does not
    // grow the buffer again and again; a caller's own item may say anything, hence the bound.
    out.reserve(std::min<std::size_t>({item.bytes, limit, std::size_t{1} << 20}));
    VisitDelivered(packets, transactions, item, limit, [&out](std::span<const std::uint8_t> p) {
        out.insert(out.end(), p.begin(), p.end());
    });
}

void VisitDeliveredPayload(const capture::PacketList& packets, const Transactions& transactions,
                           const TransferItem& item,
                           const std::function<void(std::span<const std::uint8_t>)>& piece,
                           std::size_t limit) {
    VisitDelivered(packets, transactions, item, limit, piece);
}

std::vector<std::vector<std::uint8_t>> DeliveredPackets(const capture::PacketList& packets,
                                                        const Transactions& transactions,
                                                        const TransferItem& item,
                                                        std::size_t limit) {
    std::vector<std::vector<std::uint8_t>> out;
    if (item.type != TransferType::Bulk && item.type != TransferType::Interrupt &&
        item.type != TransferType::Data) {
        return out;
    }
    // The packets DeliveredPayload joins, each apart, no further than `limit` bytes in all.
    std::size_t taken = 0;
    ForEachDelivered(
        packets, transactions, item, [&] { return taken < limit; },
        [&](const Transaction& t) {
            const auto payload = TransactionPayload(packets, t);
            const std::size_t take = std::min(payload.size(), limit - taken);
            out.emplace_back(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(take));
            taken += take;
        });
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
    // Its first and last transactions are SOFs, whose frame numbers grouping kept.
    auto frame = [&](std::size_t x, std::size_t record) -> std::optional<std::uint16_t> {
        if (const auto kept = transactions.storedSofFrame(x)) {
            return kept;
        }
        return SofFrameNumber(packets[record]);
    };
    const auto first = frame(item.firstTransaction, FirstRecord(transactions, item));
    const auto last = frame(item.lastTransaction, LastRecord(transactions, item));
    if (!first || !last) {
        return std::nullopt;
    }
    return std::make_pair(*first, *last);
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
    if (item.excess != 0) {
        s << " excess " << item.excess;
    }
    return s.str();
}

std::ostream& operator<<(std::ostream& os, const TransferItem& item) {
    return os << ToString(item);
}

} // namespace vintrace::protocol
