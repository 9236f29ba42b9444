#include "protocol/Devices.h"

#include "protocol/DeviceCapabilities.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>
#include <unordered_map>

namespace vintrace::protocol {

namespace {

constexpr std::uint8_t kSetAddress = 5;
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kSetConfiguration = 9;
constexpr std::uint8_t kSetInterface = 11;
constexpr std::uint8_t kReportDescriptor = 0x22;
constexpr std::uint8_t kBosDescriptor = 0x0F;
constexpr std::uint8_t kMsOsString = 0xEE;
constexpr std::size_t kNoDevice = DeviceModel::kNone;

bool HasEndpoint(const TransferItem& item) {
    return item.type != TransferType::Sof && item.type != TransferType::Malformed;
}

TransferType TypeOf(std::uint8_t bmAttributes) {
    static constexpr std::array<TransferType, 4> kTypes = {
        TransferType::Control, TransferType::Isochronous, TransferType::Bulk,
        TransferType::Interrupt};
    return kTypes[bmAttributes & 3];
}

class Builder {
public:
    explicit Builder(const capture::PacketList& packets, const Transactions& tx)
        : packets_(packets), tx_(tx) {
        current_.fill(kNoDevice);
    }

    /// Takes in the next item of the transfer list; `record` is its first record.
    void step(const TransferItem& item, std::size_t record) {
        stepped_ = record;
        cited_ = false;
        apply(item, record);
        // A view that shows what a device cites finds the whole transfer behind the record.
        if (cited_ && item.type == TransferType::Control) {
            controlSpans.push_back({record, LastRecord(tx_, item)});
        }
    }

    /// True when a device holds `address` (as of the items stepped so far).
    bool holds(std::uint8_t address) const { return current_[address & 0x7F] != kNoDevice; }
    /// The device holding each address, kNoDevice where none does. A device that holds none
    /// holds none ever again, so nothing changes it any more.
    const std::array<std::size_t, 128>& holders() const { return current_; }
    /// The first record of the last item stepped: every span added from now on starts at or
    /// after it, as items come in list order.
    std::size_t stepped() const { return stepped_; }

    std::vector<AddressSpan> spans;
    std::vector<DeviceInfo> devices_;
    std::vector<ControlSpan> controlSpans;

private:
    void apply(const TransferItem& item, std::size_t record) {
        if (!HasEndpoint(item)) {
            return;
        }
        std::size_t& at = current_[item.address & 0x7F];
        if (at == kNoDevice) {
            at = open(item.address, record);
        }
        if (item.excess != 0) {
            cited_ = true;
            // 9.3.5: a device returns at most wLength bytes.
            devices_[at].problems.push_back(
                {record, "control transfer: " + std::to_string(item.excess) +
                             (item.excess == 1 ? " byte" : " bytes") + " sent past wLength"});
        }
        // A device that sent more than wLength still delivered the wLength bytes asked for.
        if (item.type != TransferType::Control ||
            (item.status != TransferStatus::Ok && item.excess == 0)) {
            return;
        }
        const auto request = ControlRequest(packets_, tx_, item);
        if (!request) {
            return;
        }
        DeviceInfo& device = devices_[at];
        if (request->type() == 2) {
            DeliveredPayloadInto(payload_, packets_, tx_, item);
            msOs(device, *request, record, payload_);
            return;
        }
        if (request->type() != 0) {
            return;
        }
        switch (request->request) {
        case kSetAddress:
            if (request->recipient() == 0) {
                // The new address holds from the end of the status stage.
                moveTo(at, static_cast<std::uint8_t>(request->value & 0x7F),
                       LastRecord(tx_, item) + 1);
            }
            break;
        case kSetConfiguration:
            device.configuration = static_cast<std::uint8_t>(request->value & 0xFF);
            device.alternates.clear();
            break;
        case kSetInterface:
            device.alternates[static_cast<std::uint8_t>(request->index & 0xFF)] =
                static_cast<std::uint8_t>(request->value & 0xFF);
            break;
        case kGetDescriptor:
            if (request->deviceToHost()) {
                DeliveredPayloadInto(payload_, packets_, tx_, item);
                descriptor(device, *request, record, payload_);
            }
            break;
        default:
            break;
        }
    }

    std::size_t open(std::uint8_t address, std::size_t record) {
        DeviceInfo d;
        d.address = address;
        d.firstAddress = address;
        d.first = record;
        cited_ = true;
        devices_.push_back(std::move(d));
        spans.push_back({address, record, devices_.size() - 1});
        return devices_.size() - 1;
    }

    void moveTo(std::size_t device, std::uint8_t address, std::size_t from) {
        DeviceInfo& d = devices_[device];
        if (address == d.address) {
            return;
        }
        current_[d.address] = kNoDevice;
        // Whatever held the new address is gone: addresses are reused after a reset.
        spans.push_back({d.address, from, kNoDevice});
        current_[address] = device;
        d.address = address;
        spans.push_back({address, from, device});
    }

    void note(DeviceInfo& device, std::size_t record, std::string_view what,
              const std::vector<DescriptorProblem>& problems) {
        cited_ = cited_ || !problems.empty();
        for (const DescriptorProblem& p : problems) {
            device.problems.push_back(
                {record, std::string(what) + ", byte " + std::to_string(p.offset) + ": " + p.what});
        }
    }
    /// The same with a name made only when there is a problem.
    template <typename What>
    requires std::is_invocable_r_v<std::string, What>
    void note(DeviceInfo& device, std::size_t record, What&& what,
              const std::vector<DescriptorProblem>& problems) {
        if (!problems.empty()) {
            note(device, record, what(), problems);
        }
    }

    /// The Microsoft OS descriptors a vendor request read: the longest copy of each is kept.
    void msOs(DeviceInfo& device, const capture::SetupRequest& r, std::size_t record,
              const std::vector<std::uint8_t>& data) {
        const auto keep = [&](std::vector<std::uint8_t>& kept, std::size_t& from) {
            if (data.size() >= kept.size()) {
                kept = data;
                cite(from, record);
            }
        };
        if (IsMsCompatIdRequest(r, device.msOsVendorCode, data)) {
            note(device, record, "MS OS compat ID", ParseMsCompatId(data, r.length).problems);
            keep(device.msCompatId, device.from.msCompatId);
        } else if (IsMsExtendedPropertiesRequest(r, device.msOsVendorCode, data)) {
            note(device, record, "MS OS extended properties",
                 ParseMsExtendedProperties(data, r.length).problems);
            keep(device.msExtendedProperties, device.from.msExtendedProperties);
        } else if (IsMsOs20SetRequest(r, MsOs20VendorCode(device.bos), data)) {
            note(device, record, "MS OS 2.0 descriptor set",
                 ParseMsOs20Set(data, r.length).problems);
            keep(device.msOs20Set, device.from.msOs20Set);
        }
    }

    void descriptor(DeviceInfo& device, const capture::SetupRequest& r, std::size_t record,
                    const std::vector<std::uint8_t>& data) {
        const std::uint8_t type = static_cast<std::uint8_t>(r.value >> 8);
        const std::uint8_t index = static_cast<std::uint8_t>(r.value & 0xFF);
        // Named only for a problem: most descriptors have none.
        const auto what = [type, index] {
            return std::string(KindName(KindOfRequestedType(type))) + " " + std::to_string(index);
        };
        if (r.recipient() == 1 && type == kReportDescriptor) {
            const auto interface = static_cast<std::uint8_t>(r.index & 0xFF);
            auto& kept = device.reportDescriptors[interface];
            if (data.size() >= kept.size()) {
                kept = data;
                cite(device.from.reportDescriptors[interface], record);
            }
            return;
        }
        if (r.recipient() != 0) {
            return;
        }
        if (type == kBosDescriptor) {
            note(device, record, "BOS", ParseBos(data, r.length).problems);
            if (data.size() >= device.bos.size()) {
                device.bos = data;
                cite(device.from.bos, record);
            }
            return;
        }
        switch (KindOfRequestedType(type)) {
        case DescriptorKind::Device:
        case DescriptorKind::DeviceQualifier: {
            const DescriptorKind kind = KindOfRequestedType(type);
            ParsedDescriptor parsed = ParseDescriptor(data, kind, r.length);
            note(device, record, what, parsed.problems);
            const bool isDevice = kind == DescriptorKind::Device;
            auto& slot = isDevice ? device.device : device.qualifier;
            if (!slot || parsed.descriptor.bytes.size() >= slot->bytes.size()) {
                slot = std::move(parsed.descriptor);
                cite(isDevice ? device.from.device : device.from.qualifier, record);
            }
            break;
        }
        case DescriptorKind::Configuration:
        case DescriptorKind::OtherSpeedConfiguration: {
            ConfigurationDescription parsed = ParseConfiguration(data, r.length);
            note(device, record, what, parsed.problems);
            const bool normal = KindOfRequestedType(type) == DescriptorKind::Configuration;
            auto& map = normal ? device.configurations : device.otherSpeed;
            const auto found = map.find(index);
            if (found == map.end() || DeliveredSize(parsed) >= DeliveredSize(found->second)) {
                map[index] = std::move(parsed);
                cite((normal ? device.from.configurations : device.from.otherSpeed)[index], record);
            }
            break;
        }
        case DescriptorKind::String:
            // A length probe (wLength 2) before or after the whole string must not replace it:
            // the longest copy delivered is kept, the later of equal ones.
            if (index == 0) {
                ParsedLanguages parsed = ParseLanguages(data, r.length);
                note(device, record, what, parsed.problems);
                if (parsed.languages.size() >= device.languages.size()) {
                    device.languages = std::move(parsed.languages);
                    device.stringDescriptors[0].assign(data.begin(), data.end());
                    cite(device.from.strings[0], record);
                }
            } else {
                ParsedString parsed = ParseString(data, r.length);
                if (index == kMsOsString) {
                    if (const auto code = MsOsVendorCode(data)) {
                        // Its last character is the vendor code and a pad byte, not text.
                        device.msOsVendorCode = code;
                        parsed.text = "MSFT100";
                    }
                }
                note(device, record, what, parsed.problems);
                std::size_t& kept =
                    stringSizes_[{static_cast<std::size_t>(&device - devices_.data()), index}];
                if (data.size() >= 2 && data.size() >= kept) {
                    kept = data.size();
                    device.strings[index] = std::move(parsed.text);
                    device.stringDescriptors[index].assign(data.begin(), data.end());
                    cite(device.from.strings[index], record);
                }
            }
            break;
        default:
            break;
        }
    }

    /// Keeps `record` as the source of a part: a view shows it as where the part came from.
    void cite(std::size_t& source, std::size_t record) {
        source = record;
        cited_ = true;
    }

    const capture::PacketList& packets_;
    const Transactions& tx_;
    /// Set while stepping an item once a device cites its first record.
    bool cited_ = false;
    /// The payload of the request at hand, one buffer for them all.
    std::vector<std::uint8_t> payload_;
    std::array<std::size_t, 128> current_{};
    std::size_t stepped_ = 0;
    /// Bytes delivered for each device's kept string, by device number and string index.
    std::map<std::pair<std::size_t, std::uint8_t>, std::size_t> stringSizes_;
};

/// The store of the device pass: it keeps no list. Items reach the builder in list order as
/// soon as they are final; an item that is not a control transfer is final when it opens (the
/// builder reads only its address and first record), a control transfer when the assembly
/// settles it. Items that open behind an unsettled control transfer wait, at most one per
/// address between two control transfers (the builder would do nothing with the others).
class DeviceStore final : public TransferStore {
public:
    DeviceStore(Builder& builder, const capture::PacketList& packets, const Transactions& tx)
        : builder_(builder), packets_(packets), tx_(tx) {}

    std::size_t open(const TransferItem& item) override {
        const std::size_t index = count_++;
        if (item.type == TransferType::Control) {
            const auto request = ControlRequest(packets_, tx_, item);
            // Any SET_ADDRESS counts, whatever its recipient or outcome: it may be the one.
            const bool moves = request && request->request == kSetAddress;
            pending_.push_back({index, item, FirstRecord(tx_, item), false, moves});
            moving_[item.address & 0x7F] += moves ? 1 : 0;
            lastControl_ = ++sequence_;
            return index;
        }
        if (!HasEndpoint(item)) {
            return index;
        }
        if (pending_.empty()) {
            builder_.step(item, FirstRecord(tx_, item));
            return index;
        }
        std::size_t& last = lastOpening_[item.address & 0x7F];
        if (last <= lastControl_) {
            pending_.push_back({index, item, FirstRecord(tx_, item), true, false});
            last = ++sequence_;
        }
        return index;
    }

    /// True when a control transfer that waits may still move the device at `address` away
    /// (a SET_ADDRESS at it): the builder's answer for the address may change behind it.
    bool mayLeave(std::uint8_t address) const { return moving_[address & 0x7F] != 0; }

    TransferItem get(std::size_t index) const override {
        const Pending* p = find(index);
        return p != nullptr ? p->item : TransferItem{};
    }

    void set(std::size_t index, const TransferItem& item) override {
        if (Pending* p = find(index)) {
            p->item = item;
        }
    }

    void controlSettled(std::size_t index) override {
        if (Pending* p = find(index)) {
            p->settled = true;
        }
        while (!pending_.empty() && pending_.front().settled) {
            hand(pending_.front());
            pending_.pop_front();
        }
    }

    /// Hands over what still waits: the capture ended.
    void finish() {
        for (const Pending& p : pending_) {
            hand(p);
        }
        pending_.clear();
    }

    /// The first transaction a waiting item still needs, or `next` when none waits.
    std::size_t oldestNeeded(std::size_t next) const {
        return pending_.empty() ? next : pending_.front().item.firstTransaction;
    }

private:
    struct Pending {
        std::size_t index;
        TransferItem item;
        std::size_t record;
        bool settled;
        bool moves; // a SET_ADDRESS
    };

    void hand(const Pending& p) {
        moving_[p.item.address & 0x7F] -= p.moves ? 1 : 0;
        builder_.step(p.item, p.record);
    }

    Pending* find(std::size_t index) {
        const auto at =
            std::lower_bound(pending_.begin(), pending_.end(), index,
                             [](const Pending& p, std::size_t i) { return p.index < i; });
        return at != pending_.end() && at->index == index ? &*at : nullptr;
    }
    const Pending* find(std::size_t index) const {
        return const_cast<DeviceStore*>(this)->find(index);
    }

    Builder& builder_;
    const capture::PacketList& packets_;
    const Transactions& tx_;
    std::size_t count_ = 0;
    std::deque<Pending> pending_;
    /// Waiting SET_ADDRESS requests by the address they were sent to.
    std::array<std::uint32_t, 128> moving_{};
    /// Sequence numbers of what was queued: the last control transfer, the last opening per
    /// address.
    std::size_t sequence_ = 0;
    std::size_t lastControl_ = 0;
    std::array<std::size_t, 128> lastOpening_{};
};

/// The device pass over transactions as they come. Filtered, it assembles only what can
/// change the model: a control transfer depends on its own endpoint's transactions alone, so
/// those are all stepped; other items matter only for the device they open at an address no
/// device holds, so their transactions at an address that stays held are skipped. A pipe
/// skipped once no longer assembles as in the whole list: its traffic where the address may
/// be free cannot be judged, and the pass reports that so the caller runs it unfiltered.
class ControlPass {
public:
    /// `unchecked`: `tx` itself when it was grouped with DataCheck::EndpointZero; the pass
    /// checks the data of the other endpoints' transactions it reads.
    ControlPass(const capture::PacketList& packets, const Transactions& tx,
                const LargestPayloads& largest, bool filtered, Transactions* unchecked = nullptr)
        : packets_(packets), builder_(packets, tx), store_(builder_, packets, tx),
          assembly_(packets, tx, options_, largest, store_), largest_(largest), filtered_(filtered),
          unchecked_(unchecked) {}

    /// Takes in transaction `x`; false when the filtered pass cannot go on.
    bool step(std::size_t x, Transaction t) {
        // An SOF changes nothing but the SOF items, which name no device.
        if (t.kind == TransactionKind::Sof) {
            return true;
        }
        if (t.hasToken()) {
            const std::size_t ep = static_cast<std::size_t>(t.address & 0x7F) << 4 | t.endpoint;
            if (t.kind == TransactionKind::Setup) {
                control_[ep] = true;
            } else if (t.endpoint != 0) {
                const std::uint8_t a = t.address & 0x7F;
                const bool held = builder_.holds(a) && !store_.mayLeave(a);
                if (filtered_ && !held && skipped_[a]) {
                    return false;
                }
                if (filtered_ && held && !control_[ep]) {
                    skipped_[a] = true;
                    return true;
                }
                if (!control_[ep] && t.hasData()) {
                    noteSize(t);
                }
            }
            if (unchecked_ != nullptr && t.endpoint != 0) {
                // Marked in the index too: the assembly reads a control transfer's members
                // again from it.
                t.corruptData = unchecked_->checkData(packets_, x);
            }
        }
        assembly_.step(x, t);
        return true;
    }

    /// True when every size the pass judged a packet by is the one in `whole` (the largest
    /// payloads of the whole capture, where the pass may have had those seen so far).
    bool sizesHold(const LargestPayloads& whole) const {
        return std::all_of(sized_.begin(), sized_.end(), [&](const Sized& s) {
            return whole(s.address, s.endpoint, s.direction) == s.size;
        });
    }

    /// Ends the pass at the end of the capture; the builder holds what it found.
    Builder& finish() {
        assembly_.finish();
        store_.finish();
        return builder_;
    }

    const Builder& builder() const { return builder_; }

    /// The first transaction the pass may still read, `next` when it needs none before it.
    std::size_t oldestNeeded(std::size_t next) const { return store_.oldestNeeded(next); }

private:
    /// A pipe whose data the assembly may end a transfer by (at a packet shorter than the
    /// largest): the size it had when the first was stepped. Sizes only grow, so when that is
    /// the final one every judgement on the pipe was the same as with the final sizes.
    struct Sized {
        std::uint8_t address;
        std::uint8_t endpoint;
        Direction direction;
        std::uint16_t size;
    };
    void noteSize(const Transaction& t) {
        const std::size_t key = static_cast<std::size_t>(t.address & 0x7F) << 5 |
                                static_cast<std::size_t>(t.endpoint) << 1 |
                                (t.direction() == Direction::In ? 1 : 0);
        if (!sizeNoted_[key]) {
            sizeNoted_[key] = true;
            sized_.push_back({t.address, t.endpoint, t.direction(),
                              largest_(t.address, t.endpoint, t.direction())});
        }
    }

    const capture::PacketList& packets_;
    Builder builder_;
    DeviceStore store_;
    const TransferOptions options_{};
    TransferAssembly assembly_;
    const LargestPayloads& largest_;
    bool filtered_;
    Transactions* unchecked_;
    std::vector<Sized> sized_;
    std::array<bool, 128 * 32> sizeNoted_{};
    /// By address << 4 | endpoint: a SETUP came (every transaction of it is stepped).
    std::array<bool, 128 * 16> control_{};
    /// By address: a transaction there was skipped.
    std::array<bool, 128> skipped_{};
};

} // namespace

const ConfigurationDescription* DeviceInfo::activeConfiguration() const {
    for (const auto& [index, c] : configurations) {
        if (configuration && c.descriptor.field("bConfigurationValue") == *configuration) {
            return &c;
        }
    }
    return configurations.empty() ? nullptr : &configurations.begin()->second;
}

const AssumedEndpoint* DeviceInfo::assumedEndpoint(std::uint8_t endpointAddress) const {
    for (const AssumedEndpoint& a : assumedEndpoints) {
        if (a.endpoint == endpointAddress) {
            return &a;
        }
    }
    return nullptr;
}

const AssumedEndpoint* DeviceInfo::usedAssumption(std::uint8_t endpoint,
                                                  Direction direction) const {
    const AssumedEndpoint* a = assumedEndpoint(
        static_cast<std::uint8_t>((endpoint & 0x0F) | (direction == Direction::In ? 0x80 : 0)));
    return a != nullptr && a->used() ? a : nullptr;
}

namespace {
// The boot protocol's reports as HID 1.11 Appendix E.6 (keyboard: modifiers, reserved byte,
// LEDs out, six key codes) and E.10 (mouse: three buttons, X, Y) describe them.
const std::vector<std::uint8_t> kBootKeyboardReport{
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};
const std::vector<std::uint8_t> kBootMouseReport{
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19,
    0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02,
    0x95, 0x01, 0x75, 0x05, 0x81, 0x01, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15,
    0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06, 0xC0, 0xC0};
} // namespace

const std::vector<std::uint8_t>*
DeviceInfo::reportDescriptorOf(const InterfaceDescription& interface) const {
    const auto number = interface.descriptor.field("bInterfaceNumber");
    if (!number) {
        return nullptr;
    }
    const auto found = reportDescriptors.find(static_cast<std::uint8_t>(*number));
    if (found != reportDescriptors.end()) {
        return &found->second;
    }
    const bool assumed =
        std::any_of(assumedInterfaces.begin(), assumedInterfaces.end(),
                    [&interface](const InterfaceDescription& i) { return &i == &interface; });
    if (!assumed || interface.descriptor.field("bInterfaceClass") != 0x03 ||
        interface.descriptor.field("bInterfaceSubClass") != 0x01) {
        return nullptr;
    }
    switch (interface.descriptor.field("bInterfaceProtocol").value_or(0)) {
    case 1:
        return &kBootKeyboardReport;
    case 2:
        return &kBootMouseReport;
    default:
        return nullptr;
    }
}

bool DeviceInfo::assumedFtdi() const {
    return std::any_of(
        assumedEndpoints.begin(), assumedEndpoints.end(),
        [](const AssumedEndpoint& a) { return a.assumed.kind == AssumedKind::Ftdi && a.used(); });
}

const InterfaceDescription* DeviceInfo::interfaceOfEndpoint(std::uint8_t endpoint,
                                                            Direction direction) const {
    if (const AssumedEndpoint* a = usedAssumption(endpoint, direction); a && a->interface) {
        return &assumedInterfaces[*a->interface];
    }
    // A type alone leaves the endpoint in the interface that describes it, if one does.
    return describedInterfaceOfEndpoint(endpoint, direction);
}

const InterfaceDescription* DeviceInfo::describedInterfaceOfEndpoint(std::uint8_t endpoint,
                                                                     Direction direction) const {
    const ConfigurationDescription* c = activeConfiguration();
    if (c == nullptr) {
        return nullptr;
    }
    const std::uint8_t wanted =
        static_cast<std::uint8_t>((endpoint & 0x0F) | (direction == Direction::In ? 0x80 : 0));
    const InterfaceDescription* fallback = nullptr;
    for (const InterfaceDescription& i : c->interfaces) {
        const auto number = i.descriptor.field("bInterfaceNumber");
        const auto alternate = i.descriptor.field("bAlternateSetting");
        if (!number || !alternate) {
            continue;
        }
        const auto chosen = alternates.find(static_cast<std::uint8_t>(*number));
        const std::uint8_t active = chosen == alternates.end() ? 0 : chosen->second;
        for (const Descriptor& e : i.endpoints) {
            if (e.field("bEndpointAddress") != wanted || !e.field("bmAttributes")) {
                continue;
            }
            if (*alternate == active) {
                return &i;
            }
            if (fallback == nullptr) {
                fallback = &i;
            }
        }
    }
    return fallback;
}

const Descriptor* DeviceInfo::endpointDescriptor(std::uint8_t endpoint, Direction direction) const {
    if (const AssumedEndpoint* a = usedAssumption(endpoint, direction)) {
        return &a->descriptor;
    }
    const InterfaceDescription* i = describedInterfaceOfEndpoint(endpoint, direction);
    if (i == nullptr) {
        return nullptr;
    }
    const std::uint8_t wanted =
        static_cast<std::uint8_t>((endpoint & 0x0F) | (direction == Direction::In ? 0x80 : 0));
    for (const Descriptor& e : i->endpoints) {
        if (e.field("bEndpointAddress") == wanted && e.field("bmAttributes")) {
            return &e;
        }
    }
    return nullptr;
}

const InterfaceDescription* DeviceInfo::interface(std::uint8_t number) const {
    // An insisted interface took the number of the one it overrides; otherwise the capture's
    // own interface comes first.
    const InterfaceDescription* assumed = nullptr;
    for (const AssumedEndpoint& a : assumedEndpoints) {
        if (!a.interface || !a.used()) {
            continue;
        }
        const InterfaceDescription& i = assumedInterfaces[*a.interface];
        if (i.descriptor.field("bInterfaceNumber") == number) {
            if (a.assumed.insisted) {
                return &i;
            }
            assumed = &i;
        }
    }
    const InterfaceDescription* described = describedInterface(number);
    return described != nullptr ? described : assumed;
}

const InterfaceDescription* DeviceInfo::describedInterface(std::uint8_t number) const {
    const ConfigurationDescription* c = activeConfiguration();
    if (c == nullptr) {
        return nullptr;
    }
    const auto chosen = alternates.find(number);
    const std::uint8_t active = chosen == alternates.end() ? 0 : chosen->second;
    const InterfaceDescription* fallback = nullptr;
    for (const InterfaceDescription& i : c->interfaces) {
        if (i.descriptor.field("bInterfaceNumber") != number) {
            continue;
        }
        if (i.descriptor.field("bAlternateSetting") == active) {
            return &i;
        }
        if (fallback == nullptr) {
            fallback = &i;
        }
    }
    return fallback;
}

DeviceModel DeviceModel::Build(const capture::PacketList& packets, const Transactions& transactions,
                               const std::vector<TransferItem>& items) {
    Builder builder(packets, transactions);
    for (const TransferItem& item : items) {
        builder.step(item, FirstRecord(transactions, item));
    }
    return Finish(std::move(builder.devices_), std::move(builder.spans),
                  std::move(builder.controlSpans));
}

DeviceModel DeviceModel::FromControlTraffic(const capture::PacketList& packets,
                                            const Transactions& transactions,
                                            const std::atomic<bool>* stop) {
    LargestPayloads scratch;
    const LargestPayloads& largest = LargestPayloadsOf(packets, transactions, scratch);
    // Filtered first; in the rare capture the filter cannot judge, again in full.
    for (const bool filtered : {true, false}) {
        if (std::optional<DeviceModel> model =
                PassOver(packets, transactions, largest, filtered, stop, nullptr)) {
            return std::move(*model);
        }
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
            break;
        }
    }
    return {}; // only when stopped: the unfiltered pass judges every transaction
}

DeviceModel DeviceModel::FromControlTraffic(const capture::PacketList& packets, unsigned threads,
                                            std::size_t windowRecords,
                                            const std::atomic<bool>* stop,
                                            std::atomic<std::size_t>* recordsDone) {
    if (threads == 0) {
        threads = std::max(1u, std::thread::hardware_concurrency());
    }
    // First filtered, judging packets by the largest payloads grouped so far (no pass of its
    // own measures them); where that may have judged one otherwise, again with the sizes the
    // pass measured; where the filter cannot judge, every transaction.
    const auto fresh = [stop, recordsDone] {
        WindowedPass p;
        p.stop = stop;
        p.recordsDone = recordsDone;
        return p;
    };
    WindowedPass pass = fresh();
    if (auto model = FromWindows(packets, threads, windowRecords, pass)) {
        return std::move(*model);
    }
    std::optional<LargestPayloads> whole;
    if (pass.measuredWhole) {
        whole = pass.measured;
        pass = fresh();
        pass.sizes = &*whole;
        if (auto model = FromWindows(packets, threads, windowRecords, pass)) {
            return std::move(*model);
        }
    } else {
        whole = MeasureLargestPayloads(packets, threads);
    }
    pass = fresh();
    pass.sizes = &*whole;
    pass.filtered = false;
    return std::move(*FromWindows(packets, threads, windowRecords, pass));
}

std::optional<DeviceModel> DeviceModel::FromWindows(const capture::PacketList& packets,
                                                    unsigned threads, std::size_t windowRecords,
                                                    WindowedPass& run) {
    // The index is grouped a window at a time and freed behind the oldest control transfer
    // still open. Other threads group the windows ahead while this one assembles.
    // Only endpoint 0's data is checked while grouping; the pass checks what else it reads.
    WindowGrouper grouper(packets, threads, windowRecords, DataCheck::EndpointZero);
    Transactions window;
    // The sizes grouped so far, when the whole capture's are not known.
    LargestPayloads seen;
    ControlPass pass(packets, window, run.sizes != nullptr ? *run.sizes : seen, run.filtered,
                     &window);
    std::size_t x = 0;
    bool judged = true;
    std::size_t windows = 0;
    if (run.recordsDone != nullptr) {
        run.recordsDone->store(0, std::memory_order_relaxed);
    }
    while (judged && grouper.next(window)) {
        if (run.stop != nullptr && run.stop->load(std::memory_order_relaxed)) {
            return DeviceModel{};
        }
        if (run.recordsDone != nullptr) {
            run.recordsDone->store(std::min(++windows * windowRecords, packets.size()),
                                   std::memory_order_relaxed);
        }
        if (const LargestPayloads* grouped = window.largestPayloads()) {
            seen = *grouped;
        }
        for (; x < window.size() && judged; ++x) {
            judged = pass.step(x, window[x]);
        }
        window.releaseBefore(pass.oldestNeeded(x));
    }
    if (!judged) {
        return std::nullopt;
    }
    if (run.sizes == nullptr) {
        run.measured = seen;
        run.measuredWhole = true;
        if (!pass.sizesHold(seen)) {
            return std::nullopt;
        }
    }
    Builder& found = pass.finish();
    return Finish(std::move(found.devices_), std::move(found.spans), std::move(found.controlSpans));
}

DeviceModel DeviceModel::Finish(std::vector<DeviceInfo> devices, std::vector<AddressSpan> spans,
                                std::vector<ControlSpan> controlSpans) {
    DeviceModel model;
    model.devices_ = std::move(devices);
    model.spans_ = std::move(spans);
    model.controlSpans_ = std::move(controlSpans);
    // Handed over in list order, which is by first transaction, hence by first record; sorted
    // anyway, as the lookup needs it.
    std::sort(model.controlSpans_.begin(), model.controlSpans_.end(),
              [](const ControlSpan& a, const ControlSpan& b) { return a.first < b.first; });
    model.controlSpans_.shrink_to_fit();
    // Spans were added in record order except for SET_ADDRESS ends, which fall after the
    // request's first record; a stable sort keeps the order of equal starts.
    std::stable_sort(model.spans_.begin(), model.spans_.end(),
                     [](const AddressSpan& a, const AddressSpan& b) { return a.from < b.from; });
    model.index();
    return model;
}

namespace {

std::optional<EndpointDescription> DescriptionOf(const DeviceInfo& device, std::uint8_t endpoint,
                                                 Direction direction) {
    const Descriptor* e = device.endpointDescriptor(endpoint, direction);
    if (e == nullptr) {
        return std::nullopt;
    }
    EndpointDescription out;
    const std::uint8_t address =
        static_cast<std::uint8_t>((endpoint & 0x0F) | (direction == Direction::In ? 0x80 : 0));
    const AssumedEndpoint* assumed = device.assumedEndpoint(address);
    out.sizeUnknown = assumed != nullptr && assumed->used();
    out.type = TypeOf(static_cast<std::uint8_t>(*e->field("bmAttributes")));
    out.maxPacketSize = static_cast<std::uint16_t>(e->field("wMaxPacketSize").value_or(0) & 0x7FF);
    // Mass storage over the bulk-only transport: class 8, protocol 0x50 (BOT 1.0 4.3).
    const InterfaceDescription* i = device.interfaceOfEndpoint(endpoint, direction);
    if (i != nullptr && out.type == TransferType::Bulk &&
        i->descriptor.field("bInterfaceClass") == 0x08 &&
        i->descriptor.field("bInterfaceProtocol") == 0x50) {
        out.bulkOnly = true;
        out.interfaceNumber =
            static_cast<std::uint8_t>(i->descriptor.field("bInterfaceNumber").value_or(0));
    }
    return out;
}

std::size_t EndpointSlot(std::uint8_t endpoint, Direction direction) {
    return static_cast<std::size_t>((endpoint & 0x0F) << 1 | (direction == Direction::In ? 1 : 0));
}

/// A bit for each slot the device may describe: the endpoint addresses of its active
/// configuration and of its assumptions. DescriptionOf answers nothing for the others, and
/// each question walks the configuration by field name: a capture of thousands of
/// enumerations asks it of every slot of every device.
std::uint32_t EndpointSlotsOf(const DeviceInfo& device) {
    std::uint32_t slots = 0;
    const auto add = [&slots](std::optional<std::uint16_t> address) {
        // The lookups match bEndpointAddress exactly: reserved bits match no slot.
        if (address && (*address & 0x70) == 0 && *address <= 0xFF) {
            slots |= std::uint32_t{1}
                     << EndpointSlot(static_cast<std::uint8_t>(*address & 0x0F),
                                     (*address & 0x80) != 0 ? Direction::In : Direction::Out);
        }
    };
    if (const ConfigurationDescription* c = device.activeConfiguration()) {
        for (const InterfaceDescription& i : c->interfaces) {
            for (const Descriptor& e : i.endpoints) {
                add(e.field("bEndpointAddress"));
            }
        }
    }
    for (const AssumedEndpoint& a : device.assumedEndpoints) {
        add(a.endpoint);
    }
    return slots;
}

/// The description of each endpoint slot of the device (number << 1 | in); nothing when it
/// delivered no configuration and is assumed to have no endpoint.
std::optional<std::array<std::optional<EndpointDescription>, 32>>
DescribedEndpoints(const DeviceInfo& device) {
    if (device.configurations.empty() && device.assumedEndpoints.empty()) {
        return std::nullopt;
    }
    std::array<std::optional<EndpointDescription>, 32> described{};
    const std::uint32_t present = EndpointSlotsOf(device);
    for (std::uint8_t number = 0; number < 16; ++number) {
        for (const Direction direction : {Direction::Out, Direction::In}) {
            const std::size_t slot = EndpointSlot(number, direction);
            if ((present >> slot & 1) != 0) {
                described[slot] = DescriptionOf(device, number, direction);
            }
        }
    }
    return described;
}

/// The span in force at `record` among one address's spans, or nothing before the first.
const AddressSpan* SpanAt(const std::vector<AddressSpan>& spans, std::size_t record) {
    const auto after =
        std::upper_bound(spans.begin(), spans.end(), record,
                         [](std::size_t r, const AddressSpan& s) { return r < s.from; });
    return after == spans.begin() ? nullptr : &*std::prev(after);
}

} // namespace

namespace {

/// An endpoint descriptor for an assumed endpoint: its address and type; its size unknown.
Descriptor AssumedEndpointDescriptor(std::uint8_t endpoint, AssumedKind kind) {
    std::uint8_t attributes = 2;
    switch (AssumedTransferType(kind)) {
    case TransferType::Isochronous:
        attributes = 1;
        break;
    case TransferType::Interrupt:
        attributes = 3;
        break;
    default:
        break;
    }
    const std::uint8_t interval = attributes == 2 ? 0 : 1;
    return Descriptor{DescriptorKind::Endpoint, {7, 5, endpoint, attributes, 0, 0, interval}};
}

/// Applies the assumptions of the addresses a device held to it.
void AssumeFor(DeviceInfo& device, const std::vector<std::uint8_t>& addresses,
               const EndpointAssumptions& assumptions) {
    std::map<std::uint8_t, Assumed> mine; // by endpoint address; a later address wins
    for (const std::uint8_t address : addresses) {
        for (const auto& [key, assumed] : assumptions.all()) {
            if (key.first == address) {
                mine[key.second] = assumed;
            }
        }
    }
    if (mine.empty()) {
        return;
    }
    // Made-up interfaces take numbers the capture's configuration does not use.
    std::uint16_t next = 0;
    if (const ConfigurationDescription* c = device.activeConfiguration()) {
        for (const InterfaceDescription& i : c->interfaces) {
            if (const auto number = i.descriptor.field("bInterfaceNumber")) {
                next = std::max<std::uint16_t>(next, static_cast<std::uint16_t>(*number + 1));
            }
        }
    }
    std::map<AssumedKind, std::size_t> interfaceOfKind;
    for (const auto& [endpoint, assumed] : mine) {
        AssumedEndpoint e;
        e.endpoint = endpoint;
        e.assumed = assumed;
        const Direction direction = (endpoint & 0x80) != 0 ? Direction::In : Direction::Out;
        // Nothing is assumed of this endpoint yet: the lookup answers from the capture.
        const InterfaceDescription* described =
            device.interfaceOfEndpoint(endpoint & 0x0F, direction);
        // An FTDI chip is known by its IDs: a device descriptor that names them decides.
        e.described = described != nullptr || (assumed.kind == AssumedKind::Ftdi && device.device);
        e.descriptor = AssumedEndpointDescriptor(endpoint, assumed.kind);
        if (const auto cls = AssumedInterfaceClass(assumed.kind)) {
            const auto [at, added] =
                interfaceOfKind.try_emplace(assumed.kind, device.assumedInterfaces.size());
            if (added) {
                std::uint8_t number = 0;
                if (assumed.insisted && described != nullptr) {
                    // It stands in for that interface, requests to its number included.
                    number = static_cast<std::uint8_t>(
                        described->descriptor.field("bInterfaceNumber").value_or(0));
                } else {
                    number = static_cast<std::uint8_t>(std::min<std::uint16_t>(next++, 0xFF));
                }
                InterfaceDescription i;
                i.descriptor =
                    Descriptor{DescriptorKind::Interface,
                               {9, 4, number, 0, 0, cls->cls, cls->subclass, cls->protocol, 0}};
                device.assumedInterfaces.push_back(std::move(i));
            }
            InterfaceDescription& i = device.assumedInterfaces[at->second];
            i.endpoints.push_back(e.descriptor);
            i.descriptor.bytes[4] = static_cast<std::uint8_t>(i.endpoints.size());
            e.interface = at->second;
        }
        device.assumedEndpoints.push_back(std::move(e));
    }
}

} // namespace

void DeviceModel::assume(const EndpointAssumptions& assumptions) {
    for (DeviceInfo& d : devices_) {
        d.assumedEndpoints.clear();
        d.assumedInterfaces.clear();
    }
    if (!assumptions.empty()) {
        // Every address a device held: the user names the device by the address it was seen at.
        std::vector<std::vector<std::uint8_t>> held(devices_.size());
        for (const AddressSpan& s : spans_) {
            if (s.device != kNoDevice && std::find(held[s.device].begin(), held[s.device].end(),
                                                   s.address) == held[s.device].end()) {
                held[s.device].push_back(s.address);
            }
        }
        for (std::size_t d = 0; d < devices_.size(); ++d) {
            AssumeFor(devices_[d], held[d], assumptions);
        }
    }
    for (auto& spans : byAddress_) {
        spans.clear();
    }
    endpointsOf_.clear();
    endpoints_.clear();
    lastDescribed_.fill({});
    index();
}

bool DeviceModel::describesEndpoints() const {
    return !endpoints_.empty();
}

void DeviceModel::index() {
    for (const AddressSpan& s : spans_) {
        byAddress_[s.address & 0x7F].push_back(s);
    }
    endpointsOf_.assign(devices_.size(), kNoDevice);
    for (std::size_t d = 0; d < devices_.size(); ++d) {
        if (std::optional<Endpoints> described = DescribedEndpoints(devices_[d])) {
            endpointsOf_[d] = endpoints_.size();
            endpoints_.push_back(*described);
        }
    }
    for (std::size_t address = 0; address < byAddress_.size(); ++address) {
        // The last device (by number) that held the address wins each endpoint.
        std::vector<std::size_t> held;
        for (const AddressSpan& s : byAddress_[address]) {
            if (s.device != kNoDevice) {
                held.push_back(s.device);
            }
        }
        std::sort(held.begin(), held.end());
        held.erase(std::unique(held.begin(), held.end()), held.end());
        for (const std::size_t d : held) {
            if (endpointsOf_[d] == kNoDevice) {
                continue;
            }
            for (std::size_t slot = 0; slot < 32; ++slot) {
                if (const auto& e = endpoints_[endpointsOf_[d]][slot]) {
                    lastDescribed_[address][slot] = e;
                }
            }
        }
    }
}

std::optional<std::size_t> DeviceModel::controlTransferEnd(std::size_t first) const {
    const auto at =
        std::lower_bound(controlSpans_.begin(), controlSpans_.end(), first,
                         [](const ControlSpan& s, std::size_t record) { return s.first < record; });
    if (at == controlSpans_.end() || at->first != first) {
        return std::nullopt;
    }
    return at->last;
}

std::optional<std::size_t> DeviceModel::deviceAt(std::uint8_t address, std::size_t record) const {
    return deviceSpanAt(address, record).device;
}

DeviceModel::DeviceSpan DeviceModel::deviceSpanAt(std::uint8_t address, std::size_t record) const {
    const std::vector<AddressSpan>& spans = byAddress_[address & 0x7F];
    const AddressSpan* s = SpanAt(spans, record);
    DeviceSpan out;
    const auto next = s == nullptr ? spans.begin() : spans.begin() + (s - spans.data()) + 1;
    if (next != spans.end()) {
        out.until = next->from;
    }
    if (s != nullptr) {
        out.from = s->from;
        if (s->device != kNoDevice) {
            out.device = s->device;
        }
    }
    return out;
}

EndpointAnswer DeviceModel::endpoint(std::uint8_t address, std::uint8_t endpoint,
                                     Direction direction, std::size_t record) const {
    EndpointAnswer answer;
    const std::vector<AddressSpan>& spans = byAddress_[address & 0x7F];
    const AddressSpan* s = SpanAt(spans, record);
    const auto next = s == nullptr ? spans.begin() : spans.begin() + (s - spans.data()) + 1;
    if (next != spans.end()) {
        answer.validUntil = next->from;
    }
    const std::size_t slot = EndpointSlot(endpoint, direction);
    if (s != nullptr && s->device != kNoDevice && endpointsOf_[s->device] != kNoDevice) {
        if (const auto& e = endpoints_[endpointsOf_[s->device]][slot]) {
            answer.description = e;
            return answer;
        }
    }
    // The device at the address does not describe it (the capture began after its
    // enumeration): the last one at the address that does.
    answer.description = lastDescribed_[address & 0x7F][slot];
    return answer;
}

EndpointLookup DeviceModel::lookup() const {
    return [this](std::uint8_t address, std::uint8_t number, Direction direction,
                  std::size_t record) { return endpoint(address, number, direction, record); };
}

/// What the pass over the transactions has found so far, shown every stretch to an assembly on
/// another thread. Its answers are those of the finished model: from spans no later item can
/// change (they start before the first record of the last item stepped) and from devices that
/// left their address (nothing changes them any more). For any other question it waits for
/// the next stretch, or for the finished model.
class DeviceModel::Watch {
public:
    /// Pass thread: what the builder holds after the items stepped so far.
    void publish(const std::vector<AddressSpan>& spans, const std::vector<DeviceInfo>& devices,
                 const std::array<std::size_t, 128>& holders, std::size_t stepped) {
        // Only this thread reads the builder: the descriptions are made outside the lock.
        for (; devicesSeen_ < devices.size(); ++devicesSeen_) {
            open_.push_back(devicesSeen_);
        }
        std::array<std::size_t, 128> held = holders;
        std::sort(held.begin(), held.end());
        // What the devices holding an address describe so far: the assembly may go on with it
        // as a guess, checked against the finished model (a device seldom changes what it
        // describes, and one that holds its address for the whole capture would else keep the
        // assembly waiting for the whole pass).
        guessing_.clear();
        for (std::size_t i = 0; i < held.size() && held[i] != kNone; ++i) {
            if (i == 0 || held[i] != held[i - 1]) {
                guessing_.emplace_back(held[i], std::nullopt);
            }
        }
        if (guessing_.size() > kGuessedDevices) {
            guessing_.clear();
        }
        for (auto& [d, endpoints] : guessing_) {
            endpoints = DescribedEndpoints(devices[d]);
        }
        gone_.clear();
        describing_.clear();
        std::erase_if(open_, [&](std::size_t d) {
            if (std::binary_search(held.begin(), held.end(), d)) {
                return false;
            }
            gone_.push_back(d);
            if (std::optional<Endpoints> endpoints = DescribedEndpoints(devices[d])) {
                describing_.emplace_back(d, *endpoints);
            }
            return true;
        });
        const std::lock_guard<std::mutex> hold(lock_);
        for (; spansSeen_ < spans.size(); ++spansSeen_) {
            // After the spans of the same start: the model's stable sort keeps that order.
            const AddressSpan& s = spans[spansSeen_];
            std::vector<AddressSpan>& at = byAddress_[s.address & 0x7F];
            at.insert(
                std::upper_bound(at.begin(), at.end(), s.from,
                                 [](std::size_t r, const AddressSpan& a) { return r < a.from; }),
                s);
        }
        for (const std::size_t d : gone_) {
            if (left_.size() <= d) {
                left_.resize(d + 1, kHeld);
            }
            left_[d] = kNone;
        }
        for (const auto& [d, endpoints] : describing_) {
            left_[d] = described_.size();
            described_.push_back(endpoints);
        }
        guessed_.swap(guessing_);
        frontier_ = stepped;
        changed_.notify_all();
    }

    /// Pass thread: the finished model answers from now on; it outlives the assembly.
    void finish(const DeviceModel* model) {
        const std::lock_guard<std::mutex> hold(lock_);
        model_ = model;
        changed_.notify_all();
    }

    /// Pass thread: no model comes; the lookups answer nothing and the list is dropped.
    void abandon() {
        const std::lock_guard<std::mutex> hold(lock_);
        abandoned_ = true;
        changed_.notify_all();
    }

    /// Assembly thread: set when the pass must end early (the assembly failed).
    void quit() { quit_.store(true, std::memory_order_relaxed); }
    bool quitting() const { return quit_.load(std::memory_order_relaxed); }

    /// After both threads ended: whether every guess the assembly went on with is what the
    /// finished model says; where one is not, its list must be grouped again.
    bool guessesHold(const DeviceModel& model) const {
        return !guessedTwoWays_ &&
               std::all_of(guesses_.begin(), guesses_.end(), [&model](const auto& entry) {
                   const Guess& g = entry.second;
                   return model.endpoint(g.address, g.number, g.direction, g.record).description ==
                          g.description;
               });
    }

    /// Assembly thread: the finished model's answer.
    EndpointAnswer endpoint(std::uint8_t address, std::uint8_t number, Direction direction,
                            std::size_t record) {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            if (model_ != nullptr) {
                const DeviceModel* model = model_;
                hold.unlock();
                return model->endpoint(address, number, direction, record);
            }
            if (abandoned_) {
                return {};
            }
            if (std::optional<EndpointAnswer> answer = known(address, number, direction, record)) {
                return *answer;
            }
            changed_.wait(hold);
        }
    }

private:
    static constexpr std::size_t kHeld = kNone - 1;

    /// Under the lock: the answer when what it rests on can no longer change, or a guess for a
    /// device that still holds its address.
    std::optional<EndpointAnswer> known(std::uint8_t address, std::uint8_t number,
                                        Direction direction, std::size_t record) {
        if (record >= frontier_) {
            return std::nullopt;
        }
        const std::vector<AddressSpan>& spans = byAddress_[address & 0x7F];
        const AddressSpan* s = SpanAt(spans, record);
        if (s == nullptr || s->device == kNone) {
            return std::nullopt;
        }
        const std::size_t slot = EndpointSlot(number, direction);
        EndpointAnswer answer;
        // A span may still start at the frontier or after it: asked again there.
        answer.validUntil = frontier_;
        const std::size_t next = static_cast<std::size_t>(s - spans.data()) + 1;
        if (next < spans.size()) {
            answer.validUntil = std::min(answer.validUntil, spans[next].from);
        }
        if (s->device >= left_.size() || left_[s->device] == kHeld) {
            const auto guessed = std::find_if(guessed_.begin(), guessed_.end(),
                                              [s](const auto& g) { return g.first == s->device; });
            if (guessed == guessed_.end()) {
                return std::nullopt;
            }
            if (guessed->second) {
                answer.description = (*guessed->second)[slot];
            }
            // The model answers the same for a device's endpoint over the device's whole
            // span: one guess of each is checked, and two that differ cannot both hold.
            const auto [at, added] =
                guesses_.try_emplace(s->device * kSlots + slot,
                                     Guess{address, number, direction, record, answer.description});
            guessedTwoWays_ =
                guessedTwoWays_ || (!added && at->second.description != answer.description);
            return answer;
        }
        const std::size_t described = left_[s->device];
        // Else the answer is the last describing device's at the address: the whole capture's.
        if (described == kNone || !described_[described][slot]) {
            return std::nullopt;
        }
        answer.description = described_[described][slot];
        return answer;
    }

    /// Devices that hold an address are guessed only while they are this few: their
    /// descriptions are made again at every publication.
    static constexpr std::size_t kGuessedDevices = 16;
    struct Guess {
        std::uint8_t address;
        std::uint8_t number;
        Direction direction;
        std::size_t record;
        std::optional<EndpointDescription> description;
    };
    using Held = std::vector<std::pair<std::size_t, std::optional<Endpoints>>>;

    // The pass thread's own.
    Held guessing_;
    std::size_t spansSeen_ = 0;
    std::size_t devicesSeen_ = 0;
    std::vector<std::size_t> open_; // devices that may still hold an address
    // What one publication found gone, kept to spare an allocation each time.
    std::vector<std::size_t> gone_;
    std::vector<std::pair<std::size_t, Endpoints>> describing_;
    std::atomic<bool> quit_{false};

    // Shared, under lock_.
    std::mutex lock_;
    std::condition_variable changed_;
    std::size_t frontier_ = 0;
    std::array<std::vector<AddressSpan>, 128> byAddress_;
    /// By device: kHeld while it may still hold an address; once it left, kNone when it
    /// describes no endpoint, else where its descriptions are in `described_`.
    std::vector<std::size_t> left_;
    std::vector<Endpoints> described_;
    /// What the devices holding an address described at the last publication.
    Held guessed_;
    /// The first guess answered for each endpoint of a device (by device * kSlots + slot), and
    /// whether another guess of one said something else.
    static constexpr std::size_t kSlots = 32;
    std::unordered_map<std::size_t, Guess> guesses_;
    bool guessedTwoWays_ = false;
    const DeviceModel* model_ = nullptr;
    bool abandoned_ = false;
};

std::optional<DeviceModel> DeviceModel::PassOver(const capture::PacketList& packets,
                                                 const Transactions& transactions,
                                                 const LargestPayloads& largest, bool filtered,
                                                 const std::atomic<bool>* stop, Watch* watch) {
    // Often enough that an assembly beside seldom waits long, seldom enough to cost nothing.
    constexpr std::size_t kStretch = std::size_t{1} << 12;
    ControlPass pass(packets, transactions, largest, filtered);
    for (std::size_t x = 0; x < transactions.size(); ++x) {
        if (x % kStretch == 0) {
            if ((stop != nullptr && stop->load(std::memory_order_relaxed)) ||
                (watch != nullptr && watch->quitting())) {
                return std::nullopt;
            }
            if (watch != nullptr) {
                const Builder& b = pass.builder();
                watch->publish(b.spans, b.devices_, b.holders(), b.stepped());
            }
        }
        if (!pass.step(x, transactions[x])) {
            return std::nullopt;
        }
    }
    Builder& found = pass.finish();
    return Finish(std::move(found.devices_), std::move(found.spans), std::move(found.controlSpans));
}

DescribedTransferList
AssembleDescribedTransferList(const capture::PacketList& packets, const Transactions& transactions,
                              bool fold, const std::atomic<bool>* stop,
                              const EndpointAssumptions* assumptions, unsigned threads,
                              const std::function<void(const DeviceModel&)>& found) {
    if (threads == 0) {
        threads = std::max(1u, std::thread::hardware_concurrency());
    }
    const bool assuming = assumptions != nullptr && !assumptions->empty();
    const bool pipelined = threads > 1 && !assuming && !transactions.empty();
    if (pipelined) {
        DeviceModel::Watch watch;
        std::optional<DeviceModel> model;
        std::atomic<bool> halt{false};
        std::exception_ptr failed;
        std::jthread worker([&] {
            try {
                LargestPayloads scratch;
                model = DeviceModel::PassOver(packets, transactions,
                                              LargestPayloadsOf(packets, transactions, scratch),
                                              true, stop, &watch);
                if (model) {
                    // The devices go to whoever waits for them, then answer the assembly.
                    if (found) {
                        found(*model);
                    }
                    watch.finish(&*model);
                    return;
                }
            } catch (...) {
                failed = std::current_exception();
            }
            halt.store(true, std::memory_order_relaxed);
            watch.abandon();
        });
        TransferOptions options;
        options.fold = fold;
        options.stop = stop;
        options.halt = &halt;
        options.endpoints = [&watch](std::uint8_t address, std::uint8_t number, Direction direction,
                                     std::size_t record) {
            return watch.endpoint(address, number, direction, record);
        };
        TransferList items;
        try {
            items = AssembleTransferList(packets, transactions, options);
        } catch (...) {
            watch.quit();
            worker.join();
            throw;
        }
        worker.join();
        if (failed) {
            std::rethrow_exception(failed);
        }
        if (!halt.load(std::memory_order_relaxed)) {
            DescribedTransferList out;
            out.devices = std::move(*model);
            if (watch.guessesHold(out.devices)) {
                out.items = std::move(items);
            } else {
                // A device described later what the assembly had guessed of it.
                items = {};
                out.items =
                    AssembleTransferListDescribedBy(packets, transactions, out.devices, fold, stop);
            }
            return out;
        }
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
            return {};
        }
    }
    DescribedTransferList out;
    // Control transfers do not depend on endpoint descriptors, so the device pass finds every
    // descriptor the assembly needs; it keeps no list, so one list is alive at a time.
    if (pipelined) {
        // The filter could not judge the capture: straight to the pass that reads it all.
        LargestPayloads scratch;
        std::optional<DeviceModel> whole = DeviceModel::PassOver(
            packets, transactions, LargestPayloadsOf(packets, transactions, scratch), false, stop,
            nullptr);
        if (!whole) {
            return out;
        }
        out.devices = std::move(*whole);
    } else {
        out.devices = DeviceModel::FromControlTraffic(packets, transactions, stop);
    }
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
        return out;
    }
    if (assuming) {
        out.devices.assume(*assumptions);
    }
    if (found) {
        found(out.devices);
    }
    out.items = AssembleTransferListDescribedBy(packets, transactions, out.devices, fold, stop);
    return out;
}

TransferList AssembleTransferListDescribedBy(const capture::PacketList& packets,
                                             const Transactions& transactions,
                                             const DeviceModel& devices, bool fold,
                                             const std::atomic<bool>* stop) {
    TransferOptions options;
    options.fold = fold;
    options.stop = stop;
    // Without a configuration descriptor or an assumption no endpoint is described.
    if (devices.describesEndpoints()) {
        options.endpoints = devices.lookup();
    }
    return AssembleTransferList(packets, transactions, options);
}

DescribedTransfers AssembleDescribedTransfers(const capture::PacketList& packets,
                                              const Transactions& transactions, bool fold,
                                              const EndpointAssumptions* assumptions) {
    DescribedTransferList list =
        AssembleDescribedTransferList(packets, transactions, fold, nullptr, assumptions);
    DescribedTransfers out;
    out.items = list.items.release();
    out.devices = std::move(list.devices);
    return out;
}

} // namespace vintrace::protocol
