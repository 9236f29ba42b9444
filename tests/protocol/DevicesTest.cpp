#include "protocol/Devices.h"
#include "support/BusSequence.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vintrace::protocol {
namespace {

using test::BusSequence;

/// A control transfer with an IN data stage, written as bus packets.
std::string ControlIn(int address, const std::string& setup, const std::string& data) {
    const std::string a = std::to_string(address) + ".0";
    return "SETUP " + a + ", DATA0 " + setup + ", ACK, IN " + a + ", DATA1 " + data +
           ", ACK, OUT " + a + ", DATA1, ACK, ";
}

/// A control transfer without a data stage.
std::string ControlNoData(int address, const std::string& setup) {
    const std::string a = std::to_string(address) + ".0";
    return "SETUP " + a + ", DATA0 " + setup + ", ACK, IN " + a + ", DATA1, ACK, ";
}

const std::string kGetDevice = "8006000100001200";
const std::string kDevice = "120110010000000834124678000101020001";
std::string SetAddress(int n) {
    char text[17];
    std::snprintf(text, sizeof text, "0005%02X0000000000", n);
    return text;
}
// Interface 0 with two alternate settings: endpoint 0x81 is interrupt (8 bytes) in the first
// and isochronous (64 bytes) in the second; endpoint 0x02 is bulk (64 bytes).
const std::string kGetConfiguration = "8006000200003000";
const std::string kConfiguration = "09023000010100A032"
                                   "090400000203000000"
                                   "0705810308000A"
                                   "07050202400000"
                                   "090400010103000000"
                                   "0705810140000A";

struct Built {
    capture::PacketList packets;
    Transactions tx;
    DescribedTransfers described;
};

Built Build(const std::string& bus) {
    Built b;
    b.packets = BusSequence(bus);
    b.tx = GroupTransactions(b.packets);
    b.described = AssembleDescribedTransfers(b.packets, b.tx);
    return b;
}

TEST(DeviceModel, FollowsSetAddress) {
    const std::string bus = ControlIn(0, kGetDevice, kDevice) + ControlNoData(0, SetAddress(5)) +
                            ControlIn(5, kGetConfiguration, kConfiguration) +
                            ControlIn(5, "8006000300000400", "04030904") +
                            ControlIn(5, "8006010309041000", "0C034D006F00750073006500");
    const Built b = Build(bus);
    const auto& devices = b.described.devices.devices();
    ASSERT_EQ(devices.size(), 1u);
    const DeviceInfo& d = devices[0];
    EXPECT_EQ(d.address, 5);
    EXPECT_EQ(d.firstAddress, 0);
    EXPECT_EQ(d.first, 0u);
    ASSERT_TRUE(d.device);
    EXPECT_EQ(d.device->field("idVendor"), 0x1234);
    EXPECT_EQ(d.device->field("idProduct"), 0x7846);
    ASSERT_EQ(d.configurations.count(0), 1u);
    EXPECT_EQ(d.configurations.at(0).interfaces.size(), 2u);
    EXPECT_EQ(d.languages, (std::vector<std::uint16_t>{0x0409}));
    EXPECT_EQ(d.strings, (std::map<std::uint8_t, std::string>{{1, "Mouse"}}));
    EXPECT_TRUE(d.problems.empty());
    // Address 0 is free once the request has completed; address 5 is the device's.
    EXPECT_EQ(b.described.devices.deviceAt(0, 0), 0u);
    EXPECT_EQ(b.described.devices.deviceAt(0, b.packets.size() - 1), std::nullopt);
    EXPECT_EQ(b.described.devices.deviceAt(5, b.packets.size() - 1), 0u);
}

TEST(DeviceModel, AddressReusedAfterResetStartsNewDevice) {
    const std::string first = ControlIn(0, kGetDevice, kDevice) + ControlNoData(0, SetAddress(5));
    const std::string second = ControlIn(0, kGetDevice, "1201000200000040") +
                               ControlNoData(0, SetAddress(5)) +
                               ControlIn(5, kGetDevice, "12010002000000409A0BCD00");
    const Built b = Build(first + "IN 5.1, NAK, " + second);
    const auto& devices = b.described.devices.devices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].address, 5);
    EXPECT_EQ(devices[1].address, 5);
    EXPECT_EQ(devices[0].device->field("idVendor"), 0x1234);
    // The second device's descriptors stay its own; fields it never delivered are absent.
    EXPECT_EQ(devices[1].device->field("idVendor"), 0x0B9A);
    EXPECT_EQ(devices[1].device->field("bNumConfigurations"), std::nullopt);
    const std::size_t nak = BusSequence(first).size(); // the IN 5.1 between the two
    EXPECT_EQ(b.described.devices.deviceAt(5, nak), 0u);
    EXPECT_EQ(b.described.devices.deviceAt(5, b.packets.size() - 1), 1u);
    EXPECT_GT(devices[1].first, nak);
}

TEST(DeviceModel, EndpointsFollowConfigurationAndAlternateSetting) {
    const std::string enumeration =
        ControlIn(3, kGetConfiguration, kConfiguration) + ControlNoData(3, "0009010000000000");
    const DeviceModel plain = Build(enumeration).described.devices;
    const auto interrupt = plain.endpoint(3, 1, Direction::In);
    ASSERT_TRUE(interrupt);
    EXPECT_EQ(interrupt->type, TransferType::Interrupt);
    EXPECT_EQ(interrupt->maxPacketSize, 8);
    const auto bulk = plain.endpoint(3, 2, Direction::Out);
    ASSERT_TRUE(bulk);
    EXPECT_EQ(bulk->type, TransferType::Bulk);
    EXPECT_EQ(plain.endpoint(3, 2, Direction::In), std::nullopt);
    EXPECT_EQ(plain.endpoint(4, 1, Direction::In), std::nullopt);

    // SET_INTERFACE(interface 0, alternate 1).
    const DeviceModel alternate =
        Build(enumeration + ControlNoData(3, "010B010000000000")).described.devices;
    const auto iso = alternate.endpoint(3, 1, Direction::In);
    ASSERT_TRUE(iso);
    EXPECT_EQ(iso->type, TransferType::Isochronous);
    EXPECT_EQ(iso->maxPacketSize, 64);
}

TEST(DeviceModel, DescriptorsGroupBulkTransfers) {
    // 8-byte packets on a 64-byte bulk endpoint are short: each ends its transfer. Without
    // the descriptor the largest packet seen (8) looks full and the two run together.
    const std::string bus = ControlIn(3, kGetConfiguration, kConfiguration) +
                            "OUT 3.2, DATA0 0102030405060708, ACK, "
                            "OUT 3.2, DATA1 0102030405060708, ACK";
    const Built b = Build(bus);
    std::vector<std::string> bulk;
    for (const TransferItem& item : b.described.items) {
        if (item.endpoint == 2) {
            bulk.push_back(ToString(item));
        }
    }
    EXPECT_EQ(bulk, (std::vector<std::string>{"bulk 3.2 out ok tx 3..3 count 1 bytes 8",
                                              "bulk 3.2 out ok tx 4..4 count 1 bytes 8"}));
}

TEST(DeviceModel, ReportsFaultyDescriptorsAtTheirTransfer) {
    // A configuration whose endpoint runs past wTotalLength's end.
    const Built b = Build(ControlIn(2, "8006000200001200",
                                    "09021200010100A032090400000103000000"
                                    "070581"));
    const auto& devices = b.described.devices.devices();
    ASSERT_EQ(devices.size(), 1u);
    ASSERT_EQ(devices[0].problems.size(), 1u);
    EXPECT_EQ(devices[0].problems[0].record, 0u);
    EXPECT_EQ(devices[0].problems[0].what,
              "configuration 0, byte 2: wTotalLength 18 disagrees with the 21 bytes delivered");
}

} // namespace
} // namespace vintrace::protocol
