#include "protocol/ClassDecoder.h"
#include "protocol/TransferSummary.h"
#include "support/BusSequence.h"
#include "support/CaptureBytes.h"

#include <gtest/gtest.h>

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

struct RequestCase {
    const char* setup;
    const char* data;
    std::string expected;
};

TEST(ClassRequests, Cdc) {
    const std::vector<RequestCase> cases = {
        {"2120000000000700", "80250000000008", "SET_LINE_CODING 9600 8N1"},
        {"A121000000000700", "00C20100020207", "GET_LINE_CODING 115200 7E2"},
        {"2120000000000700", "00E10000010305", "SET_LINE_CODING 57600 5M1.5"},
        {"2120000000000700", "80250000000508",
         "SET_LINE_CODING 9600 baud, 8 data bits, parity 0x05, stop bits 0x00"},
        {"A121000000000700", "00C201", "GET_LINE_CODING line coding of 3 bytes (7 expected)"},
        {"2122030000000000", "", "SET_CONTROL_LINE_STATE DTR on, RTS on"},
        {"2122020000000000", "", "SET_CONTROL_LINE_STATE DTR off, RTS on"},
        {"2123F40100000000", "", "SEND_BREAK 500 ms"},
        {"2123FFFF00000000", "", "SEND_BREAK until stopped"},
    };
    for (const RequestCase& c : cases) {
        EXPECT_EQ(DescribeCdcRequest(RequestOf(c.setup), Bytes(c.data)), c.expected) << c.setup;
    }
}

// DFU 1.1 3 (requests), 6.1.2 (GETSTATUS: bStatus, bwPollTimeout in three bytes, bState).
TEST(ClassRequests, Dfu) {
    const std::vector<RequestCase> cases = {
        {"2100E80300000000", "", "DFU_DETACH timeout 1000 ms"},
        {"2101030000000400", "01020304", "DFU_DNLOAD block 3, 4 bytes"},
        {"2101070000000000", "", "DFU_DNLOAD block 7, 0 bytes (end of image)"},
        {"A102000000000004", "0102", "DFU_UPLOAD block 0, 2 bytes (end of image)"},
        {"A103000000000600", "00 320000 05 00", "DFU_GETSTATUS OK, dfuDNLOAD-IDLE, poll 50 ms"},
        {"A103000000000600", "0A 000001 0A 00",
         "DFU_GETSTATUS errFIRMWARE, dfuERROR, poll 65536 ms"},
        {"A103000000000600", "20 000000 0B 00",
         "DFU_GETSTATUS status ? 0x20, state ? 0x0B, poll 0 ms"},
        {"A103000000000600", "0000", "DFU_GETSTATUS: 2 of 6 bytes"},
        {"2104000000000000", "", "DFU_CLRSTATUS"},
        {"A105000000000100", "02", "DFU_GETSTATE dfuIDLE"},
        {"2106000000000000", "", "DFU_ABORT"},
        {"2107000000000000", "", "DFU request 0x07"},
    };
    for (const RequestCase& c : cases) {
        EXPECT_EQ(DescribeDfuRequest(RequestOf(c.setup), Bytes(c.data)), c.expected) << c.setup;
    }
}

TEST(ClassRequests, Hid) {
    const std::vector<RequestCase> cases = {
        {"A101010100000800", "", "GET_REPORT input report 1 interface 0"},
        {"2109000302000100", "", "SET_REPORT feature report 0 interface 2"},
        {"210A001900000000", "", "SET_IDLE 100 ms report 0 interface 0"},
        {"210A000000000000", "", "SET_IDLE indefinite report 0 interface 0"},
        {"210B000001000000", "", "SET_PROTOCOL boot interface 1"},
        {"A103000000000100", "", "GET_PROTOCOL interface 0"},
        {"A102030000000100", "", "GET_IDLE report 3 interface 0"},
    };
    for (const RequestCase& c : cases) {
        EXPECT_EQ(DescribeHidRequest(RequestOf(c.setup)), c.expected) << c.setup;
    }
}

TEST(ClassRequests, Hub) {
    const std::vector<RequestCase> cases = {
        {"A300000002000400", "03011000",
         "GET_STATUS port 2: status connection, enable, power; changed reset"},
        {"A300000001000400", "0001", "GET_STATUS port 1"},
        {"2303040003000000", "", "SET_FEATURE PORT_RESET port 3"},
        {"2301100001000000", "", "CLEAR_FEATURE C_PORT_CONNECTION port 1"},
        {"A006002900000900", "0929040000320064",
         "GET_DESCRIPTOR HUB: 4 ports, power on to good "
         "100 ms"},
    };
    for (const RequestCase& c : cases) {
        EXPECT_EQ(DescribeHubRequest(RequestOf(c.setup), Bytes(c.data)), c.expected) << c.setup;
    }
}

TEST(MassStorage, WrappersAndScsiCommands) {
    const std::vector<std::pair<const char*, std::optional<std::string>>> cases = {
        {"55534243 01000000 24000000 80 00 06 12 00 00 00 24 00 00000000000000000000",
         "SCSI INQUIRY\nCBW tag 0x1, LUN 0, IN 36 bytes"},
        {"55534243 02000000 00100000 80 01 0A 28 00 00000800 00 0008 00 000000000000",
         "SCSI READ(10) LBA 2048 × 8\nCBW tag 0x2, LUN 1, IN 4096 bytes"},
        {"55534243 03000000 00020000 00 00 0A 2A 00 00000010 00 0001 00 000000000000",
         "SCSI WRITE(10) LBA 16 × 1\nCBW tag 0x3, LUN 0, OUT 512 bytes"},
        {"55534243 04000000 00000000 00 00 06 00 000000000000000000000000000000",
         "SCSI TEST UNIT READY\nCBW tag 0x4, LUN 0, no data"},
        {"55534243 05000000 12000000 80 00 06 03 00 00 00 12 00 00000000000000000000",
         "SCSI REQUEST SENSE\nCBW tag 0x5, LUN 0, IN 18 bytes"},
        {"55534243 06000000 08000000 80 00 0A 25 000000000000000000000000000000",
         "SCSI READ CAPACITY(10)\nCBW tag 0x6, LUN 0, IN 8 bytes"},
        {"55534243 07000000 C0000000 80 00 06 1A 00 3F 00 C0 00 00000000000000000000",
         "SCSI MODE SENSE(6) page 0x3F\nCBW tag 0x7, LUN 0, IN 192 bytes"},
        {"55534243 08000000 00000000 00 00 06 C1 000000000000000000000000000000",
         "SCSI operation 0xC1\nCBW tag 0x8, LUN 0, no data"},
        {"55534243 09000000 00000000 00 00 00 00 000000000000000000000000000000",
         "CBW without a command\nCBW tag 0x9, LUN 0, no data"},
        {"55534253 01000000 00000000 00", "CSW passed, residue 0\nCSW tag 0x1"},
        {"55534253 05000000 10000000 01", "CSW failed, residue 16\nCSW tag 0x5"},
        {"55534253 05000000 00000000 07", "CSW status 0x07, residue 0\nCSW tag 0x5"},
        // One byte short of a CBW, and the right length with the wrong signature.
        {"55534243 01000000 24000000 80 00 06 12 00 00 00 24 00 000000000000000000", std::nullopt},
        {"55535343 01000000 00000000 00", std::nullopt},
    };
    for (const auto& [hex, expected] : cases) {
        EXPECT_EQ(DescribeMassStorage(Bytes(hex)), expected) << hex;
    }
}

TEST(MassStorage, DataStagesReadByTheirCommand) {
    EXPECT_EQ(DescribeScsiData(0x12, Bytes("00 80 04 02 1F 00 00 00"
                                           "56454E444F522020"                 // "VENDOR  "
                                           "50524F44554354202020202020202020" // "PRODUCT"
                                           "312E3030")),
              "INQUIRY data: device type 0x00, removable, vendor \"VENDOR\", product "
              "\"PRODUCT\", revision \"1.00\"");
    EXPECT_EQ(DescribeScsiData(0x25, Bytes("0003FFFF00000200")),
              "READ CAPACITY data: last LBA 262143, block 512 bytes, 134217728 bytes");
    EXPECT_EQ(DescribeScsiData(0x03, Bytes("70 00 02 00000000 0A 00000000 3A 00 0000 00 00")),
              "sense: NOT READY, MEDIUM NOT PRESENT (ASC 0x3A ASCQ 0x00)");
    // A qualifier is part of the name (SPC-4 annex D): 0x21/0x00 is not 0x21/0x01.
    EXPECT_EQ(DescribeScsiData(0x03, Bytes("70 00 05 00000000 0A 00000000 21 00 0000 00 00")),
              "sense: ILLEGAL REQUEST, LOGICAL BLOCK ADDRESS OUT OF RANGE (ASC 0x21 ASCQ 0x00)");
    EXPECT_EQ(DescribeScsiData(0x03, Bytes("70 00 05 00000000 0A 00000000 21 01 0000 00 00")),
              "sense: ILLEGAL REQUEST, ASC 0x21 ASCQ 0x01");
    EXPECT_EQ(AdditionalSenseName(0x28, 0x00),
              "NOT READY TO READY CHANGE, MEDIUM MAY HAVE CHANGED");
    EXPECT_EQ(AdditionalSenseName(0x80, 0x00), std::nullopt);
    EXPECT_EQ(DescribeScsiData(0x03, Bytes("70 00 05")), "sense: ILLEGAL REQUEST");
    EXPECT_EQ(DescribeScsiData(0x5A, Bytes("0006 00 80 0000 0000")),
              "MODE SENSE data: 8 bytes, write-protected");
    EXPECT_EQ(DescribeScsiData(0x23, Bytes("000000 08 0003FFFF 02 000200")),
              "FORMAT CAPACITIES data: 262143 blocks of 512 bytes, formatted");
    EXPECT_EQ(DescribeScsiData(0x23, Bytes("000000 08 00000000 03 000200")),
              "FORMAT CAPACITIES data: 0 blocks of 512 bytes, no medium");
    // Cut short: nothing rather than a read past the data.
    EXPECT_EQ(DescribeScsiData(0x5A, Bytes("0006 00 80 0000 00")), std::nullopt);
    EXPECT_EQ(DescribeScsiData(0x23, Bytes("000000 08 0003FFFF 02 0002")), std::nullopt);
    EXPECT_EQ(DescribeScsiData(0x12, Bytes("0080")), std::nullopt);
    EXPECT_EQ(DescribeScsiData(0x28, Bytes("00112233")), std::nullopt);
    EXPECT_EQ(SenseKeyName(6), "UNIT ATTENTION");
}

TEST(Cdc, PrintableTextOnly) {
    EXPECT_EQ(PrintableText(Bytes("41540D0A")), "text \"AT\\r\\n\"");
    EXPECT_EQ(PrintableText(Bytes("225C")), "text \"\\\"\\\\\"");
    EXPECT_EQ(PrintableText(Bytes("4100")), std::nullopt);
    EXPECT_EQ(PrintableText(Bytes("")), std::nullopt);
}

/// A control transfer with an IN data stage, written as bus packets.
std::string ControlIn(int address, const std::string& setup, const std::string& data) {
    const std::string a = std::to_string(address) + ".0";
    return "SETUP " + a + ", DATA0 " + setup + ", ACK, IN " + a + ", DATA1 " + data +
           ", ACK, OUT " + a + ", DATA1, ACK, ";
}

/// Decodes every transfer of the bus sequence that says something: the title a tree column
/// shows, then the detail lines.
std::vector<std::string> DecodeAll(const std::string& bus) {
    const capture::PacketList packets = test::BusSequence(bus);
    const Transactions tx = GroupTransactions(packets);
    const DescribedTransfers described = AssembleDescribedTransfers(packets, tx);
    ClassDecoder decoder(packets, tx, described.devices);
    std::vector<std::string> out;
    for (const TransferItem& item : described.items) {
        if (const auto d = decoder.decode(item)) {
            const auto detail = d->text.find('\n');
            out.push_back(
                ToString(item).substr(0, ToString(item).find(" tx")) + ": " +
                TransferTitle(packets, tx, item, d) +
                (detail == std::string::npos ? "" : " | " + JoinLines(d->text.substr(detail + 1))));
        }
    }
    return out;
}

TEST(ClassDecoder, MassStorageCommandDataStatus) {
    // A bulk-only interface with bulk IN 0x81 and OUT 0x02, 64 bytes each.
    const std::string configuration = "09022000010100803209040000020806500007058102400000"
                                      "07050202400000";
    const std::string bus =
        ControlIn(7, "8006000200002000", configuration) +
        "OUT 7.2, DATA0 55534243090000000800000080000A25000000000000000000000000000000, ACK, "
        "IN 7.1, DATA0 0003FFFF00000200, ACK, "
        "IN 7.1, DATA1 55534253090000000000000000, ACK, "
        "OUT 7.2, DATA1 555342430A0000000000000000000600000000000000000000000000000000, ACK, "
        "IN 7.1, DATA0 555342530B0000000000000000, ACK, "
        // A data stage longer than a wrapper that begins like one is data all the same, and
        // an INQUIRY answer longer than its standard 36 bytes is read from its start.
        "OUT 7.2, DATA0 555342430C0000004000000080000A28000000000000000100000000000000, ACK, "
        "IN 7.1, DATA1 555342430D0000000000000000000600000000000000000000000000000000" +
        std::string(66, '0') +
        ", ACK, "
        "IN 7.1, DATA0 555342530C0000000000000000, ACK, "
        "OUT 7.2, DATA1 555342430E0000006000000080000612000000600000000000000000000000, ACK, "
        "IN 7.1, DATA1 00800502320000005645524241544D2053544F5245204E20474F202020202020302E3031" +
        std::string(56, '0') +
        ", ACK, "
        "IN 7.1, DATA0 " +
        std::string(64, '0') +
        ", ACK, "
        "IN 7.1, DATA1 555342530E0000000000000000, ACK, "
        "SETUP 7.0, DATA0 A1FE000000000100, ACK, IN 7.0, DATA1 00, ACK, "
        "OUT 7.0, DATA1, ACK";
    EXPECT_EQ(
        DecodeAll(bus),
        (std::vector<std::string>{
            "control 7.0 in ok: GET_DESCRIPTOR CONFIGURATION (32 of 32 bytes)",
            "bulk 7.2 out ok: SCSI READ CAPACITY(10) | CBW tag 0x9, LUN 0, IN 8 bytes",
            "bulk 7.1 in ok: READ CAPACITY data: last LBA 262143, block 512 bytes, "
            "134217728 bytes",
            "bulk 7.1 in ok: CSW passed, residue 0 | CSW tag 0x9, for SCSI READ CAPACITY(10)",
            // BOT 1.0 5.2: a status wrapper carries its command's tag.
            "bulk 7.2 out ok: SCSI TEST UNIT READY | CBW tag 0xA, LUN 0, no data",
            "bulk 7.1 in error: CSW passed, residue 0 | CSW tag 0xB, not the tag of the "
            "last command (0xA, SCSI TEST UNIT READY)",
            "bulk 7.2 out ok: SCSI READ(10) LBA 0 × 1 | CBW tag 0xC, LUN 0, IN 64 bytes",
            "bulk 7.1 in ok: CSW passed, residue 0 | CSW tag 0xC, for SCSI READ(10) LBA 0 × 1",
            "bulk 7.2 out ok: SCSI INQUIRY | CBW tag 0xE, LUN 0, IN 96 bytes",
            "bulk 7.1 in ok: INQUIRY data: device type 0x00, removable, vendor \"VERBATM\", "
            "product \"STORE N GO\", revision \"0.01\"",
            "bulk 7.1 in ok: CSW passed, residue 0 | CSW tag 0xE, for SCSI INQUIRY",
            "control 7.0 in ok: Get Max LUN: 0"}));
}

TEST(ClassDecoder, AudioRequestsAndMidiEvents) {
    // Audio control interface 0 with feature unit 2, audio streaming interface 1 with
    // isochronous OUT 0x01, MIDI streaming interface 2 with bulk OUT 0x02 (Audio 1.0 4.3.2,
    // 4.6.1; USB MIDI 1.0 6.1.2, 6.2.2).
    const std::string configuration = "09025D000301008032"
                                      "090400000001010000"
                                      "0A240100011400020102"
                                      "0A240602010103060600"
                                      "090401010101020000"
                                      "09050109C000010000"
                                      "07250101000000"
                                      "090402000101030000"
                                      "07240100011500"
                                      "090502024000000000"
                                      "0525010101";
    // Audio 1.0 5.2.2.4.3.2 and 5.2.3.2.3.1: volume in 1/256 dB, sampling frequency in Hz.
    const std::string bus =
        "SETUP 4.0, DATA0 8006000200005D00, ACK, IN 4.0, DATA1 " + configuration.substr(0, 128) +
        ", ACK, IN 4.0, DATA0 " + configuration.substr(128) +
        ", ACK, OUT 4.0, DATA1, ACK, "
        "SETUP 4.0, DATA0 2101000200020200, ACK, OUT 4.0, DATA1 80F3, ACK, IN 4.0, DATA1, ACK, "
        "SETUP 4.0, DATA0 2201000101000300, ACK, OUT 4.0, DATA1 80BB00, ACK, IN 4.0, DATA1, "
        "ACK, OUT 4.2, DATA0 09903C640BB00764, ACK";
    EXPECT_EQ(DecodeAll(bus),
              (std::vector<std::string>{
                  "control 4.0 in ok: GET_DESCRIPTOR CONFIGURATION (93 of 93 bytes)",
                  "control 4.0 out ok: SET_CUR Volume master, Feature Unit 2: -12.50 dB",
                  "control 4.0 out ok: SET_CUR Sampling Frequency, endpoint 0x01: 48000 Hz",
                  "bulk 4.2 out ok: Note On ch 1 C4 vel 100 (2 events) | CC ch 1 7 Volume 100"}));
}

TEST(ClassDecoder, BootMouseWithoutReportDescriptorAndRecipientNames) {
    // A boot mouse: interrupt IN 0x81, 4 bytes; no report descriptor in the capture.
    const std::string configuration = "09022200010100A032090400000103010200"
                                      "0921110100012234000705810304000A";
    const std::string bus = ControlIn(3, "8006000200002200", configuration) +
                            "IN 3.1, DATA0 010AF6, ACK, "
                            "SETUP 3.0, DATA0 0201000081000000, ACK, IN 3.0, DATA1, ACK";
    EXPECT_EQ(DecodeAll(bus),
              (std::vector<std::string>{
                  "control 3.0 in ok: GET_DESCRIPTOR CONFIGURATION (34 of 34 bytes)",
                  "interrupt 3.1 in ok: HID report: Button 1: 1, Button 2: 0, Button 3: 0, X: "
                  "+10, Y: -10",
                  "control 3.0 out ok: CLEAR_FEATURE; to endpoint 0x81 (interrupt IN)"}));
}

} // namespace
} // namespace vintrace::protocol

namespace vintrace::protocol {
namespace {

TEST(ClassDecoder, CdcAcmTextAndSerialState) {
    // Communications interface 0 (interrupt IN 0x82), data interface 1 (bulk 0x01 / 0x81).
    const std::string configuration = "09023E00020100803209040000010202010005240010010424020205"
                                      "240600010705820310001009040100020A00000007050102400000"
                                      "07058102400000";
    const std::string bus = ControlIn(6, "8006000200003E00", configuration) +
                            "SETUP 6.0, DATA0 2122030000000000, ACK, IN 6.0, DATA1, ACK, "
                            "OUT 6.1, DATA0 41540D, ACK, "
                            "IN 6.1, DATA0 4F4B0D0A, ACK, "
                            "IN 6.1, DATA1 0001FF, ACK, "
                            "IN 6.2, DATA0 A1200000000002000300, ACK";
    EXPECT_EQ(DecodeAll(bus),
              (std::vector<std::string>{
                  "control 6.0 in ok: GET_DESCRIPTOR CONFIGURATION (62 of 62 bytes)",
                  "control 6.0 out ok: SET_CONTROL_LINE_STATE DTR on, RTS on",
                  "bulk 6.1 out ok: text \"AT\\r\"", "bulk 6.1 in ok: text \"OK\\r\\n\"",
                  "interrupt 6.2 in ok: SERIAL_STATE DCD, DSR"}));
}

TEST(ClassDecoder, SerialChipsByTheirIds) {
    // An FT232R (0403:6001): vendor requests to the device, status headers on bulk IN 0x81.
    const std::string bus =
        ControlIn(2, "8006000100001200", "120110010000000803040160000601020301") +
        ControlIn(2, "8006000200002000",
                  "09022000010100A02D0904000002FFFFFF020705810240000007050202400000") +
        "SETUP 2.0, DATA0 40031A0000000000, ACK, IN 2.0, DATA1, ACK, " +
        ControlIn(2, "C005000000000200", "3160") + "IN 2.1, DATA0 31604F4B, ACK, " +
        "OUT 2.2, DATA0 41540D, ACK, IN 2.1, DATA1 3160, ACK, " +
        // A CP2102 (10c4:ea60) at address 3: its requests go to its interface.
        ControlIn(3, "8006000100001200", "1201100100000040C41060EA000101020301") +
        "SETUP 3.0, DATA0 411E000000000400, ACK, OUT 3.0, DATA1 00C20100, ACK, IN 3.0, DATA1, "
        "ACK";
    EXPECT_EQ(DecodeAll(bus),
              (std::vector<std::string>{
                  "control 2.0 in ok: GET_DESCRIPTOR DEVICE; device 0403:6001",
                  "control 2.0 in ok: GET_DESCRIPTOR CONFIGURATION (32 of 32 bytes)",
                  "control 2.0 out ok: FTDI SET_BAUD_RATE 115200 baud (115385 actual)",
                  "control 2.0 in ok: FTDI GET_MODEM_STATUS: CTS, DSR, THRE, TEMT",
                  "bulk 2.1 in ok: text \"OK\"; status CTS, DSR, THRE, TEMT",
                  "bulk 2.2 out ok: text \"AT\\r\"", "bulk 2.1 in ok: status CTS, DSR, THRE, TEMT",
                  "control 3.0 in ok: GET_DESCRIPTOR DEVICE; device 10C4:EA60",
                  "control 3.0 out ok: CP210x SET_BAUDRATE 115200 baud"}));
}

TEST(ClassDecoder, HubStatusChangeAndPortRequests) {
    // A hub: device class 9, one interface with its status-change endpoint 0x81.
    const std::string configuration = "09021900010100E0000904000001090000000705810302000C";
    const std::string bus =
        ControlIn(1, "8006000100001200", "120110010900000840000100010000000001") +
        ControlIn(1, "8006000200001900", configuration) + "IN 1.1, DATA0 0A, ACK, " +
        ControlIn(1, "A300000003000400", "01010100") +
        "SETUP 1.0, DATA0 2301140003000000, ACK, IN 1.0, DATA1, ACK";
    EXPECT_EQ(DecodeAll(bus),
              (std::vector<std::string>{
                  "control 1.0 in ok: GET_DESCRIPTOR DEVICE; device 0040:0001",
                  "control 1.0 in ok: GET_DESCRIPTOR CONFIGURATION (25 of 25 bytes)",
                  "interrupt 1.1 in ok: changed: port 1, port 3",
                  "control 1.0 in ok: GET_STATUS port 3: status connection, power; changed "
                  "connection",
                  "control 1.0 out ok: CLEAR_FEATURE C_PORT_RESET port 3"}));
}

} // namespace
} // namespace vintrace::protocol
