// vintrace-cli devices on small crafted captures: what reaches the terminal and a JSON parser.

#include "capture/BusSpeedSigns.h"
#include "capture/PcapFile.h"
#include "capture/UsbCrc.h"
#include "protocol/SafeText.h"
#include "support/BusSequence.h"
#include "support/RunCli.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace vintrace::cli {
namespace {

using test::RunCli;
using test::TempDir;

std::string ControlIn(int address, const std::string& setup, const std::string& data) {
    const std::string a = std::to_string(address) + ".0";
    return "SETUP " + a + ", DATA0 " + setup + ", ACK, IN " + a + ", DATA1 " + data +
           ", ACK, OUT " + a + ", DATA1, ACK, ";
}

/// Writes the bus sequence as a pcap and imports it as `name`.dat; the import's stderr.
std::string Import(const TempDir& work, const std::string& bus, const std::string& name) {
    const capture::PcapResult written = capture::ExportPcap(
        test::BusSequence(bus), work / (name + ".pcap"), capture::UsbLinkType::FullSpeed, true);
    EXPECT_TRUE(written.ok()) << written.reason;
    const test::CliResult imported = RunCli(work, "import " + name + ".pcap " + name + ".dat");
    EXPECT_EQ(imported.exitCode, 0) << imported.err;
    return imported.err;
}

/// True when every byte belongs to valid UTF-8 and none is a C0 control other than '\n', DEL
/// or a C1 control: what a terminal may act on.
bool Inert(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = protocol::DecodeUtf8(std::string_view(text).substr(i));
        if (c.length == 0 || (c.code < 0x20 && c.code != '\n') ||
            (c.code >= 0x7F && c.code <= 0x9F) || protocol::IsBidiControl(c.code)) {
            return false;
        }
        i += c.length;
    }
    return true;
}

// A DFU interface and a MIDI streaming interface whose endpoint carries its 0x25 (DFU 1.1
// 4.1.3, USB MIDI 1.0 6.2.2), with hostile names from usb.ids and a hostile product string.
TEST(CliDevices, ClassDescriptorsAndHostileTextInTextAndJson) {
    TempDir work;
    const std::string configuration = "09023900020100803209040000"
                                      "00FE0102000921"
                                      "0BFF0000041A01"
                                      "090401000101030000"
                                      "07240100014100"
                                      "090501024000000000"
                                      "0525010101";
    // Product string: "A", ESC, U+009B, U+202E, "\x1b" as four characters, NUL.
    const std::string product = "1403"
                                "4100"
                                "1B00"
                                "9B00"
                                "2E20"
                                "5C00"
                                "7800"
                                "3100"
                                "6200"
                                "0000";
    EXPECT_EQ(Import(work,
                     ControlIn(3, "8006000100001200", "120110010000000834124678000100020001") +
                         ControlIn(3, "8006000200003900", configuration) +
                         ControlIn(3, "8006020309041400", product),
                     "dfu"),
              ""); // a full-speed capture: no warning
    {
        std::ofstream ids(work / "usb.ids", std::ios::binary);
        ids << "1234  Ven\x1b]0;x\x07\xff\n\t7846  Prod\xc2\x9b\n";
    }
    const test::CliResult text = RunCli(work, "devices --usb-ids usb.ids dfu.dat");
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_TRUE(Inert(text.out)) << text.out;
    for (const char* line : {
             "    idVendor              0x1234 Ven\\x1b]0;x\\x07\xEF\xBF\xBD\n",
             "    idProduct             0x7846 Prod\\u009b\n",
             "  String 2: \"A\\x1b\\u009b\\u202e\\\\x1b\\x00\"\n",
             "      DFU Functional Descriptor:\n"
             "        bLength               9\n"
             "        bDescriptorType       33\n"
             "        bmAttributes          0x0b\n"
             "          can download, can upload, will detach\n"
             "        wDetachTimeOut        255 ms\n"
             "        wTransferSize         1024 bytes\n"
             "        bcdDFUVersion          1.1a\n",
             "          Transfer Type bulk\n"
             "        wMaxPacketSize        0x0040\n"
             "        bInterval             0\n"
             "        bRefresh              0\n"
             "        bSynchAddress         0\n"
             "        MIDI Streaming Endpoint Descriptor:\n"
             "          bLength               5\n"
             "          bDescriptorType       37\n"
             "          bDescriptorSubtype    1 (MS_GENERAL)\n"
             "          bNumEmbMIDIJack       1\n"
             "          baAssocJackID(1)      1\n"
             "  String 2:",
         }) {
        EXPECT_NE(text.out.find(line), std::string::npos) << line << "\nin:\n" << text.out;
    }
    const test::CliResult json = RunCli(work, "devices --json --usb-ids usb.ids dfu.dat");
    ASSERT_EQ(json.exitCode, 0) << json.err;
    EXPECT_TRUE(Inert(json.out)) << json.out;
    for (const char* part : {
             "\"vendor_name\": \"Ven\\u001b]0;x\\u0007\xEF\xBF\xBD\"",
             "\"product_name\": \"Prod\\u009b\"",
             "\"2\": \"A\\u001b\\u009b\\u202e\\\\x1b\\u0000\"",
             "\"descriptors\": [{\"type\": 33, \"kind\": \"DFU functional\", \"bmAttributes\": "
             "11, \"wDetachTimeOut\": 255, \"wTransferSize\": 1024, \"bcdDFUVersion\": 282, "
             "\"bytes\": \"09210bff0000041a01\"}]",
             "\"bInterval\": 0, \"bRefresh\": 0, \"bSynchAddress\": 0, \"descriptors\": "
             "[{\"type\": 37, \"kind\": \"MIDI endpoint\", \"bDescriptorSubtype\": 1, "
             "\"bNumEmbMIDIJack\": 1, \"baAssocJackID(1)\": 1, \"bytes\": \"0525010101\"}]}]",
         }) {
        EXPECT_NE(json.out.find(part), std::string::npos) << part << "\nin:\n" << json.out;
    }
}

// A compat ID read before (or without) the 0xEE string is known by its header (dwLength 16 +
// 24 * bCount, bcdVersion 1.00, wIndex 4); the BOS beside it lists its USB 2.0 extension.
TEST(CliDevices, BosAndCompatIdInDevicesAndTransfers) {
    TempDir work;
    Import(work,
           ControlIn(3, "8006000100001200", "120110020000000834124678000100020001") +
               ControlIn(3, "8006000F00000C00",
                         "050F0C0001071002"
                         "02000000") +
               ControlIn(3, "C099000004002800",
                         "28000000000104000100000000000000"
                         "0001"
                         "57494E5553420000"
                         "0000000000000000"
                         "000000000000"),
           "bos");
    const test::CliResult text = RunCli(work, "devices bos.dat");
    ASSERT_EQ(text.exitCode, 0) << text.err;
    for (const char* line : {"  BOS Descriptor:\n"
                             "    bLength               5\n"
                             "    bDescriptorType       15\n"
                             "    wTotalLength          12\n"
                             "    bNumDeviceCaps        1\n"
                             "    USB 2.0 Extension:\n"
                             "      bLength               7\n"
                             "      bDescriptorType       16\n"
                             "      bDevCapabilityType    0x02\n"
                             "      bmAttributes          0x00000002 LPM\n",
                             "  MS OS 1.0 Compat ID:\n"
                             "    dwLength              40\n"}) {
        EXPECT_NE(text.out.find(line), std::string::npos) << line << "\nin:\n" << text.out;
    }
    const test::CliResult transfers = RunCli(work, "transfers bos.dat");
    ASSERT_EQ(transfers.exitCode, 0) << transfers.err;
    EXPECT_NE(transfers.out.find("GET_DESCRIPTOR BOS index 0"), std::string::npos) << transfers.out;
    EXPECT_NE(transfers.out.find("wLength=12; USB 2.0 Extension\n"), std::string::npos);
    EXPECT_NE(transfers.out.find("wLength=40; MS OS 1.0 compat ID: WINUSB\n"), std::string::npos)
        << transfers.out;
}

// An FT232R (0403:6001, named from the built-in table) that answers the Microsoft OS
// requests: a compat ID whose ID holds a control byte (escaped once, by each output its own
// way), extended properties (wIndex 5) and, through its BOS's vendor code 1, an OS 2.0
// descriptor set (wIndex 7) naming WinUSB.
TEST(CliDevices, SerialChipAndMicrosoftOsDescriptorsInTextJsonAndTransfers) {
    TempDir work;
    Import(work,
           ControlIn(3, "8006000100001200", "120110010000000803040160000601020301") +
               ControlIn(3, "8006000F00002100",
                         "050F210001"
                         "1C100500DF60DDD88945C74C9CD2659D9E648A9F000003062E000100") +
               ControlIn(3, "C020000004002800",
                         "28000000000104000100000000000000"
                         "0001"
                         "57494E0155534200"
                         "0000000000000000"
                         "000000000000") +
               ControlIn(3, "C020000005002800",
                         "28000000000105000100"
                         "1E000000040000000C004C006100620065006C000000040000002A000000") +
               ControlIn(3, "C001000007002E00",
                         "0A000000000003062E00"
                         "080001000000"
                         "2400"
                         "080002000000"
                         "1C00"
                         "1400030057494E55534200000000000000000000"),
           "msos");
    const test::CliResult text = RunCli(work, "devices msos.dat");
    ASSERT_EQ(text.exitCode, 0) << text.err;
    for (const char* line :
         {" IC (serial converter FTDI FT232R)\n", "      compatibleID          WIN\\x01USB\n",
          "  MS OS 1.0 Extended Properties:\n", "      bPropertyName         Label\n",
          "      bPropertyData         42 (0x0000002a)\n", "  MS OS 2.0 Descriptor Set:\n",
          "    Configuration subset:\n", "      Function subset:\n", "        Compatible ID:\n",
          "          CompatibleID          WINUSB\n"}) {
        EXPECT_NE(text.out.find(line), std::string::npos) << line << "\nin:\n" << text.out;
    }
    const test::CliResult json = RunCli(work, "devices --json msos.dat");
    ASSERT_EQ(json.exitCode, 0) << json.err;
    for (const char* part :
         {"\"serial_chip\": \"FTDI FT232R\"", "\"compatibleID\": \"WIN\\u0001USB\"",
          "\"extended_properties\": {\"dwLength\": 40",
          "\"bPropertyName\": \"Label\", \"dwPropertyDataLength\": 4, "
          "\"bPropertyData\": 42",
          "\"ms_os_20_set\": {\"wLength\": 10", "\"CompatibleID\": \"WINUSB\""}) {
        EXPECT_NE(json.out.find(part), std::string::npos) << part << "\nin:\n" << json.out;
    }
    EXPECT_EQ(json.out.find("\\\\x01"), std::string::npos) << json.out;
    const test::CliResult transfers = RunCli(work, "transfers msos.dat");
    ASSERT_EQ(transfers.exitCode, 0) << transfers.err;
    for (const char* part :
         {"MS OS 1.0 compat ID: WIN\\x01USB\n", "MS OS 1.0 extended properties: Label\n",
          "MS OS 2.0 descriptor set: WINUSB\n"}) {
        EXPECT_NE(transfers.out.find(part), std::string::npos) << part << "\nin:\n"
                                                               << transfers.out;
    }
}

// USB 2.0 8.4.3: micro-frame SOFs repeat their frame number. The import warns once and
// still succeeds.
TEST(CliImport, WarnsOnceThatTheCaptureLooksHighSpeed) {
    TempDir work;
    capture::PacketList packets;
    for (int i = 0; i < 16; ++i) {
        const std::uint16_t field = capture::WithCrc5(static_cast<std::uint16_t>(100 + i / 8));
        const std::uint8_t sof[2] = {static_cast<std::uint8_t>(field),
                                     static_cast<std::uint8_t>(field >> 8)};
        packets.append(capture::RecordKind::Sof, 2, sof);
    }
    ASSERT_TRUE(
        capture::ExportPcap(packets, work / "hs.pcap", capture::UsbLinkType::Usb20, true).ok());
    const test::CliResult r = RunCli(work, "import hs.pcap hs.dat");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err,
              "vintrace-cli: hs.pcap: warning: " + std::string(capture::kHighSpeedWarning) + "\n");
    EXPECT_TRUE(std::filesystem::is_regular_file(work / "hs.dat"));
}

} // namespace
} // namespace vintrace::cli
