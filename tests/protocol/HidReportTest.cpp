#include "protocol/HidReport.h"
#include "support/CaptureBytes.h"

#include "capture/CaptureLoader.h"
#include "protocol/Devices.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vintrace::protocol {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view hex) {
    return test::Hex(hex);
}

// A three-button mouse with a wheel, without report IDs.
const char* const kMouse = "05 01 09 02 A1 01 09 01 A1 00 05 09 19 01 29 03 15 00 25 01 95 03 "
                           "75 01 81 02 95 01 75 05 81 01 05 01 09 30 09 31 09 38 15 81 25 7F "
                           "75 08 95 03 81 06 C0 C0";
// A keyboard: modifiers as variables, a reserved byte, six keys as an array, LEDs as output.
const char* const kKeyboard = "05 01 09 06 A1 01 05 07 19 E0 29 E7 15 00 25 01 75 01 95 08 81 02 "
                              "95 01 75 08 81 01 95 05 75 01 05 08 19 01 29 05 91 02 95 01 75 03 "
                              "91 01 95 06 75 08 15 00 25 65 05 07 19 00 29 65 81 00 C0";

TEST(HidReportDescriptor, ListingIsBoundedWhateverTheNesting) {
    // n one-byte Collection items nested n deep, or n End Collections without one: the
    // listing's indentation, items and problems are capped, the rest counted.
    struct Case {
        const char* name;
        std::uint8_t item;
        std::size_t n;
        std::size_t line;
        std::string text;
    };
    const std::string deepest(kIndentedDepth * 2, ' ');
    const std::vector<Case> cases = {
        {"indented to the cap", 0xA0, 40, kIndentedDepth, deepest + "Collection (Physical)"},
        {"deeper says its depth", 0xA0, 40, kIndentedDepth + 1,
         deepest + "[depth " + std::to_string(kIndentedDepth + 1) + "] Collection (Physical)"},
        {"items counted past the cap", 0xA0, 70000, kListedItems,
         std::to_string(70000 - kListedItems) + " more items"},
        {"problems counted past the cap", 0xC0, 100, 100 + kListedProblems,
         "! " + std::to_string(100 - kListedProblems) + " more problems"},
    };
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> bytes(c.n, c.item);
        const std::vector<std::string> lines =
            ReportDescriptorListingLines(ParseReportDescriptor(bytes));
        ASSERT_GT(lines.size(), c.line) << c.name;
        EXPECT_EQ(lines[c.line], c.text) << c.name;
        EXPECT_LE(lines.size(), kListedItems + kListedProblems + 2) << c.name;
    }
}

TEST(HidReportDescriptor, ListsItemsIndentedByCollection) {
    const HidReportDescriptor d = ParseReportDescriptor(Bytes(kMouse));
    EXPECT_TRUE(d.problems.empty());
    EXPECT_EQ(ReportDescriptorListing(d), "Usage Page (Generic Desktop)\n"
                                          "Usage (Mouse)\n"
                                          "Collection (Application)\n"
                                          "  Usage (Pointer)\n"
                                          "  Collection (Physical)\n"
                                          "    Usage Page (Button)\n"
                                          "    Usage Minimum (Button 1)\n"
                                          "    Usage Maximum (Button 3)\n"
                                          "    Logical Minimum (0)\n"
                                          "    Logical Maximum (1)\n"
                                          "    Report Count (3)\n"
                                          "    Report Size (1)\n"
                                          "    Input (Data, Variable, Absolute)\n"
                                          "    Report Count (1)\n"
                                          "    Report Size (5)\n"
                                          "    Input (Constant, Array, Absolute)\n"
                                          "    Usage Page (Generic Desktop)\n"
                                          "    Usage (X)\n"
                                          "    Usage (Y)\n"
                                          "    Usage (Wheel)\n"
                                          "    Logical Minimum (-127)\n"
                                          "    Logical Maximum (127)\n"
                                          "    Report Size (8)\n"
                                          "    Report Count (3)\n"
                                          "    Input (Data, Variable, Relative)\n"
                                          "  End Collection\n"
                                          "End Collection\n");
    EXPECT_EQ(d.reportBits(HidReportKind::Input, 0), 32u);
}

struct ProblemCase {
    const char* name;
    const char* hex;
    std::size_t items;
    std::vector<std::pair<std::size_t, std::string>> problems;
};

void PrintTo(const ProblemCase& c, std::ostream* os) {
    *os << c.name;
}

class Malformed : public ::testing::TestWithParam<ProblemCase> {};

TEST_P(Malformed, ReportsWhatIsWrongAndStopsAtTheEnd) {
    const HidReportDescriptor d = ParseReportDescriptor(Bytes(GetParam().hex));
    EXPECT_EQ(d.items.size(), GetParam().items);
    EXPECT_EQ(d.problems, GetParam().problems);
}

INSTANTIATE_TEST_SUITE_P(
    Hid, Malformed,
    ::testing::Values(
        ProblemCase{"DataPastTheEnd",
                    "05 01 27 FF FF",
                    1,
                    {{2, "item data past the end: 4 bytes, 2 left"}}},
        ProblemCase{
            "LongItemPastTheEnd", "FE 05 10 01 02", 0, {{0, "long item data past the end"}}},
        ProblemCase{"LongItemSkipped", "FE 02 10 01 02 05 01", 2, {}},
        ProblemCase{"UnbalancedCollections",
                    "A1 01 C0 C0 A1 00",
                    4,
                    {{3, "End Collection without Collection"},
                     {6, "1 Collection(s) without End Collection"}}},
        ProblemCase{"PopWithoutPush", "B4", 1, {{0, "Pop without Push"}}},
        // 65535 fields of 65535 bits: refused, not laid out.
        ProblemCase{"HugeReport",
                    "77 FF FF 00 00 97 FF FF 00 00 81 02",
                    3,
                    {{10, "Report Size 65535 x Report Count 65535 is too large to lay out"}}},
        ProblemCase{"ReportIdZero", "85 00", 1, {{0, "Report ID 0 is out of range"}}},
        // 6.2.2.7: usages are read within a Usage Page; said once per descriptor.
        ProblemCase{"UsageWithoutPage",
                    "09 02 A1 01 C0 09 01 A1 00 C0",
                    6,
                    {{2, "Collection item without a Usage Page"}}},
        ProblemCase{"DataWithoutPage",
                    "75 08 95 01 81 01 81 02",
                    4,
                    {{6, "Input item without a Usage Page"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HidReports, DecodeByDescriptor) {
    struct Case {
        const char* descriptor;
        HidReportKind kind;
        const char* report;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {kMouse, HidReportKind::Input, "01 03 FE 00",
         "Button 1: 1, Button 2: 0, Button 3: 0, X: +3, Y: -2, Wheel: 0"},
        {kMouse, HidReportKind::Input, "06 81 7F FF",
         "Button 1: 0, Button 2: 1, Button 3: 1, X: -127, Y: +127, Wheel: -1"},
        // Fields past the report's end are left out and the shortfall said.
        {kMouse, HidReportKind::Input, "01 03",
         "Button 1: 1, Button 2: 0, Button 3: 0, X: +3, short report: 2 of 4 bytes"},
        {kMouse, HidReportKind::Output, "01", std::nullopt},
        {kKeyboard, HidReportKind::Input, "22 00 04 05 00 00 00 00",
         "Left Control: 0, Left Shift: 1, Left Alt: 0, Left GUI: 0, Right Control: 0, "
         "Right Shift: 1, Right Alt: 0, Right GUI: 0, Selected: a, b"},
        {kKeyboard, HidReportKind::Output, "02",
         "Num Lock: 0, Caps Lock: 1, Scroll Lock: 0, Compose: 0, Kana: 0"},
        // With report IDs the first byte picks the report; an ID it does not define, nothing.
        {"85 02 05 09 19 01 29 02 15 00 25 01 75 01 95 02 81 02 75 06 95 01 81 01", //
         HidReportKind::Input, "02 02", "Button 1: 0, Button 2: 1"},
        {"85 02 05 09 19 01 29 02 15 00 25 01 75 01 95 02 81 02 75 06 95 01 81 01", //
         HidReportKind::Input, "03 02", std::nullopt},
    };
    for (const Case& c : cases) {
        const HidReportDescriptor d = ParseReportDescriptor(Bytes(c.descriptor));
        EXPECT_EQ(DecodeReport(d, c.kind, Bytes(c.report)), c.expected) << c.report;
        EXPECT_EQ(HidReportReader(d).decode(c.kind, Bytes(c.report)), c.expected) << c.report;
    }
}

// The reader that works out a descriptor's names once says what DecodeReport says, report
// by report: random reports of every length, over the descriptors above and random ones.
TEST(HidReports, ReaderMatchesDecodeReport) {
    std::mt19937 random(7);
    auto randomBytes = [&](std::size_t n) {
        std::vector<std::uint8_t> bytes(n);
        for (std::uint8_t& b : bytes) {
            b = static_cast<std::uint8_t>(random());
        }
        return bytes;
    };
    std::vector<std::vector<std::uint8_t>> descriptors = {
        Bytes(kMouse), Bytes(kKeyboard),
        Bytes("85 02 05 09 19 01 29 02 15 00 25 01 75 01 95 02 81 02 75 06 95 01 81 01 "
              "85 07 05 01 09 30 15 81 25 7F 75 08 95 01 81 06 09 31 75 10 95 01 B1 02")};
    for (int i = 0; i < 200; ++i) {
        descriptors.push_back(randomBytes(random() % 64));
    }
    std::size_t decoded = 0;
    for (const auto& bytes : descriptors) {
        const HidReportDescriptor d = ParseReportDescriptor(bytes);
        const HidReportReader reader(d);
        for (const HidReportKind kind :
             {HidReportKind::Input, HidReportKind::Output, HidReportKind::Feature}) {
            EXPECT_EQ(reader.reportBits(kind, 2), d.reportBits(kind, 2));
            for (int r = 0; r < 20; ++r) {
                std::vector<std::uint8_t> report = randomBytes(random() % 12);
                if (!report.empty() && r % 2 == 0) {
                    report[0] = static_cast<std::uint8_t>(r % 4 == 0 ? 2 : 7);
                }
                const auto expected = DecodeReport(d, kind, report);
                ASSERT_EQ(reader.decode(kind, report), expected) << test::HexOf(bytes);
                decoded += expected ? 1 : 0;
            }
        }
    }
    EXPECT_GT(decoded, 50u);
}

TEST(HidReports, DecodeBootProtocol) {
    EXPECT_EQ(DecodeBootMouse(Bytes("05 0A F6")),
              "Button 1: 1, Button 2: 0, Button 3: 1, X: +10, Y: -10");
    EXPECT_EQ(DecodeBootMouse(Bytes("00 00 00 01")),
              "Button 1: 0, Button 2: 0, Button 3: 0, X: 0, Y: 0, Wheel: +1");
    EXPECT_EQ(DecodeBootMouse(Bytes("00 00")), std::nullopt);
    EXPECT_EQ(DecodeBootKeyboard(Bytes("02 00 0B 08 00 00 00 00")), "Keys: Left Shift, h, e");
    EXPECT_EQ(DecodeBootKeyboard(Bytes("00 00 00 00 00 00 00 00")), "Keys: none");
    // HID Usage Tables 10: punctuation, function keys, arrows and the keypad by name.
    EXPECT_EQ(DecodeBootKeyboard(Bytes("00 00 2D 36 3A 45 4F 59")),
              "Keys: Minus, Comma, F1, F12, Right Arrow, Keypad 1");
    EXPECT_EQ(DecodeBootKeyboard(Bytes("00 00 68 73 62 31 87 98")),
              "Keys: F13, F24, Keypad 0, Backslash, International1, LANG9");
    // Reserved usages stay numbers.
    EXPECT_EQ(DecodeBootKeyboard(Bytes("00 00 A5 00 00 00 00 00")), "Keys: Key 0xA5");
    EXPECT_EQ(DecodeBootKeyboard(Bytes("00 00 00")), std::nullopt);
}

// The real low-speed mouse: its reports decoded by the report descriptor it delivered.
TEST(HidReports, LowSpeedMouseCapture) {
    capture::PacketList packets;
    capture::EndpointTable table;
    ASSERT_TRUE(capture::LoadCaptureFile(VINTRACE_TEST_DATA "/ls-mouse.dat", packets, table).ok());
    const Transactions tx = GroupTransactions(packets);
    const DescribedTransfers described = AssembleDescribedTransfers(packets, tx);
    const auto& devices = described.devices.devices();
    ASSERT_EQ(devices.size(), 1u);
    ASSERT_EQ(devices[0].reportDescriptors.count(0), 1u);
    const HidReportDescriptor d = ParseReportDescriptor(devices[0].reportDescriptors.at(0));
    EXPECT_TRUE(d.problems.empty());
    ASSERT_EQ(d.reportBits(HidReportKind::Input, 1), 48u);
    std::vector<std::uint8_t> reports;
    for (const TransferItem& item : described.items) {
        if (item.type == TransferType::Interrupt && item.endpoint == 1) {
            const auto data = DeliveredPayload(packets, tx, item);
            reports.insert(reports.end(), data.begin(), data.end());
        }
    }
    ASSERT_GE(reports.size(), 35u);
    const std::vector<std::string> expected = {
        "Button 1: 0, Button 2: 0, Button 3: 0, Button 4: 0, Button 5: 0, X: -1, "
        "Y: 0, Wheel: 0, AC Pan: 0",
        "Button 1: 0, Button 2: 0, Button 3: 0, Button 4: 0, Button 5: 0, X: -2, "
        "Y: 0, Wheel: 0, AC Pan: 0",
        "Button 1: 0, Button 2: 0, Button 3: 0, Button 4: 0, Button 5: 0, X: -4, "
        "Y: -1, Wheel: 0, AC Pan: 0",
        "Button 1: 0, Button 2: 0, Button 3: 0, Button 4: 0, Button 5: 0, X: -6, "
        "Y: -1, Wheel: 0, AC Pan: 0",
        "Button 1: 0, Button 2: 0, Button 3: 0, Button 4: 0, Button 5: 0, X: -9, "
        "Y: -2, Wheel: 0, AC Pan: 0"};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const std::span<const std::uint8_t> report(reports.data() + 7 * i, 7);
        EXPECT_EQ(DecodeReport(d, HidReportKind::Input, report), expected[i]) << i;
    }
}

} // namespace
} // namespace vintrace::protocol
