// The checker, rule by rule, on captures that hold exactly one fault each (and on their
// sound twins, which must give nothing).
#include "protocol/Diagnostics.h"
#include "capture/UsbCrc.h"
#include "support/BusSequence.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace vintrace::protocol {
namespace {

/// Two hex digits per byte, little-endian, of a `bytes`-byte value.
std::string Le(unsigned value, int bytes = 1) {
    std::string s;
    for (int i = 0; i < bytes; ++i) {
        char text[3];
        std::snprintf(text, sizeof text, "%02X", (value >> (8 * i)) & 0xFF);
        s += text;
    }
    return s;
}

std::string Setup(unsigned type, unsigned request, unsigned value, unsigned index,
                  unsigned length) {
    return Le(type) + Le(request) + Le(value, 2) + Le(index, 2) + Le(length, 2);
}

/// A control read at `address`: the answer in packets of `mps` bytes, a zero-length packet
/// after a full last one shorter than wLength (unless `zlp` is false), then the status stage.
std::string Read(int address, const std::string& setup, const std::string& answer,
                 std::size_t mps = 64, bool zlp = true) {
    const std::string a = std::to_string(address) + ".0";
    std::string s = "SETUP " + a + ", DATA0 " + setup + ", ACK, ";
    const std::size_t length = std::stoul(setup.substr(14, 2) + setup.substr(12, 2), nullptr, 16);
    int toggle = 1;
    std::size_t sent = 0;
    bool more = true;
    while (more) {
        const std::size_t n = std::min(mps, answer.size() / 2 - sent);
        s += "IN " + a + ", DATA" + std::to_string(toggle) + " " + answer.substr(2 * sent, 2 * n) +
             ", ACK, ";
        toggle ^= 1;
        sent += n;
        more = n == mps && sent < length && (sent < answer.size() / 2 || zlp);
    }
    return s + "OUT " + a + ", DATA1, ACK, ";
}

std::string Write(int address, const std::string& setup, const std::string& data = "") {
    const std::string a = std::to_string(address) + ".0";
    std::string s = "SETUP " + a + ", DATA0 " + setup + ", ACK, ";
    if (!data.empty()) {
        s += "OUT " + a + ", DATA1 " + data + ", ACK, ";
    }
    return s + "IN " + a + ", DATA1, ACK, ";
}

std::string Device(unsigned maxPacket0) {
    return "12011001000000" + Le(maxPacket0) + "09120100000100000001";
}
std::string Configuration(unsigned interfaces, const std::string& body) {
    return "0902" + Le(9 + static_cast<unsigned>(body.size()) / 2, 2) + Le(interfaces) +
           "01008032" + body;
}
std::string Interface(unsigned endpoints, unsigned cls, unsigned sub = 0, unsigned protocol = 0) {
    return "09040000" + Le(endpoints) + Le(cls) + Le(sub) + Le(protocol) + "00";
}
std::string Endpoint(unsigned address, unsigned type, unsigned max, unsigned interval) {
    return "0705" + Le(address) + Le(type) + Le(max, 2) + Le(interval);
}

const std::string kGetDevice = Setup(0x80, 6, 0x0100, 0, 18);
const std::string kDevice = Device(64);

/// The device descriptor and the whole configuration, read at `address`.
std::string Enumerate(int address, const std::string& device, const std::string& configuration,
                      std::size_t mps = 64) {
    return Read(address, kGetDevice, device, mps) +
           Read(address, Setup(0x80, 6, 0x0200, 0, static_cast<unsigned>(configuration.size() / 2)),
                configuration, mps);
}

const std::string kInterruptDevice =
    Enumerate(3, kDevice, Configuration(1, Interface(1, 0xFF) + Endpoint(0x81, 3, 4, 10)));
const std::string kMassStorage =
    Enumerate(3, kDevice,
              Configuration(1, Interface(2, 0x08, 0x06, 0x50) + Endpoint(0x81, 2, 64, 0) +
                                   Endpoint(0x02, 2, 64, 0)));
// INQUIRY, tag 1, 36 bytes in.
const std::string kCbw = "55534243010000002400000080000612000000240000000000000000000000";
const std::string kInquiry = std::string(72, 'A');
std::string Csw(unsigned tag, unsigned residue, unsigned status) {
    return "55534253" + Le(tag, 4) + Le(residue, 4) + Le(status);
}

/// A bus sequence with markers: "<" before a finding's first packet, ">" after its last.
/// The k-th "<" and the k-th ">" bound the k-th expected finding.
struct Marked {
    std::string bus;
    std::vector<std::size_t> firsts;
    std::vector<std::size_t> lasts;
};

Marked Mark(const std::string& text) {
    Marked m;
    std::stringstream in(text);
    std::string item;
    std::size_t packets = 0;
    while (std::getline(in, item, ',')) {
        const auto start = item.find_first_not_of(' ');
        if (start == std::string::npos) {
            continue;
        }
        item = item.substr(start);
        if (item == "<") {
            m.firsts.push_back(packets);
        } else if (item == ">") {
            m.lasts.push_back(packets - 1);
        } else {
            m.bus += item + ", ";
            ++packets;
        }
    }
    return m;
}

struct RuleCase {
    const char* name;
    std::string bus;
    std::vector<std::string> rules; // in order of their first record
};

void PrintTo(const RuleCase& c, std::ostream* os) {
    *os << c.name;
}

class EachRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(EachRule, FindsExactlyItsFaultAtItsRecords) {
    const Marked m = Mark(GetParam().bus);
    ASSERT_EQ(m.firsts.size(), GetParam().rules.size());
    ASSERT_EQ(m.lasts.size(), GetParam().rules.size());
    std::vector<std::tuple<std::string, std::size_t, std::size_t>> expected;
    for (std::size_t k = 0; k < GetParam().rules.size(); ++k) {
        expected.emplace_back(GetParam().rules[k], m.firsts[k], m.lasts[k]);
    }
    std::vector<std::tuple<std::string, std::size_t, std::size_t>> found;
    std::ostringstream all;
    for (const Finding& f : DiagnoseCapture(test::BusSequence(m.bus))) {
        found.emplace_back(std::string(f.rule), f.first, f.last);
        all << f << "\n";
        EXPECT_FALSE(f.message.empty());
        ASSERT_NE(FindRule(f.rule), nullptr);
        EXPECT_EQ(f.severity, FindRule(f.rule)->severity);
        EXPECT_EQ(f.reference, FindRule(f.rule)->reference);
    }
    EXPECT_EQ(found, expected) << all.str();
}

INSTANTIATE_TEST_SUITE_P(
    Diagnostics, EachRule,
    ::testing::Values(
        // 8.3.5.1: every device ignores a token or SOF with a bad CRC5; the frame still went by.
        RuleCase{"Crc5", "SOF 100, <, SOF! 101, >, SOF 102", {"crc5-error"}},
        // 8.3.5.2, 8.6.3: corrupted data is ignored, left unanswered and sent again.
        RuleCase{"Crc16",
                 "SOF 1, OUT 3.2, <, DATA0! 0102, >, OUT 3.2, DATA0 0102, ACK, SOF 2",
                 {"crc16-error"}},
        RuleCase{"LastPacketMayBeCut", "SOF 1, OUT 3.2, DATA0! 0102", {}},
        RuleCase{"PidCheck", "SOF 1, <, UNKNOWN, >, SOF 2", {"pid-check-error"}},
        RuleCase{"CutToken", "SOF 1, <, IN 3, >, SOF 2", {"packet-length"}},
        RuleCase{"RecordingBeginsInsideATransaction", "UNKNOWN, DATA0 01, ACK, SOF 1, SOF 2", {}},
        RuleCase{"Stray", "SOF 1, <, ACK, NAK, >, SOF 2", {"stray-packet"}},
        // 8.4.6: IN data the host leaves unanswered is sent again with the same toggle.
        RuleCase{"NoHandshake",
                 "IN 3.1, NAK, <, IN 3.1, DATA0 0102, >, IN 3.1, DATA0 0102, ACK, SOF 1",
                 {"no-handshake"}},
        // Only isochronous data goes unanswered: an endpoint that never handshakes is one.
        RuleCase{"IsochronousUnanswered", "IN 3.1, DATA0 0102, IN 3.1, DATA0 0304, SOF 1", {}},
        RuleCase{"NoResponse", "IN 3.1, NAK, <, IN 3.1, >, IN 3.1, NAK, SOF 1", {"no-response"}},
        // 8.4.6.4: a function may not NAK or STALL a SETUP.
        RuleCase{"SetupNaked",
                 "SOF 1, <, SETUP 3.0, DATA0 " + kGetDevice + ", NAK, >, " +
                     Read(3, kGetDevice, kDevice),
                 {"setup-not-acked"}},
        RuleCase{"SetupLength", "<, SETUP 3.0, DATA0 80060001, ACK, >, SOF 1", {"setup-length"}},
        // 8.6.4: the same toggle with the same data is a retransmission; with new data it is
        // the toggle out of step.
        RuleCase{"Toggle",
                 "OUT 3.2, DATA0 01, ACK, OUT 3.2, DATA0 01, ACK, <, OUT 3.2, DATA0 02, ACK, >, "
                 "SOF 1",
                 {"toggle-error"}},
        // 8.5.3: a SETUP's data is always DATA0.
        RuleCase{"SetupAsData1",
                 "<, SETUP 3.0, DATA1 " + kGetDevice + ", ACK, >, SOF 1",
                 {"toggle-error"}},
        RuleCase{
            "Babble", kInterruptDevice + "<, IN 3.1, DATA0 0102030405, ACK, >, SOF 1", {"babble"}},
        RuleCase{"BabbleOnEndpointZero",
                 Enumerate(3, Device(8), Configuration(1, Interface(0, 0xFF)), 8) +
                     "SETUP 3.0, DATA0 " + Setup(0xC0, 1, 0, 0, 16) +
                     ", ACK, <, IN 3.0, DATA1 010203040506070809, ACK, >, OUT 3.0, DATA1, ACK",
                 {"babble"}},
        // 8.5.5: isochronous transactions carry no handshake.
        RuleCase{
            "HandshakeOnIsochronous",
            Enumerate(3, kDevice, Configuration(1, Interface(1, 0xFF) + Endpoint(0x02, 1, 64, 1))) +
                "<, OUT 3.2, DATA0 01, ACK, >, OUT 3.2, DATA0 02, SOF 1",
            {"handshake-on-isochronous"}},
        RuleCase{"EndpointHalted", "<, IN 3.1, STALL, >, SOF 1", {"endpoint-halted"}},
        // 9.3.5: 18 bytes for wLength 9, in 8-byte packets: one packet straddles wLength and
        // the last comes past it; one finding for the transfer.
        RuleCase{"ControlOverrun",
                 "SOF 1, <, " + Read(3, Setup(0x80, 6, 0x0100, 0, 9), Device(8), 8) + ">, SOF 2",
                 {"control-overrun"}},
        // 8.5.3: a SETUP before the status stage aborts the transfer.
        RuleCase{"ControlNoStatus",
                 "SOF 1, <, SETUP 3.0, DATA0 " + kGetDevice + ", ACK, IN 3.0, DATA1 " + kDevice +
                     ", ACK, >, " + Read(3, kGetDevice, kDevice),
                 {"control-no-status"}},
        RuleCase{"StatusAfterAMissingDataStage",
                 "SOF 1, SETUP 3.0, DATA0 " + kGetDevice + ", ACK, OUT 3.0, DATA1, ACK, " +
                     Read(3, kGetDevice, kDevice),
                 {}},
        RuleCase{"NoStatusBeforeTheEnd",
                 "SETUP 3.0, DATA0 " + kGetDevice + ", ACK, IN 3.0, DATA1 " + kDevice + ", ACK",
                 {}},
        // 5.5.3: 16 bytes for wLength 255 in 8-byte packets need a zero-length packet.
        RuleCase{"ZlpMissing",
                 Enumerate(3, Device(8), Configuration(1, Interface(0, 0xFF)), 8) + "<, " +
                     Read(3, Setup(0x80, 6, 0x0301, 0x0409, 255),
                          "10034100420043004400450046004700", 8, false) +
                     ">, SOF 1",
                 {"zlp-missing"}},
        RuleCase{"ZlpSent",
                 Enumerate(3, Device(8), Configuration(1, Interface(0, 0xFF)), 8) +
                     Read(3, Setup(0x80, 6, 0x0301, 0x0409, 255),
                          "10034100420043004400450046004700", 8) +
                     "SOF 1",
                 {}},
        // 9.4.3: GET_DESCRIPTOR(DEVICE) is answered by every device; an absent string is not.
        RuleCase{"StallStandard",
                 "SOF 1, <, SETUP 3.0, DATA0 " + kGetDevice + ", ACK, IN 3.0, STALL, >, " +
                     Read(3, kGetDevice, kDevice),
                 {"stall-standard"}},
        RuleCase{"StallOptional",
                 "SETUP 3.0, DATA0 " + Setup(0x80, 6, 0x0303, 0x0409, 255) +
                     ", ACK, IN 3.0, STALL, SOF 1",
                 {}},
        // 9.6.3: bNumInterfaces counts the interfaces that follow.
        RuleCase{"DescriptorInvalid",
                 Read(3, kGetDevice, kDevice) + "<, " +
                     Read(3, Setup(0x80, 6, 0x0200, 0, 25),
                          Configuration(2, Interface(1, 0xFF) + Endpoint(0x81, 3, 8, 10))) +
                     ">, SOF 1",
                 {"descriptor-invalid"}},
        RuleCase{"WholeTotalLengthNotDelivered",
                 Read(3, kGetDevice, kDevice) + "<, " +
                     Read(3, Setup(0x80, 6, 0x0200, 0, 255), "09022000010100803209040000") +
                     ">, SOF 1",
                 {"descriptor-invalid"}},
        // 9.6.1: bMaxPacketSize0 is 8, 16, 32 or 64.
        RuleCase{"MaxPacket0",
                 "<, " + Read(3, kGetDevice, Device(12), 12) + ">, SOF 1",
                 {"max-packet-invalid"}},
        // 5.5.3: at low speed (no SOFs on the bus) only 8.
        RuleCase{"LowSpeedMaxPacket0",
                 "<, " + Read(3, kGetDevice, Device(64)) + ">",
                 {"max-packet-invalid"}},
        // 5.8: a low-speed device has no bulk endpoints.
        RuleCase{"LowSpeedBulk",
                 Read(3, kGetDevice, Device(8), 8) + "<, " +
                     Read(3, Setup(0x80, 6, 0x0200, 0, 25),
                          Configuration(1, Interface(1, 0xFF) + Endpoint(0x81, 2, 8, 0)), 8) +
                     ">",
                 {"max-packet-invalid"}},
        RuleCase{"IntervalZero",
                 Read(3, kGetDevice, kDevice) + "<, " +
                     Read(3, Setup(0x80, 6, 0x0200, 0, 25),
                          Configuration(1, Interface(1, 0xFF) + Endpoint(0x81, 3, 8, 0))) +
                     ">, SOF 1",
                 {"interval-invalid"}},
        RuleCase{"StringOddLength",
                 "<, " + Read(3, Setup(0x80, 6, 0x0302, 0x0409, 255), "0503410042") + ">, SOF 1",
                 {"string-invalid"}},
        RuleCase{"StringUnpairedSurrogate",
                 "<, " + Read(3, Setup(0x80, 6, 0x0302, 0x0409, 255), "060300D84100") + ">, SOF 1",
                 {"string-invalid"}},
        // HID 1.11 6.2.2.4: every Collection is closed by an End Collection.
        RuleCase{"HidReport",
                 "<, " + Read(3, Setup(0x81, 6, 0x2200, 0, 64), "05010902A101") + ">, SOF 1",
                 {"hid-report-invalid"}},
        RuleCase{"SofGap", "SOF 10, <, SOF 11, SOF 13, >, SOF 14", {"sof-gap"}},
        RuleCase{"SofRepeats", "SOF 5, <, SOF 6, SOF 6, >, SOF 7", {"sof-gap"}},
        RuleCase{"SofWraps", "SOF 2046, SOF 2047, SOF 0, SOF 1", {}},
        // BOT 1.0 6.3: the status wrapper carries its command's tag.
        RuleCase{"CswTag",
                 kMassStorage + "OUT 3.2, DATA0 " + kCbw + ", ACK, IN 3.1, DATA0 " + kInquiry +
                     ", ACK, <, IN 3.1, DATA1 " + Csw(2, 0, 0) + ", ACK, >, SOF 1",
                 {"bot-csw-invalid"}},
        RuleCase{"CswPhaseError",
                 kMassStorage + "OUT 3.2, DATA0 " + kCbw + ", ACK, IN 3.1, DATA0 " + kInquiry +
                     ", ACK, <, IN 3.1, DATA1 " + Csw(1, 0, 2) + ", ACK, >, SOF 1",
                 {"bot-phase-error"}},
        RuleCase{"CswResidueTooLarge",
                 kMassStorage + "OUT 3.2, DATA0 " + kCbw + ", ACK, IN 3.1, DATA0 " + kInquiry +
                     ", ACK, <, IN 3.1, DATA1 " + Csw(1, 40, 0) + ", ACK, >, SOF 1",
                 {"bot-phase-error"}},
        RuleCase{"CswSound",
                 kMassStorage + "OUT 3.2, DATA0 " + kCbw + ", ACK, IN 3.1, DATA0 " + kInquiry +
                     ", ACK, IN 3.1, DATA1 " + Csw(1, 0, 0) + ", ACK, SOF 1",
                 {}},
        // CDC PSTN 1.2 6.3.11: bDataBits is 5, 6, 7, 8 or 16.
        RuleCase{"LineCoding",
                 Enumerate(3, kDevice,
                           Configuration(1, Interface(1, 0x02, 0x02) + Endpoint(0x83, 3, 8, 16))) +
                     "<, " + Write(3, Setup(0x21, 0x20, 0, 0, 7), "00C20100000009") + ">, SOF 1",
                 {"cdc-line-coding-invalid"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Diagnostics, RuleIdsAreUniqueAndDescribed) {
    std::set<std::string_view> ids;
    for (const Rule& r : Rules()) {
        EXPECT_TRUE(ids.insert(r.id).second) << r.id;
        EXPECT_FALSE(r.summary.empty()) << r.id;
        EXPECT_FALSE(r.reference.empty()) << r.id;
        EXPECT_EQ(FindRule(r.id), &r);
    }
    EXPECT_EQ(FindRule("no-such-rule"), nullptr);
}

TEST(Diagnostics, OneFaultRepeatedIsListedUpToTheLimitThenCounted) {
    capture::PacketList packets;
    const std::uint16_t field = capture::WithCrc5(1);
    const std::vector<std::uint8_t> good = {static_cast<std::uint8_t>(field),
                                            static_cast<std::uint8_t>(field >> 8)};
    packets.append(capture::RecordKind::Sof, 2, good);
    const std::vector<std::uint8_t> bad = {0x00, 0x00}; // frame 0 with CRC5 0: wrong
    for (std::size_t i = 0; i < kListedPerRule + 5; ++i) {
        packets.append(capture::RecordKind::Sof, 2, bad);
    }
    const std::vector<Finding> findings = DiagnoseCapture(packets);
    ASSERT_EQ(findings.size(), kListedPerRule + 1);
    const Finding& rest = findings.back();
    EXPECT_EQ(rest.rule, "crc5-error");
    EXPECT_EQ(rest.first, kListedPerRule + 1);
    EXPECT_EQ(rest.last, kListedPerRule + 5);
    EXPECT_NE(rest.message.find("5 more"), std::string::npos) << rest.message;
}

TEST(Diagnostics, SeverityNamesRoundTrip) {
    for (const Severity s : {Severity::Info, Severity::Warning, Severity::Error}) {
        EXPECT_EQ(SeverityFromName(SeverityName(s)), s);
    }
    EXPECT_FALSE(SeverityFromName("fatal"));
    Finding gap;
    gap.severity = Severity::Warning;
    const std::vector<Finding> warning = {gap};
    EXPECT_TRUE(AnyAtLeast(warning, Severity::Info));
    EXPECT_TRUE(AnyAtLeast(warning, Severity::Warning));
    EXPECT_FALSE(AnyAtLeast(warning, Severity::Error));
}

} // namespace
} // namespace vintrace::protocol
