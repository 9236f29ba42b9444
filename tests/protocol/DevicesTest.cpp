#include "protocol/Devices.h"
#include "protocol/ClassDecoder.h"
#include "protocol/DeviceJson.h"
#include "protocol/DeviceText.h"
#include "protocol/DeviceTree.h"
#include "protocol/TransferSummary.h"
#include "protocol/UsbIds.h"
#include "session/CaptureSession.h"
#include "support/BusSequence.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace vintrace::protocol {
namespace {

using test::BusSequence;
using test::HexOf;

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

// 9.4.6: a device takes its new address after the status stage of SET_ADDRESS; traffic at the
// old address after that is another device's. The pass over control traffic meets it while a
// control transfer of another device is still open and must keep the order of the list.
TEST(DeviceModel, ControlPassKeepsOrderBehindAnOpenControlTransfer) {
    const std::string bus = "SETUP 3.0, DATA0 " + kGetDevice + ", ACK, " + // open until the end
                            "IN 0.1, DATA0, ACK, " + ControlNoData(0, SetAddress(7)) +
                            "IN 0.1, DATA1, ACK, IN 3.0, DATA1 " + kDevice + ", ACK, OUT 3.0, " +
                            "DATA1, ACK";
    const capture::PacketList packets = BusSequence(bus);
    const Transactions tx = GroupTransactions(packets);
    const DeviceModel serial = DeviceModel::Build(packets, tx, AssembleTransfers(packets, tx));
    // Devices at 3, at 0 (moved to 7), and the one at 0 after the move.
    ASSERT_EQ(serial.devices().size(), 3u);
    EXPECT_EQ(serial.devices()[1].address, 7);
    EXPECT_EQ(serial.devices()[2].address, 0);
    const DeviceModel pass = DeviceModel::FromControlTraffic(packets, tx);
    ASSERT_EQ(pass.devices().size(), serial.devices().size());
    for (std::size_t d = 0; d < serial.devices().size(); ++d) {
        EXPECT_TRUE(pass.devices()[d] == serial.devices()[d]) << "device " << d;
    }
}

TEST(DeviceModel, EndpointsFollowConfigurationAndAlternateSetting) {
    const std::string enumeration =
        ControlIn(3, kGetConfiguration, kConfiguration) + ControlNoData(3, "0009010000000000");
    const DeviceModel plain = Build(enumeration).described.devices;
    const auto described = [](const DeviceModel& m, int address, int endpoint, Direction d) {
        return m
            .endpoint(static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(endpoint), d, 0)
            .description;
    };
    const auto interrupt = described(plain, 3, 1, Direction::In);
    ASSERT_TRUE(interrupt);
    EXPECT_EQ(interrupt->type, TransferType::Interrupt);
    EXPECT_EQ(interrupt->maxPacketSize, 8);
    const auto bulk = described(plain, 3, 2, Direction::Out);
    ASSERT_TRUE(bulk);
    EXPECT_EQ(bulk->type, TransferType::Bulk);
    EXPECT_EQ(described(plain, 3, 2, Direction::In), std::nullopt);
    EXPECT_EQ(described(plain, 4, 1, Direction::In), std::nullopt);

    // SET_INTERFACE(interface 0, alternate 1).
    const DeviceModel alternate =
        Build(enumeration + ControlNoData(3, "010B010000000000")).described.devices;
    const auto iso = described(alternate, 3, 1, Direction::In);
    ASSERT_TRUE(iso);
    EXPECT_EQ(iso->type, TransferType::Isochronous);
    EXPECT_EQ(iso->maxPacketSize, 64);
}

// A capture that began after a device's enumeration: its endpoints come from the last device
// at the address that described them, and an answer holds until the address changes hands.
TEST(DeviceModel, EndpointLookupFallsBackAndSaysHowLongItHolds) {
    const std::string described = ControlIn(0, kGetDevice, kDevice) +
                                  ControlNoData(0, SetAddress(4)) +
                                  ControlIn(4, kGetConfiguration, kConfiguration);
    const std::string silent = ControlIn(0, kGetDevice, kDevice) + ControlNoData(0, SetAddress(4));
    const Built b = Build(silent + "OUT 4.2, DATA0 01, ACK, " + described);
    const DeviceModel& m = b.described.devices;
    ASSERT_EQ(m.devices().size(), 2u);
    const std::size_t out = BusSequence(silent).size();
    const EndpointAnswer early = m.endpoint(4, 2, Direction::Out, out);
    ASSERT_TRUE(early.description);
    EXPECT_EQ(early.description->type, TransferType::Bulk);
    // The second SET_ADDRESS 4 ends the first device's span at address 4.
    EXPECT_EQ(early.validUntil,
              BusSequence(silent + "OUT 4.2, DATA0 01, ACK, " + ControlIn(0, kGetDevice, kDevice) +
                          ControlNoData(0, SetAddress(4)))
                  .size());
    EXPECT_EQ(m.endpoint(4, 3, Direction::Out, out).description, std::nullopt);
    EXPECT_EQ(m.endpoint(5, 2, Direction::Out, out).description, std::nullopt);
}

// A device unplugged and another plugged in at the same address: each one's traffic is
// grouped by its own endpoint descriptors, not by the last device's.
TEST(DeviceModel, ReusedAddressGroupsEachDevicesTrafficByItsOwnDescriptors) {
    // Endpoint 0x02 OUT is bulk with 64-byte packets on the first device, 8 on the second.
    const std::string small = "09022000010100A032090400000203000000"
                              "07050202080000";
    const std::string traffic = "OUT 3.2, DATA0 0102030405060708, ACK, "
                                "OUT 3.2, DATA1 0102030405060708, ACK, ";
    const std::string first = ControlIn(0, kGetDevice, kDevice) + ControlNoData(0, SetAddress(3)) +
                              ControlIn(3, kGetConfiguration, kConfiguration) + traffic;
    const std::string second = ControlIn(0, kGetDevice, kDevice) + ControlNoData(0, SetAddress(3)) +
                               ControlIn(3, "8006000200002000", small) + traffic;
    const Built b = Build(first + second);
    ASSERT_EQ(b.described.devices.devices().size(), 2u);
    std::vector<std::string> bulk;
    for (const TransferItem& item : b.described.items) {
        if (item.endpoint == 2) {
            bulk.push_back(ToString(item));
        }
    }
    // First device: two short packets, two transfers. Second: two full packets run together
    // into one transfer still waiting for its short packet.
    ASSERT_EQ(bulk.size(), 3u);
    EXPECT_NE(bulk[0].find("count 1 bytes 8"), std::string::npos) << bulk[0];
    EXPECT_NE(bulk[1].find("count 1 bytes 8"), std::string::npos) << bulk[1];
    EXPECT_NE(bulk[2].find("count 2 bytes 16"), std::string::npos) << bulk[2];
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
    const Built b = Build(ControlIn(2, "8006000200001500",
                                    "09021200010100A032090400000103000000"
                                    "070581"));
    const auto& devices = b.described.devices.devices();
    ASSERT_EQ(devices.size(), 1u);
    ASSERT_EQ(devices[0].problems.size(), 1u);
    EXPECT_EQ(devices[0].problems[0].record, 0u);
    EXPECT_EQ(devices[0].problems[0].what,
              "configuration 0, byte 2: wTotalLength 18 disagrees with the 21 bytes delivered");
}

TEST(DeviceModel, RemembersTheTransferThatDeliveredTheKeptCopyOfEachPart) {
    // Record of the SETUP that opens each transfer: the packets before it.
    std::vector<std::string> transfers = {
        ControlIn(0, "8006000100004000", "1201100100000008"), // device, 8 bytes
        ControlNoData(0, SetAddress(5)),
        ControlIn(5, kGetDevice, kDevice),                            // device, whole
        ControlIn(5, "8006000100000800", "1201100100000008"),         // shorter again
        ControlIn(5, kGetConfiguration, kConfiguration),              // configuration 0
        ControlIn(5, "8006010309041000", "0C034D006F00750073006500"), // string 1
        ControlIn(5, "8006010309041000", "0C034B00650079007300"),     // string 1, cut short
        ControlIn(5, "8106002200004000", "05010902A101C0"),           // report, if. 0
        ControlIn(5, "8006000600000A00", "0A060002000000400100"),     // qualifier
        ControlIn(5, "8006000700003000",
                  kConfiguration.substr(0, 2) + "07" + kConfiguration.substr(4)), // other speed 0
    };
    std::vector<std::size_t> at;
    std::string bus;
    for (const std::string& t : transfers) {
        at.push_back(BusSequence(bus).size());
        bus += t;
    }
    const Built b = Build(bus);
    ASSERT_EQ(b.described.devices.devices().size(), 1u);
    const DeviceInfo::Sources& from = b.described.devices.devices()[0].from;
    EXPECT_EQ(from.device, at[2]);
    EXPECT_EQ(from.configurations, (std::map<std::uint8_t, std::size_t>{{0, at[4]}}));
    EXPECT_EQ(from.strings, (std::map<std::uint8_t, std::size_t>{{1, at[5]}}));
    EXPECT_EQ(from.reportDescriptors, (std::map<std::uint8_t, std::size_t>{{0, at[7]}}));
    EXPECT_EQ(from.qualifier, at[8]);
    EXPECT_EQ(from.otherSpeed, (std::map<std::uint8_t, std::size_t>{{0, at[9]}}));
}

TEST(DeviceModel, KeepsTheLongestCopyAndTakesCutsByTheRequestAsNormal) {
    // 9.3.5: the device returns the first wLength bytes, so a 2-byte length probe is a whole
    // answer; only fewer bytes than both wLength and bLength is a fault.
    const std::string full = ControlIn(5, "8006010309041000", "0C034D006F00750073006500");
    const std::string probe = ControlIn(5, "8006010309040200", "0C03");
    const std::string languages = ControlIn(5, "8006000300000400", "04030904");
    const std::string languageProbe = ControlIn(5, "8006000300000200", "0403");
    struct Case {
        const char* name;
        std::string bus;
        std::vector<std::string> problems;
    };
    const std::vector<Case> cases = {
        {"probe after", full + probe + languages + languageProbe, {}},
        {"probe before", probe + full + languageProbe + languages, {}},
        {"short of both",
         full + ControlIn(5, "8006010309041000", "0C034D00"),
         {"string 1, byte 0: bLength 12 is past the end: 4 bytes left"}},
    };
    for (const Case& c : cases) {
        const Built b = Build(c.bus);
        ASSERT_EQ(b.described.devices.devices().size(), 1u) << c.name;
        const DeviceInfo& d = b.described.devices.devices()[0];
        EXPECT_EQ(d.strings, (std::map<std::uint8_t, std::string>{{1, "Mouse"}})) << c.name;
        EXPECT_EQ(d.from.strings.at(1), BusSequence(c.bus.substr(0, c.bus.find(full))).size())
            << c.name;
        if (c.bus.find(languages) != std::string::npos) {
            EXPECT_EQ(d.languages, (std::vector<std::uint16_t>{0x0409})) << c.name;
        }
        std::vector<std::string> problems;
        for (const DeviceProblem& p : d.problems) {
            problems.push_back(p.what);
        }
        EXPECT_EQ(problems, c.problems) << c.name;
    }
}

TEST(DeviceText, StringWithNulShowsOneWayInDevicesAndTransfers) {
    // "Ab\0": the Devices tree, the CLI (DescriptorFieldText) and a transfer's title agree.
    const std::string bus = ControlIn(0, kGetDevice, "12011001000000083412467800010102") +
                            ControlIn(0, "8006010309041000", "0803410062000000");
    const Built b = Build(bus);
    const DeviceInfo& d = b.described.devices.devices().at(0);
    const std::vector<DeviceTreeRow> tree = BuildDeviceTree(b.described.devices.devices(), nullptr);
    EXPECT_NE(DeviceTreeText(tree).find("\n  String 1: \"Ab\\x00\"\n"), std::string::npos);
    EXPECT_EQ(DescriptorFieldText(d, "iManufacturer", 1, nullptr), "1 Ab\\x00");
    ClassDecoder decoder(b.packets, b.tx, b.described.devices);
    const TransferItem& item = b.described.items.at(1);
    EXPECT_NE(TransferTitle(b.packets, b.tx, item, decoder.decode(item)).find("\"Ab\\x00\""),
              std::string::npos);
}

/// The rows as indented text, each with its packet: "Address 4 ... [34]".
void Render(const std::vector<DeviceTreeRow>& rows, int depth, std::string& out) {
    for (const DeviceTreeRow& r : rows) {
        out += std::string(static_cast<std::size_t>(depth) * 2, ' ') + r.text + " [" +
               std::to_string(r.record) + "]\n";
        Render(r.children, depth + 1, out);
    }
}

std::string RenderTree(const std::vector<DeviceInfo>& devices, const UsbIds* ids) {
    std::string out;
    Render(BuildDeviceTree(devices, ids), 0, out);
    return out;
}

/// Each of `lines` is a whole line of `out`, in this order.
void ExpectLinesInOrder(const std::string& out, const std::vector<std::string>& lines) {
    std::istringstream in(out);
    std::string line;
    auto want = lines.begin();
    while (want != lines.end() && std::getline(in, line)) {
        want += line == *want ? 1 : 0;
    }
    EXPECT_EQ(want, lines.end()) << "missing or out of order: " << *want << "\nin:\n" << out;
}

TEST(DeviceTree, ShowsOnlyWhatTheCaptureHoldsWithTheRecordThatDeliveredIt) {
    const UsbIds ids = UsbIds::Parse("1234  Vendor\n\t7846  Mouse\n"
                                     "C 03  Human Interface Device\n\t01  Boot\n\t\t02  Mouse\n");
    // Interface 0 is a boot mouse; its report descriptor came, the configuration was cut short
    // inside the second endpoint (9.4.3: the device returns at most wLength bytes).
    const std::string configuration = "09022000010100E032"
                                      "090400000203010204"
                                      "0705810308000A"
                                      "070502";
    const std::string named = ControlIn(0, kGetDevice, kDevice) + ControlNoData(0, SetAddress(5)) +
                              ControlIn(5, "8006000200002000", configuration) +
                              ControlIn(5, "8006040309041000", "0A0342006F006F007400") +
                              ControlIn(5, "8106002200000700", "05010902A101C0") +
                              ControlNoData(5, "0009010000000000");
    const std::size_t config =
        BusSequence(ControlIn(0, kGetDevice, kDevice) + ControlNoData(0, SetAddress(5))).size();
    const std::size_t string = config + 9;
    const std::size_t report = string + 9;
    const Built b = Build(named);
    const std::string c = " [" + std::to_string(config) + "]";
    const std::string r = " [" + std::to_string(report) + "]";
    ExpectLinesInOrder(
        RenderTree(b.described.devices.devices(), &ids),
        {"Device at address 5 (first at address 0), from packet 0: ID 1234:7846 Vendor Mouse [0]",
         "    bcdUSB                 1.10 [0]", "    bMaxPacketSize0       8 [0]",
         "    idVendor              0x1234 Vendor [0]", "    bcdDevice              1.00 [0]",
         "  Configuration Descriptor:" + c, "    (not all of wTotalLength was delivered)" + c,
         "      iInterface            4 Boot" + c, "        bmAttributes          0x03" + c,
         "          Transfer Type interrupt" + c,
         "        bEndpointAddress      0x02  EP 2 OUT" + c, "  Configuration set: 1 [0]",
         "  String 4: \"Boot\" [" + std::to_string(string) + "]",
         "  Report Descriptor of interface 0 (7 bytes):" + r, "    End Collection" + r,
         "  Problem at packet " + std::to_string(config) +
             ": configuration 0, byte 28: wTotalLength 32 disagrees with the 28 bytes delivered" +
             c});

    // Without names, numbers; a device that gave half its descriptor and no configuration
    // shows neither IDs nor configurations, and its report descriptor is still there.
    const Built half = Build(ControlIn(7, "8006000100000800", "1201100100000008") +
                             ControlIn(7, "8106002201000700", "05010902A101C0"));
    const std::string out = RenderTree(half.described.devices.devices(), nullptr);
    ExpectLinesInOrder(out,
                       {"Device at address 7, from packet 0 [0]", "    bMaxPacketSize0       8 [0]",
                        "  Report Descriptor of interface 1 (7 bytes): [9]",
                        "    Usage Page (Generic Desktop) [9]"});
    EXPECT_EQ(out.find("idVendor"), std::string::npos);
    EXPECT_EQ(out.find("Configuration"), std::string::npos);
    EXPECT_TRUE(BuildDeviceTree({}, &ids).empty());
}

TEST(DeviceTree, ClassDescriptorsStayUnderWhatTheyFollow) {
    // DFU 1.1 4.1.3 (bmAttributes 0x0B, 255 ms, 1024 bytes, DFU 1.1a) and a MIDI streaming
    // interface whose endpoint carries its class-specific 0x25 (USB MIDI 1.0 6.2.2).
    const std::string configuration = "09023900020100803209040000"
                                      "00FE0102000921"
                                      "0BFF0000041A01"
                                      "090401000101030000"
                                      "07240100014100"
                                      "090501024000000000"
                                      "0525010101";
    const Built b = Build(ControlIn(3, "8006000200003900", configuration));
    ExpectLinesInOrder(RenderTree(b.described.devices.devices(), nullptr),
                       {"    Interface Descriptor: [0]", "      DFU Functional Descriptor: [0]",
                        "        bmAttributes          0x0b [0]",
                        "          can download, can upload, will detach [0]",
                        "        bcdDFUVersion          1.1a [0]", "    Interface Descriptor: [0]",
                        "      MIDI Streaming Header: [0]",
                        "        wTotalLength          0x0041 [0]",
                        "      Endpoint Descriptor: [0]", "        bSynchAddress         0 [0]",
                        "        MIDI Streaming Endpoint Descriptor: [0]",
                        "          baAssocJackID(1)      1 [0]"});
}

/// The field at depth-first `place` of `nodes`; null when there are fewer.
const FieldNode* FieldAt(const std::vector<FieldNode>& nodes, std::size_t& place) {
    for (const FieldNode& node : nodes) {
        if (place == 0) {
            return &node;
        }
        --place;
        if (const FieldNode* found = FieldAt(node.children, place)) {
            return found;
        }
    }
    return nullptr;
}

/// Every row under a row with a detail that names a field names one that says what the row
/// says, each at a place of its own further on.
void ExpectRowsFindTheirFields(const DeviceTreeRow& row, const FieldTree* detail,
                               std::optional<std::size_t>* last) {
    std::optional<std::size_t> own;
    if (row.detail) {
        detail = &*row.detail;
        last = &own;
    } else if (row.field) {
        ASSERT_NE(detail, nullptr) << row.text;
        std::size_t place = *row.field;
        const FieldNode* node = FieldAt(detail->fields, place);
        ASSERT_NE(node, nullptr) << row.text;
        // Report items keep the listing's indentation.
        const std::string text =
            row.text.substr(std::min(row.text.find_first_not_of(' '), row.text.size()));
        const bool same = text.starts_with(node->name) || text == node->value ||
                          (node->name == "Data" && text.starts_with("data:"));
        EXPECT_TRUE(same) << row.text << " -> " << node->name;
        EXPECT_TRUE(!*last || *row.field > **last) << row.text;
        *last = row.field;
    }
    for (const DeviceTreeRow& child : row.children) {
        ExpectRowsFindTheirFields(child, detail, last);
    }
}

/// The rows a listing builds are the full rows without their details and field places.
void ExpectSameRowsWithoutDetails(const DeviceTreeRow& lean, DeviceTreeRow full) {
    EXPECT_FALSE(lean.detail) << lean.text;
    EXPECT_FALSE(lean.field) << lean.text;
    ASSERT_EQ(lean.children.size(), full.children.size()) << full.text;
    for (std::size_t c = 0; c < full.children.size(); ++c) {
        ExpectSameRowsWithoutDetails(lean.children[c], full.children[c]);
    }
    full.detail.reset();
    full.field.reset();
    full.children = lean.children;
    EXPECT_EQ(lean, full) << full.text;
}

void ExpectListingRowsForEach(const std::vector<DeviceInfo>& devices) {
    for (const DeviceInfo& d : devices) {
        ExpectSameRowsWithoutDetails(BuildDeviceRow(d, nullptr, false), BuildDeviceRow(d, nullptr));
    }
}

// A device's row, its languages and each string show the descriptor that delivered them
// (9.6.1, 9.6.7: string 0 lists LANGIDs, others hold UTF-16LE text).
TEST(DeviceTree, DeviceAndStringRowsCarryTheirDescriptors) {
    const Built b =
        Build(ControlIn(3, kGetDevice, kDevice) + ControlIn(3, "8006000300000400", "04030904") +
              ControlIn(3, "8006010309041000", "0A0342006F006F007400"));
    const std::vector<DeviceTreeRow> tree = BuildDeviceTree(b.described.devices.devices(), nullptr);
    ASSERT_EQ(tree.size(), 1u);
    const DeviceTreeRow& device = tree[0];
    ASSERT_TRUE(device.detail);
    EXPECT_EQ(HexOf(device.detail->payload), kDevice);
    EXPECT_EQ(device.detail->fields.at(0).name, "Device Descriptor");

    std::map<std::string, std::string> shown; // row text -> payload, then fields
    for (const DeviceTreeRow& row : device.children) {
        if (row.text.starts_with("Languages") || row.text.starts_with("String")) {
            ASSERT_TRUE(row.detail) << row.text;
            std::string fields = HexOf(row.detail->payload);
            for (const FieldNode& node : row.detail->fields) {
                fields += "\n" + ToString(node);
            }
            shown[row.text] = fields;
        }
    }
    EXPECT_EQ(shown, (std::map<std::string, std::string>{
                         {"Languages: 0x0409", "04030904\n"
                                               "String Descriptor =  [0+4]\n"
                                               "  bLength = 4 [0+1]\n"
                                               "  bDescriptorType = 3 [1+1]\n"
                                               "  wLANGID = 0x0409 [2+2]\n"},
                         {"String 1: \"Boot\"", "0A0342006F006F007400\n"
                                                "String Descriptor = \"Boot\" [0+10]\n"
                                                "  bLength = 10 [0+1]\n"
                                                "  bDescriptorType = 3 [1+1]\n"
                                                "  bString = \"Boot\" [2+8]\n"}}));
    // Where each came from: the languages are no longer the device's own packet.
    EXPECT_EQ(b.described.devices.devices()[0].from.strings,
              (std::map<std::uint8_t, std::size_t>{{0, 9}, {1, 18}}));
}

// Report descriptors repeat items word for word ("Usage Page (Keyboard/Keypad)" twice in the
// badge's keyboard): each row still finds its own field.
TEST(DeviceTree, EveryFieldRowFindsItsOwnField) {
    session::CaptureSession session;
    ASSERT_TRUE(session.open(VINTRACE_TEST_DATA "/fs-badge.dat").ok());
    for (const DeviceTreeRow& row : BuildDeviceTree(session.devices().devices(), nullptr)) {
        std::optional<std::size_t> last;
        ExpectRowsFindTheirFields(row, nullptr, &last);
    }
}

// A device that describes itself to Windows and browsers: its BOS (WebUSB and Microsoft OS 2.0
// platform capabilities), the Microsoft OS 1.0 string at 0xEE naming vendor code 0x20, and the
// compat ID read with that code (wIndex 4). Devices, transfers and the detail agree.
TEST(DeviceTree, BosAndMicrosoftOsDescriptors) {
    const std::string bos = "050F390002"
                            "1810050038B60834A909A0478BFDA0768815B66500010101"
                            "1C100500DF60DDD88945C74C9CD2659D9E648A9F0000030648000100";
    const std::string compat = "28000000000104000100000000000000"
                               "000157494E55534200000000000000000000000000000000";
    const Built b =
        Build(ControlIn(3, kGetDevice, kDevice) + ControlIn(3, "8006000F00003900", bos) +
              ControlIn(3, "8006EE0300001200", "12034D005300460054003100300030002000") +
              ControlIn(3, "C020000004002800", compat));
    const DeviceInfo& d = b.described.devices.devices().at(0);
    EXPECT_EQ(d.bos.size(), 57u);
    EXPECT_EQ(d.msOsVendorCode, 0x20);
    EXPECT_EQ(d.msCompatId.size(), 40u);
    EXPECT_EQ(d.strings.at(0xEE), "MSFT100");
    EXPECT_TRUE(d.problems.empty()) << d.problems.front().what;

    ExpectLinesInOrder(RenderTree(b.described.devices.devices(), nullptr),
                       {"  BOS Descriptor: [9]", "    wTotalLength          57 [9]",
                        "    Platform (WebUSB): [9]",
                        "      PlatformCapabilityUUID {3408b638-09a9-47a0-8bfd-a0768815b665} [9]",
                        "      iLandingPage          1 [9]", "    Platform (Microsoft OS 2.0): [9]",
                        "      bMS_VendorCode        0x01 [9]", "  String 238: \"MSFT100\" [18]",
                        "  MS OS 1.0 vendor code: 0x20 [18]", "  MS OS 1.0 Compat ID: [27]",
                        "    Function 0: [27]", "      compatibleID          WINUSB [27]"});
    for (const DeviceTreeRow& row : BuildDeviceTree(b.described.devices.devices(), nullptr)) {
        std::optional<std::size_t> last;
        ExpectRowsFindTheirFields(row, nullptr, &last);
    }
    ExpectListingRowsForEach(b.described.devices.devices());

    ClassDecoder decoder(b.packets, b.tx, b.described.devices);
    std::vector<std::string> titles;
    for (const TransferItem& item : b.described.items) {
        titles.push_back(TransferTitle(b.packets, b.tx, item, decoder.decode(item)));
    }
    ASSERT_EQ(titles.size(), 4u);
    EXPECT_EQ(titles[1], "GET_DESCRIPTOR BOS; Platform (WebUSB), Platform (Microsoft OS 2.0)");
    EXPECT_EQ(titles[2], "GET_DESCRIPTOR STRING; MS OS 1.0, vendor code 0x20");
    EXPECT_EQ(titles[3], "MS OS 1.0 compat ID: WINUSB");

    const FieldTree fields =
        TransferFields(b.packets, b.tx, b.described.devices, b.described.items[3]);
    ASSERT_EQ(fields.fields.size(), 2u);
    ASSERT_EQ(fields.fields[1].children.size(), 1u);
    const FieldNode& node = fields.fields[1].children[0];
    EXPECT_EQ(node.name, "MS OS 1.0 Compat ID");
    EXPECT_EQ(node.offset, 8u);
    EXPECT_EQ(node.length, 40u);
    EXPECT_EQ(ToString(node.children.at(4)), "Function 0 =  [24+24]\n"
                                             "  bFirstInterfaceNumber = 0 [24+1]\n"
                                             "  compatibleID = WINUSB [26+8]\n"
                                             "  subCompatibleID =  [34+8]\n");

    const std::string json = DevicesJson(b.described.devices.devices(), nullptr);
    EXPECT_NE(json.find("\"bos\": {\"wTotalLength\": 57, \"bNumDeviceCaps\": 2, \"capabilities\": "
                        "[{\"name\": \"Platform (WebUSB)\", \"bDevCapabilityType\": 5"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"PlatformCapabilityUUID\": \"{d8dd60df-4589-4cc7-9cd2-659d9e648a9f}\", "
                        "\"dwWindowsVersion\": 100859904"),
              std::string::npos);
    EXPECT_NE(json.find("\"ms_os\": {\"vendor_code\": 32, \"compat_id\": {\"dwLength\": 40"),
              std::string::npos);
    EXPECT_NE(json.find("\"compatibleID\": \"WINUSB\""), std::string::npos);
}

TEST(DeviceTree, TextIsTheDevicesCommandsListing) {
    session::CaptureSession session;
    ASSERT_TRUE(session.open(VINTRACE_TEST_DATA "/fs-badge.dat").ok());
    const std::vector<DeviceTreeRow> tree = BuildDeviceTree(session.devices().devices(), nullptr);
    ASSERT_EQ(tree.size(), 2u);
    std::ifstream golden(VINTRACE_TEST_DATA "/fs-badge.devices.txt");
    const std::string listed((std::istreambuf_iterator<char>(golden)),
                             std::istreambuf_iterator<char>());
    EXPECT_EQ(DeviceTreeText(tree), listed);
    EXPECT_FALSE(listed.empty());
    // The command builds its rows without details (strings, report descriptors).
    ExpectListingRowsForEach(session.devices().devices());
}

} // namespace
} // namespace vintrace::protocol
