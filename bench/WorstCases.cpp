#include "WorstCases.h"

#include "capture/UsbCrc.h"
#include "protocol/DeviceTree.h"
#include "protocol/Devices.h"
#include "protocol/Diagnostics.h"

#include <algorithm>
#include <array>

namespace vintrace::bench {

namespace {

constexpr std::uint8_t kSetup = 0x2D, kOut = 0xE1, kIn = 0x69, kAck = 0xD2, kData0 = 0xC3,
                       kData1 = 0x4B;

/// Packets in the capture format: "01 PID", then "00 b" for each further byte.
class Writer {
public:
    void token(std::uint8_t pid, std::uint8_t address, std::uint8_t endpoint) {
        unit(1, pid);
        const std::uint16_t field =
            capture::WithCrc5(static_cast<std::uint16_t>(address | endpoint << 7));
        unit(0, static_cast<std::uint8_t>(field));
        unit(0, static_cast<std::uint8_t>(field >> 8));
    }
    void data(bool one, std::span<const std::uint8_t> payload) {
        unit(1, one ? kData1 : kData0);
        for (std::uint8_t b : payload) {
            unit(0, b);
        }
        const std::uint16_t crc = capture::Crc16(payload);
        unit(0, static_cast<std::uint8_t>(crc));
        unit(0, static_cast<std::uint8_t>(crc >> 8));
    }
    void ack() { unit(1, kAck); }

    /// A control read: SETUP, the data in 64-byte packets, the status stage.
    void controlIn(std::uint8_t address, std::array<std::uint8_t, 8> setup,
                   std::span<const std::uint8_t> data) {
        token(kSetup, address, 0);
        this->data(false, setup);
        ack();
        bool one = true;
        for (std::size_t at = 0; at < data.size() || at == 0; at += 64) {
            token(kIn, address, 0);
            this->data(one, data.subspan(at, std::min<std::size_t>(64, data.size() - at)));
            ack();
            one = !one;
            if (data.empty()) {
                break;
            }
        }
        token(kOut, address, 0);
        this->data(true, {});
        ack();
    }
    /// A control write without a data stage.
    void controlNoData(std::uint8_t address, std::array<std::uint8_t, 8> setup) {
        token(kSetup, address, 0);
        data(false, setup);
        ack();
        token(kIn, address, 0);
        data(true, {});
        ack();
    }

    std::vector<std::uint8_t> bytes;

private:
    void unit(std::uint8_t marker, std::uint8_t value) {
        bytes.push_back(marker);
        bytes.push_back(value);
    }
};

// GET_DESCRIPTOR(report, interface 0) delivering `n` one-byte Collection items, nested `n`
// deep: every listing line indented by its depth once cost n squared.
std::vector<std::uint8_t> NestedCollections(std::size_t n) {
    n = std::min<std::size_t>(n, 0xFFFF);
    const std::vector<std::uint8_t> report(n, 0xA0);
    Writer w;
    w.controlIn(1,
                {0x81, 0x06, 0x00, 0x22, 0x00, 0x00, static_cast<std::uint8_t>(n),
                 static_cast<std::uint8_t>(n >> 8)},
                report);
    return std::move(w.bytes);
}

void ListDevices(const capture::PacketList& packets) {
    const protocol::Transactions tx = protocol::GroupTransactions(packets);
    const protocol::DescribedTransfers described =
        protocol::AssembleDescribedTransfers(packets, tx);
    (void)protocol::BuildDeviceTree(described.devices.devices(), nullptr);
}

// One device elsewhere holds a configuration descriptor (so endpoints are looked up), then
// `n` times a device at address 0 moves to address 5 and sends one bulk OUT: each lookup once
// walked every span, and every device again for each.
std::vector<std::uint8_t> AddressChurn(std::size_t n) {
    static constexpr std::array<std::uint8_t, 25> kConfiguration = {
        0x09, 0x02, 0x19, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x09, 0x04, 0x00, 0x00,
        0x01, 0xFF, 0x00, 0x00, 0x00, 0x07, 0x05, 0x01, 0x02, 0x40, 0x00, 0x00};
    Writer w;
    w.controlIn(9, {0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x19, 0x00}, kConfiguration);
    static constexpr std::array<std::uint8_t, 8> kPayload = {1, 2, 3, 4, 5, 6, 7, 8};
    for (std::size_t i = 0; i < n; ++i) {
        w.controlNoData(0, {0x00, 0x05, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00});
        w.token(kOut, 5, 1);
        w.data(false, kPayload);
        w.ack();
    }
    return std::move(w.bytes);
}

void GroupWithDescriptors(const capture::PacketList& packets) {
    const protocol::Transactions tx = protocol::GroupTransactions(packets);
    (void)protocol::AssembleDescribedTransfers(packets, tx);
}

// `n` GET_DESCRIPTOR(DEVICE) with wLength 8 answered with all 18 bytes, each by another
// device at address 0: `n` control overruns and `n` devices for the checker to follow.
std::vector<std::uint8_t> Overruns(std::size_t n) {
    static constexpr std::array<std::uint8_t, 18> kDevice = {
        0x12, 0x01, 0x10, 0x01, 0, 0, 0, 0x40, 0x09, 0x12, 1, 0, 0, 1, 0, 0, 0, 1};
    Writer w;
    for (std::size_t i = 0; i < n; ++i) {
        w.controlIn(0, {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x08, 0x00}, kDevice);
        w.controlNoData(0, {0x00, 0x05, static_cast<std::uint8_t>(1 + i % 127), 0, 0, 0, 0, 0});
    }
    return std::move(w.bytes);
}

void Check(const capture::PacketList& packets) {
    (void)protocol::DiagnoseCapture(packets);
}

constexpr std::array<WorstCase, 4> kCases = {{
    {"nested-collections", "HID report descriptor of n nested Collection items, devices tree",
     NestedCollections, ListDevices, 8000, 0xFFFF},
    {"address-churn", "n SET_ADDRESS 5 from address 0 each followed by a bulk OUT to 5.1",
     AddressChurn, GroupWithDescriptors, 8000, static_cast<std::size_t>(-1)},
    {"check-address-churn", "check over n SET_ADDRESS 5 each followed by a bulk OUT to 5.1",
     AddressChurn, Check, 8000, static_cast<std::size_t>(-1)},
    {"check-overruns", "check over n devices each answering past wLength (findings capped)",
     Overruns, Check, 8000, static_cast<std::size_t>(-1)},
}};

} // namespace

std::span<const WorstCase> WorstCases() {
    return kCases;
}

} // namespace vintrace::bench
