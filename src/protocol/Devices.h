#pragma once

#include "capture/PacketList.h"
#include "protocol/Descriptors.h"
#include "protocol/EndpointAssumptions.h"
#include "protocol/Transactions.h"
#include "protocol/Transfers.h"
#include "protocol/WindowGrouper.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vintrace::protocol {

/// Something wrong in what a device delivered, at the record that opened the transfer.
struct DeviceProblem {
    std::size_t record = 0;
    std::string what;

    friend bool operator==(const DeviceProblem&, const DeviceProblem&) = default;
};

/// An endpoint of a device the user said what it is, and how that stands with the capture.
struct AssumedEndpoint {
    /// bEndpointAddress.
    std::uint8_t endpoint = 0;
    Assumed assumed;
    /// The capture's own descriptors describe the endpoint (or, for an FTDI chip, the device
    /// names its IDs): they win unless the assumption insists.
    bool described = false;
    /// The endpoint descriptor it stands for (wMaxPacketSize 0: the largest packet seen).
    Descriptor descriptor;
    /// Its interface among DeviceInfo::assumedInterfaces, for the kinds that are a class.
    std::optional<std::size_t> interface;

    /// True when the lookups answer with it rather than with the capture's descriptors.
    bool used() const { return assumed.insisted || !described; }

    friend bool operator==(const AssumedEndpoint&, const AssumedEndpoint&) = default;
};

/// One device as the capture shows it: from its first transfer at an address until another
/// device takes that address (or the capture ends).
struct DeviceInfo {
    /// The address it ended at (after SET_ADDRESS), and the one it was first seen at.
    std::uint8_t address = 0;
    std::uint8_t firstAddress = 0;
    /// Store index of the first record of its first transfer.
    std::size_t first = 0;
    /// The most complete device descriptor delivered.
    std::optional<Descriptor> device;
    std::optional<Descriptor> qualifier;
    /// By descriptor index (the low byte of GET_DESCRIPTOR's wValue).
    std::map<std::uint8_t, ConfigurationDescription> configurations;
    std::map<std::uint8_t, ConfigurationDescription> otherSpeed;
    std::vector<std::uint16_t> languages;
    /// By string index; the last text delivered for it.
    std::map<std::uint8_t, std::string> strings;
    /// The string descriptors as delivered, for the copies kept above, by string index (0:
    /// the language IDs).
    std::map<std::uint8_t, std::vector<std::uint8_t>> stringDescriptors;
    /// HID report descriptors by interface number, raw.
    std::map<std::uint8_t, std::vector<std::uint8_t>> reportDescriptors;
    /// The BOS descriptor set as delivered (the longest copy); empty when none was.
    std::vector<std::uint8_t> bos;
    /// bMS_VendorCode from the Microsoft OS 1.0 string (0xEE), which names the vendor
    /// request that reads the compat ID descriptor.
    std::optional<std::uint8_t> msOsVendorCode;
    /// The extended compat ID descriptor as delivered (the longest copy); empty when none was.
    std::vector<std::uint8_t> msCompatId;
    /// The extended properties descriptor (MS OS 1.0, wIndex 5) as delivered (the longest
    /// copy); empty when none was.
    std::vector<std::uint8_t> msExtendedProperties;
    /// The Microsoft OS 2.0 descriptor set (the vendor request the BOS names, wIndex 7) as
    /// delivered (the longest copy); empty when none was.
    std::vector<std::uint8_t> msOs20Set;
    /// bConfigurationValue of the last SET_CONFIGURATION; nothing before one.
    std::optional<std::uint8_t> configuration;
    /// Interface number to alternate setting, from SET_INTERFACE.
    std::map<std::uint8_t, std::uint8_t> alternates;
    std::vector<DeviceProblem> problems;
    /// What the user assumed of its endpoints, by endpoint address, and the interfaces made
    /// for the kinds that are a class (one per kind); empty without assumptions.
    std::vector<AssumedEndpoint> assumedEndpoints;
    std::vector<InterfaceDescription> assumedInterfaces;

    /// Store index of the first record of the transfer that delivered each part above, the
    /// one kept (so a view can show where it came from).
    struct Sources {
        std::size_t device = 0;
        std::size_t qualifier = 0;
        std::map<std::uint8_t, std::size_t> configurations;
        std::map<std::uint8_t, std::size_t> otherSpeed;
        /// By string index; 0 for the language IDs.
        std::map<std::uint8_t, std::size_t> strings;
        std::map<std::uint8_t, std::size_t> reportDescriptors;
        std::size_t bos = 0;
        std::size_t msCompatId = 0;
        std::size_t msExtendedProperties = 0;
        std::size_t msOs20Set = 0;

        friend bool operator==(const Sources&, const Sources&) = default;
    };
    Sources from;

    friend bool operator==(const DeviceInfo&, const DeviceInfo&) = default;

    /// The configuration in use: the one SET_CONFIGURATION chose, else the first delivered.
    const ConfigurationDescription* activeConfiguration() const;
    /// The endpoint's descriptor in the active configuration and alternate settings.
    const Descriptor* endpointDescriptor(std::uint8_t endpoint, Direction direction) const;
    /// The interface that owns the endpoint, in the same configuration and settings.
    const InterfaceDescription* interfaceOfEndpoint(std::uint8_t endpoint,
                                                    Direction direction) const;
    /// Interface `number` in its current alternate setting (else any setting of it).
    const InterfaceDescription* interface(std::uint8_t number) const;
    /// The assumption made for an endpoint address, used or not; null when none was.
    const AssumedEndpoint* assumedEndpoint(std::uint8_t endpointAddress) const;
    /// True when an FTDI assumption is in force for the device: its vendor requests and
    /// bulk data are read as an FTDI chip's.
    bool assumedFtdi() const;
    /// The report descriptor of `interface`: the one delivered for its number, else for an
    /// interface assumed to be a boot mouse or keyboard the boot report layout; null when
    /// there is neither.
    const std::vector<std::uint8_t>*
    reportDescriptorOf(const InterfaceDescription& interface) const;

private:
    /// The assumption for the endpoint when the lookups answer with it; null otherwise.
    const AssumedEndpoint* usedAssumption(std::uint8_t endpoint, Direction direction) const;
    /// The same lookups over the capture's own descriptors alone.
    const InterfaceDescription* describedInterfaceOfEndpoint(std::uint8_t endpoint,
                                                             Direction direction) const;
    const InterfaceDescription* describedInterface(std::uint8_t number) const;
    friend class DeviceModel;
};

/// From record `from` on (until the next span at the address), `device` held `address`;
/// `device` is DeviceModel::kNone when the address was left free.
struct AddressSpan {
    std::uint8_t address = 0;
    std::size_t from = 0;
    std::size_t device = 0;
};

/// The first and last record of a control transfer.
struct ControlSpan {
    std::size_t first = 0;
    std::size_t last = 0;

    friend bool operator==(const ControlSpan&, const ControlSpan&) = default;
};

struct DescribedTransferList;

/// The devices of a capture and which one held an address when.
class DeviceModel {
public:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    /// Follows the transfers in order: SET_ADDRESS moves a device to its new address, a device
    /// at an address already taken replaces the one there.
    static DeviceModel Build(const capture::PacketList& packets, const Transactions& transactions,
                             const std::vector<TransferItem>& items);
    /// The same model from the control transfers alone, in one pass that keeps no transfer
    /// list: over a grouped index, or grouping the store `windowRecords` at a time (on up to
    /// `threads` threads, 0: one per core). Once `stop` is set either pass ends within a
    /// stretch or a window and its model is partial. The windowed pass counts the records it
    /// has read in `recordsDone` (may be null; it may start again from 0 when a capture needs
    /// a second pass).
    static DeviceModel FromControlTraffic(const capture::PacketList& packets,
                                          const Transactions& transactions,
                                          const std::atomic<bool>* stop = nullptr);
    static DeviceModel FromControlTraffic(const capture::PacketList& packets, unsigned threads = 0,
                                          std::size_t windowRecords = WindowGrouper::kWindowRecords,
                                          const std::atomic<bool>* stop = nullptr,
                                          std::atomic<std::size_t>* recordsDone = nullptr);

    const std::vector<DeviceInfo>& devices() const { return devices_; }
    /// The control transfers whose first record a device cites (the one that opened it, one
    /// that delivered a part kept or had a problem), by first record.
    const std::vector<ControlSpan>& controlSpans() const { return controlSpans_; }
    /// The last record of the control transfer that opens at `first`, if a device cites it.
    std::optional<std::size_t> controlTransferEnd(std::size_t first) const;
    /// The device at `address` when `record` was on the bus; nothing when none was there.
    std::optional<std::size_t> deviceAt(std::uint8_t address, std::size_t record) const;
    /// deviceAt() with the records [from, until) over which its answer holds.
    struct DeviceSpan {
        std::optional<std::size_t> device;
        std::size_t from = 0;
        std::size_t until = SIZE_MAX;
    };
    DeviceSpan deviceSpanAt(std::uint8_t address, std::size_t record) const;
    /// Type and maximum packet size of an endpoint, from the device at the address when
    /// `record` was on the bus; when that one does not describe it (the capture began after
    /// its enumeration), from the last device at the address that does.
    EndpointAnswer endpoint(std::uint8_t address, std::uint8_t endpoint, Direction direction,
                            std::size_t record) const;
    /// A lookup for the transfer grouping; it refers to this model, which must outlive it.
    EndpointLookup lookup() const;
    /// True when some device describes or is assumed to have an endpoint: without one, a
    /// lookup answers nothing.
    bool describesEndpoints() const;

    /// Applies what the user said endpoints are to every device that held their address,
    /// replacing what an earlier call applied. An assumed endpoint gets its transfer type, and
    /// the kinds that are a class an interface the decoders read; where the capture's own
    /// descriptors describe the endpoint, they win unless the assumption insists.
    void assume(const EndpointAssumptions& assumptions);

private:
    /// Endpoint descriptions of one device in its final configuration and settings, by
    /// endpoint number and direction (number << 1 | in).
    using Endpoints = std::array<std::optional<EndpointDescription>, 32>;

    /// The model of the devices and address spans a pass found.
    static DeviceModel Finish(std::vector<DeviceInfo> devices, std::vector<AddressSpan> spans,
                              std::vector<ControlSpan> controlSpans);
    /// A pass that groups a window at a time: with the sizes of the whole capture, else
    /// with those grouped so far (and then what it measured).
    struct WindowedPass {
        const LargestPayloads* sizes = nullptr;
        bool filtered = true;
        LargestPayloads measured;
        bool measuredWhole = false;
        const std::atomic<bool>* stop = nullptr;
        std::atomic<std::size_t>* recordsDone = nullptr;
    };
    /// What a pass over the transactions has found so far, for an assembly beside it.
    class Watch;
    /// One pass over grouped transactions, showing `watch` (may be null) what it found as it
    /// goes; nothing when the filter could not judge or `stop` was set.
    static std::optional<DeviceModel> PassOver(const capture::PacketList& packets,
                                               const Transactions& transactions,
                                               const LargestPayloads& largest, bool filtered,
                                               const std::atomic<bool>* stop, Watch* watch);
    friend DescribedTransferList AssembleDescribedTransferList(
        const capture::PacketList& packets, const Transactions& transactions, bool fold,
        const std::atomic<bool>* stop, const EndpointAssumptions* assumptions, unsigned threads,
        const std::function<void(const DeviceModel&)>& found);
    /// Nothing when the filter could not judge, or judged by sizes that grew afterwards.
    static std::optional<DeviceModel> FromWindows(const capture::PacketList& packets,
                                                  unsigned threads, std::size_t windowRecords,
                                                  WindowedPass& pass);
    void index();

    std::vector<DeviceInfo> devices_;
    /// In order of `from`.
    std::vector<AddressSpan> spans_;
    /// In order of `first`.
    std::vector<ControlSpan> controlSpans_;
    /// The spans of each address in order of `from`, for a binary search by record.
    std::array<std::vector<AddressSpan>, 128> byAddress_;
    /// The endpoints of each device that delivered a configuration (by device, an index into
    /// `endpoints_` or kNone), and for each address the answer of the last device that held
    /// it and describes the endpoint: computed once, so a lookup costs a binary search.
    std::vector<std::size_t> endpointsOf_;
    std::vector<Endpoints> endpoints_;
    std::array<Endpoints, 128> lastDescribed_;
};

/// DeviceModel::deviceAt() for a reader that asks in capture order, as decoders do: each
/// address keeps its last answer while the records asked about stay in its span, which spares
/// a search of the address's spans per item (a device in a reset loop leaves thousands).
class DeviceAtCache {
public:
    explicit DeviceAtCache(const DeviceModel& model) : model_(&model) {}
    std::optional<std::size_t> operator()(std::uint8_t address, std::size_t record) {
        DeviceModel::DeviceSpan& s = spans_[address & 0x7F];
        if (record < s.from || record >= s.until) {
            s = model_->deviceSpanAt(address, record);
        }
        return s.device;
    }

private:
    const DeviceModel* model_;
    // Empty spans until asked: every record is outside them.
    std::array<DeviceModel::DeviceSpan, 128> spans_ = EmptySpans();
    static std::array<DeviceModel::DeviceSpan, 128> EmptySpans() {
        std::array<DeviceModel::DeviceSpan, 128> out;
        out.fill({std::nullopt, 1, 0});
        return out;
    }
};

/// The transfer list with endpoint types and sizes taken from the capture's own descriptors:
/// a first pass finds the devices (keeping no list), a second groups bulk and interrupt by
/// their descriptors.
struct DescribedTransferList {
    TransferList items;
    DeviceModel devices;
};
/// Once `stop` is set either pass ends within a stretch and the result is partial.
/// `assumptions` (may be null) apply to the devices before the second pass. With `threads`
/// other than 1 and no assumptions, the second pass runs beside the first and waits only for
/// the devices it asks about: a device's endpoints are final once it has left its address.
/// `found` (may be empty) is given the devices as soon as the first pass ends, on whichever
/// thread ran it; nothing when it stopped.
DescribedTransferList AssembleDescribedTransferList(
    const capture::PacketList& packets, const Transactions& transactions, bool fold = true,
    const std::atomic<bool>* stop = nullptr, const EndpointAssumptions* assumptions = nullptr,
    unsigned threads = 0, const std::function<void(const DeviceModel&)>& found = {});
/// The second pass alone: the transfer list with bulk and interrupt grouped by what `devices`
/// (found over the same transactions, assumptions applied) says of their endpoints.
TransferList AssembleTransferListDescribedBy(const capture::PacketList& packets,
                                             const Transactions& transactions,
                                             const DeviceModel& devices, bool fold = true,
                                             const std::atomic<bool>* stop = nullptr);
/// The same with the items in a vector, for readers that keep references into it.
struct DescribedTransfers {
    std::vector<TransferItem> items;
    DeviceModel devices;
};
DescribedTransfers AssembleDescribedTransfers(const capture::PacketList& packets,
                                              const Transactions& transactions, bool fold = true,
                                              const EndpointAssumptions* assumptions = nullptr);

} // namespace vintrace::protocol
