#include "protocol/Descriptors.h"
#include "support/CaptureBytes.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace vintrace::protocol {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view hex) {
    return test::Hex(hex);
}

std::vector<std::string> Texts(const std::vector<DescriptorProblem>& problems) {
    std::vector<std::string> out;
    for (const DescriptorProblem& p : problems) {
        std::ostringstream s;
        s << p;
        out.push_back(s.str());
    }
    return out;
}

/// Every field present, as "name=value", so absent fields show by their absence.
std::string Fields(const Descriptor& d) {
    std::string out;
    for (const DescriptorField& f : d.fields()) {
        if (const auto v = d.field(f.name)) {
            out += (out.empty() ? "" : " ") + std::string(f.name) + "=" + std::to_string(*v);
        }
    }
    return out;
}

struct SingleCase {
    const char* name;
    const char* hex;
    DescriptorKind kind;
    std::size_t requested;
    std::string fields;
    std::vector<std::string> problems;
};

void PrintTo(const SingleCase& c, std::ostream* os) {
    *os << c.name;
}

class Single : public ::testing::TestWithParam<SingleCase> {};

TEST_P(Single, ParsesFieldsAndReportsFaults) {
    const SingleCase& c = GetParam();
    const auto data = Bytes(c.hex);
    const ParsedDescriptor parsed = ParseDescriptor(data, c.kind, c.requested);
    EXPECT_EQ(Fields(parsed.descriptor), c.fields);
    EXPECT_EQ(Texts(parsed.problems), c.problems);
    EXPECT_LE(parsed.descriptor.bytes.size(), data.size());
}

#define DEVICE_18 "12 01 10 01 00 00 00 08 6D 04 16 C0 40 03 01 02 00 01"

INSTANTIATE_TEST_SUITE_P(
    Descriptors, Single,
    ::testing::Values(
        SingleCase{"Device",
                   DEVICE_18,
                   DescriptorKind::Device,
                   18,
                   "bLength=18 bDescriptorType=1 bcdUSB=272 bDeviceClass=0 bDeviceSubClass=0 "
                   "bDeviceProtocol=0 bMaxPacketSize0=8 idVendor=1133 idProduct=49174 "
                   "bcdDevice=832 iManufacturer=1 iProduct=2 iSerialNumber=0 "
                   "bNumConfigurations=1",
                   {}},
        // The host asked for 8 bytes: the fields past them are absent, nothing is wrong.
        SingleCase{"DeviceCutByRequest",
                   "12 01 10 01 00 00 00 08",
                   DescriptorKind::Device,
                   8,
                   "bLength=18 bDescriptorType=1 bcdUSB=272 bDeviceClass=0 bDeviceSubClass=0 "
                   "bDeviceProtocol=0 bMaxPacketSize0=8",
                   {}},
        SingleCase{"DeviceShortOfItsLength",
                   "12 01 10 01 00 00 00 08 6D 04 16",
                   DescriptorKind::Device,
                   18,
                   "bLength=18 bDescriptorType=1 bcdUSB=272 bDeviceClass=0 bDeviceSubClass=0 "
                   "bDeviceProtocol=0 bMaxPacketSize0=8 idVendor=1133",
                   {"at 0: bLength 18 is past the end: 11 bytes left"}},
        SingleCase{"WrongType",
                   "12 02 10 01",
                   DescriptorKind::Device,
                   4,
                   "bLength=18 bDescriptorType=2 bcdUSB=272",
                   {"at 1: bDescriptorType 2 where 1 (device) was asked for"}},
        SingleCase{"LengthZero",
                   "00 01 10 01",
                   DescriptorKind::Device,
                   18,
                   "bLength=0 bDescriptorType=1 bcdUSB=272",
                   {"at 0: bLength 0 is too small"}},
        SingleCase{"OneByte",
                   "12",
                   DescriptorKind::Device,
                   18,
                   "bLength=18",
                   {"at 0: only 1 bytes: no descriptor header",
                    "at 0: bLength 18 is past the end: 1 bytes left"}},
        SingleCase{"Empty",
                   "",
                   DescriptorKind::Device,
                   18,
                   "",
                   {"at 0: only 0 bytes: no descriptor header"}},
        SingleCase{"TrailingBytes",
                   "0A 06 00 02 00 00 00 40 01 00 FF FF",
                   DescriptorKind::DeviceQualifier,
                   12,
                   "bLength=10 bDescriptorType=6 bcdUSB=512 bDeviceClass=0 bDeviceSubClass=0 "
                   "bDeviceProtocol=0 bMaxPacketSize0=64 bNumConfigurations=1 bReserved=0",
                   {"at 10: 2 bytes follow the descriptor's bLength"}}),
    [](const auto& info) { return std::string(info.param.name); });

/// A configuration as one line per descriptor, indented by where it belongs.
std::vector<std::string> Layout(const ConfigurationDescription& c) {
    std::vector<std::string> out{ToString(c.descriptor) + (c.complete ? "" : " (incomplete)")};
    for (const Descriptor& d : c.extra) {
        out.push_back(" " + ToString(d));
    }
    for (const Descriptor& d : c.associations) {
        out.push_back(" " + ToString(d));
    }
    for (const InterfaceDescription& i : c.interfaces) {
        out.push_back(" " + ToString(i.descriptor));
        for (const Descriptor& d : i.extra) {
            out.push_back("  " + ToString(d));
        }
        for (std::size_t e = 0; e < i.endpoints.size(); ++e) {
            out.push_back("  " + ToString(i.endpoints[e]));
            for (const Descriptor& d : i.after(e)) {
                out.push_back("   " + ToString(d));
            }
        }
    }
    for (const std::string& p : Texts(c.problems)) {
        out.push_back("! " + p);
    }
    return out;
}

struct ConfigurationCase {
    const char* name;
    const char* hex;
    std::size_t requested;
    std::vector<std::string> expected;
};

void PrintTo(const ConfigurationCase& c, std::ostream* os) {
    *os << c.name;
}

class Configurations : public ::testing::TestWithParam<ConfigurationCase> {};

TEST_P(Configurations, SplitsIntoInterfacesAndEndpoints) {
    const ConfigurationCase& c = GetParam();
    EXPECT_EQ(Layout(ParseConfiguration(Bytes(c.hex), c.requested)), c.expected);
}

#define MOUSE_CONFIG                                                                               \
    "09 02 22 00 01 01 00 A0 31 "                                                                  \
    "09 04 00 00 01 03 01 02 00 "                                                                  \
    "09 21 11 01 00 01 22 4B 00 "                                                                  \
    "07 05 81 03 04 00 0A"

INSTANTIATE_TEST_SUITE_P(
    Descriptors, Configurations,
    ::testing::Values(
        ConfigurationCase{"HidMouse",
                          MOUSE_CONFIG,
                          34,
                          {"configuration 09022200010100A031", " interface 090400000103010200",
                           "  HID 092111010001224B00", "  endpoint 0705810304000A"}},
        // A CDC ACM function: association, the communications interface with its functional
        // descriptors, the data interface. 0x24 in an audio interface is not CDC.
        ConfigurationCase{"CdcAcmWithAssociation",
                          "09 02 59 00 03 01 00 80 32 "
                          "08 0B 00 02 02 02 01 00 "
                          "09 04 00 00 01 02 02 01 00 "
                          "05 24 00 10 01 05 24 01 00 01 04 24 02 02 05 24 06 00 01 "
                          "07 05 82 03 08 00 10 "
                          "09 04 01 00 02 0A 00 00 00 "
                          "07 05 03 02 40 00 00 07 05 83 02 40 00 00 "
                          "09 04 02 00 00 01 01 00 00 "
                          "05 24 01 00 01",
                          0x59,
                          {"configuration 090259000301008032",
                           " interface association 080B000202020100",
                           " interface 090400000102020100", "  CDC functional 0524001001",
                           "  CDC functional 0524010001", "  CDC functional 04240202",
                           "  CDC functional 0524060001", "  endpoint 07058203080010",
                           " interface 09040100020A000000", "  endpoint 07050302400000",
                           "  endpoint 07058302400000", " interface 090402000001010000",
                           "  audio control 0524010001"}},
        // DFU 1.1 4.1.3: 0x21 in an interface of class 0xFE subclass 1 is the DFU functional
        // descriptor; in a vendor interface (class 0xFF) it is nothing this list knows.
        ConfigurationCase{"DfuAndVendor0x21",
                          "09 02 2D 00 02 01 00 80 32 "
                          "09 04 00 00 00 FE 01 02 00 "
                          "09 21 0B FF 00 00 04 1A 01 "
                          "09 04 01 00 00 FF 00 00 00 "
                          "09 21 11 01 00 01 22 4B 00",
                          0x2D,
                          {"configuration 09022D000201008032", " interface 0904000000FE010200",
                           "  DFU functional 09210BFF0000041A01", " interface 0904010000FF000000",
                           "  other 092111010001224B00"}},
        // USB MIDI 1.0 6.1.2 and 6.2: class-specific endpoint descriptors (0x25) follow the
        // endpoint they describe and stay with it, in delivery order.
        ConfigurationCase{"MidiStreamingEndpoints",
                          "09 02 35 00 01 01 00 80 32 "
                          "09 04 01 00 02 01 03 00 00 "
                          "07 24 01 00 01 41 00 "
                          "09 05 01 02 40 00 00 00 00 "
                          "05 25 01 01 01 "
                          "09 05 81 02 40 00 00 00 00 "
                          "05 25 01 01 03",
                          0x35,
                          {"configuration 090235000101008032", " interface 090401000201030000",
                           "  MIDI streaming 07240100014100", "  endpoint 090501024000000000",
                           "   MIDI endpoint 0525010101", "  endpoint 090581024000000000",
                           "   MIDI endpoint 0525010103"}},
        // The host asked for the first 9 bytes only: incomplete, not faulty.
        ConfigurationCase{"CutByRequest",
                          "09 02 22 00 01 01 00 A0 31",
                          9,
                          {"configuration 09022200010100A031 (incomplete)"}},
        ConfigurationCase{"ShorterThanTotal",
                          "09 02 22 00 01 01 00 A0 31 09 04 00 00 01 03 01 02 00",
                          255,
                          {"configuration 09022200010100A031 (incomplete)",
                           " interface 090400000103010200",
                           "! at 18: wTotalLength 34 disagrees with the 18 bytes delivered"}},
        ConfigurationCase{"LongerThanTotal",
                          "09 02 12 00 01 01 00 A0 31 09 04 00 00 00 03 01 02 00 07 05 81 03 "
                          "04 00 0A",
                          255,
                          {"configuration 09021200010100A031", " interface 090400000003010200",
                           "! at 2: wTotalLength 18 disagrees with the 25 bytes delivered"}},
        ConfigurationCase{"InnerLengthPastEnd",
                          "09 02 15 00 01 01 00 A0 31 09 04 00 00 01 03 01 02 00 07 05 81",
                          21,
                          {"configuration 09021500010100A031", " interface 090400000103010200",
                           "  endpoint 070581",
                           "! at 18: bLength 7 is past the end: 3 bytes left"}},
        // A zero bLength cannot be stepped over: the rest is kept raw and parsing stops.
        ConfigurationCase{"InnerLengthZero",
                          "09 02 14 00 01 01 00 A0 31 00 04 00 00 01 03 01 02 00 07 05",
                          20,
                          {"configuration 09021400010100A031", " interface 0004000001030102000705",
                           "! at 9: bLength 0 is too small"}},
        ConfigurationCase{"TotalShorterThanHeader",
                          "09 02 04 00 01 01 00 A0 31",
                          255,
                          {"configuration 09020400010100A031",
                           "! at 2: wTotalLength 4 is shorter than the descriptor itself"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StringDescriptors, DecodeUtf16Text) {
    struct Case {
        const char* hex;
        std::string text;
        std::vector<std::string> problems;
    };
    const std::vector<Case> cases = {
        {"0A 03 4D 00 6F 00 75 00 73 00", "Mous", {}},
        // é (U+00E9), € (U+20AC), a surrogate pair (U+1F600), then a lone high surrogate.
        {"0C 03 E9 00 AC 20 3D D8 00 DE 3D D8",
         "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD",
         {}},
        {"05 03 41 00 42", "A", {"at 0: odd length 5 for UTF-16 text"}},
        {"08 03 41 00", "A", {"at 0: bLength 8 is past the end: 4 bytes left"}},
        {"04 01 41 00", "A", {"at 1: bDescriptorType 1 where 3 (string) was asked for"}},
        {"02 03", "", {}},
        {"03",
         "",
         {"at 0: only 1 bytes: no descriptor header",
          "at 0: bLength 3 is past the end: 1 bytes left"}},
    };
    for (const Case& c : cases) {
        const ParsedString parsed = ParseString(Bytes(c.hex));
        EXPECT_EQ(parsed.text, c.text) << c.hex;
        EXPECT_EQ(Texts(parsed.problems), c.problems) << c.hex;
    }
}

TEST(StringDescriptors, CutByTheRequestIsNoFault) {
    // 9.3.5: a device returns the first wLength bytes of a longer descriptor. Fewer than both
    // wLength and bLength is still a fault.
    struct Case {
        const char* hex;
        std::size_t requested;
        std::string text;
        std::vector<std::string> problems;
    };
    const std::vector<Case> cases = {
        {"1A 03", 2, "", {}},
        {"1A 03 55 00 53 00 42", 7, "US", {}},
        {"1A 03 55 00", 255, "U", {"at 0: bLength 26 is past the end: 4 bytes left"}},
    };
    for (const Case& c : cases) {
        const ParsedString parsed = ParseString(Bytes(c.hex), c.requested);
        EXPECT_EQ(parsed.text, c.text) << c.hex;
        EXPECT_EQ(Texts(parsed.problems), c.problems) << c.hex;
    }
    EXPECT_TRUE(ParseLanguages(Bytes("04 03"), 2).problems.empty());
}

TEST(StringDescriptors, UnpairedSurrogatesAreFoundUnlessTheRequestCutThePair) {
    EXPECT_EQ(ParseString(Bytes("0A 03 41 00 00 DC 42 00 3D D8")).unpairedSurrogate, 4u);
    EXPECT_EQ(ParseString(Bytes("08 03 3D D8 00 DE 41 00")).unpairedSurrogate, std::nullopt);
    // 9.3.5: wLength 6 of an 8-byte string leaves a high surrogate without its partner.
    EXPECT_EQ(ParseString(Bytes("08 03 41 00 3D D8"), 6).unpairedSurrogate, std::nullopt);
}

TEST(StringDescriptors, ListLanguages) {
    EXPECT_EQ(ParseLanguages(Bytes("06 03 09 04 07 04")).languages,
              (std::vector<std::uint16_t>{0x0409, 0x0407}));
    const ParsedLanguages odd = ParseLanguages(Bytes("05 03 09 04 07"));
    EXPECT_EQ(odd.languages, (std::vector<std::uint16_t>{0x0409}));
    EXPECT_EQ(Texts(odd.problems),
              (std::vector<std::string>{"at 0: odd length 5 for language IDs"}));
}

} // namespace
} // namespace vintrace::protocol
