#include "protocol/UsbIds.h"

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

TEST(UsbIds, MissingFileGivesNothing) {
    EXPECT_FALSE(UsbIds::Load(VINTRACE_TEST_DATA "/no-such-usb.ids"));
    const auto sample = UsbIds::Load(VINTRACE_TEST_DATA "/usb.ids.sample");
    ASSERT_TRUE(sample);
    EXPECT_EQ(sample->product(0x1BCF, 0x0005), "Test Mouse");
}

} // namespace
} // namespace vintrace::protocol
