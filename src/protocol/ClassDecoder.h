#pragma once

#include "capture/PacketList.h"
#include "capture/SetupRequest.h"
#include "protocol/Devices.h"
#include "protocol/HidReport.h"
#include "protocol/Transactions.h"
#include "protocol/Transfers.h"
#include "protocol/VendorSerial.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vintrace::protocol {

/// How a decoded text's headline (its first line) stands with the item's own few words when
/// both make one title.
enum class HeadlineUse : std::uint8_t {
    /// More about the request: "GET_DESCRIPTOR DEVICE; device 303A:1001".
    Append,
    /// How much of it came: "GET_DESCRIPTOR CONFIGURATION (9 of 34 bytes)".
    Aside,
    /// Says all the item's words say and more: a class request by name, a report, a command.
    Replace,
};

/// What a transfer carries: a headline, then detail lines ("SCSI READ(10) LBA 2048 × 8\n
/// CBW tag 0x10, LUN 0, IN 4096 bytes").
struct Decoded {
    std::string text;
    HeadlineUse use = HeadlineUse::Append;

    friend bool operator==(const Decoded&, const Decoded&) = default;
};

/// Says what transfers carry, by the class of the interface they go to: HID requests and
/// reports, CDC ACM line settings and text, mass-storage command and status wrappers with
/// their SCSI commands, hub requests and port status, and the recipient of standard requests.
/// Feed it the transfers in capture order: a mass-storage data stage is read by the command
/// before it.
class ClassDecoder {
public:
    ClassDecoder(const capture::PacketList& packets, const Transactions& transactions,
                 const DeviceModel& devices)
        : packets_(packets), tx_(transactions), devices_(devices), deviceAt_(devices) {}
    /// Its per-device facts point into its own tables.
    ClassDecoder(const ClassDecoder&) = delete;
    ClassDecoder& operator=(const ClassDecoder&) = delete;

    /// What the item carries beyond its request line; nothing when there is nothing to add.
    std::optional<Decoded> decode(const TransferItem& item);
    /// True when what decode() says of the item depends on the items before it, or changes
    /// what it says of later ones (the wrappers and data stages of a mass-storage interface).
    /// Any other item decodes the same in any decoder over the same capture, in any order.
    bool keepsState(const TransferItem& item);

private:
    using InterfaceKey = std::pair<std::size_t, std::uint8_t>; // device index, interface
    /// The last command wrapper of an interface: for its data stage and its status.
    struct Command {
        std::uint8_t operation = 0;
        bool hasOperation = false;
        std::uint32_t tag = 0;
        std::string name;
    };

    /// What data() asks of a device's descriptors, looked up once: the model stays as it is
    /// while the list is decoded, and each lookup walks descriptor fields by name.
    struct DeviceFacts {
        bool known = false;
        bool hub = false;
        std::optional<SerialChip> chip;
        std::array<bool, 32> looked{}; // by endpoint number, IN 16 more
        std::array<const InterfaceDescription*, 32> interfaces{};
        std::array<std::uint8_t, 32> classes{}; // bInterfaceClass, 0xFF without one
        std::array<bool, 32> readerLooked{};
        std::array<const HidReportReader*, 32> readers{};
    };
    DeviceFacts& factsOf(const DeviceInfo& device);
    /// An endpoint's place in DeviceFacts' arrays (endpoints 0 to 15).
    static std::size_t FactSlot(std::uint8_t endpoint, Direction direction) {
        return endpoint + (direction == Direction::In ? 16u : 0u);
    }
    /// The interface that holds the endpoint, with its class in `cls` (InterfaceClass).
    const InterfaceDescription* interfaceOf(DeviceFacts& facts, const DeviceInfo& device,
                                            std::uint8_t endpoint, Direction direction,
                                            std::uint8_t& cls);

    /// The report reader of the HID interface that holds the endpoint.
    const HidReportReader* readerOf(DeviceFacts& facts, const DeviceInfo& device,
                                    const InterfaceDescription& interface, std::uint8_t endpoint,
                                    Direction direction);

    std::optional<Decoded> control(const TransferItem& item, const DeviceInfo* device);
    std::optional<std::string> data(const TransferItem& item, const DeviceInfo& device);
    /// The interface's report descriptor, parsed on first use: a device sends thousands of
    /// reports by one descriptor.
    const HidReportReader* reportDescriptor(const DeviceInfo& device,
                                            const InterfaceDescription& interface);

    const capture::PacketList& packets_;
    const Transactions& tx_;
    const DeviceModel& devices_;
    DeviceAtCache deviceAt_;
    std::map<InterfaceKey, Command> commands_;
    std::map<InterfaceKey, HidReportReader> reportDescriptors_;
    std::vector<DeviceFacts> facts_; // by device index
    /// Whether any device has a mass-storage interface; known once keepsState() asked.
    std::optional<bool> massStorage_;
    /// The payload of the item being decoded, one buffer for all of them.
    std::vector<std::uint8_t> payload_;
};

/// The decoders one by one, over bytes (each bounds-checked; nothing when too short).
std::string DescribeHidRequest(const capture::SetupRequest& r);
std::string DescribeCdcRequest(const capture::SetupRequest& r, std::span<const std::uint8_t> data);
/// CDC line coding (PSTN 1.2 6.3.11): "115200 8N1", or each value named when they are unusual.
std::string DescribeLineCoding(std::span<const std::uint8_t> data);
/// A DFU class request (DFU 1.1 3), with the status and state names of a GETSTATUS answer.
std::string DescribeDfuRequest(const capture::SetupRequest& r, std::span<const std::uint8_t> data);
/// "OK", "errTARGET", ... (DFU 1.1 6.1.2)
std::string_view DfuStatusName(std::uint8_t status);
/// "appIDLE", "dfuIDLE", "dfuDNLOAD-SYNC", ... (DFU 1.1 6.1.2)
std::string_view DfuStateName(std::uint8_t state);
std::string DescribeHubRequest(const capture::SetupRequest& r, std::span<const std::uint8_t> data);
/// A command wrapper: "SCSI INQUIRY\nCBW tag 0x1, LUN 0, IN 36 bytes"; a status wrapper:
/// "CSW passed, residue 0\nCSW tag 0x1"; nothing for bytes that are neither.
std::optional<std::string> DescribeMassStorage(std::span<const std::uint8_t> data);
/// A SCSI command block: "READ(10) LBA 2048 × 8" (UTF-8), "INQUIRY", "operation 0xC1".
std::string DescribeScsiCommand(std::span<const std::uint8_t> cdb);
/// A data stage read by the command that asked for it (INQUIRY, READ CAPACITY, REQUEST SENSE);
/// nothing for others.
std::optional<std::string> DescribeScsiData(std::uint8_t operation,
                                            std::span<const std::uint8_t> data);
/// "NOT READY", "ILLEGAL REQUEST", ...
std::string_view SenseKeyName(std::uint8_t key);
/// The name of an additional sense code and qualifier; nothing when it is not a common one.
std::optional<std::string_view> AdditionalSenseName(std::uint8_t asc, std::uint8_t ascq);
/// Bytes as text when they are printable (tabs and line ends allowed, shown escaped):
/// "text \"AT\\r\\n\""; nothing otherwise.
std::optional<std::string> PrintableText(std::span<const std::uint8_t> data);

} // namespace vintrace::protocol
