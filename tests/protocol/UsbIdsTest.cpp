#include "protocol/UsbIds.h"
#include "protocol/HidReport.h"

#include <gtest/gtest.h>

namespace vintrace::protocol {
namespace {

TEST(UsbIds, ReadsVendorsAndTheirProductsOnly) {
    const UsbIds ids = UsbIds::Parse("# comment\n"
                                     "1bcf  Vendor One\r\n"
                                     "\t0005  Mouse  \n"
                                     "\t\t0001  an interface, not a product\n"
                                     "\tzz05  not hex\n"
                                     "303a  Vendor Two\n"
                                     "\t1001  Debug Unit\n"
                                     "C 03  Human Interface Device\n"
                                     "\t0101  class lines are not products\n"
                                     "ab  too short\n"
                                     "1234Missing separator\n");
    EXPECT_EQ(ids.vendor(0x1BCF), "Vendor One");
    EXPECT_EQ(ids.product(0x1BCF, 0x0005), "Mouse");
    EXPECT_EQ(ids.product(0x1BCF, 0x0001), std::nullopt);
    EXPECT_EQ(ids.product(0x303A, 0x1001), "Debug Unit");
    EXPECT_EQ(ids.product(0x303A, 0x0101), std::nullopt);
    EXPECT_EQ(ids.vendor(0x1234), std::nullopt);
    EXPECT_EQ(ids.vendor(0xFFFF), std::nullopt);
}

TEST(UsbIds, ReadsClassesWithTheirSubclassesAndProtocols) {
    const UsbIds ids = UsbIds::Parse("1bcf  Vendor One\n"
                                     "\t0005  Mouse\n"
                                     "\t\t01  an interface of a product, not a protocol\n"
                                     "C 03  Human Interface Device\n"
                                     "\t01  Boot Interface Subclass\n"
                                     "\t\t02  Mouse\r\n"
                                     "\t0x  not hex\n"
                                     "\t\t05  under no subclass\n"
                                     "C 08  Mass Storage\n"
                                     "\t06  SCSI\n"
                                     "AT 0100  USB Undefined\n"
                                     "\t01  not a subclass of a class\n"
                                     "\t\t50  nor a protocol\n");
    EXPECT_EQ(ids.subclass(3, 1), "Boot Interface Subclass");
    EXPECT_EQ(ids.protocol(3, 1, 2), "Mouse");
    EXPECT_EQ(ids.subclass(8, 6), "SCSI");
    EXPECT_EQ(ids.protocol(8, 6, 0x50), std::nullopt);
    EXPECT_EQ(ids.subclass(8, 1), std::nullopt);
    EXPECT_EQ(ids.protocol(3, 1, 5), std::nullopt);
    EXPECT_EQ(ids.protocol(0x1B, 0xCF, 1), std::nullopt);
    EXPECT_EQ(ids.product(0x1BCF, 0x0005), "Mouse");
    EXPECT_EQ(ids.vendor(0x1BCF), "Vendor One");
}

// The HID usage tables hwdata appends ("HUT 01", usages with three digits); names the decoder
// lacks come from there, its own short names stay first (HID Usage Tables 1.12, 4 and 10).
TEST(UsbIds, HidUsageTablesNameWhatTheDecoderDoesNot) {
    const UsbIds ids = UsbIds::Parse("C 03  Human Interface Device\n"
                                     "\t01  Boot Interface Subclass\n"
                                     "HUT 01  Generic Desktop Controls\n"
                                     "\t030  Direction-X\n"
                                     "\t0c5  System Display Toggle Int/Ext Mode\n"
                                     "\tzz1  not hex\n"
                                     "HUT 0f  Physical Interface Device\n"
                                     "\t021  Set Effect Report\r\n"
                                     "\t\t01  nested lines are not usages\n"
                                     "HUT 84  Power Device\n"
                                     "\t01a  Input\x01\n"
                                     "R 01  not a usage page\n"
                                     "\t022  nor a usage of one\n");
    EXPECT_EQ(ids.subclass(3, 1), "Boot Interface Subclass");
    EXPECT_EQ(ids.usagePage(0x0F), "Physical Interface Device");
    EXPECT_EQ(ids.usage(0x0F, 0x21), "Set Effect Report");
    EXPECT_EQ(ids.usage(0x01, 0xC5), "System Display Toggle Int/Ext Mode");
    EXPECT_EQ(ids.usage(0x0F, 0x22), std::nullopt);
    EXPECT_EQ(ids.usagePage(0x02), std::nullopt);

    const struct {
        std::uint16_t page;
        std::uint32_t usage;
        const char* withIds;
        const char* without;
    } usages[] = {
        {0x01, 0x30, "X", "X"}, // the decoder's own name wins
        {0x01, 0xC5, "System Display Toggle Int/Ext Mode", "Usage 0xC5"},
        {0x0F, 0x21, "Set Effect Report", "Usage 0x21"},
        {0x07, 0xF0, "Key 0xF0", "Key 0xF0"},
        {0x84, 0x1A, "Input\\x01", "Usage 0x1A"}, // shown escaped, as any usb.ids text
        {0x0F, 0x10021, "Usage 0x10021", "Usage 0x10021"},
    };
    for (const auto& u : usages) {
        SCOPED_TRACE(u.usage);
        EXPECT_EQ(UsageName(u.page, u.usage, &ids), u.withIds);
        EXPECT_EQ(UsageName(u.page, u.usage), u.without);
    }
    EXPECT_EQ(UsagePageName(0x01, &ids), "Generic Desktop");
    EXPECT_EQ(UsagePageName(0x0F, &ids), "Physical Interface Device");
    EXPECT_EQ(UsagePageName(0x0F), "Page 0x000F");
    EXPECT_EQ(UsagePageName(0xFF00, &ids), "Vendor 0xFF00");

    // A report descriptor listed with the tables: Usage Page (0x0F), Usage (0x21).
    const std::vector<std::string> lines = ReportDescriptorListingLines(
        ParseReportDescriptor(std::vector<std::uint8_t>{0x05, 0x0F, 0x09, 0x21}), &ids);
    EXPECT_EQ(lines, (std::vector<std::string>{"Usage Page (Physical Interface Device)",
                                               "Usage (Set Effect Report)"}));
}

TEST(UsbIds, MissingFileGivesNothing) {
    EXPECT_FALSE(UsbIds::Load(VINTRACE_TEST_DATA "/no-such-usb.ids"));
    const auto sample = UsbIds::Load(VINTRACE_TEST_DATA "/usb.ids.sample");
    ASSERT_TRUE(sample);
    EXPECT_EQ(sample->product(0x1BCF, 0x0005), "Test Mouse");
}

} // namespace
} // namespace vintrace::protocol
