#include "protocol/VendorSerial.h"
#include "support/CaptureBytes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace vintrace::protocol {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view hex) {
    return test::Hex(hex);
}

capture::SetupRequest RequestOf(std::string_view hex) {
    return *capture::ParseSetupRequest(Bytes(hex));
}

TEST(SerialChips, KnownByVendorAndProductId) {
    EXPECT_EQ(FindSerialChip(0x0403, 0x6001)->name, "FT232R");
    EXPECT_FALSE(FindSerialChip(0x0403, 0x6001)->portInIndex);
    EXPECT_TRUE(FindSerialChip(0x0403, 0x6010)->portInIndex); // FT2232: ports A and B
    EXPECT_EQ(FindSerialChip(0x10C4, 0xEA60)->family, SerialChipFamily::Cp210x);
    EXPECT_EQ(FindSerialChip(0x1A86, 0x7523)->family, SerialChipFamily::Ch34x);
    EXPECT_EQ(FindSerialChip(0x067B, 0x2303)->family, SerialChipFamily::Pl2303);
    EXPECT_EQ(FindSerialChip(0x0403, 0x1234), std::nullopt);
    EXPECT_EQ(FindSerialChip(0x1209, 0x6001), std::nullopt);
}

TEST(Ftdi, BaudRateFromDivisor) {
    struct Case {
        std::uint16_t value;
        std::uint16_t index;
        bool portInIndex;
        double baud; // 0: rejected
    };
    const std::vector<Case> cases = {
        // AN232B-05, "Aliasing" table: 115200, 9600 (312.5: code 1 = 1/2) and 230400.
        {0x001A, 0x0000, false, 3e6 / 26},
        {0x4138, 0x0000, false, 9600},
        {0x000D, 0x0000, false, 3e6 / 13},
        // AN232B-05: divisors 0 and 1 are 3 and 2 Mbaud; below 2 nothing else is allowed.
        {0x0000, 0x0000, false, 3e6},
        {0x0001, 0x0000, false, 2e6},
        {0x4001, 0x0000, false, 0},
        // Codes 2 (1/4) and 3 (1/8) from wValue bits 14-15; 4 (3/8) needs wIndex bit 0.
        {0x8003, 0x0000, false, 3e6 / 3.25},
        {0xC01A, 0x0000, false, 3e6 / 26.125},
        {0x001A, 0x0001, false, 3e6 / 26.375},
        {0xC01A, 0x0001, false, 3e6 / 26.875},
        // Parts with ports: the port in the low byte, the code's high bit at bit 8, and
        // bit 9 selecting the 12 MHz clock of the hi-speed parts.
        {0x001A, 0x0101, true, 3e6 / 26.375},
        {0x001A, 0x0001, true, 3e6 / 26},
        {0x0068, 0x0202, true, 12e6 / 104},
        {0x0000, 0x0200, true, 12e6},
    };
    for (const Case& c : cases) {
        const auto baud = FtdiBaudRate(c.value, c.index, c.portInIndex);
        if (c.baud == 0) {
            EXPECT_EQ(baud, std::nullopt) << c.value;
        } else {
            ASSERT_TRUE(baud.has_value()) << c.value;
            EXPECT_NEAR(*baud, c.baud, 1e-6) << std::hex << c.value << " " << c.index;
        }
    }
}

struct RequestCase {
    const char* setup;
    const char* data;
    std::string expected;
};

void ExpectAll(const std::vector<RequestCase>& cases, bool portInIndex = false) {
    for (const RequestCase& c : cases) {
        EXPECT_EQ(DescribeFtdiRequest(RequestOf(c.setup), Bytes(c.data), portInIndex), c.expected)
            << c.setup;
    }
}

TEST(Ftdi, Requests) {
    ExpectAll({
        {"4000000000000000", "", "FTDI RESET"},
        {"4000010000000000", "", "FTDI RESET purge RX"},
        {"4000020000000000", "", "FTDI RESET purge TX"},
        {"4000070000000000", "", "FTDI RESET 0x0007"},
        // wValue bits 8 and 9 choose which lines the low bits set.
        {"4001030300000000", "", "FTDI SET_MODEM_CTRL DTR on, RTS on"},
        {"4001010100000000", "", "FTDI SET_MODEM_CTRL DTR on"},
        {"4001000200000000", "", "FTDI SET_MODEM_CTRL RTS off"},
        {"4001030000000000", "", "FTDI SET_MODEM_CTRL no change"},
        {"4002000000000000", "", "FTDI SET_FLOW_CTRL none"},
        {"4002000000010000", "", "FTDI SET_FLOW_CTRL RTS/CTS"},
        {"4002111300040000", "", "FTDI SET_FLOW_CTRL XON/XOFF (XON 0x11, XOFF 0x13)"},
        {"40031A0000000000", "", "FTDI SET_BAUD_RATE 115200 baud (115385 actual)"},
        {"4003384100000000", "", "FTDI SET_BAUD_RATE 9600 baud"},
        {"40030D0000000000", "", "FTDI SET_BAUD_RATE 230400 baud (230769 actual)"},
        {"4003014000000000", "", "FTDI SET_BAUD_RATE invalid divisor 0x4001/0x0000"},
        {"4003102700000000", "", "FTDI SET_BAUD_RATE 300 baud"},
        // SET_DATA: data bits, parity in bits 8-10, stop bits in 11-13, break in 14.
        {"4004080000000000", "", "FTDI SET_DATA 8N1"},
        {"4004070100000000", "", "FTDI SET_DATA 7O1"},
        {"4004081200000000", "", "FTDI SET_DATA 8E2"},
        {"4004084000000000", "", "FTDI SET_DATA 8N1, break on"},
        {"4004080700000000", "", "FTDI SET_DATA 8 data bits, parity 7, stop bits 0"},
        {"4004081800000000", "", "FTDI SET_DATA 8 data bits, parity 0, stop bits 3"},
        {"C005000000000200", "3160", "FTDI GET_MODEM_STATUS: CTS, DSR, THRE, TEMT"},
        {"C005000000000200", "F11E",
         "FTDI GET_MODEM_STATUS: CTS, DSR, RI, DCD, overrun, parity error, framing error, break"},
        {"C005000000000200", "", "FTDI GET_MODEM_STATUS"},
        {"40060D0100000000", "", "FTDI SET_EVENT_CHAR 0x0D enabled"},
        {"4007000000000000", "", "FTDI SET_ERROR_CHAR 0x00 disabled"},
        {"4009100000000000", "", "FTDI SET_LATENCY_TIMER 16 ms"},
        {"C00A000000000100", "02", "FTDI GET_LATENCY_TIMER: 2 ms"},
        {"C090000000000200", "", "FTDI request 0x90"},
    });
    // A part with ports names the port wIndex's low byte gives.
    ExpectAll({{"40031A0002000000", "", "FTDI SET_BAUD_RATE 115200 baud (115385 actual) port B"},
               {"4009020001000000", "", "FTDI SET_LATENCY_TIMER 2 ms port A"}},
              true);
}

TEST(Ftdi, InPacketsStatusAndData) {
    using Packets = std::vector<std::vector<std::uint8_t>>;
    EXPECT_EQ(DescribeFtdiIn(Packets{Bytes("3160")}), "status CTS, DSR, THRE, TEMT");
    EXPECT_EQ(DescribeFtdiIn(Packets{Bytes("31604F4B0D0A")}),
              "text \"OK\\r\\n\"; status CTS, DSR, THRE, TEMT");
    // Every packet carries its header; the data runs on across them. The last packet's lines
    // show, and an error in any of them.
    EXPECT_EQ(StripFtdiStatus(Packets{Bytes("3162 4142"), Bytes("0160 43"), Bytes("0160")}),
              Bytes("414243"));
    EXPECT_EQ(DescribeFtdiIn(Packets{Bytes("3162 4142"), Bytes("0160 43")}),
              "text \"ABC\"; status overrun, THRE, TEMT");
    EXPECT_EQ(DescribeFtdiIn(Packets{Bytes("0100 00FF")}), "2 data bytes; status none");
    EXPECT_EQ(DescribeFtdiIn(Packets{Bytes("31")}), "no status header");
}

TEST(SerialChips, OtherChipsRequests) {
    const std::vector<RequestCase> cp210x = {
        // AN571: SET_BAUDRATE carries the rate, SET_BAUDDIV a divisor of 3.6864 MHz.
        {"411E000000000400", "00C20100", "CP210x SET_BAUDRATE 115200 baud"},
        {"4101200000000000", "", "CP210x SET_BAUDDIV 115200 baud"},
        {"4100010000000000", "", "CP210x IFC_ENABLE enable"},
        {"4103000800000000", "", "CP210x SET_LINE_CTL 8N1"},
        {"4103210700000000", "", "CP210x SET_LINE_CTL 7E1.5"},
        {"4107030300000000", "", "CP210x SET_MHS DTR on, RTS on"},
        {"C108000000000100", "31", "CP210x GET_MDMSTS: DTR, CTS, DSR"},
        {"41120F0000000000", "", "CP210x PURGE TX, RX"},
        {"C110000000001300", "02000000 00000000 05000000 00000000 000000",
         "CP210x GET_COMM_STATUS: errors framing error, 5 bytes in, 0 bytes out"},
        {"C110000000001300", "0200", "CP210x GET_COMM_STATUS"},
    };
    for (const RequestCase& c : cp210x) {
        EXPECT_EQ(DescribeCp210xRequest(RequestOf(c.setup), Bytes(c.data)), c.expected);
    }
    const std::vector<RequestCase> ch34x = {
        // Prescaler and divisor registers of a 48 MHz clock: 0xCC83 and 0xB202 are the
        // values drivers write for 115200 and 9600.
        {"409A1213 83CC 0000", "", "CH34x WRITE_REG 0x1312 = 0xCC83 (115200 baud (115385 actual))"},
        {"409A1213 02B2 0000", "", "CH34x WRITE_REG 0x1312 = 0xB202 (9600 baud (9615 actual))"},
        {"409A1825 C300 0000", "", "CH34x WRITE_REG 0x2518 = 0x00C3 (8N1)"},
        {"409A1825 DB00 0000", "", "CH34x WRITE_REG 0x2518 = 0x00DB (8E1)"},
        {"C095 0625 0000 0200", "FFEE", "CH34x READ_REG 0x2506: 0xFF 0xEE"},
        {"40A4 9FFF 0000 0000", "", "CH34x MODEM_CTRL DTR on, RTS on"},
        {"40A4 FFFF 0000 0000", "", "CH34x MODEM_CTRL DTR off, RTS off"},
    };
    for (const RequestCase& c : ch34x) {
        EXPECT_EQ(DescribeCh34xRequest(RequestOf(c.setup), Bytes(c.data)), c.expected);
    }
    const std::vector<RequestCase> pl2303 = {
        {"2120000000000700", "80250000000008", "PL2303 SET_LINE_CODING 9600 8N1"},
        {"2122010000000000", "", "PL2303 SET_CONTROL_LINE_STATE DTR on, RTS off"},
        {"C001848400000100", "02", "PL2303 VENDOR_READ 0x8484: 0x02"},
        {"4001040400000000", "", "PL2303 VENDOR_WRITE 0x0404 = 0x0000"},
    };
    for (const RequestCase& c : pl2303) {
        EXPECT_EQ(DescribePl2303Request(RequestOf(c.setup), Bytes(c.data)), c.expected);
    }
}

} // namespace
} // namespace vintrace::protocol
