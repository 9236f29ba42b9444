#include "protocol/ClassDecoder.h"

#include "capture/HexText.h"
#include "protocol/AudioClass.h"
#include "protocol/DeviceCapabilities.h"
#include "protocol/HidReport.h"
#include "protocol/LittleEndian.h"
#include "protocol/SafeText.h"
#include "protocol/VendorSerial.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>
#include <vector>

namespace vintrace::protocol {

namespace {

constexpr std::uint8_t kClassAudio = 0x01;
constexpr std::uint8_t kSubclassMidiStreaming = 0x03;
constexpr std::uint8_t kClassCdc = 0x02;
constexpr std::uint8_t kClassHid = 0x03;
constexpr std::uint8_t kClassMassStorage = 0x08;
constexpr std::uint8_t kClassHub = 0x09;
constexpr std::uint8_t kClassCdcData = 0x0A;
constexpr std::uint8_t kClassApplication = 0xFE;
constexpr std::uint8_t kSubclassDfu = 0x01;
constexpr std::size_t kKeptPayload = std::size_t{1} << 20;
// What a mass-storage transfer is read by: a wrapper is exactly 31 or 13 bytes (BOT 1.0 5.1,
// 5.2), and no data stage described is read past its first 36 bytes (INQUIRY). A longer
// gathering still shows that a transfer is longer than a wrapper.
constexpr std::size_t kMassStorageRead = 64;

std::uint16_t Le16(std::span<const std::uint8_t> d, std::size_t at) {
    return static_cast<std::uint16_t>(d[at] | d[at + 1] << 8);
}
std::uint32_t Be32(std::span<const std::uint8_t> d, std::size_t at) {
    return static_cast<std::uint32_t>(d[at]) << 24 | static_cast<std::uint32_t>(d[at + 1]) << 16 |
           static_cast<std::uint32_t>(d[at + 2]) << 8 | d[at + 3];
}
std::uint16_t Be16(std::span<const std::uint8_t> d, std::size_t at) {
    return static_cast<std::uint16_t>(d[at] << 8 | d[at + 1]);
}

/// Printable ASCII of a fixed-width SCSI text field, trailing spaces dropped.
std::string Ascii(std::span<const std::uint8_t> d) {
    std::string s;
    for (std::uint8_t c : d) {
        s += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
    }
    while (!s.empty() && s.back() == ' ') {
        s.pop_back();
    }
    return s;
}

std::uint8_t InterfaceClass(const InterfaceDescription* i) {
    if (i == nullptr) {
        return 0xFF;
    }
    return static_cast<std::uint8_t>(i->descriptor.field("bInterfaceClass").value_or(0xFF));
}

std::string PortFeatureName(std::uint16_t f) {
    static const std::array<const char*, 23> kNames = {"PORT_CONNECTION",
                                                       "PORT_ENABLE",
                                                       "PORT_SUSPEND",
                                                       "PORT_OVER_CURRENT",
                                                       "PORT_RESET",
                                                       "",
                                                       "",
                                                       "",
                                                       "PORT_POWER",
                                                       "PORT_LOW_SPEED",
                                                       "",
                                                       "",
                                                       "",
                                                       "",
                                                       "",
                                                       "",
                                                       "C_PORT_CONNECTION",
                                                       "C_PORT_ENABLE",
                                                       "C_PORT_SUSPEND",
                                                       "C_PORT_OVER_CURRENT",
                                                       "C_PORT_RESET",
                                                       "PORT_TEST",
                                                       "PORT_INDICATOR"};
    if (f < kNames.size() && kNames[f][0] != '\0') {
        return kNames[f];
    }
    return "feature " + std::to_string(f);
}

std::string PortStatus(std::uint16_t status, std::uint16_t change) {
    static const std::array<const char*, 13> kStatus = {
        "connection", "enable", "suspend",   "over-current", "reset", "",         "",
        "",           "power",  "low-speed", "high-speed",   "test",  "indicator"};
    std::string s;
    for (std::size_t b = 0; b < kStatus.size(); ++b) {
        if ((status >> b & 1) != 0 && kStatus[b][0] != '\0') {
            s += (s.empty() ? "" : ", ") + std::string(kStatus[b]);
        }
    }
    std::string c;
    for (std::size_t b = 0; b < 5; ++b) {
        if ((change >> b & 1) != 0) {
            c += (c.empty() ? "" : ", ") + std::string(kStatus[b]);
        }
    }
    return "status " + (s.empty() ? std::string("none") : s) + "; changed " +
           (c.empty() ? std::string("none") : c);
}

/// "HID report: Button 1: 1, X: +3", "HID report 2: ..." when the descriptor numbers its reports.
std::string HidReportLine(bool numbered, std::uint8_t id, const std::string& fields) {
    std::string s = numbered ? "HID report " + std::to_string(id) : std::string("HID report");
    return fields.empty() ? s : s + ": " + fields;
}

} // namespace

std::string DescribeLineCoding(std::span<const std::uint8_t> d) {
    if (d.size() < 7) {
        return "line coding of " + std::to_string(d.size()) + " bytes (7 expected)";
    }
    static constexpr std::array<const char*, 3> kStops = {"1", "1.5", "2"};
    static constexpr std::array<char, 5> kParity = {'N', 'O', 'E', 'M', 'S'};
    const std::string baud = std::to_string(Le32(d, 0));
    if (d[5] < kParity.size() && d[4] < kStops.size()) { // the usual "115200 8N1"
        return baud + " " + std::to_string(d[6]) + kParity[d[5]] + kStops[d[4]];
    }
    return baud + " baud, " + std::to_string(d[6]) + " data bits, parity " +
           capture::HexText(d[5], 2) + ", stop bits " + capture::HexText(d[4], 2);
}

std::string DescribeHidRequest(const capture::SetupRequest& r) {
    static constexpr std::array<const char*, 4> kTypes = {"type 0", "input", "output", "feature"};
    const unsigned high = r.value >> 8;
    const unsigned low = r.value & 0xFF;
    const std::string reportType =
        high < kTypes.size() ? kTypes[high] : "type " + std::to_string(high);
    const std::string to = " interface " + std::to_string(r.index);
    switch (r.request) {
    case 0x01:
        return "GET_REPORT " + reportType + " report " + std::to_string(low) + to;
    case 0x02:
        return "GET_IDLE report " + std::to_string(low) + to;
    case 0x03:
        return "GET_PROTOCOL" + to;
    case 0x09:
        return "SET_REPORT " + reportType + " report " + std::to_string(low) + to;
    case 0x0A:
        return "SET_IDLE " +
               (high == 0 ? std::string("indefinite") : std::to_string(high * 4) + " ms") +
               " report " + std::to_string(low) + to;
    case 0x0B:
        return "SET_PROTOCOL " + std::string(r.value == 0 ? "boot" : "report") + to;
    default:
        return "HID request " + capture::HexText(r.request, 2) + to;
    }
}

std::string DescribeCdcRequest(const capture::SetupRequest& r, std::span<const std::uint8_t> data) {
    switch (r.request) {
    case 0x00:
        return "SEND_ENCAPSULATED_COMMAND " + std::to_string(data.size()) + " bytes";
    case 0x01:
        return "GET_ENCAPSULATED_RESPONSE " + std::to_string(data.size()) + " bytes";
    case 0x20:
        return "SET_LINE_CODING " + DescribeLineCoding(data);
    case 0x21:
        return "GET_LINE_CODING " + DescribeLineCoding(data);
    case 0x22:
        return std::string("SET_CONTROL_LINE_STATE DTR ") + ((r.value & 1) != 0 ? "on" : "off") +
               ", RTS " + ((r.value & 2) != 0 ? "on" : "off");
    case 0x23:
        return "SEND_BREAK " +
               (r.value == 0xFFFF ? std::string("until stopped") : std::to_string(r.value) + " ms");
    default:
        return "CDC request " + capture::HexText(r.request, 2);
    }
}

std::string_view DfuStatusName(std::uint8_t status) {
    static constexpr std::array<std::string_view, 16> kNames = {
        "OK",      "errTARGET", "errFILE",    "errWRITE",     "errERASE",    "errCHECK_ERASED",
        "errPROG", "errVERIFY", "errADDRESS", "errNOTDONE",   "errFIRMWARE", "errVENDOR",
        "errUSBR", "errPOR",    "errUNKNOWN", "errSTALLEDPKT"};
    return status < kNames.size() ? kNames[status] : "status ?";
}

std::string_view DfuStateName(std::uint8_t state) {
    static constexpr std::array<std::string_view, 11> kNames = {
        "appIDLE",          "appDETACH",   "dfuIDLE",
        "dfuDNLOAD-SYNC",   "dfuDNBUSY",   "dfuDNLOAD-IDLE",
        "dfuMANIFEST-SYNC", "dfuMANIFEST", "dfuMANIFEST-WAIT-RESET",
        "dfuUPLOAD-IDLE",   "dfuERROR"};
    return state < kNames.size() ? kNames[state] : "state ?";
}

std::string DescribeDfuRequest(const capture::SetupRequest& r, std::span<const std::uint8_t> data) {
    switch (r.request) {
    case 0x00:
        return "DFU_DETACH timeout " + std::to_string(r.value) + " ms";
    case 0x01:
        // A download of no bytes ends the image and starts manifestation (DFU 1.1 7.1).
        return "DFU_DNLOAD block " + std::to_string(r.value) + ", " + std::to_string(data.size()) +
               " bytes" + (r.length == 0 ? " (end of image)" : "");
    case 0x02:
        // A block shorter than asked for is the image's last (DFU 1.1 6.2).
        return "DFU_UPLOAD block " + std::to_string(r.value) + ", " + std::to_string(data.size()) +
               " bytes" + (data.size() < r.length ? " (end of image)" : "");
    case 0x03: {
        if (data.size() < 6) {
            return "DFU_GETSTATUS" + (data.empty()
                                          ? std::string()
                                          : ": " + std::to_string(data.size()) + " of 6 bytes");
        }
        const std::uint32_t poll = data[1] | data[2] << 8 | data[3] << 16;
        std::string text = "DFU_GETSTATUS ";
        text.append(DfuStatusName(data[0]));
        if (data[0] >= 16) {
            text += " " + capture::HexText(data[0], 2);
        }
        text += ", ";
        text.append(DfuStateName(data[4]));
        if (data[4] >= 11) {
            text += " " + capture::HexText(data[4], 2);
        }
        text += ", poll " + std::to_string(poll) + " ms";
        return text;
    }
    case 0x04:
        return "DFU_CLRSTATUS";
    case 0x05:
        if (data.empty()) {
            return "DFU_GETSTATE";
        }
        return std::string("DFU_GETSTATE ").append(DfuStateName(data[0]));
    case 0x06:
        return "DFU_ABORT";
    default:
        return "DFU request " + capture::HexText(r.request, 2);
    }
}

std::string DescribeHubRequest(const capture::SetupRequest& r, std::span<const std::uint8_t> data) {
    const bool port = r.recipient() == 3;
    const std::string where = port ? " port " + std::to_string(r.index & 0xFF) : " hub";
    switch (r.request) {
    case 0x00:
        if (data.size() >= 4) {
            return "GET_STATUS" + where + ": " +
                   (port ? PortStatus(Le16(data, 0), Le16(data, 2))
                         : "status " + capture::HexText(Le16(data, 0), 4) + " change " +
                               capture::HexText(Le16(data, 2), 4));
        }
        return "GET_STATUS" + where;
    case 0x01:
        return "CLEAR_FEATURE " +
               (port ? PortFeatureName(r.value)
                     : std::string(r.value == 0 ? "C_HUB_LOCAL_POWER" : "C_HUB_OVER_CURRENT")) +
               where;
    case 0x03:
        return "SET_FEATURE " +
               (port ? PortFeatureName(r.value) : "feature " + std::to_string(r.value)) + where;
    case 0x06:
        if (data.size() >= 7 && data[1] == 0x29) {
            return "GET_DESCRIPTOR HUB: " + std::to_string(data[2]) + " ports, power on to good " +
                   std::to_string(data[5] * 2) + " ms";
        }
        return "GET_DESCRIPTOR HUB";
    case 0x08:
        return "CLEAR_TT_BUFFER" + where;
    case 0x09:
        return "RESET_TT" + where;
    case 0x0A:
        return "GET_TT_STATE" + where;
    case 0x0B:
        return "STOP_TT" + where;
    default:
        return "hub request " + capture::HexText(r.request, 2) + where;
    }
}

std::string_view SenseKeyName(std::uint8_t key) {
    static constexpr std::array<std::string_view, 16> kNames = {
        "NO SENSE",       "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
        "HARDWARE ERROR", "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
        "BLANK CHECK",    "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
        "reserved 0xC",   "VOLUME OVERFLOW", "MISCOMPARE",     "COMPLETED"};
    return kNames[key & 0x0F];
}

/// The additional sense code and qualifier by name (SPC-4 annex D), for the ones a USB disk,
/// card reader or stick reports; nothing for the rest.
std::optional<std::string_view> AdditionalSenseName(std::uint8_t asc, std::uint8_t ascq) {
    struct Sense {
        std::uint8_t asc;
        std::uint8_t ascq;
        std::string_view name;
    };
    static constexpr std::array<Sense, 44> kSenses = {{
        {0x00, 0x00, "NO ADDITIONAL SENSE INFORMATION"},
        {0x02, 0x00, "NO SEEK COMPLETE"},
        {0x03, 0x00, "PERIPHERAL DEVICE WRITE FAULT"},
        {0x04, 0x00, "LOGICAL UNIT NOT READY, CAUSE NOT REPORTABLE"},
        {0x04, 0x01, "LOGICAL UNIT IS IN PROCESS OF BECOMING READY"},
        {0x04, 0x02, "LOGICAL UNIT NOT READY, INITIALIZING COMMAND REQUIRED"},
        {0x04, 0x03, "LOGICAL UNIT NOT READY, MANUAL INTERVENTION REQUIRED"},
        {0x04, 0x04, "LOGICAL UNIT NOT READY, FORMAT IN PROGRESS"},
        {0x08, 0x00, "LOGICAL UNIT COMMUNICATION FAILURE"},
        {0x0C, 0x00, "WRITE ERROR"},
        {0x0C, 0x02, "WRITE ERROR - AUTO REALLOCATION FAILED"},
        {0x10, 0x00, "ID CRC OR ECC ERROR"},
        {0x11, 0x00, "UNRECOVERED READ ERROR"},
        {0x14, 0x01, "RECORD NOT FOUND"},
        {0x15, 0x00, "RANDOM POSITIONING ERROR"},
        {0x1A, 0x00, "PARAMETER LIST LENGTH ERROR"},
        {0x20, 0x00, "INVALID COMMAND OPERATION CODE"},
        {0x21, 0x00, "LOGICAL BLOCK ADDRESS OUT OF RANGE"},
        {0x24, 0x00, "INVALID FIELD IN CDB"},
        {0x25, 0x00, "LOGICAL UNIT NOT SUPPORTED"},
        {0x26, 0x00, "INVALID FIELD IN PARAMETER LIST"},
        {0x26, 0x01, "PARAMETER NOT SUPPORTED"},
        {0x26, 0x02, "PARAMETER VALUE INVALID"},
        {0x27, 0x00, "WRITE PROTECTED"},
        {0x28, 0x00, "NOT READY TO READY CHANGE, MEDIUM MAY HAVE CHANGED"},
        {0x29, 0x00, "POWER ON, RESET, OR BUS DEVICE RESET OCCURRED"},
        {0x29, 0x01, "POWER ON OCCURRED"},
        {0x29, 0x02, "SCSI BUS RESET OCCURRED"},
        {0x2A, 0x01, "MODE PARAMETERS CHANGED"},
        {0x2C, 0x00, "COMMAND SEQUENCE ERROR"},
        {0x30, 0x00, "INCOMPATIBLE MEDIUM INSTALLED"},
        {0x30, 0x01, "CANNOT READ MEDIUM - UNKNOWN FORMAT"},
        {0x31, 0x00, "MEDIUM FORMAT CORRUPTED"},
        {0x3A, 0x00, "MEDIUM NOT PRESENT"},
        {0x3A, 0x01, "MEDIUM NOT PRESENT - TRAY CLOSED"},
        {0x3A, 0x02, "MEDIUM NOT PRESENT - TRAY OPEN"},
        {0x3E, 0x00, "LOGICAL UNIT HAS NOT SELF-CONFIGURED YET"},
        {0x3F, 0x01, "MICROCODE HAS BEEN CHANGED"},
        {0x44, 0x00, "INTERNAL TARGET FAILURE"},
        {0x47, 0x00, "SCSI PARITY ERROR"},
        {0x4E, 0x00, "OVERLAPPED COMMANDS ATTEMPTED"},
        {0x53, 0x02, "MEDIUM REMOVAL PREVENTED"},
        {0x5D, 0x00, "FAILURE PREDICTION THRESHOLD EXCEEDED"},
        {0x65, 0x00, "VOLTAGE FAULT"},
    }};
    for (const Sense& sense : kSenses) {
        if (sense.asc == asc && sense.ascq == ascq) {
            return sense.name;
        }
    }
    return std::nullopt;
}

std::string DescribeScsiCommand(std::span<const std::uint8_t> cdb) {
    if (cdb.empty()) {
        return "empty command block";
    }
    const std::uint8_t op = cdb[0];
    auto need = [&](std::size_t n) { return cdb.size() >= n; };
    switch (op) {
    case 0x00:
        return "TEST UNIT READY";
    case 0x03:
        // Allocation lengths are left out: the wrapper's length says what may come back.
        return "REQUEST SENSE";
    case 0x12:
        return need(3) && (cdb[1] & 1) != 0 ? "INQUIRY page " + capture::HexText(cdb[2], 2)
                                            : "INQUIRY";
    case 0x1A:
        return need(3) ? "MODE SENSE(6) page " + capture::HexText(cdb[2] & 0x3F, 2)
                       : "MODE SENSE(6)";
    case 0x5A:
        return need(3) ? "MODE SENSE(10) page " + capture::HexText(cdb[2] & 0x3F, 2)
                       : "MODE SENSE(10)";
    case 0x1B:
        return need(5) ? std::string("START STOP UNIT ") + ((cdb[4] & 1) != 0 ? "start" : "stop") +
                             ((cdb[4] & 2) != 0 ? " eject" : "")
                       : "START STOP UNIT";
    case 0x1E:
        return need(5) ? std::string("PREVENT ALLOW MEDIUM REMOVAL ") +
                             ((cdb[4] & 1) != 0 ? "prevent" : "allow")
                       : "PREVENT ALLOW MEDIUM REMOVAL";
    case 0x23:
        return "READ FORMAT CAPACITIES";
    case 0x25:
        return "READ CAPACITY(10)";
    case 0x28:
    case 0x2A:
    case 0x2F: {
        const std::string name = op == 0x28 ? "READ(10)" : op == 0x2A ? "WRITE(10)" : "VERIFY(10)";
        return need(9) ? name + " LBA " + std::to_string(Be32(cdb, 2)) + " × " +
                             std::to_string(Be16(cdb, 7))
                       : name;
    }
    case 0x35:
        return "SYNCHRONIZE CACHE(10)";
    default:
        return "operation " + capture::HexText(op, 2);
    }
}

std::optional<std::string> DescribeMassStorage(std::span<const std::uint8_t> data) {
    if (data.size() == 31 && Le32(data, 0) == 0x43425355) { // "USBC"
        const std::uint32_t length = Le32(data, 8);
        const bool in = (data[12] & 0x80) != 0;
        const std::size_t cbLength = std::min<std::size_t>(data[14] & 0x1F, 16);
        // Appended piece by piece: a disk's transfers carry a wrapper each.
        std::string s;
        if (cbLength == 0) {
            s = "CBW without a command";
        } else {
            s = "SCSI ";
            s += DescribeScsiCommand(data.subspan(15, cbLength));
        }
        s += "\nCBW tag ";
        s += capture::HexText(Le32(data, 4));
        s += ", LUN ";
        s += std::to_string(data[13] & 0x0F);
        s += ", ";
        if (length == 0) {
            s += "no data";
        } else {
            s += in ? "IN " : "OUT ";
            s += std::to_string(length);
            s += " bytes";
        }
        return s;
    }
    if (data.size() == 13 && Le32(data, 0) == 0x53425355) { // "USBS"
        static constexpr std::array<const char*, 3> kStatus = {"passed", "failed", "phase error"};
        const std::uint8_t status = data[12];
        std::string s = "CSW ";
        if (status < kStatus.size()) {
            s += kStatus[status];
        } else {
            s += "status ";
            s += capture::HexText(status, 2);
        }
        s += ", residue ";
        s += std::to_string(Le32(data, 8));
        s += "\nCSW tag ";
        s += capture::HexText(Le32(data, 4));
        return s;
    }
    return std::nullopt;
}

std::optional<std::string> DescribeScsiData(std::uint8_t operation,
                                            std::span<const std::uint8_t> data) {
    switch (operation) {
    case 0x12: // INQUIRY
        if (data.size() >= 36) {
            return "INQUIRY data: device type " + capture::HexText(data[0] & 0x1F, 2) +
                   ((data[1] & 0x80) != 0 ? ", removable" : "") + ", vendor \"" +
                   Ascii(data.subspan(8, 8)) + "\", product \"" + Ascii(data.subspan(16, 16)) +
                   "\", revision \"" + Ascii(data.subspan(32, 4)) + "\"";
        }
        return std::nullopt;
    case 0x25: // READ CAPACITY(10)
        if (data.size() >= 8) {
            const std::uint64_t blocks = std::uint64_t{Be32(data, 0)} + 1;
            const std::uint32_t size = Be32(data, 4);
            return "READ CAPACITY data: last LBA " + std::to_string(Be32(data, 0)) + ", block " +
                   std::to_string(size) + " bytes, " + std::to_string(blocks * size) + " bytes";
        }
        return std::nullopt;
    case 0x03: // REQUEST SENSE
        if (data.size() >= 14) {
            std::string text = "sense: ";
            text += SenseKeyName(data[2]);
            text += ", ";
            const std::string codes =
                "ASC " + capture::HexText(data[12], 2) + " ASCQ " + capture::HexText(data[13], 2);
            if (const auto name = AdditionalSenseName(data[12], data[13])) {
                text.append(*name).append(" (").append(codes).append(")");
            } else {
                text += codes;
            }
            return text;
        }
        if (data.size() >= 3) {
            return "sense: " + std::string(SenseKeyName(data[2]));
        }
        return std::nullopt;
    case 0x1A: // MODE SENSE(6)
        if (data.size() >= 4) {
            return "MODE SENSE data: " + std::to_string(data[0] + 1) + " bytes" +
                   ((data[2] & 0x80) != 0 ? ", write-protected" : "");
        }
        return std::nullopt;
    case 0x5A: // MODE SENSE(10): the same header with a 16-bit length
        if (data.size() >= 8) {
            return "MODE SENSE data: " + std::to_string(Be16(data, 0) + 2) + " bytes" +
                   ((data[3] & 0x80) != 0 ? ", write-protected" : "");
        }
        return std::nullopt;
    case 0x23: // READ FORMAT CAPACITIES: a list header, then the current capacity first
        if (data.size() >= 12) {
            static constexpr const char* kTypes[] = {"reserved", "unformatted", "formatted",
                                                     "no medium"};
            const std::uint32_t blocks = Be32(data, 4);
            const std::uint32_t size = (std::uint32_t{data[9]} << 16) | Be16(data, 10);
            return "FORMAT CAPACITIES data: " + std::to_string(blocks) + " blocks of " +
                   std::to_string(size) + " bytes, " + kTypes[data[8] & 3];
        }
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

std::optional<std::string> PrintableText(std::span<const std::uint8_t> data) {
    if (data.empty()) {
        return std::nullopt;
    }
    std::string s;
    s.reserve(data.size() + 8);
    s += "text \"";
    for (std::uint8_t c : data) {
        if (c == '\r') {
            s += "\\r";
        } else if (c == '\n') {
            s += "\\n";
        } else if (c == '\t') {
            s += "\\t";
        } else if (c == '"' || c == '\\') {
            s += '\\';
            s += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            s += static_cast<char>(c);
        } else {
            return std::nullopt;
        }
    }
    s += '"';
    return s;
}

std::optional<Decoded> ClassDecoder::decode(const TransferItem& item) {
    if (payload_.capacity() > kKeptPayload) {
        payload_ = {}; // a transfer of megabytes does not stay in memory after it
    }
    if (item.type == TransferType::Sof || item.type == TransferType::Malformed ||
        item.type == TransferType::Polling) {
        return std::nullopt;
    }
    const auto index = deviceAt_(item.address, FirstRecord(tx_, item));
    const DeviceInfo* device = index ? &devices_.devices()[*index] : nullptr;
    if (item.type == TransferType::Control) {
        return control(item, device);
    }
    if (device == nullptr) {
        return std::nullopt;
    }
    // A data transfer's size and direction have columns of their own: its headline says the rest.
    if (auto text = data(item, *device)) {
        return Decoded{std::move(*text), HeadlineUse::Replace};
    }
    return std::nullopt;
}

bool ClassDecoder::keepsState(const TransferItem& item) {
    // Only data() keeps anything between items, and only for a mass-storage interface.
    if (item.type == TransferType::Sof || item.type == TransferType::Malformed ||
        item.type == TransferType::Polling || item.type == TransferType::Control) {
        return false;
    }
    if (!massStorage_) {
        // Most captures hold no disk: their items then need no device look-up here.
        massStorage_ = false;
        for (const DeviceInfo& d : devices_.devices()) {
            auto any = [](const std::vector<InterfaceDescription>& interfaces) {
                return std::any_of(interfaces.begin(), interfaces.end(), [](const auto& i) {
                    return InterfaceClass(&i) == kClassMassStorage;
                });
            };
            massStorage_ = *massStorage_ || any(d.assumedInterfaces);
            for (const auto* all : {&d.configurations, &d.otherSpeed}) {
                for (const auto& [number, c] : *all) {
                    massStorage_ = *massStorage_ || any(c.interfaces);
                }
            }
        }
    }
    if (!*massStorage_) {
        return false;
    }
    const auto index = deviceAt_(item.address, FirstRecord(tx_, item));
    if (!index) {
        return false;
    }
    const DeviceInfo& device = devices_.devices()[*index];
    std::uint8_t cls = 0;
    interfaceOf(factsOf(device), device, item.endpoint, item.direction, cls);
    return cls == kClassMassStorage;
}

std::optional<Decoded> ClassDecoder::control(const TransferItem& item, const DeviceInfo* device) {
    const auto request = ControlRequest(packets_, tx_, item);
    if (!request) {
        return std::nullopt;
    }
    DeliveredPayloadInto(payload_, packets_, tx_, item);
    const std::vector<std::uint8_t>& payload = payload_;
    const InterfaceDescription* interface =
        device && request->recipient() == 1
            ? device->interface(static_cast<std::uint8_t>(request->index & 0xFF))
            : nullptr;
    const std::uint8_t cls = InterfaceClass(interface);
    auto named = [](std::string text) {
        return std::optional<Decoded>(Decoded{std::move(text), HeadlineUse::Replace});
    };
    // The vendor requests a device named for its Microsoft OS descriptors (or whose reply is
    // unmistakably one) come first: a serial chip answers them too.
    if (IsMsCompatIdRequest(*request, device ? device->msOsVendorCode : std::nullopt, payload)) {
        const std::string ids = MsCompatIdSummary(ParseMsCompatId(payload, request->length));
        return named("MS OS 1.0 compat ID" + (ids.empty() ? std::string() : ": " + ids));
    }
    if (IsMsExtendedPropertiesRequest(*request, device ? device->msOsVendorCode : std::nullopt,
                                      payload)) {
        const std::string names =
            MsPropertiesSummary(ParseMsExtendedProperties(payload, request->length));
        return named("MS OS 1.0 extended properties" +
                     (names.empty() ? std::string() : ": " + names));
    }
    if (IsMsOs20SetRequest(*request, device ? MsOs20VendorCode(device->bos) : std::nullopt,
                           payload)) {
        return named("MS OS 2.0 descriptor set: " +
                     MsOs20Summary(ParseMsOs20Set(payload, request->length)));
    }
    // Serial converters are known by their IDs: their requests are vendor requests (class
    // requests on a PL2303 too, though its interface is vendor-specific).
    if (const auto chip = device ? SerialChipOf(*device) : std::nullopt;
        chip && (request->type() == 2 ||
                 (request->type() == 1 && chip->family == SerialChipFamily::Pl2303))) {
        return named(DescribeSerialChipRequest(*chip, *request, payload));
    }
    if (request->type() == 1) { // class: the text names the request
        const bool hub = device && device->device &&
                         device->device->field("bDeviceClass") == kClassHub &&
                         (request->recipient() == 0 || request->recipient() == 3);
        if (hub) {
            return named(DescribeHubRequest(*request, payload));
        }
        if (cls == kClassHid) {
            std::string s = DescribeHidRequest(*request);
            const HidReportReader* report = reportDescriptor(*device, *interface);
            const bool reportRequest = request->request == 0x01 || request->request == 0x09;
            if (reportRequest && !payload.empty() && report != nullptr) {
                static constexpr std::array<HidReportKind, 4> kKinds = {
                    HidReportKind::Input, HidReportKind::Input, HidReportKind::Output,
                    HidReportKind::Feature};
                const auto decoded = report->decode(kKinds[(request->value >> 8) & 3], payload);
                if (decoded && !decoded->empty()) {
                    s += ": " + *decoded;
                }
            }
            return named(std::move(s));
        }
        if (cls == kClassCdc) {
            return named(DescribeCdcRequest(*request, payload));
        }
        if (cls == kClassApplication &&
            interface->descriptor.field("bInterfaceSubClass").value_or(0) == kSubclassDfu) {
            return named(DescribeDfuRequest(*request, payload));
        }
        if (cls == kClassAudio) {
            return named(DescribeAudioRequest(*request, payload, interface));
        }
        if (request->recipient() == 2 && device) {
            // Sampling frequency and pitch go to an audio streaming endpoint (Audio 1.0 5.2.3).
            const std::uint8_t address = static_cast<std::uint8_t>(request->index & 0xFF);
            const InterfaceDescription* owner = device->interfaceOfEndpoint(
                address & 0x0F, (address & 0x80) != 0 ? Direction::In : Direction::Out);
            if (InterfaceClass(owner) == kClassAudio) {
                return named(DescribeAudioRequest(*request, payload, owner));
            }
        }
        if (cls == kClassMassStorage) {
            if (request->request == 0xFF) {
                return named("Bulk-Only Mass Storage Reset");
            }
            if (request->request == 0xFE) {
                return named("Get Max LUN" +
                             (payload.empty() ? std::string() : ": " + std::to_string(payload[0])));
            }
        }
        return std::nullopt;
    }
    if (request->type() != 0) {
        return std::nullopt;
    }
    // Standard requests: name the interface or endpoint they go to.
    std::string to;
    if (request->recipient() == 1) {
        to = "to interface " + std::to_string(request->index & 0xFF);
        const std::string_view name = ClassName(cls);
        if (interface && !name.empty()) {
            to += " (" + std::string(name) + ")";
        }
    } else if (request->recipient() == 2) {
        const std::uint8_t address = static_cast<std::uint8_t>(request->index & 0xFF);
        to = "to endpoint " + capture::HexText(address, 2);
        const Descriptor* e =
            device ? device->endpointDescriptor(
                         address & 0x0F, (address & 0x80) != 0 ? Direction::In : Direction::Out)
                   : nullptr;
        if (e != nullptr) {
            to += " (" +
                  std::string(EndpointTypeName(
                      static_cast<std::uint8_t>(e->field("bmAttributes").value_or(0)))) +
                  ((address & 0x80) != 0 ? " IN)" : " OUT)");
        }
    }
    std::string what;
    bool size = false;
    if (request->request == 6 && !payload.empty()) { // GET_DESCRIPTOR: what came back
        const std::uint8_t type = static_cast<std::uint8_t>(request->value >> 8);
        if (type == 1 && payload.size() >= 12) {
            what = "device " + capture::HexText(Le16(payload, 8), 4).substr(2) + ":" +
                   capture::HexText(Le16(payload, 10), 4).substr(2);
        } else if (type == 0x0F) {
            what = BosSummary(ParseBos(payload, request->length));
        } else if (type == 3 && (request->value & 0xFF) == 0xEE && MsOsVendorCode(payload)) {
            what = "MS OS 1.0, vendor code " + capture::HexText(*MsOsVendorCode(payload), 2);
        } else if (type == 3 && (request->value & 0xFF) != 0) {
            what = "\"" + EscapeText(ParseString(payload).text) + "\"";
        } else if (type == 3) {
            for (std::uint16_t language : ParseLanguages(payload).languages) {
                what += (what.empty() ? "languages " : ", ") + capture::HexText(language, 4);
            }
        } else if (type == 2 && payload.size() >= 9) {
            what = std::to_string(payload.size()) + " of " + std::to_string(Le16(payload, 2)) +
                   " bytes";
            size = true;
        }
    }
    if (to.empty() && what.empty()) {
        return std::nullopt;
    }
    return Decoded{to + (to.empty() || what.empty() ? "" : ": ") + what,
                   size && to.empty() ? HeadlineUse::Aside : HeadlineUse::Append};
}

ClassDecoder::DeviceFacts& ClassDecoder::factsOf(const DeviceInfo& device) {
    const auto index = static_cast<std::size_t>(&device - devices_.devices().data());
    if (index >= facts_.size()) {
        facts_.resize(index + 1);
    }
    DeviceFacts& facts = facts_[index];
    if (!facts.known) {
        facts.known = true;
        facts.hub = device.device && device.device->field("bDeviceClass") == kClassHub;
        facts.chip = SerialChipOf(device);
    }
    return facts;
}

const InterfaceDescription* ClassDecoder::interfaceOf(DeviceFacts& facts, const DeviceInfo& device,
                                                      std::uint8_t endpoint, Direction direction,
                                                      std::uint8_t& cls) {
    if (endpoint > 0x0F) {
        const InterfaceDescription* interface = device.interfaceOfEndpoint(endpoint, direction);
        cls = InterfaceClass(interface);
        return interface;
    }
    const std::size_t slot = FactSlot(endpoint, direction);
    if (!facts.looked[slot]) {
        facts.looked[slot] = true;
        facts.interfaces[slot] = device.interfaceOfEndpoint(endpoint, direction);
        facts.classes[slot] = InterfaceClass(facts.interfaces[slot]);
    }
    cls = facts.classes[slot];
    return facts.interfaces[slot];
}

const HidReportReader* ClassDecoder::readerOf(DeviceFacts& facts, const DeviceInfo& device,
                                              const InterfaceDescription& interface,
                                              std::uint8_t endpoint, Direction direction) {
    if (endpoint > 0x0F) {
        return reportDescriptor(device, interface);
    }
    const std::size_t slot = FactSlot(endpoint, direction);
    if (!facts.readerLooked[slot]) {
        facts.readerLooked[slot] = true;
        facts.readers[slot] = reportDescriptor(device, interface);
    }
    return facts.readers[slot];
}

std::optional<std::string> ClassDecoder::data(const TransferItem& item, const DeviceInfo& device) {
    DeviceFacts& facts = factsOf(device);
    std::uint8_t cls = 0;
    const InterfaceDescription* interface =
        interfaceOf(facts, device, item.endpoint, item.direction, cls);
    const bool hubStatus = facts.hub && item.direction == Direction::In;
    const std::optional<SerialChip>& chip = facts.chip;
    const bool chipData =
        chip && (item.type == TransferType::Bulk || item.type == TransferType::Data);
    // Nothing below reads the payload then: a transfer of megabytes is not gathered for it.
    if (!hubStatus && !chipData && interface == nullptr) {
        return std::nullopt;
    }
    // A disk's data stages run to kilobytes each; what is said of them needs their start only.
    const bool massStorage = cls == kClassMassStorage && !hubStatus && !chipData;
    DeliveredPayloadInto(payload_, packets_, tx_, item, massStorage ? kMassStorageRead : SIZE_MAX);
    const std::vector<std::uint8_t>& payload = payload_;
    if (hubStatus && !payload.empty()) {
        std::string s;
        for (std::size_t bit = 0; bit < payload.size() * 8 && bit < 256; ++bit) {
            if ((payload[bit / 8] >> (bit % 8) & 1) != 0) {
                s += (s.empty() ? "" : ", ") +
                     (bit == 0 ? std::string("hub") : "port " + std::to_string(bit));
            }
        }
        return "changed: " + (s.empty() ? std::string("none") : s);
    }
    if (chipData) {
        // An FTDI chip heads every IN packet with its status, even one without data.
        if (chip->family == SerialChipFamily::Ftdi && item.direction == Direction::In) {
            const auto packets = DeliveredPackets(packets_, tx_, item);
            return packets.empty() ? std::nullopt : std::optional(DescribeFtdiIn(packets));
        }
        return PrintableText(payload);
    }
    if (payload.empty() || interface == nullptr) {
        return std::nullopt;
    }
    if (cls == kClassHid) {
        const HidReportKind kind =
            item.direction == Direction::In ? HidReportKind::Input : HidReportKind::Output;
        if (const HidReportReader* found =
                readerOf(facts, device, *interface, item.endpoint, item.direction)) {
            const HidReportReader& reader = *found;
            const HidReportDescriptor& d = reader.descriptor();
            // Several reports may arrive in one transfer: read them one after another, the
            // first as the headline, the others (a bounded number) as detail lines.
            constexpr std::size_t kShown = 64;
            std::vector<std::string> lines;
            std::size_t reports = 0;
            std::span<const std::uint8_t> rest = payload;
            while (!rest.empty()) {
                const std::uint8_t id = d.usesReportIds ? rest[0] : 0;
                const std::uint32_t bits = reader.reportBits(kind, id);
                const std::size_t length = (d.usesReportIds ? 1 : 0) + (bits + 7) / 8;
                if (bits == 0) {
                    break;
                }
                const auto report = rest.first(std::min(length, rest.size()));
                ++reports;
                if (lines.size() < kShown) {
                    if (const auto decoded = reader.decode(kind, report)) {
                        lines.push_back(HidReportLine(d.usesReportIds, id, *decoded));
                    }
                }
                rest = rest.subspan(report.size());
            }
            if (lines.empty()) {
                return std::nullopt;
            }
            std::string s = std::move(lines.front());
            if (reports > 1) {
                s += " (" + std::to_string(reports) + " reports)";
            }
            for (std::size_t i = 1; i < lines.size(); ++i) {
                s += "\n" + lines[i];
            }
            if (reports > lines.size()) {
                s += "\n" + std::to_string(reports - lines.size()) + " more reports";
            }
            return s;
        }
        const auto subclass = interface->descriptor.field("bInterfaceSubClass");
        const auto protocol = interface->descriptor.field("bInterfaceProtocol");
        if (subclass == 1 && protocol == 2 && item.direction == Direction::In) {
            const auto decoded = DecodeBootMouse(payload);
            return decoded ? std::optional(HidReportLine(false, 0, *decoded)) : std::nullopt;
        }
        if (subclass == 1 && protocol == 1 && item.direction == Direction::In) {
            const auto decoded = DecodeBootKeyboard(payload);
            return decoded ? std::optional(HidReportLine(false, 0, *decoded)) : std::nullopt;
        }
        return std::nullopt;
    }
    if (cls == kClassCdcData || (cls == kClassCdc && item.type == TransferType::Bulk)) {
        return PrintableText(payload);
    }
    if (cls == kClassAudio &&
        interface->descriptor.field("bInterfaceSubClass") == kSubclassMidiStreaming &&
        (item.type == TransferType::Bulk || item.type == TransferType::Interrupt ||
         item.type == TransferType::Data)) {
        return DescribeMidiPackets(payload);
    }
    if (cls == kClassCdc && payload.size() >= 10 && payload[0] == 0xA1 && payload[1] == 0x20) {
        const std::uint16_t state = Le16(payload, 8);
        static constexpr std::array<const char*, 7> kBits = {
            "DCD", "DSR", "break", "ring", "framing error", "parity error", "overrun"};
        std::string s;
        for (std::size_t b = 0; b < kBits.size(); ++b) {
            if ((state >> b & 1) != 0) {
                s += (s.empty() ? "" : ", ") + std::string(kBits[b]);
            }
        }
        return "SERIAL_STATE " + (s.empty() ? std::string("none") : s);
    }
    if (cls == kClassMassStorage) {
        const std::size_t index = static_cast<std::size_t>(&device - devices_.devices().data());
        const std::uint8_t number =
            static_cast<std::uint8_t>(interface->descriptor.field("bInterfaceNumber").value_or(0));
        const InterfaceKey key(index, number);
        auto wrapper = DescribeMassStorage(payload);
        if (wrapper && payload.size() == 31) {
            Command& c = commands_[key];
            c.tag = Le32(payload, 4);
            c.hasOperation = (payload[14] & 0x1F) > 0;
            c.operation = payload[15];
            c.name = wrapper->substr(0, wrapper->find('\n'));
            return wrapper;
        }
        const auto found = commands_.find(key);
        if (wrapper) {
            // A status wrapper answers the command before it, by its tag (BOT 1.0 5.2).
            if (found != commands_.end()) {
                const std::uint32_t tag = Le32(payload, 4);
                *wrapper += tag == found->second.tag ? ", for " + found->second.name
                                                     : ", not the tag of the last command (" +
                                                           capture::HexText(found->second.tag) +
                                                           ", " + found->second.name + ")";
                commands_.erase(found);
            }
            return wrapper;
        }
        if (found != commands_.end() && found->second.hasOperation) {
            return DescribeScsiData(found->second.operation, payload);
        }
    }
    return std::nullopt;
}

const HidReportReader* ClassDecoder::reportDescriptor(const DeviceInfo& device,
                                                      const InterfaceDescription& interface) {
    const auto number = interface.descriptor.field("bInterfaceNumber");
    if (!number) {
        return nullptr;
    }
    const std::vector<std::uint8_t>* raw = device.reportDescriptorOf(interface);
    if (raw == nullptr) {
        return nullptr;
    }
    const InterfaceKey key(static_cast<std::size_t>(&device - devices_.devices().data()),
                           static_cast<std::uint8_t>(*number));
    auto at = reportDescriptors_.find(key);
    if (at == reportDescriptors_.end()) {
        at = reportDescriptors_.emplace(key, HidReportReader(ParseReportDescriptor(*raw))).first;
    }
    return &at->second;
}

} // namespace vintrace::protocol
