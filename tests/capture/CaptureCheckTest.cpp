#include "capture/CaptureCheck.h"
#include "capture/CaptureDecoder.h"
#include "capture/SetupRequest.h"
#include "support/CaptureBytes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vintrace::capture {
namespace {

using test::Hex;

/// A capture from packets written as hex, PID first: "2D 03 50" is a SETUP to 3/0.
PacketList Capture(const std::vector<const char*>& packets) {
    std::vector<std::uint8_t> dat;
    for (const char* p : packets) {
        const auto bytes = Hex(p);
        test::Append(dat, test::Packet(bytes[0], {bytes.begin() + 1, bytes.end()}));
    }
    PacketList list;
    ParseCaptureFile(dat, list);
    return list;
}

std::vector<std::string> Texts(const PacketList& list) {
    std::vector<std::string> out;
    for (Findings f : CheckCapture(list)) {
        out.push_back(FindingsText(f));
    }
    return out;
}

// Good tokens to address 3 (CRC5 included): SETUP/IN/OUT on endpoint 0, 1 and 2.
constexpr const char* kSetup0 = "2D 03 50";
constexpr const char* kIn0 = "69 03 50";
constexpr const char* kIn1 = "69 83 E0";
constexpr const char* kOut2 = "E1 03 79";
constexpr const char* kAck = "D2";
constexpr const char* kNak = "5A";

TEST(CaptureCheck, FindsEachKindOfFault) {
    struct Case {
        const char* name;
        std::vector<const char*> packets;
        std::vector<std::string> want;
    };
    const std::vector<Case> cases = {
        {"good SOF, then one bit of its CRC5 flipped", {"A5 64 F8", "A5 64 F0"}, {"ok", "crc5"}},
        {"token CRC5", {"69 83 E8"}, {"crc5"}},
        {"data CRC16 good and bad",
         {"C3 01 02 03 04 5E D4", "C3 01 02 03 04 5E D5"},
         {"ok", "crc16"}},
        {"zero-length data", {"4B 00 00"}, {"ok"}},
        {"data shorter than a CRC", {"C3 12"}, {"length"}},
        {"cut token: length only", {"69 03"}, {"length"}},
        {"token with a third byte", {"69 03 50 00"}, {"length"}},
        {"handshake with a byte", {"C3 00 00", "D2 00"}, {"ok", "length"}},
        {"check nibble", {"3C", "96", "77", "FF"}, {"ok", "ok", "pid", "pid"}},
        {"handshake answering nothing", {kAck}, {"handshake"}},
        {"IN answered by NAK, STALL or ACK",
         {kIn1, kNak, kIn1, "1E", kIn1, kAck},
         {"ok", "ok", "ok", "ok", "ok", "handshake"}},
        {"OUT answered without data", {kOut2, kAck}, {"ok", "handshake"}},
        {"second handshake", {"C3 00 00", kNak, kNak}, {"ok", "ok", "handshake"}},
        {"preamble between token and handshake", {kIn1, "3C", kNak}, {"ok", "ok", "ok"}},
        {"SETUP with DATA1",
         {kSetup0, "4B 80 06 00 02 00 00 09 00 AE 04", kAck},
         {"ok", "toggle", "ok"}},
        {"control read: setup, DATA1 data, DATA1 status",
         {kSetup0, "C3 80 06 00 01 00 00 12 00 E0 F4", kAck, kIn0, "4B 00 00", kAck, "E1 03 50",
          "4B 00 00", kAck},
         {"ok", "ok", "ok", "ok", "ok", "ok", "ok", "ok", "ok"}},
        {"first data on an endpoint is not judged, then alternation",
         {kOut2, "4B 00 00", kAck, kOut2, "C3 00 00", kAck, kOut2, "C3 00 00", kAck},
         {"ok", "ok", "ok", "ok", "ok", "ok", "ok", "toggle", "ok"}},
        {"a NAKed packet is sent again with the same toggle",
         {kOut2, "C3 00 00", kAck, kOut2, "4B 00 00", kNak, kOut2, "4B 00 00", kAck},
         {"ok", "ok", "ok", "ok", "ok", "ok", "ok", "ok", "ok"}},
        {"directions are separate",
         {kOut2, "C3 00 00", kAck, "69 03 79", "C3 00 00", kAck},
         {"ok", "ok", "ok", "ok", "ok", "ok"}},
        {"SET_CONFIGURATION resets the device's endpoints to DATA0",
         {kOut2, "C3 00 00", kAck, kSetup0, "C3 00 09 01 00 00 00 00 00 27 25", kAck, kOut2,
          "C3 00 00", kAck},
         {"ok", "ok", "ok", "ok", "ok", "ok", "ok", "ok", "ok"}},
        {"CLEAR_FEATURE(ENDPOINT_HALT) resets the endpoint it names",
         {kIn1, "C3 00 00", kAck, kSetup0, "C3 02 01 00 00 81 00 00 00 06 D1", kAck, kIn1,
          "4B 00 00", kAck},
         {"ok", "ok", "ok", "ok", "ok", "ok", "ok", "toggle", "ok"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Texts(Capture(c.packets)), c.want) << c.name;
    }
}

// The length counts modulo 256; once it has wrapped it is below the bytes kept, and the
// packet can be neither measured nor CRC-checked.
TEST(CaptureCheck, DataWhoseLengthWrappedIsALengthFault) {
    const struct {
        std::size_t received;
        const char* want;
    } cases[] = {{70, "ok"}, {255, "ok"}, {256, "length"}, {258, "length"}, {300, "length"}};
    for (const auto& c : cases) {
        std::vector<std::uint8_t> dat;
        test::Append(dat, test::Packet(0xC3, std::vector<std::uint8_t>(c.received, 0x55)));
        PacketList list;
        ParseCaptureFile(dat, list);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(FindingsText(CheckCapture(list)[0]), c.want) << c.received << " bytes";
    }
}

TEST(CaptureCheck, NamesSeveralFindingsInAFixedOrder) {
    EXPECT_EQ(FindingsText(0), "ok");
    EXPECT_EQ(FindingsText(kFindingHandshake | kFindingCrc5 | kFindingToggle),
              "crc5,toggle,handshake");
    EXPECT_EQ(FindingsText(0x3F), "crc5,crc16,pid,length,toggle,handshake");
}

TEST(SetupRequest, DecodesStandardRequests) {
    struct Case {
        const char* payload;
        const char* want;
    };
    const Case cases[] = {
        {"80 06 00 01 00 00 40 00",
         "GET_DESCRIPTOR DEVICE index 0 (standard, device-to-host, device) wValue=0x0100 "
         "wIndex=0x0000 wLength=64"},
        {"80 06 02 03 09 04 FF 00",
         "GET_DESCRIPTOR STRING index 2 (standard, device-to-host, device) wValue=0x0302 "
         "wIndex=0x0409 wLength=255"},
        {"81 06 00 22 00 00 4A 00",
         "GET_DESCRIPTOR REPORT index 0 (standard, device-to-host, interface) wValue=0x2200 "
         "wIndex=0x0000 wLength=74"},
        {"80 06 00 7E 00 00 08 00",
         "GET_DESCRIPTOR type 126 index 0 (standard, device-to-host, device) wValue=0x7E00 "
         "wIndex=0x0000 wLength=8"},
        {"00 05 05 00 00 00 00 00",
         "SET_ADDRESS 5 (standard, host-to-device, device) wValue=0x0005 wIndex=0x0000 "
         "wLength=0"},
        {"00 09 01 00 00 00 00 00",
         "SET_CONFIGURATION 1 (standard, host-to-device, device) wValue=0x0001 "
         "wIndex=0x0000 wLength=0"},
        {"02 01 00 00 81 00 00 00",
         "CLEAR_FEATURE ENDPOINT_HALT (standard, host-to-device, endpoint) wValue=0x0000 "
         "wIndex=0x0081 wLength=0"},
        {"00 03 01 00 00 00 00 00",
         "SET_FEATURE DEVICE_REMOTE_WAKEUP (standard, host-to-device, device) "
         "wValue=0x0001 wIndex=0x0000 wLength=0"},
        {"01 0B 01 00 02 00 00 00",
         "SET_INTERFACE 2 alternate 1 (standard, host-to-device, interface) wValue=0x0001 "
         "wIndex=0x0002 wLength=0"},
        {"80 00 00 00 00 00 02 00",
         "GET_STATUS (standard, device-to-host, device) wValue=0x0000 wIndex=0x0000 "
         "wLength=2"},
        {"82 0C 00 00 83 00 02 00",
         "SYNCH_FRAME (standard, device-to-host, endpoint) wValue=0x0000 wIndex=0x0083 "
         "wLength=2"},
        {"A1 01 00 01 00 00 08 00",
         "class request 1 (class, device-to-host, interface) wValue=0x0100 wIndex=0x0000 "
         "wLength=8"},
        {"C0 33 00 00 00 00 02 00",
         "vendor request 51 (vendor, device-to-host, device) wValue=0x0000 wIndex=0x0000 "
         "wLength=2"},
        {"80 02 00 00 00 00 00 00",
         "standard request 2 (standard, device-to-host, device) wValue=0x0000 wIndex=0x0000 "
         "wLength=0"},
        {"1F 0D 00 00 00 00 00 00",
         "standard request 13 (standard, host-to-device, recipient 31) wValue=0x0000 "
         "wIndex=0x0000 wLength=0"},
    };
    for (const Case& c : cases) {
        const auto request = ParseSetupRequest(Hex(c.payload));
        ASSERT_TRUE(request) << c.payload;
        EXPECT_EQ(DescribeSetupRequest(*request), c.want) << c.payload;
    }
    EXPECT_FALSE(ParseSetupRequest(Hex("80 06 00 01 00 00 40")));
}

TEST(SetupRequest, OnlyTheDataOfASetupTransactionCarriesOne) {
    const PacketList list = Capture({
        kSetup0, "3C", "C3 80 06 00 01 00 00 40 00 DD 94", kAck, // a preamble in between
        kOut2, "C3 80 06 00 01 00 00 40 00 DD 94", kAck,         // the data of an OUT
        kSetup0, "4B 80 06 00 01 00 00 40 00 DD 94",             // DATA1
        kSetup0, "C3 80 06 00 01 00 00 40 DD 94",                // 7 payload bytes
        "C3 80 06 00 01 00 00 40 00 DD 94",                      // no token before
    });
    std::vector<std::size_t> carriers;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (SetupRequestAt(list, i)) {
            carriers.push_back(i);
        }
    }
    EXPECT_EQ(carriers, std::vector<std::size_t>{2});
    EXPECT_FALSE(SetupRequestAt(list, list.size()));
}

} // namespace
} // namespace vintrace::capture
