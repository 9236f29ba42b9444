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

TEST(UsbIds, MissingFileGivesNothing) {
    EXPECT_FALSE(UsbIds::Load(VINTRACE_TEST_DATA "/no-such-usb.ids"));
    const auto sample = UsbIds::Load(VINTRACE_TEST_DATA "/usb.ids.sample");
    ASSERT_TRUE(sample);
    EXPECT_EQ(sample->product(0x1BCF, 0x0005), "Test Mouse");
}

} // namespace
} // namespace vintrace::protocol
