#include "protocol/EndpointAssumptions.h"

#include "protocol/ClassDecoder.h"
#include "protocol/DeviceJson.h"
#include "protocol/DeviceTree.h"
#include "protocol/Devices.h"
#include "protocol/VendorSerial.h"
#include "support/BusSequence.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace vintrace::protocol {
namespace {

using test::BusSequence;

struct ParseCase {
    const char* text;
    unsigned address;
    unsigned endpoint;
    std::optional<Direction> direction;
    AssumedKind kind;
    bool insisted;
};

TEST(EndpointAssumptions, ReadsAddressEndpointAndKind) {
    const ParseCase cases[] = {
        {"5.1=bulk", 5, 1, std::nullopt, AssumedKind::Bulk, false},
        {"0x5.0x81=hid-boot-mouse", 5, 1, Direction::In, AssumedKind::HidBootMouse, false},
        {"127.15=midi!", 127, 15, std::nullopt, AssumedKind::Midi, true},
        {"3.0x02=ftdi", 3, 2, std::nullopt, AssumedKind::Ftdi, false},
        {"0.1=isochronous", 0, 1, std::nullopt, AssumedKind::Isochronous, false},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.text);
        const AssumptionParse p = ParseAssumption(c.text);
        ASSERT_TRUE(p.assumed) << p.error;
        EXPECT_EQ(p.address, c.address);
        EXPECT_EQ(p.endpoint, c.endpoint);
        EXPECT_EQ(p.direction, c.direction);
        EXPECT_EQ(p.assumed->kind, c.kind);
        EXPECT_EQ(p.assumed->insisted, c.insisted);
    }
}

TEST(EndpointAssumptions, RefusesWhatIsNoneAndSaysWhy) {
    const std::pair<const char*, const char*> cases[] = {
        {"5.1", "not an assumption"},
        {"5=bulk", "not an assumption"},
        {"5.1=", "unknown kind"},
        {"5.1=serial", "kinds: interrupt, bulk, isochronous, hid-boot-mouse"},
        {"5.1=Bulk", "unknown kind"},
        {"5.1=bulk!!", "unknown kind"},
        {"128.1=bulk", "not a device address"},
        {"5.16=bulk", "not an endpoint"},
        {"5.0x01x=bulk", "not an endpoint"},
        {"5.0=bulk", "endpoint 0 is the control endpoint"},
        {"5.0x80=bulk", "endpoint 0 is the control endpoint"},
        {"", "not an assumption"},
    };
    for (const auto& [text, error] : cases) {
        SCOPED_TRACE(text);
        const AssumptionParse p = ParseAssumption(text);
        EXPECT_FALSE(p.assumed);
        EXPECT_NE(p.error.find(error), std::string::npos) << p.error;
    }
}

TEST(EndpointAssumptions, LaterTextsReplaceEarlierOnesPerDirection) {
    std::string error;
    const std::vector<std::string> texts = {"5.1=bulk", "5.0x81=interrupt!", "6.2=cdc-data"};
    auto set = EndpointAssumptions::Parse(texts, error);
    ASSERT_TRUE(set) << error;
    EXPECT_EQ(ToString(*set), "5.0x01=bulk 5.0x81=interrupt! 6.0x02=cdc-data 6.0x82=cdc-data");
    set->drop(6, 2, Direction::Out);
    set->drop(5, 1, std::nullopt);
    EXPECT_EQ(ToString(*set), "6.0x82=cdc-data");
    const std::vector<std::string> wrong = {"5.1=bulk", "5.1=nothing"};
    EXPECT_FALSE(EndpointAssumptions::Parse(wrong, error));
    EXPECT_NE(error.find("nothing"), std::string::npos);
}

/// A control transfer with an IN data stage, written as bus packets.
std::string ControlIn(const std::string& setup, const std::string& data) {
    return "SETUP 3.0, DATA0 " + setup + ", ACK, IN 3.0, DATA1 " + data +
           ", ACK, OUT 3.0, DATA1, ACK, ";
}
std::string ControlNoData(const std::string& setup) {
    return "SETUP 3.0, DATA0 " + setup + ", ACK, IN 3.0, DATA1, ACK, ";
}

/// The enumeration a capture that began late has missed: the device descriptor (when the
/// class is known by the IDs), a configuration with one interface of the given class and
/// endpoints 0x81 and 0x02 of the given type (bmAttributes), and SET_CONFIGURATION.
std::string Enumeration(const std::string& ids, const std::string& classCodes,
                        const std::string& type, const std::string& report = "") {
    std::string bus;
    if (!ids.empty()) {
        bus += ControlIn("8006000100001200", "1201100100000040" + ids + "000101020001");
    }
    const std::string configuration = "09022000010100A032" // 32 bytes, one interface
                                      "0904000002" +
                                      classCodes + "00" + "070581" + type + "400001" + "070502" +
                                      type + "400001";
    bus += ControlIn("8006000200002000", configuration);
    bus += ControlNoData("0009010000000000");
    if (!report.empty()) {
        // GET_DESCRIPTOR(Report) of interface 0 (HID 1.11 7.1.1), wLength its size.
        char length[5];
        std::snprintf(length, sizeof length, "%02X00", static_cast<unsigned>(report.size() / 2));
        bus += ControlIn(std::string("810600220000") + length, report);
    }
    return bus;
}

/// Type, endpoint, direction and decoded text of each item from record `from` on.
std::vector<std::string> Decode(const std::string& bus, std::size_t from,
                                const EndpointAssumptions& assumptions,
                                DeviceModel* model = nullptr) {
    const capture::PacketList packets = BusSequence(bus);
    const Transactions tx = GroupTransactions(packets);
    DescribedTransfers described = AssembleDescribedTransfers(packets, tx, true, &assumptions);
    ClassDecoder decoder(packets, tx, described.devices);
    std::vector<std::string> out;
    for (const TransferItem& item : described.items) {
        const auto decoded = decoder.decode(item);
        if (FirstRecord(tx, item) >= from) {
            out.push_back(std::string(TypeName(item.type)) + " " + std::to_string(item.endpoint) +
                          " " + std::string(DirectionName(item.direction)) + ": " +
                          (decoded ? decoded->text : "-"));
        }
    }
    if (model != nullptr) {
        *model = std::move(described.devices);
    }
    return out;
}

EndpointAssumptions Assume(std::vector<std::string> texts) {
    std::string error;
    auto set = EndpointAssumptions::Parse(texts, error);
    EXPECT_TRUE(set) << error;
    return set ? *set : EndpointAssumptions{};
}

struct KindCase {
    std::vector<std::string> assumptions;
    const char* ids;     // VID:PID little-endian, for the kinds known by them
    const char* classes; // bInterfaceClass, SubClass, Protocol
    const char* type;    // bmAttributes of the endpoints
    std::string traffic;
    const char* expect;      // some text a decoder gives
    const char* report = ""; // the report descriptor the whole capture delivers
};

// A capture that began after enumeration, with the kind assumed, reads as the whole capture
// does: the same item types and the same class texts for the same transfers.
TEST(EndpointAssumptions, LateCaptureDecodesAsTheWholeCapture) {
    const std::string cbw = "55534243"
                            "10000000"
                            "24000000"
                            "80"
                            "00"
                            "06"
                            "120000002400"
                            "00000000000000000000";
    const std::string inquiry = "0080020220000000"
                                "56494E5452414345" // "VINTRACE"
                                "4449534B20202020"
                                "2020202020202020"
                                "312E3030";
    const std::string csw = "55534253"
                            "10000000"
                            "00000000"
                            "00";
    const KindCase cases[] = {
        // HID 1.11 B.2: buttons, X, Y.
        {{"3.0x81=hid-boot-mouse"},
         "",
         "030102",
         "03",
         "IN 3.1, DATA0 01FE03, ACK, IN 3.1, DATA1 000100, ACK, ",
         "Button 1",
         // HID 1.11 E.10: the boot mouse's report descriptor.
         "05010902A1010901A100050919012903150025019503750181029501750581010501093009311581"
         "257F750895028106C0C0"},
        // HID 1.11 B.1: modifiers, reserved, six key codes.
        {{"3.1=hid-boot-keyboard"},
         "",
         "030101",
         "03",
         "IN 3.1, DATA0 0200040000000000, ACK, IN 3.1, DATA1 0000000000000000, ACK, ",
         "a",
         // HID 1.11 E.6: the boot keyboard's report descriptor.
         "05010906A101050719E029E71500250175019508810295017508810195057501050819012905910295"
         "017503910195067508150025650507190029658100C0"},
        // CDC 1.2 4.5: the data class carries the bytes as they are.
        {{"3.1=cdc-data", "3.2=cdc-data"},
         "",
         "0A0000",
         "02",
         "OUT 3.2, DATA0 41540D0A, ACK, IN 3.1, DATA0 4F4B0D0A, ACK, ",
         "\"AT\\r\\n\""},
        // BOT 1.0 5.1-5.2: command wrapper, data stage, status wrapper.
        {{"3.1=bot", "3.0x02=bot"},
         "",
         "080650",
         "02",
         "OUT 3.2, DATA0 " + cbw + ", ACK, IN 3.1, DATA0 " + inquiry + ", ACK, IN 3.1, DATA1 " +
             csw + ", ACK, ",
         "INQUIRY"},
        // FTDI AN232B-05: SET_BAUD_RATE divisor 26; two status bytes before each IN packet.
        {{"3.0x81=ftdi", "3.2=ftdi"},
         "03040160",
         "FFFFFF",
         "02",
         ControlNoData("40031A0000000000") + "IN 3.1, DATA0 31604F4B0D0A, ACK, OUT 3.2, DATA0 "
                                             "41540D0A, ACK, ",
         "115200 baud"},
    };
    for (const KindCase& c : cases) {
        SCOPED_TRACE(c.assumptions.front());
        const std::string enumeration = Enumeration(c.ids, c.classes, c.type, c.report);
        const std::vector<std::string> whole =
            Decode(enumeration + c.traffic, BusSequence(enumeration).size(), {});
        const std::vector<std::string> late = Decode(c.traffic, 0, Assume(c.assumptions));
        EXPECT_EQ(late, whole);
        const std::vector<std::string> guessed = Decode(c.traffic, 0, {});
        EXPECT_NE(guessed, whole) << "the test needs traffic that the guess gets wrong";
        std::string all;
        for (const std::string& line : late) {
            all += line + "\n";
        }
        EXPECT_NE(all.find(c.expect), std::string::npos) << all;
    }
}

// MIDI 1.0 4.3: the streaming interface is audio class 1, subclass 3, on bulk endpoints.
TEST(EndpointAssumptions, MidiIsAnAudioStreamingInterfaceOnBulk) {
    DeviceModel model;
    const std::vector<std::string> late =
        Decode("OUT 3.2, DATA0 09903C64, ACK, ", 0, Assume({"3.2=midi"}), &model);
    ASSERT_EQ(late.size(), 1u);
    EXPECT_EQ(late[0].substr(0, 11), "bulk 2 out:");
    ASSERT_EQ(model.devices().size(), 1u);
    const InterfaceDescription* i = model.devices()[0].interfaceOfEndpoint(2, Direction::Out);
    ASSERT_NE(i, nullptr);
    EXPECT_EQ(i->descriptor.field("bInterfaceClass"), 1);
    EXPECT_EQ(i->descriptor.field("bInterfaceSubClass"), 3);
    EXPECT_EQ(model.devices()[0].interfaceOfEndpoint(2, Direction::In), i);
}

// The capture's own descriptors win over an assumption, unless it insists ("!").
TEST(EndpointAssumptions, DescriptorsWinUnlessInsisted) {
    const std::string enumeration = Enumeration("", "030102", "03");
    const std::string bus = enumeration + "IN 3.1, DATA0 01FE03, ACK, ";
    const std::size_t from = BusSequence(enumeration).size();
    const std::vector<std::string> plain = Decode(bus, from, {});
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_EQ(plain[0].substr(0, 15), "interrupt 1 in:");

    DeviceModel model;
    EXPECT_EQ(Decode(bus, from, Assume({"3.0x81=bulk"}), &model), plain);
    const AssumedEndpoint* a = model.devices().at(0).assumedEndpoint(0x81);
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(a->described);
    EXPECT_FALSE(a->used());
    EXPECT_EQ(Decode(bus, from, Assume({"3.0x81=hid-boot-keyboard"})), plain);

    const std::vector<std::string> bulk = Decode(bus, from, Assume({"3.0x81=bulk!"}));
    ASSERT_EQ(bulk.size(), 1u);
    EXPECT_EQ(bulk[0].substr(0, 10), "bulk 1 in:");
    // Insisting on a class replaces the interface the endpoint belongs to, its number too.
    const std::vector<std::string> keyboard =
        Decode(bus, from, Assume({"3.0x81=hid-boot-keyboard!"}), &model);
    ASSERT_EQ(keyboard.size(), 1u);
    EXPECT_NE(keyboard[0], plain[0]);
    const InterfaceDescription* i = model.devices().at(0).interface(0);
    ASSERT_NE(i, nullptr);
    EXPECT_EQ(i->descriptor.field("bInterfaceProtocol"), 1);

    // An FTDI device is known by its IDs: a device descriptor naming others wins.
    const std::string other = Enumeration("34120100", "FFFFFF", "02");
    DeviceModel ftdi;
    Decode(other + "IN 3.1, DATA0 3160, ACK, ", 0, Assume({"3.1=ftdi"}), &ftdi);
    EXPECT_FALSE(SerialChipOf(ftdi.devices().at(0)));
    Decode(other + "IN 3.1, DATA0 3160, ACK, ", 0, Assume({"3.1=ftdi!"}), &ftdi);
    EXPECT_TRUE(SerialChipOf(ftdi.devices().at(0)));
}

// Assumptions go to the device that held the address, before and after it moved there, and
// nowhere else.
TEST(EndpointAssumptions, ApplyToTheDevicesThatHeldTheAddress) {
    const std::string bus = "IN 3.1, DATA0 01FE03, ACK, IN 4.1, DATA0 01FE03, ACK, ";
    DeviceModel model;
    const std::vector<std::string> items = Decode(bus, 0, Assume({"4.1=interrupt"}), &model);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].substr(0, 9), "data 1 in");
    EXPECT_EQ(items[1].substr(0, 14), "interrupt 1 in");
    ASSERT_EQ(model.devices().size(), 2u);
    EXPECT_TRUE(model.devices()[0].assumedEndpoints.empty());
    // A type alone makes no interface.
    EXPECT_EQ(model.devices()[1].interfaceOfEndpoint(1, Direction::In), nullptr);
    // Applying another set replaces the first.
    model.assume({});
    EXPECT_TRUE(model.devices()[1].assumedEndpoints.empty());
    EXPECT_FALSE(model.endpoint(4, 1, Direction::In, 0).description);
}

TEST(EndpointAssumptions, DevicesListingMarksWhatWasAssumed) {
    const std::string enumeration = Enumeration("", "030102", "03");
    DeviceModel model;
    Decode(enumeration + "OUT 3.3, DATA0 00, ACK, ", 0, Assume({"3.0x81=bulk", "3.3=cdc-data!"}),
           &model);
    const std::string text = DeviceTreeText(BuildDeviceTree(model.devices(), nullptr));
    EXPECT_NE(text.find("  Endpoint 0x03 OUT assumed cdc-data!: bulk, interface 1 (class 0x0a, "
                        "subclass 0x00, protocol 0x00)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  Endpoint 0x81 IN assumed bulk: bulk; not used: the capture's own "
                        "descriptors describe it\n"),
              std::string::npos)
        << text;
    const std::string json = DevicesJson(model.devices(), nullptr);
    EXPECT_NE(json.find("\"assumed\": [{\"endpoint\": 3, \"kind\": \"cdc-data\", \"insisted\": "
                        "true, \"described\": false, \"used\": true, \"type\": \"bulk\", "
                        "\"interface\": {\"bInterfaceNumber\": 1"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"endpoint\": 129, \"kind\": \"bulk\", \"insisted\": false, "
                        "\"described\": true, \"used\": false"),
              std::string::npos)
        << json;
}

} // namespace
} // namespace vintrace::protocol
