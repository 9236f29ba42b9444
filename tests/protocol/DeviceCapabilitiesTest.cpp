#include "protocol/DeviceCapabilities.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace vintrace::protocol {
namespace {

/// A vendor request's setup packet, as the Microsoft OS requests are sent.
capture::SetupRequest VendorRequest(std::uint8_t type, std::uint8_t code, std::uint16_t index,
                                    std::uint16_t length) {
    capture::SetupRequest r;
    r.requestType = type;
    r.request = code;
    r.index = index;
    r.length = length;
    return r;
}

std::vector<std::uint8_t> Bytes(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

/// "name=text" for each field of `fields`, one per line.
std::string FieldsText(const std::vector<LaidField>& fields) {
    std::string s;
    for (const LaidField& f : fields) {
        s += f.name + "=" + f.text + "\n";
    }
    return s;
}

// WebUSB platform capability (WICG WebUSB 4.3.1: UUID {3408b638-09a9-47a0-8bfd-a0768815b665},
// bcdVersion 1.00, bVendorCode, iLandingPage) and the Microsoft OS 2.0 one (Microsoft OS 2.0
// Descriptors Specification, table 4: UUID {d8dd60df-4589-4cc7-9cd2-659d9e648a9f}, Windows 8.1
// 0x06030000, a 0x48-byte descriptor set read with vendor code 1), with the USB 2.0 extension
// (USB 2.0 LPM ECN table 9-13) and a container ID (USB 3.2 9.6.2.3).
const std::string kWebUsb = "1810050038B60834A909A0478BFDA0768815B665000101"
                            "01";
const std::string kMsOs20 = "1C100500DF60DDD88945C74C9CD2659D9E648A9F00000306480001"
                            "00";
const std::string kUsb2Extension = "071002"
                                   "1E340000";
const std::string kContainerId = "14100400"
                                 "00112233445566778899AABBCCDDEEFF";

struct CapabilityCase {
    const char* name;
    std::string capability;
    std::string title;
    std::string fields;
};

void PrintTo(const CapabilityCase& c, std::ostream* os) {
    *os << c.name;
}

class BosCapability : public testing::TestWithParam<CapabilityCase> {};

TEST_P(BosCapability, DecodesPublishedLayout) {
    const CapabilityCase& c = GetParam();
    const std::size_t length = 5 + c.capability.size() / 2;
    char head[16];
    std::snprintf(head, sizeof head, "050F%02X%02X01", static_cast<unsigned>(length & 0xFF),
                  static_cast<unsigned>(length >> 8));
    const std::vector<std::uint8_t> data = Bytes(head + c.capability);
    const LaidDescriptor d = ParseBos(data, 255);
    EXPECT_TRUE(d.problems.empty()) << d.problems.front();
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(d.blocks[0].title, c.title);
    EXPECT_EQ(d.blocks[0].offset, 5u);
    EXPECT_EQ(FieldsText(d.blocks[0].fields), c.fields);
    EXPECT_EQ(d.blocks[0].rawLength, 0u);
    EXPECT_EQ(d.end, data.size());
}

INSTANTIATE_TEST_SUITE_P(
    Published, BosCapability,
    testing::Values(
        CapabilityCase{"WebUsb", kWebUsb, "Platform (WebUSB)",
                       "bLength=24\nbDescriptorType=16\nbDevCapabilityType=0x05\nbReserved=0\n"
                       "PlatformCapabilityUUID={3408b638-09a9-47a0-8bfd-a0768815b665}\n"
                       "bcdVersion=1.00\nbVendorCode=0x01\niLandingPage=1\n"},
        CapabilityCase{"MsOs20", kMsOs20, "Platform (Microsoft OS 2.0)",
                       "bLength=28\nbDescriptorType=16\nbDevCapabilityType=0x05\nbReserved=0\n"
                       "PlatformCapabilityUUID={d8dd60df-4589-4cc7-9cd2-659d9e648a9f}\n"
                       "dwWindowsVersion=0x06030000 (Windows 8.1)\n"
                       "wMSOSDescriptorSetTotalLength=72\nbMS_VendorCode=0x01\nbAltEnumCode=0\n"},
        // bmAttributes 0x341E: LPM, BESL, baseline 4 and deep 3 both valid.
        CapabilityCase{"Usb2Extension", kUsb2Extension, "USB 2.0 Extension",
                       "bLength=7\nbDescriptorType=16\nbDevCapabilityType=0x02\n"
                       "bmAttributes=0x0000341e LPM, BESL, baseline BESL 4, deep BESL 3\n"},
        CapabilityCase{"ContainerId", kContainerId, "Container ID",
                       "bLength=20\nbDescriptorType=16\nbDevCapabilityType=0x04\nbReserved=0\n"
                       "ContainerID={33221100-5544-7766-8899-aabbccddeeff}\n"}),
    [](const testing::TestParamInfo<CapabilityCase>& info) { return info.param.name; });

TEST(Bos, UnknownCapabilitiesKeepTheirBytes) {
    // A SuperSpeed capability (USB 3.2 9.6.2.2) and an unknown platform UUID: named by type,
    // the rest raw.
    const LaidDescriptor d = ParseBos(Bytes("050F2B0002"
                                            "0A10030002000A00FF07"
                                            "1C100500"
                                            "000102030405060708090A0B0C0D0E0F"
                                            "AABBCCDDEEFF0011"),
                                      255);
    EXPECT_TRUE(d.problems.empty());
    ASSERT_EQ(d.blocks.size(), 2u);
    EXPECT_EQ(d.blocks[0].title, "SuperSpeed USB");
    EXPECT_EQ(d.blocks[0].rawOffset, 8u);
    EXPECT_EQ(d.blocks[0].rawLength, 7u);
    EXPECT_EQ(d.blocks[1].title, "Platform");
    EXPECT_EQ(d.blocks[1].rawOffset, 15u + 20u);
    EXPECT_EQ(d.blocks[1].rawLength, 8u);
    EXPECT_EQ(BosSummary(d), "SuperSpeed USB, Platform");
}

struct FaultCase {
    const char* name;
    std::string data;
    std::size_t requested;
    std::size_t blocks;
    std::size_t end;
    std::vector<std::string> problems;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class BosFault : public testing::TestWithParam<FaultCase> {};

TEST_P(BosFault, IsMarkedAndNothingIsReadPastTheEnd) {
    const FaultCase& c = GetParam();
    const LaidDescriptor d = ParseBos(Bytes(c.data), c.requested);
    std::vector<std::string> problems;
    for (const DescriptorProblem& p : d.problems) {
        problems.push_back(std::to_string(p.offset) + ": " + p.what);
    }
    EXPECT_EQ(problems, c.problems);
    EXPECT_EQ(d.blocks.size(), c.blocks);
    EXPECT_EQ(d.end, c.end);
    for (const LaidBlock& b : d.blocks) {
        for (const LaidField& f : b.fields) {
            EXPECT_LE(f.offset + f.size, c.data.size() / 2) << f.name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BosFault,
    testing::Values(
        // 9.3.5: a host asking for the 5-byte header first gets only that, which is normal.
        FaultCase{"CutByWLength",
                  "050F1D0001"
                  "1810050038B6",
                  11,
                  1,
                  11,
                  {}},
        FaultCase{"DeviceStoppedShort",
                  "050F1D0001"
                  "1810050038B6",
                  255,
                  1,
                  11,
                  {"11: wTotalLength 29 disagrees with the 11 bytes delivered",
                   "5: bLength 24 is past the end: 6 bytes left"}},
        FaultCase{"ZeroLengthCapability",
                  "050F0C0002"
                  "00000000000000",
                  255,
                  0,
                  5,
                  {"5: bLength 0 is too small for a capability"}},
        FaultCase{"MoreThanWTotalLength",
                  "050F0C0001"
                  "071002000000000000",
                  255,
                  1,
                  12,
                  {"2: wTotalLength 12 disagrees with the 14 bytes delivered"}},
        FaultCase{"CountDisagrees",
                  "050F0C0002"
                  "07100202000000",
                  255,
                  1,
                  12,
                  {"4: bNumDeviceCaps 2 where 1 follow"}},
        FaultCase{"NotBos", "0501050000", 255, 0, 5, {"1: bDescriptorType 1 is not BOS"}},
        FaultCase{"NoHeader", "05", 255, 0, 1, {"0: only 1 bytes: no header"}}),
    [](const testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

// Microsoft OS 1.0 Descriptors Specification: the OS string (index 0xEE) is "MSFT100", then
// bMS_VendorCode and a pad byte; the extended compat ID descriptor's example names one
// function (interface 0) as "WINUSB".
const std::string kOsString = "12034D0053004600540031003000300020"
                              "00";
const std::string kCompatId = "28000000"
                              "0001"
                              "0400"
                              "01"
                              "00000000000000"
                              "00"
                              "01"
                              "57494E5553420000"
                              "0000000000000000"
                              "000000000000";

TEST(MsOs10, VendorCodeComesFromTheOsStringOnly) {
    EXPECT_EQ(MsOsVendorCode(Bytes(kOsString)), 0x20);
    // Another string at 0xEE, or the signature cut short, names no vendor code.
    EXPECT_EQ(MsOsVendorCode(Bytes("12034D0053004600540031003000310020"
                                   "00")),
              std::nullopt);
    EXPECT_EQ(MsOsVendorCode(Bytes(kOsString.substr(0, 32))), std::nullopt);
}

TEST(MsOs10, CompatIdRequestIsKnownByVendorCodeOrByItsHeader) {
    const std::vector<std::uint8_t> compat = Bytes(kCompatId);
    const std::vector<std::uint8_t> header = Bytes(kCompatId.substr(0, 32));
    const std::vector<std::uint8_t> other = Bytes("0A000000000104000100");
    const auto request = [](std::uint8_t type, std::uint8_t code, std::uint16_t index) {
        return VendorRequest(type, code, index, 0x28);
    };
    struct Case {
        capture::SetupRequest r;
        std::optional<std::uint8_t> code;
        const std::vector<std::uint8_t>* data;
        bool want;
    };
    const std::vector<Case> cases = {
        {request(0xC0, 0x20, 4), 0x20, &other, true},   // the vendor code decides
        {request(0xC1, 0x20, 4), 0x20, &compat, true},  // to an interface too
        {request(0xC0, 0x21, 4), 0x20, &compat, false}, // another vendor request
        {request(0xC0, 0x20, 5), 0x20, &compat, false}, // extended properties
        {request(0x40, 0x20, 4), 0x20, &compat, false}, // host-to-device
        {request(0xC0, 0x99, 4), std::nullopt, &compat, true},
        {request(0xC0, 0x99, 4), std::nullopt, &header, true}, // the header alone, read first
        {request(0xC0, 0x99, 4), std::nullopt, &other, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(IsMsCompatIdRequest(cases[i].r, cases[i].code, *cases[i].data), cases[i].want)
            << "case " << i;
    }
}

TEST(MsOs10, CompatIdFunctionsAndFaults) {
    const LaidDescriptor d = ParseMsCompatId(Bytes(kCompatId), 0x28);
    EXPECT_TRUE(d.problems.empty());
    EXPECT_EQ(FieldsText(d.header), "dwLength=40\nbcdVersion=1.00\nwIndex=0x0004\nbCount=1\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(FieldsText(d.blocks[0].fields),
              "bFirstInterfaceNumber=0\ncompatibleID=WINUSB\nsubCompatibleID=\n");
    EXPECT_EQ(MsCompatIdSummary(d), "WINUSB");
    EXPECT_EQ(d.end, 40u);

    // The header read first (wLength 16) is complete as far as it was asked for.
    EXPECT_TRUE(ParseMsCompatId(Bytes(kCompatId.substr(0, 32)), 16).problems.empty());
    // A device that stops inside the function section, and a count dwLength disagrees with.
    const LaidDescriptor cut = ParseMsCompatId(Bytes(kCompatId.substr(0, 60)), 0x28);
    EXPECT_TRUE(cut.blocks.empty());
    ASSERT_EQ(cut.problems.size(), 1u);
    EXPECT_EQ(cut.problems[0].what, "function 0 stops after 14 of 24 bytes");
    std::string twice = kCompatId;
    twice.replace(16, 2, "02");
    const LaidDescriptor counted = ParseMsCompatId(Bytes(twice), 0x28);
    EXPECT_EQ(counted.blocks.size(), 1u);
    ASSERT_FALSE(counted.problems.empty());
    EXPECT_EQ(counted.problems[0].what, "dwLength 40 disagrees with bCount 2");
}

// Microsoft OS 2.0 Descriptors Specification, tables 9 to 18: a descriptor set for Windows
// 8.1 whose configuration subset holds one function subset (interface 1) naming WinUSB and its
// DeviceInterfaceGUIDs (REG_MULTI_SZ), 0xB2 bytes in all.
const std::string kSetHeader = "0A00000000000306B200";
const std::string kConfigurationSubset = "080001000000A800";
const std::string kFunctionSubset = "080002000100A000";
const std::string kWinUsbId = "1400030057494E55534200000000000000000000";
const std::string kGuidsProperty =
    "8400040007002A00"
    "44006500760069006300650049006E007400650072006600610063006500470055004900440073000000"
    "5000"
    "7B00380038004200410045003000330032002D0035004100380031002D0034003900660030002D004200"
    "4300330044002D004100340046004600310033003800320031003600440036007D0000000000";
const std::string kWinUsbSet =
    kSetHeader + kConfigurationSubset + kFunctionSubset + kWinUsbId + kGuidsProperty;

// The features that apply to a whole device, at the set's top level: CCGP, minimum resume
// time, model ID, vendor revision and a REG_DWORD_LITTLE_ENDIAN property, for Windows 10.
const std::string kDeviceSet = "0A0000000000000A6C00"
                               "04000700"
                               "06000500320A"
                               "14000600DF60DDD88945C74C9CD2659D9E648A9F"
                               "060008000300"
                               "3E00040004003000"
                               "530065006C00650063007400690076006500530075007300700065006E006400"
                               "45006E00610062006C00650064000000"
                               "040001000000";

std::string BlocksText(const LaidDescriptor& d) {
    std::string s;
    for (const LaidBlock& b : d.blocks) {
        s += std::string(b.depth * 2u, ' ') + b.title + ":";
        for (const LaidField& f : b.fields) {
            if (f.name != "wLength" && f.name != "wDescriptorType") {
                s += " " + f.name + "=" + f.text;
            }
        }
        s += "\n";
    }
    return s;
}

TEST(MsOs20, DescriptorSetsNestTheirSubsetsAndReadEveryFeature) {
    const LaidDescriptor winUsb = ParseMsOs20Set(Bytes(kWinUsbSet), 0xB2);
    EXPECT_TRUE(winUsb.problems.empty()) << winUsb.problems.front().what;
    EXPECT_EQ(FieldsText(winUsb.header), "wLength=10\nwDescriptorType=0x0000\n"
                                         "dwWindowsVersion=0x06030000 (Windows 8.1)\n"
                                         "wTotalLength=178\n");
    EXPECT_EQ(BlocksText(winUsb),
              "Configuration subset: bConfigurationValue=0 bReserved=0 wTotalLength=168\n"
              "  Function subset: bFirstInterface=1 bReserved=0 wSubsetLength=160\n"
              "    Compatible ID: CompatibleID=WINUSB SubCompatibleID=\n"
              "    Registry property: wPropertyDataType=7 (REG_MULTI_SZ) "
              "wPropertyNameLength=42 PropertyName=DeviceInterfaceGUIDs wPropertyDataLength=80 "
              "PropertyData={88BAE032-5A81-49f0-BC3D-A4FF138216D6}\n");
    EXPECT_EQ(winUsb.end, 178u);
    EXPECT_EQ(MsOs20Summary(winUsb), "WINUSB, DeviceInterfaceGUIDs");

    const LaidDescriptor device = ParseMsOs20Set(Bytes(kDeviceSet), 0x6C);
    EXPECT_TRUE(device.problems.empty()) << device.problems.front().what;
    EXPECT_EQ(BlocksText(device),
              "CCGP device:\n"
              "Minimum resume time: bResumeRecoveryTime=50 bResumeSignalingTime=10\n"
              "Model ID: ModelID={d8dd60df-4589-4cc7-9cd2-659d9e648a9f}\n"
              "Vendor revision: VendorRevision=3\n"
              "Registry property: wPropertyDataType=4 (REG_DWORD_LITTLE_ENDIAN) "
              "wPropertyNameLength=48 PropertyName=SelectiveSuspendEnabled wPropertyDataLength=4 "
              "PropertyData=1 (0x00000001)\n");
    EXPECT_EQ(MsOs20Summary(device), "SelectiveSuspendEnabled");
}

TEST(MsOs20, FaultsInADescriptorSet) {
    struct Case {
        const char* name;
        std::string hex;
        std::size_t requested;
        std::vector<std::string> problems;
    };
    std::string longSubset =
        kSetHeader + kConfigurationSubset + kFunctionSubset + kWinUsbId + kGuidsProperty;
    longSubset.replace(kSetHeader.size() + kConfigurationSubset.size() + 12, 4, "A100");
    std::string longName =
        kSetHeader + kConfigurationSubset + kFunctionSubset + kWinUsbId + kGuidsProperty;
    longName.replace(longName.size() - kGuidsProperty.size() + 12, 4, "FF00");
    const std::vector<Case> cases = {
        // Read in two steps as Windows does: the header alone is complete as asked for.
        {"header read first", kSetHeader, 10, {}},
        {"cut by the device",
         kWinUsbSet.substr(0, 100),
         0xB2,
         {"50: wTotalLength 178 disagrees with the 50 bytes delivered",
          "46: wLength 132 is past the end: 4 bytes left"}},
        {"function subset past its configuration",
         longSubset,
         0xB2,
         {"24: wSubsetLength 161 runs past what holds it"}},
        {"property name past the descriptor",
         longName,
         0xB2,
         {"52: wPropertyNameLength 255 runs past the descriptor"}},
        {"compatible ID of the wrong length",
         "0A0000000000000A1E00" + std::string("1000030057494E5553420000000000000000"),
         0x1E,
         {"28: wTotalLength 30 disagrees with the 28 bytes delivered",
          "10: wLength 16 where 20 is right for Compatible ID", "26: 2 bytes left over"}},
        {"a descriptor too short to read",
         "0A0000000000000A0E00" + std::string("02000300"),
         0x0E,
         {"10: wLength 2 is too small for a descriptor"}},
        {"not a set header",
         "0A0001000000000A0A00",
         10,
         {"2: wDescriptorType 0x0001 is not a descriptor set header"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::uint8_t> bytes = Bytes(c.hex);
        const LaidDescriptor d = ParseMsOs20Set(bytes, c.requested);
        std::vector<std::string> problems;
        for (const DescriptorProblem& p : d.problems) {
            problems.push_back(std::to_string(p.offset) + ": " + p.what);
        }
        EXPECT_EQ(problems, c.problems);
        EXPECT_LE(d.end, bytes.size());
    }
}

TEST(MsOs20, SetRequestIsKnownByTheBosVendorCodeOrByItsHeader) {
    // The BOS above names vendor code 1 for the set (table 4).
    const std::vector<std::uint8_t> bos = Bytes("050F210001" + kMsOs20);
    EXPECT_EQ(MsOs20VendorCode(bos), 0x01);
    EXPECT_EQ(MsOs20VendorCode(Bytes("050F050000")), std::nullopt);
    const std::vector<std::uint8_t> set = Bytes(kWinUsbSet);
    const std::vector<std::uint8_t> other = Bytes("0A000100000003060A00");
    const auto request = [](std::uint8_t type, std::uint8_t code, std::uint16_t index) {
        return VendorRequest(type, code, index, 0xB2);
    };
    struct Case {
        capture::SetupRequest r;
        std::optional<std::uint8_t> code;
        const std::vector<std::uint8_t>* data;
        bool want;
    };
    const std::vector<Case> cases = {
        {request(0xC0, 0x01, 7), 0x01, &other, true}, // the vendor code decides
        {request(0xC0, 0x02, 7), 0x01, &set, false},  // another vendor request
        {request(0xC1, 0x01, 7), 0x01, &set, false},  // to an interface
        {request(0xC0, 0x01, 4), 0x01, &set, false},  // MS OS 1.0's compat ID index
        {request(0x40, 0x01, 7), 0x01, &set, false},  // host-to-device
        {request(0xC0, 0x77, 7), std::nullopt, &set, true},
        {request(0xC0, 0x77, 7), std::nullopt, &other, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(IsMsOs20SetRequest(cases[i].r, cases[i].code, *cases[i].data), cases[i].want)
            << "case " << i;
    }
}

// Microsoft OS 1.0 Extended Properties OS Feature Descriptor Specification, its example: two
// custom properties, "Label" (REG_SZ "xyz 1-0022") and "Icons" (REG_EXPAND_SZ).
const std::string kLabel = "30000000010000000C004C006100620065006C00000016000000780079007A0020"
                           "0031002D0030003000320032000000";
const std::string kIcons = "68000000020000000C00490063006F006E00730000004E0000002500530079007300"
                           "740065006D0052006F006F00740025005C00730079007300740065006D0033003200"
                           "5C007300680065006C006C00330032002E0064006C006C002C002D00320033003300"
                           "0000";
const std::string kExtendedProperties = "A2000000000105000200" + kLabel + kIcons;

TEST(MsOs10, ExtendedPropertiesAndTheirFaults) {
    const LaidDescriptor d = ParseMsExtendedProperties(Bytes(kExtendedProperties), 0xA2);
    EXPECT_TRUE(d.problems.empty()) << d.problems.front().what;
    EXPECT_EQ(FieldsText(d.header), "dwLength=162\nbcdVersion=1.00\nwIndex=0x0005\nwCount=2\n");
    EXPECT_EQ(BlocksText(d),
              "Property 0: dwSize=48 dwPropertyDataType=1 (REG_SZ) wPropertyNameLength=12 "
              "bPropertyName=Label dwPropertyDataLength=22 bPropertyData=xyz 1-0022\n"
              "Property 1: dwSize=104 dwPropertyDataType=2 (REG_EXPAND_SZ) "
              "wPropertyNameLength=12 bPropertyName=Icons dwPropertyDataLength=78 "
              "bPropertyData=%SystemRoot%\\system32\\shell32.dll,-233\n");
    EXPECT_EQ(MsPropertiesSummary(d), "Label, Icons");
    EXPECT_EQ(d.end, 162u);

    // The header read first is complete as asked for; a count the sections do not reach, and
    // a section whose parts add up to another size, are faults.
    EXPECT_TRUE(
        ParseMsExtendedProperties(Bytes(kExtendedProperties.substr(0, 20)), 10).problems.empty());
    const std::string three = "6A000000000105000300" + kLabel + kLabel;
    const LaidDescriptor counted = ParseMsExtendedProperties(Bytes(three), 0xFF);
    ASSERT_EQ(counted.problems.size(), 1u);
    EXPECT_EQ(counted.problems[0].what, "wCount 3 where 2 follow");
    std::string sized = "3C000000000105000100" + kLabel;
    sized.replace(20, 2, "32");
    const LaidDescriptor wrong = ParseMsExtendedProperties(Bytes(sized + "0000"), 0xFF);
    ASSERT_EQ(wrong.problems.size(), 1u);
    EXPECT_EQ(wrong.problems[0].what, "dwSize 50 where the property takes 48");
}

} // namespace
} // namespace vintrace::protocol
