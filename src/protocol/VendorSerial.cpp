#include "protocol/VendorSerial.h"

#include "capture/HexText.h"
#include "protocol/ClassDecoder.h"

#include <array>
#include <cmath>

namespace vintrace::protocol {

namespace {

std::string OnOff(bool on) {
    return on ? "on" : "off";
}

/// "115200 baud", or "115200 baud (115385 actual)" when the divisor cannot give a usual rate
/// exactly but comes within the 3 % a UART tolerates.
std::string BaudText(double actual) {
    static constexpr std::array<std::uint32_t, 22> kUsual = {
        300,     600,     1200,    2400,    4800,    9600,    14400,  19200,
        28800,   38400,   57600,   115200,  230400,  460800,  500000, 921600,
        1000000, 1500000, 2000000, 3000000, 8000000, 12000000};
    const auto rounded = static_cast<std::uint64_t>(std::llround(actual));
    for (const std::uint32_t usual : kUsual) {
        if (rounded == usual) {
            return std::to_string(usual) + " baud";
        }
        if (std::fabs(actual - usual) <= usual * 0.03) {
            return std::to_string(usual) + " baud (" + std::to_string(rounded) + " actual)";
        }
    }
    return std::to_string(rounded) + " baud";
}

/// "8N1" for data bits, parity (0 none, 1 odd, 2 even, 3 mark, 4 space) and stop bits (0 one,
/// 1 one and a half, 2 two); each value named when it is not one of those.
std::string LineText(unsigned dataBits, unsigned parity, unsigned stop) {
    static constexpr std::array<char, 5> kParity = {'N', 'O', 'E', 'M', 'S'};
    static constexpr std::array<const char*, 3> kStops = {"1", "1.5", "2"};
    if (parity < kParity.size() && stop < kStops.size()) {
        return std::to_string(dataBits) + kParity[parity] + kStops[stop];
    }
    return std::to_string(dataBits) + " data bits, parity " + std::to_string(parity) +
           ", stop bits " + std::to_string(stop);
}

std::string PortText(const capture::SetupRequest& r, bool portInIndex) {
    if (!portInIndex || (r.index & 0xFF) == 0) {
        return {};
    }
    const unsigned port = r.index & 0xFF;
    if (port <= 4) {
        return std::string(" port ") + static_cast<char>('A' + port - 1);
    }
    return " port " + std::to_string(port);
}

std::uint32_t Le32(std::span<const std::uint8_t> d) {
    return d[0] | static_cast<std::uint32_t>(d[1]) << 8 | static_cast<std::uint32_t>(d[2]) << 16 |
           static_cast<std::uint32_t>(d[3]) << 24;
}

/// The modem lines of a CP210x GET_MDMSTS or an FTDI status byte's high half: bits 4-7 are
/// CTS, DSR, RI and DCD in both.
void AddModemLines(std::string& s, std::uint8_t bits) {
    static constexpr std::array<const char*, 4> kNames = {"CTS", "DSR", "RI", "DCD"};
    for (std::size_t b = 0; b < kNames.size(); ++b) {
        if ((bits >> (4 + b) & 1) != 0) {
            s += (s.empty() ? "" : ", ") + std::string(kNames[b]);
        }
    }
}

} // namespace

std::string SerialChipName(const SerialChip& chip) {
    std::string maker;
    switch (chip.family) {
    case SerialChipFamily::Ftdi:
        maker = "FTDI";
        break;
    case SerialChipFamily::Cp210x:
        maker = "Silicon Labs";
        break;
    case SerialChipFamily::Ch34x:
        maker = "WCH";
        break;
    case SerialChipFamily::Pl2303:
        maker = "Prolific";
        break;
    }
    maker += ' ';
    maker += chip.name;
    return maker;
}

std::optional<SerialChip> FindSerialChip(std::uint16_t vendor, std::uint16_t product) {
    struct Entry {
        std::uint16_t vendor;
        std::uint16_t product;
        SerialChip chip;
    };
    // The IDs these chips leave the factory with; products that reprogram them are not known.
    static constexpr std::array<Entry, 11> kChips = {{
        {0x0403, 0x6001, {SerialChipFamily::Ftdi, "FT232R", false}},
        {0x0403, 0x6010, {SerialChipFamily::Ftdi, "FT2232", true}},
        {0x0403, 0x6011, {SerialChipFamily::Ftdi, "FT4232H", true}},
        {0x0403, 0x6014, {SerialChipFamily::Ftdi, "FT232H", true}},
        {0x0403, 0x6015, {SerialChipFamily::Ftdi, "FT-X", false}},
        {0x10C4, 0xEA60, {SerialChipFamily::Cp210x, "CP210x", false}},
        {0x10C4, 0xEA70, {SerialChipFamily::Cp210x, "CP2105", false}},
        {0x1A86, 0x7523, {SerialChipFamily::Ch34x, "CH340", false}},
        {0x1A86, 0x5523, {SerialChipFamily::Ch34x, "CH341", false}},
        {0x067B, 0x2303, {SerialChipFamily::Pl2303, "PL2303", false}},
        {0x067B, 0x23A3, {SerialChipFamily::Pl2303, "PL2303GC", false}},
    }};
    for (const Entry& e : kChips) {
        if (e.vendor == vendor && e.product == product) {
            return e.chip;
        }
    }
    return std::nullopt;
}

std::optional<SerialChip> SerialChipOf(const DeviceInfo& device) {
    if (device.assumedFtdi()) {
        // Read as the common single-port chip: its requests carry no port in wIndex.
        return FindSerialChip(0x0403, 0x6001);
    }
    if (!device.device) {
        return std::nullopt;
    }
    const auto vendor = device.device->field("idVendor");
    const auto product = device.device->field("idProduct");
    if (!vendor || !product) {
        return std::nullopt;
    }
    return FindSerialChip(static_cast<std::uint16_t>(*vendor),
                          static_cast<std::uint16_t>(*product));
}

std::optional<double> FtdiBaudRate(std::uint16_t value, std::uint16_t index, bool portInIndex) {
    // AN232B-05: the sub-integer code counts eighths in this order.
    static constexpr std::array<unsigned, 8> kEighths = {0, 4, 2, 1, 3, 5, 6, 7};
    const unsigned high = portInIndex ? (index >> 8) & 1 : index & 1;
    const unsigned code = (value >> 14) | high << 2;
    const unsigned whole = value & 0x3FFF;
    // Hi-speed parts run their divisor from 12 MHz when wIndex bit 9 turns the divide by 5 off.
    const double base = portInIndex && (index & 0x0200) != 0 ? 12e6 : 3e6;
    if (code == 0 && whole == 0) {
        return base;
    }
    if (code == 0 && whole == 1) {
        return base * 2 / 3;
    }
    if (whole < 2) {
        return std::nullopt;
    }
    return base * 8 / (whole * 8 + kEighths[code]);
}

std::string FtdiStatusText(std::uint8_t modem, std::uint8_t line) {
    static constexpr std::array<const char*, 8> kLine = {
        "data ready", "overrun", "parity error", "framing error",
        "break",      "THRE",    "TEMT",         "FIFO error"};
    std::string s;
    AddModemLines(s, modem);
    for (std::size_t b = 0; b < kLine.size(); ++b) {
        if ((line >> b & 1) != 0) {
            s += (s.empty() ? "" : ", ") + std::string(kLine[b]);
        }
    }
    return s.empty() ? "none" : s;
}

std::string DescribeFtdiRequest(const capture::SetupRequest& r, std::span<const std::uint8_t> data,
                                bool portInIndex) {
    const std::string port = PortText(r, portInIndex);
    const unsigned low = r.value & 0xFF;
    switch (r.request) {
    case 0x00: {
        static constexpr std::array<const char*, 3> kWhat = {"", " purge RX", " purge TX"};
        return "FTDI RESET" +
               (r.value < kWhat.size() ? std::string(kWhat[r.value])
                                       : " " + capture::HexText(r.value, 4)) +
               port;
    }
    case 0x01: {
        // Bits 8 and 9 say which of DTR (bit 0) and RTS (bit 1) to change.
        std::string s;
        if ((r.value & 0x0100) != 0) {
            s += " DTR " + OnOff((r.value & 1) != 0);
        }
        if ((r.value & 0x0200) != 0) {
            s += std::string(s.empty() ? "" : ",") + " RTS " + OnOff((r.value & 2) != 0);
        }
        return "FTDI SET_MODEM_CTRL" + (s.empty() ? std::string(" no change") : s) + port;
    }
    case 0x02: {
        const unsigned flow = r.index >> 8;
        std::string s;
        if ((flow & 1) != 0) {
            s = "RTS/CTS";
        }
        if ((flow & 2) != 0) {
            s += (s.empty() ? "" : ", ") + std::string("DTR/DSR");
        }
        if ((flow & 4) != 0) {
            s += (s.empty() ? "" : ", ") + std::string("XON/XOFF (XON ") +
                 capture::HexText(low, 2) + ", XOFF " + capture::HexText(r.value >> 8, 2) + ")";
        }
        return "FTDI SET_FLOW_CTRL " + (s.empty() ? std::string("none") : s) + port;
    }
    case 0x03: {
        const std::string divisor =
            "divisor " + capture::HexText(r.value, 4) + "/" + capture::HexText(r.index, 4);
        const auto baud = FtdiBaudRate(r.value, r.index, portInIndex);
        if (!baud) {
            return "FTDI SET_BAUD_RATE invalid " + divisor + port;
        }
        return "FTDI SET_BAUD_RATE " + BaudText(*baud) + port;
    }
    case 0x04: {
        const unsigned parity = (r.value >> 8) & 7;
        const unsigned stop = (r.value >> 11) & 7;
        return "FTDI SET_DATA " + LineText(low, parity, stop) +
               ((r.value & 0x4000) != 0 ? ", break on" : "") + port;
    }
    case 0x05:
        if (data.size() >= 2) {
            return "FTDI GET_MODEM_STATUS" + port + ": " + FtdiStatusText(data[0], data[1]);
        }
        return "FTDI GET_MODEM_STATUS" + port;
    case 0x06:
    case 0x07:
        return std::string(r.request == 0x06 ? "FTDI SET_EVENT_CHAR " : "FTDI SET_ERROR_CHAR ") +
               capture::HexText(low, 2) + ((r.value & 0x0100) != 0 ? " enabled" : " disabled") +
               port;
    case 0x09:
        return "FTDI SET_LATENCY_TIMER " + std::to_string(low) + " ms" + port;
    case 0x0A:
        if (!data.empty()) {
            return "FTDI GET_LATENCY_TIMER" + port + ": " + std::to_string(data[0]) + " ms";
        }
        return "FTDI GET_LATENCY_TIMER" + port;
    case 0x0B:
        return "FTDI SET_BITMODE mode " + capture::HexText(r.value >> 8, 2) + ", mask " +
               capture::HexText(low, 2) + port;
    case 0x0C:
        return "FTDI GET_BITMODE" + port +
               (data.empty() ? std::string() : ": " + capture::HexText(data[0], 2));
    default:
        return "FTDI request " + capture::HexText(r.request, 2) + port;
    }
}

std::vector<std::uint8_t> StripFtdiStatus(const std::vector<std::vector<std::uint8_t>>& packets) {
    std::vector<std::uint8_t> out;
    for (const auto& p : packets) {
        if (p.size() > 2) {
            out.insert(out.end(), p.begin() + 2, p.end());
        }
    }
    return out;
}

std::string DescribeFtdiIn(const std::vector<std::vector<std::uint8_t>>& packets) {
    std::uint8_t modem = 0;
    std::uint8_t line = 0;
    std::uint8_t errors = 0;
    bool headed = false;
    for (const auto& p : packets) {
        if (p.size() >= 2) {
            modem = p[0];
            line = p[1];
            errors |= p[1] & 0x9E; // overrun, parity, framing, break, FIFO error
            headed = true;
        }
    }
    const std::vector<std::uint8_t> data = StripFtdiStatus(packets);
    std::string status =
        headed ? "status " + FtdiStatusText(modem, static_cast<std::uint8_t>(line | errors))
               : std::string("no status header");
    if (data.empty()) {
        return status;
    }
    const auto text = PrintableText(data);
    return (text ? *text : std::to_string(data.size()) + " data bytes") + "; " + status;
}

std::string DescribeCp210xRequest(const capture::SetupRequest& r,
                                  std::span<const std::uint8_t> data) {
    switch (r.request) {
    case 0x00:
        return "CP210x IFC_ENABLE " + std::string(r.value != 0 ? "enable" : "disable");
    case 0x01:
        // The divisor of a 3.6864 MHz clock.
        return "CP210x SET_BAUDDIV " +
               (r.value == 0 ? std::string("0 (invalid)") : BaudText(3686400.0 / r.value));
    case 0x02:
        return "CP210x GET_BAUDDIV";
    case 0x03:
    case 0x04: {
        const char* name = r.request == 0x03 ? "CP210x SET_LINE_CTL " : "CP210x GET_LINE_CTL";
        std::uint16_t v = r.value;
        if (r.request == 0x04) {
            if (data.size() < 2) {
                return name;
            }
            v = static_cast<std::uint16_t>(data[0] | data[1] << 8);
        }
        return std::string(name) + (r.request == 0x04 ? ": " : "") +
               LineText(v >> 8, (v >> 4) & 0x0F, v & 0x0F);
    }
    case 0x05:
        return "CP210x SET_BREAK " + OnOff(r.value != 0);
    case 0x07: {
        std::string s;
        if ((r.value & 0x0100) != 0) {
            s += " DTR " + OnOff((r.value & 1) != 0);
        }
        if ((r.value & 0x0200) != 0) {
            s += std::string(s.empty() ? "" : ",") + " RTS " + OnOff((r.value & 2) != 0);
        }
        return "CP210x SET_MHS" + (s.empty() ? std::string(" no change") : s);
    }
    case 0x08: {
        if (data.empty()) {
            return "CP210x GET_MDMSTS";
        }
        std::string s;
        if ((data[0] & 1) != 0) {
            s = "DTR";
        }
        if ((data[0] & 2) != 0) {
            s += (s.empty() ? "" : ", ") + std::string("RTS");
        }
        AddModemLines(s, data[0]);
        return "CP210x GET_MDMSTS: " + (s.empty() ? std::string("none") : s);
    }
    case 0x10: {
        if (data.size() < 16) {
            return "CP210x GET_COMM_STATUS";
        }
        static constexpr std::array<const char*, 5> kErrors = {
            "break", "framing error", "hardware overrun", "queue overrun", "parity error"};
        const std::uint32_t errors = Le32(data);
        std::string s;
        for (std::size_t b = 0; b < kErrors.size(); ++b) {
            if ((errors >> b & 1) != 0) {
                s += (s.empty() ? "" : ", ") + std::string(kErrors[b]);
            }
        }
        return "CP210x GET_COMM_STATUS: errors " + (s.empty() ? std::string("none") : s) + ", " +
               std::to_string(Le32(data.subspan(8))) + " bytes in, " +
               std::to_string(Le32(data.subspan(12))) + " bytes out";
    }
    case 0x11:
        return "CP210x RESET";
    case 0x12: {
        // Bits 0 and 2 clear the transmit queue, bits 1 and 3 the receive queue.
        std::string s;
        if ((r.value & 0x05) != 0) {
            s = "TX";
        }
        if ((r.value & 0x0A) != 0) {
            s += (s.empty() ? "" : ", ") + std::string("RX");
        }
        return "CP210x PURGE " + (s.empty() ? std::string("nothing") : s);
    }
    case 0x13:
        return "CP210x SET_FLOW";
    case 0x14:
        return "CP210x GET_FLOW";
    case 0x19:
        return "CP210x SET_CHARS";
    case 0x1D:
        if (data.size() >= 4) {
            return "CP210x GET_BAUDRATE: " + std::to_string(Le32(data)) + " baud";
        }
        return "CP210x GET_BAUDRATE";
    case 0x1E:
        if (data.size() >= 4) {
            return "CP210x SET_BAUDRATE " + std::to_string(Le32(data)) + " baud";
        }
        return "CP210x SET_BAUDRATE";
    default:
        return "CP210x request " + capture::HexText(r.request, 2);
    }
}

std::string DescribeCh34xRequest(const capture::SetupRequest& r,
                                 std::span<const std::uint8_t> data) {
    switch (r.request) {
    case 0x5F:
        return "CH34x READ_VERSION" +
               (data.empty() ? std::string() : ": " + capture::HexText(data[0], 2));
    case 0x95: {
        std::string s = "CH34x READ_REG " + capture::HexText(r.value, 4);
        if (!data.empty()) {
            s += ":";
            for (const std::uint8_t b : data.first(std::min<std::size_t>(data.size(), 2))) {
                s += " " + capture::HexText(b, 2);
            }
        }
        return s;
    }
    case 0x9A: {
        std::string s = "CH34x WRITE_REG " + capture::HexText(r.value, 4) + " = " +
                        capture::HexText(r.index, 4);
        if (r.value == 0x1312) {
            // Prescaler register 0x12 (bits 0-1 a divide by 8^(3-p), bit 2 another by 2 when
            // clear) and divisor register 0x13 (256 - divisor) of a 48 MHz clock.
            const unsigned prescaler = r.index & 0xFF;
            const unsigned divisor = 0x100 - (r.index >> 8);
            const unsigned shift = 12 - 3 * (prescaler & 3) - ((prescaler >> 2) & 1);
            s += " (" + BaudText(48e6 / (static_cast<double>(1u << shift) * divisor)) + ")";
        } else if (r.value == 0x2518) {
            // Line control register 0x18: data bits 5-8, two stop bits, parity.
            const unsigned lcr = r.index & 0xFF;
            static constexpr std::array<unsigned, 4> kParity = {1, 2, 3, 4}; // odd even mark space
            const unsigned parity = (lcr & 0x08) != 0 ? kParity[(lcr >> 4) & 3] : 0;
            s += " (" + LineText(5 + (lcr & 3), parity, (lcr & 0x04) != 0 ? 2 : 0) + ")";
        }
        return s;
    }
    case 0xA1:
        return "CH34x SERIAL_INIT " + capture::HexText(r.value, 4) + " " +
               capture::HexText(r.index, 4);
    case 0xA4:
        // The lines are active low: a clear bit 5 sets DTR, a clear bit 6 RTS.
        return "CH34x MODEM_CTRL DTR " + OnOff((r.value & 0x20) == 0) + ", RTS " +
               OnOff((r.value & 0x40) == 0);
    default:
        return "CH34x request " + capture::HexText(r.request, 2);
    }
}

std::string DescribePl2303Request(const capture::SetupRequest& r,
                                  std::span<const std::uint8_t> data) {
    if (r.type() == 1) { // class requests as a CDC ACM function takes them
        return "PL2303 " + DescribeCdcRequest(r, data);
    }
    if (r.request == 0x01 && r.deviceToHost()) {
        return "PL2303 VENDOR_READ " + capture::HexText(r.value, 4) +
               (data.empty() ? std::string() : ": " + capture::HexText(data[0], 2));
    }
    if (r.request == 0x01) {
        return "PL2303 VENDOR_WRITE " + capture::HexText(r.value, 4) + " = " +
               capture::HexText(r.index, 4);
    }
    return "PL2303 request " + capture::HexText(r.request, 2);
}

std::string DescribeSerialChipRequest(const SerialChip& chip, const capture::SetupRequest& r,
                                      std::span<const std::uint8_t> data) {
    switch (chip.family) {
    case SerialChipFamily::Ftdi:
        return DescribeFtdiRequest(r, data, chip.portInIndex);
    case SerialChipFamily::Cp210x:
        return DescribeCp210xRequest(r, data);
    case SerialChipFamily::Ch34x:
        return DescribeCh34xRequest(r, data);
    case SerialChipFamily::Pl2303:
        return DescribePl2303Request(r, data);
    }
    return {};
}

} // namespace vintrace::protocol
