#include "BusModel.h"

#include "capture/UsbCrc.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <string>
#include <utility>

namespace vintrace::emulator {

namespace {

constexpr std::uint8_t kOut = 0xE1, kIn = 0x69, kSof = 0xA5, kSetup = 0x2D;
constexpr std::uint8_t kData0 = 0xC3, kData1 = 0x4B;
constexpr std::uint8_t kAck = 0xD2, kNak = 0x5A, kStall = 0x1E, kPre = 0x3C;

constexpr double kFrameUs = 1000.0;
// The frame before which the host skips a frame number when asked to (a few frames in, so
// that the gap stands between two SOFs of the recording).
constexpr std::uint64_t kSofGapFrame = 5;

std::vector<std::uint8_t> Token(std::uint8_t pid, std::uint8_t address, std::uint8_t endpoint) {
    const std::uint16_t field =
        capture::WithCrc5(static_cast<std::uint16_t>((address & 0x7F) | (endpoint & 0xF) << 7));
    return {pid, static_cast<std::uint8_t>(field), static_cast<std::uint8_t>(field >> 8)};
}

std::vector<std::uint8_t> Sof(std::uint16_t frame) {
    const std::uint16_t field = capture::WithCrc5(static_cast<std::uint16_t>(frame & 0x7FF));
    return {kSof, static_cast<std::uint8_t>(field), static_cast<std::uint8_t>(field >> 8)};
}

std::vector<std::uint8_t> Data(std::uint8_t toggle, const std::vector<std::uint8_t>& payload) {
    // Sized first: growing a one-byte vector by insert trips GCC 12's -Warray-bounds at -O3.
    std::vector<std::uint8_t> p;
    p.reserve(payload.size() + 3);
    p.push_back(toggle != 0 ? kData1 : kData0);
    p.insert(p.end(), payload.begin(), payload.end());
    const std::uint16_t crc = capture::Crc16(payload);
    p.push_back(static_cast<std::uint8_t>(crc));
    p.push_back(static_cast<std::uint8_t>(crc >> 8));
    return p;
}

// Time a packet occupies: sync, bytes, end of packet, and a small gap before the next.
double DurationUs(std::size_t bytes, bool lowSpeed) {
    const double bits = 8.0 + 8.0 * static_cast<double>(bytes) + 3.0;
    return bits / (lowSpeed ? 1.5 : 12.0) + 1.0;
}

std::vector<std::uint8_t> Setup(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                                std::uint16_t index, std::uint16_t length) {
    return {requestType,
            request,
            static_cast<std::uint8_t>(value),
            static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(index),
            static_cast<std::uint8_t>(index >> 8),
            static_cast<std::uint8_t>(length),
            static_cast<std::uint8_t>(length >> 8)};
}

std::vector<std::uint8_t> DeviceDescriptor(std::uint8_t maxPacket0, std::uint16_t product) {
    return {0x12,
            0x01,
            0x10,
            0x01,
            0x00,
            0x00,
            0x00,
            maxPacket0,
            0x09,
            0x12,
            static_cast<std::uint8_t>(product),
            static_cast<std::uint8_t>(product >> 8),
            0x00,
            0x01,
            0x01,
            0x02,
            0x00,
            0x01};
}

// One interface: an interrupt IN endpoint 1 and, at full speed, bulk OUT/IN endpoint 2.
std::vector<std::uint8_t> ConfigDescriptor(bool lowSpeed) {
    std::vector<std::uint8_t> d{0x09, 0x02, 0x00, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,
                                0x09, 0x04, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00,
                                0x07, 0x05, 0x81, 0x03, 0x08, 0x00, 0x0A};
    if (!lowSpeed) {
        const std::vector<std::uint8_t> bulk{0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00,
                                             0x07, 0x05, 0x82, 0x02, 0x40, 0x00, 0x00};
        d.insert(d.end(), bulk.begin(), bulk.end());
    }
    d[2] = static_cast<std::uint8_t>(d.size());
    d[13] = lowSpeed ? 1 : 3;
    return d;
}

using Bytes = std::vector<std::uint8_t>;

void Append(Bytes& to, std::initializer_list<std::uint8_t> bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

Bytes StringDescriptor(std::string_view text) {
    Bytes d{static_cast<std::uint8_t>(2 + 2 * text.size()), 0x03};
    for (const char c : text) {
        Append(d, {static_cast<std::uint8_t>(c), 0x00});
    }
    return d;
}

Bytes Text(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

void PutLe32(Bytes& to, std::uint32_t v) {
    Append(to, {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)});
}

// Device descriptor of a class device: VID 0x1209 (pid.codes), manufacturer, product and
// serial-number strings 1, 2 and 3.
Bytes ClassDeviceDescriptor(std::uint8_t deviceClass, std::uint8_t subClass, std::uint8_t protocol,
                            std::uint8_t maxPacket0, std::uint16_t product) {
    // clang-format off
    return {0x12, 0x01, 0x10, 0x01, deviceClass, subClass, protocol, maxPacket0,
            0x09, 0x12, static_cast<std::uint8_t>(product), static_cast<std::uint8_t>(product >> 8),
            0x00, 0x01, 0x01, 0x02, 0x03, 0x01};
    // clang-format on
}

// A configuration with `interfaces` interfaces whose parts follow the first 9 bytes;
// wTotalLength is what was put together.
Bytes Configuration(std::uint8_t interfaces, std::initializer_list<std::uint8_t> parts) {
    Bytes d{0x09, 0x02, 0x00, 0x00, interfaces, 0x01, 0x00, 0x80, 0x32};
    Append(d, parts);
    d[2] = static_cast<std::uint8_t>(d.size());
    d[3] = static_cast<std::uint8_t>(d.size() >> 8);
    return d;
}

// Boot-protocol report descriptors: a 3-byte mouse report (buttons, X, Y) and the 8-byte
// keyboard report with its 5 LEDs as output.
const Bytes kMouseReport{0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00,
                         0x05, 0x09, 0x19, 0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01,
                         0x95, 0x03, 0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x05,
                         0x81, 0x01, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15, 0x81,
                         0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06, 0xC0, 0xC0};
const Bytes kKeyboardReport{
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

// Interface 0 of a HID boot device with its HID descriptor and interrupt IN endpoint 1.
Bytes HidConfiguration(std::uint8_t protocol, std::size_t reportLength, std::uint8_t maxPacket) {
    // clang-format off
    return Configuration(1, {0x09, 0x04, 0x00, 0x00, 0x01, 0x03, 0x01, protocol, 0x00, // interface
                             0x09, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22,                 // HID 1.11
                             static_cast<std::uint8_t>(reportLength),
                             static_cast<std::uint8_t>(reportLength >> 8),
                             0x07, 0x05, 0x81, 0x03, maxPacket, 0x00, 0x0A});         // 10 ms
    // clang-format on
}

// CDC line coding: 115200 baud, 1 stop bit, no parity, 8 data bits.
const Bytes kLineCoding{0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08};
constexpr std::uint32_t kDiskBlocks = 2048;
constexpr std::size_t kBlock = 512;
constexpr std::size_t kBulkMax = 64;

// SERIAL_STATE notification of the communication interface: the modem lines in `state`.
/// A DFU_GETSTATUS answer (DFU 1.1 6.1.2): bStatus, bwPollTimeout, bState, iString.
Bytes DfuStatus(std::uint8_t status, std::uint8_t state, std::uint16_t pollMs) {
    return {status,
            static_cast<std::uint8_t>(pollMs & 0xFF),
            static_cast<std::uint8_t>(pollMs >> 8),
            0x00,
            state,
            0x00};
}

// The FTDI chip's status header: CTS, DSR (and the reserved bit 0 it always sets); the
// transmitter empty.
const std::array<std::uint8_t, 2> kFtdiStatus = {0x31, 0x60};

Bytes SerialState(std::uint8_t state) {
    return {0xA1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, state, 0x00};
}

// Modifier and usage of a character on a US keyboard; 0 usage for characters without a key.
std::pair<std::uint8_t, std::uint8_t> KeyOf(char c) {
    constexpr std::uint8_t kShift = 0x02;
    if (c >= 'a' && c <= 'z') {
        return {0, static_cast<std::uint8_t>(0x04 + (c - 'a'))};
    }
    if (c >= 'A' && c <= 'Z') {
        return {kShift, static_cast<std::uint8_t>(0x04 + (c - 'A'))};
    }
    if (c >= '1' && c <= '9') {
        return {0, static_cast<std::uint8_t>(0x1E + (c - '1'))};
    }
    switch (c) {
    case '0':
        return {0, 0x27};
    case '\n':
        return {0, 0x28};
    case ' ':
        return {0, 0x2C};
    case '-':
        return {0, 0x2D};
    case ',':
        return {0, 0x36};
    case '.':
        return {0, 0x37};
    case '!':
        return {kShift, 0x1E};
    default:
        return {0, 0};
    }
}

} // namespace

std::optional<Profile> ProfileFromText(std::string_view text) {
    for (const Profile p : {Profile::Vendor, Profile::Mouse, Profile::Keyboard, Profile::Serial,
                            Profile::Disk, Profile::Dfu, Profile::Ftdi, Profile::Midi}) {
        if (text == ProfileName(p)) {
            return p;
        }
    }
    return std::nullopt;
}

std::string_view ProfileName(Profile profile) {
    switch (profile) {
    case Profile::Mouse:
        return "mouse";
    case Profile::Keyboard:
        return "keyboard";
    case Profile::Serial:
        return "serial";
    case Profile::Disk:
        return "disk";
    case Profile::Dfu:
        return "dfu";
    case Profile::Ftdi:
        return "ftdi";
    case Profile::Midi:
        return "midi";
    case Profile::Vendor:
        break;
    }
    return "vendor";
}

bool IsLowSpeedProfile(Profile profile) {
    return profile == Profile::Mouse || profile == Profile::Keyboard;
}

namespace {
constexpr std::array<std::string_view, kFaultCount> kFaultNames = {
    "toggle",    "no-ack",         "nak-setup",
    "babble",    "overrun",        "no-zlp",
    "no-status", "bad-descriptor", "stall-get-descriptor",
    "bad-csw",   "sof-gap"};
} // namespace

std::optional<Fault> FaultFromText(std::string_view text) {
    for (std::size_t i = 0; i < kFaultNames.size(); ++i) {
        if (kFaultNames[i] == text) {
            return static_cast<Fault>(i);
        }
    }
    return std::nullopt;
}

std::string_view FaultName(Fault fault) {
    return kFaultNames[static_cast<std::size_t>(fault)];
}

std::string FaultImpossible(Fault fault, const BusSettings& settings) {
    std::vector<Profile> on;
    for (const Profile p : settings.profiles) {
        if (settings.fullSpeed || p == Profile::Vendor || IsLowSpeedProfile(p)) {
            on.push_back(p);
        }
    }
    if (on.empty()) {
        on.push_back(Profile::Vendor);
    }
    const auto has = [&on](auto pred) { return std::any_of(on.begin(), on.end(), pred); };
    switch (fault) {
    case Fault::Toggle:
    case Fault::Babble:
        if (!has([](Profile p) {
                return p != Profile::Disk && p != Profile::Dfu && p != Profile::Ftdi &&
                       p != Profile::Midi;
            })) {
            return "needs a device with an interrupt IN endpoint (vendor, mouse, keyboard or "
                   "serial)";
        }
        break;
    case Fault::BadCsw:
        if (!has([](Profile p) { return p == Profile::Disk; })) {
            return "needs the disk device (--device disk)";
        }
        break;
    case Fault::SofGap:
        if (!settings.fullSpeed) {
            return "needs a full-speed bus: a low-speed bus carries no SOFs";
        }
        break;
    default:
        break;
    }
    return {};
}

ClassDescriptors DescriptorsOf(Profile profile) {
    ClassDescriptors c;
    const Bytes languages{0x04, 0x03, 0x09, 0x04};
    switch (profile) {
    case Profile::Vendor:
        return c;
    case Profile::Mouse:
        c.device = ClassDeviceDescriptor(0, 0, 0, 8, 0x0003);
        c.report = kMouseReport;
        c.configuration = HidConfiguration(0x02, c.report.size(), 4);
        c.strings = {languages, StringDescriptor("Vintrace"), StringDescriptor("Demo Mouse"),
                     StringDescriptor("VT-MOUSE-0001")};
        c.interruptEndpoint = 0x81;
        c.pollInterval = 10;
        break;
    case Profile::Keyboard:
        c.device = ClassDeviceDescriptor(0, 0, 0, 8, 0x0004);
        c.report = kKeyboardReport;
        c.configuration = HidConfiguration(0x01, c.report.size(), 8);
        c.strings = {languages, StringDescriptor("Vintrace"), StringDescriptor("Demo Keyboard"),
                     StringDescriptor("VT-KBD-0001")};
        c.interruptEndpoint = 0x81;
        c.pollInterval = 10;
        break;
    case Profile::Serial:
        // Miscellaneous class with an interface association: communication interface 0
        // (header, call management, ACM and union functional descriptors, notification
        // endpoint 3 IN) and data interface 1 (bulk OUT 2, bulk IN 1).
        c.device = ClassDeviceDescriptor(0xEF, 0x02, 0x01, 64, 0x0005);
        c.configuration =
            Configuration(2, {0x08, 0x0B, 0x00, 0x02, 0x02, 0x02, 0x01, 0x00,       // association
                              0x09, 0x04, 0x00, 0x00, 0x01, 0x02, 0x02, 0x01, 0x00, // communication
                              0x05, 0x24, 0x00, 0x10, 0x01,             // header, CDC 1.10
                              0x05, 0x24, 0x01, 0x00, 0x01,             // call management
                              0x04, 0x24, 0x02, 0x02,                   // ACM: line coding
                              0x05, 0x24, 0x06, 0x00, 0x01,             // union 0 -> 1
                              0x07, 0x05, 0x83, 0x03, 0x10, 0x00, 0x10, // notifications
                              0x09, 0x04, 0x01, 0x00, 0x02, 0x0A, 0x00, 0x00, 0x00, // data
                              0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00,             // bulk OUT
                              0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00});           // bulk IN
        c.strings = {languages, StringDescriptor("Vintrace"), StringDescriptor("Demo Serial Port"),
                     StringDescriptor("VT-ACM-0001")};
        c.interruptEndpoint = 0x83;
        c.pollInterval = 16;
        break;
    case Profile::Disk:
        // SCSI transparent command set over bulk-only transport: bulk IN 1, bulk OUT 2.
        c.device = ClassDeviceDescriptor(0, 0, 0, 64, 0x0006);
        c.configuration = Configuration(1, {0x09, 0x04, 0x00, 0x00, 0x02, 0x08, 0x06, 0x50, 0x00, //
                                            0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,             //
                                            0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00});
        c.strings = {languages, StringDescriptor("Vintrace"), StringDescriptor("Demo Disk"),
                     StringDescriptor("VT0000000001")};
        break;
    case Profile::Dfu:
        // DFU mode (DFU 1.1 4.2): one interface, no endpoints but the default pipe, and its
        // functional descriptor: can download and upload, manifestation tolerant, 256-byte
        // blocks, DFU 1.1.
        c.device = ClassDeviceDescriptor(0, 0, 0, 64, 0x0007);
        c.configuration = Configuration(1, {0x09, 0x04, 0x00, 0x00, 0x00, 0xFE, 0x01, 0x02, 0x00, //
                                            0x09, 0x21, 0x07, 0xFF, 0x00, 0x00, 0x01, 0x10, 0x01});
        c.strings = {languages, StringDescriptor("Vintrace"), StringDescriptor("Demo DFU"),
                     StringDescriptor("VT-DFU-0001")};
        break;
    case Profile::Ftdi:
        // An FT232R as it leaves the factory (VID 0403, PID 6001, bcdDevice 6.00, 8-byte
        // control pipe): one vendor-specific interface with bulk IN 1 and bulk OUT 2.
        c.device = ClassDeviceDescriptor(0, 0, 0, 8, 0x6001);
        c.device[8] = 0x03;
        c.device[9] = 0x04;
        c.device[13] = 0x06;
        c.configuration = Configuration(1, {0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x02, //
                                            0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,             //
                                            0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00});
        c.strings = {languages, StringDescriptor("Vintrace"), StringDescriptor("Demo FTDI Serial"),
                     StringDescriptor("VT-FTDI-0001")};
        break;
    case Profile::Midi:
        // The MIDI adapter of the USB MIDI class: an audio control interface with only its
        // header, and a MIDI streaming interface with an embedded and an external IN jack
        // (1, 2), an embedded OUT jack 3 fed by IN jack 2 and an external OUT jack 4 fed by
        // IN jack 1; bulk OUT 1 carries jack 1, bulk IN 1 jack 3 (9-byte audio endpoints).
        c.device = ClassDeviceDescriptor(0, 0, 0, 64, 0x0008);
        c.configuration =
            Configuration(2, {0x09, 0x04, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, // control
                              0x09, 0x24, 0x01, 0x00, 0x01, 0x09, 0x00, 0x01, 0x01, // ADC 1.00
                              0x09, 0x04, 0x01, 0x00, 0x02, 0x01, 0x03, 0x00, 0x00, // streaming
                              0x07, 0x24, 0x01, 0x00, 0x01, 0x41, 0x00,             // MSC 1.00
                              0x06, 0x24, 0x02, 0x01, 0x01, 0x00,                   // IN 1
                              0x06, 0x24, 0x02, 0x02, 0x02, 0x00,                   // IN 2
                              0x09, 0x24, 0x03, 0x01, 0x03, 0x01, 0x02, 0x01, 0x00, // OUT 3
                              0x09, 0x24, 0x03, 0x02, 0x04, 0x01, 0x01, 0x01, 0x00, // OUT 4
                              0x09, 0x05, 0x01, 0x02, 0x40, 0x00, 0x00, 0x00, 0x00, // bulk OUT
                              0x05, 0x25, 0x01, 0x01, 0x01,                         // jack 1
                              0x09, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00, 0x00, 0x00, // bulk IN
                              0x05, 0x25, 0x01, 0x01, 0x03});                       // jack 3
        c.strings = {languages, StringDescriptor("Vintrace"), StringDescriptor("Demo MIDI"),
                     StringDescriptor("VT-MIDI-0001")};
        break;
    }
    return c;
}

BusModel::BusModel(const BusSettings& settings)
    : settings_(settings), state_(settings.seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull),
      frameNumber_(0) {
    frameNumber_ = static_cast<std::uint16_t>(Random(0x800));
    for (const Profile p : settings_.profiles) {
        const bool slow = p == Profile::Vendor ? !settings_.fullSpeed : IsLowSpeedProfile(p);
        if (devices_.size() == kMaxDevices || (!settings_.fullSpeed && !slow)) {
            continue; // a full-speed function has no place on a low-speed bus
        }
        devices_.push_back(MakeDevice(p, static_cast<std::uint8_t>(devices_.size() + 1), slow));
    }
    if (devices_.empty()) {
        devices_.push_back(MakeDevice(Profile::Vendor, 1, !settings_.fullSpeed));
    }
    for (const Fault f : settings_.faults) {
        faultsToCommit_[static_cast<std::size_t>(f)] = true;
    }
    if (settings_.fullSpeed && settings_.lowSpeedDeviceBehindHub && devices_.size() < kMaxDevices) {
        devices_.push_back(
            MakeDevice(Profile::Vendor, static_cast<std::uint8_t>(devices_.size() + 1), true));
    }
    Enumerate(devices_.front());
}

BusModel::Device BusModel::MakeDevice(Profile profile, std::uint8_t address, bool lowSpeed) const {
    Device d;
    d.profile = profile;
    d.address = address;
    d.lowSpeed = lowSpeed;
    d.preamble = lowSpeed && settings_.fullSpeed;
    d.maxPacket0 = lowSpeed ? 8 : 64;
    d.pollInterval = lowSpeed ? 10 : 1;
    if (profile == Profile::Vendor) {
        d.deviceDescriptor = DeviceDescriptor(d.maxPacket0, d.preamble ? 0x0002 : 0x0001);
        d.configDescriptor = ConfigDescriptor(lowSpeed);
        return d;
    }
    const ClassDescriptors c = DescriptorsOf(profile);
    d.deviceDescriptor = c.device;
    d.maxPacket0 = c.device[7];
    d.configDescriptor = c.configuration;
    d.reportDescriptor = c.report;
    d.strings = c.strings;
    d.interruptEndpoint = c.interruptEndpoint;
    d.pollInterval = c.pollInterval;
    for (std::size_t i = 0; i + 6 < d.configDescriptor.size() && d.configDescriptor[i] != 0;
         i += d.configDescriptor[i]) {
        if (d.configDescriptor[i + 1] == 0x05 && d.configDescriptor[i + 2] == d.interruptEndpoint) {
            d.interruptMaxPacket = static_cast<std::uint16_t>(d.configDescriptor[i + 4] |
                                                              d.configDescriptor[i + 5] << 8);
        }
    }
    return d;
}

std::uint32_t BusModel::Random(std::uint32_t below) {
    // splitmix64: fully specified, so a seed gives the same bus on every platform.
    state_ += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return below == 0 ? 0 : static_cast<std::uint32_t>(z % below);
}

BusModel::Packet BusModel::RandomBytes(std::size_t n) {
    Packet p(n);
    for (auto& b : p) {
        b = static_cast<std::uint8_t>(Random(256));
    }
    return p;
}

bool BusModel::Inject(Fault fault) {
    bool& pending = faultsToCommit_[static_cast<std::size_t>(fault)];
    return std::exchange(pending, false);
}

void BusModel::InterruptData(Device& d, Transaction& t, std::uint8_t& toggle, Packet report) {
    std::uint8_t sent = toggle;
    // New data under the toggle of the report before it: the host takes it for a
    // retransmission and drops it (8.6.4). The device then carries on from the right toggle.
    const bool repeat = d.lastInterrupt && *d.lastInterrupt != report && Inject(Fault::Toggle);
    if (repeat) {
        sent ^= 1;
        t.fault = Fault::Toggle;
    } else if (Inject(Fault::Babble)) {
        report.resize(std::size_t{d.interruptMaxPacket} + 1, 0x00);
        t.fault = Fault::Babble;
    }
    d.lastInterrupt = report;
    t.packets.push_back(Data(sent, report));
    HostPacket(d, t, {kAck});
    if (!repeat) {
        toggle ^= 1;
    }
}

void BusModel::ReadFullPacketString(Device& d) {
    static constexpr std::string_view kText = "Vintrace fault test: no zero-length packet follows";
    Bytes text{d.maxPacket0, 0x03};
    for (std::size_t i = 0; text.size() < d.maxPacket0; ++i) {
        Append(text, {static_cast<std::uint8_t>(kText[i % kText.size()]), 0x00});
    }
    const std::size_t setup = d.control.size();
    omitZlp_ = true;
    ControlRead(d, d.address, Setup(0x80, 0x06, 0x0304, 0x0409, 255), text, false);
    d.control[setup].fault = Fault::NoZlp;
}

BusModel::Transaction BusModel::Begin(const Device& d) const {
    Transaction t;
    t.lowSpeed = d.lowSpeed;
    return t;
}

void BusModel::HostPacket(const Device& d, Transaction& t, Packet p) const {
    if (d.preamble) {
        t.packets.push_back({kPre});
    }
    t.packets.push_back(std::move(p));
}

void BusModel::SetupStage(Device& d, std::uint8_t address, const Packet& setup) {
    if (address != 0 && Inject(Fault::NakSetup)) {
        // 8.4.6.4 forbids it; the host sends the SETUP again.
        Transaction refused = Begin(d);
        HostPacket(d, refused, Token(kSetup, address, 0));
        HostPacket(d, refused, Data(0, setup));
        refused.packets.push_back({kNak});
        refused.fault = Fault::NakSetup;
        d.control.push_back(std::move(refused));
    }
    Transaction t = Begin(d);
    HostPacket(d, t, Token(kSetup, address, 0));
    HostPacket(d, t, Data(0, setup));
    t.packets.push_back({kAck});
    d.control.push_back(std::move(t));
}

void BusModel::ControlRead(Device& d, std::uint8_t address, const Packet& setup, Packet answer,
                           bool stall) {
    const bool omitZlp = std::exchange(omitZlp_, false);
    const bool getDescriptor = setup[0] == 0x80 && setup[1] == 0x06;
    if (!stall && address != 0 && getDescriptor && setup[3] == 0x01 &&
        Inject(Fault::StallGetDescriptor)) {
        // A request every device answers, refused once; the host asks again.
        const std::size_t refused = d.control.size();
        ControlRead(d, address, setup, answer, true);
        d.control[refused].fault = Fault::StallGetDescriptor;
    }
    SetupStage(d, address, setup);
    const std::size_t setupAt = d.control.size() - 1;
    const std::size_t wLength = static_cast<std::size_t>(setup[6] | setup[7] << 8);
    // The whole configuration where the host asked for its first 9 bytes (9.3.5 forbids it).
    const bool overrun = !stall && address != 0 && getDescriptor && setup[3] == 0x02 &&
                         answer.size() > wLength && Inject(Fault::Overrun);
    if (overrun) {
        d.control[setupAt].fault = Fault::Overrun;
    } else if (answer.size() > wLength) {
        answer.resize(wLength);
    }
    if (stall) {
        Transaction t = Begin(d);
        HostPacket(d, t, Token(kIn, address, 0));
        t.packets.push_back({kStall});
        d.control.push_back(std::move(t));
        return;
    }
    std::uint8_t toggle = 1;
    std::size_t sent = 0;
    bool more = true;
    while (more) {
        const std::size_t n = std::min<std::size_t>(d.maxPacket0, answer.size() - sent);
        if (Random(5) == 0) {
            // The device is not ready yet; the host tries again later.
            Transaction busy = Begin(d);
            HostPacket(d, busy, Token(kIn, address, 0));
            busy.packets.push_back({kNak});
            d.control.push_back(std::move(busy));
        }
        Transaction t = Begin(d);
        HostPacket(d, t, Token(kIn, address, 0));
        t.packets.push_back(
            Data(toggle, Packet(answer.begin() + static_cast<std::ptrdiff_t>(sent),
                                answer.begin() + static_cast<std::ptrdiff_t>(sent + n))));
        HostPacket(d, t, {kAck});
        d.control.push_back(std::move(t));
        sent += n;
        toggle ^= 1;
        // A short packet ends the data stage; a full one at wLength does too.
        more = n == d.maxPacket0 && (overrun ? sent < answer.size() : sent < wLength) &&
               !(omitZlp && sent == answer.size());
    }
    if (address != 0 && Inject(Fault::NoStatus)) {
        // The device never completes the status stage; the host gives up on the transfer.
        for (int attempt = 0; attempt < 3; ++attempt) {
            Transaction refused = Begin(d);
            HostPacket(d, refused, Token(kOut, address, 0));
            HostPacket(d, refused, Data(1, {}));
            refused.packets.push_back({kNak});
            d.control.push_back(std::move(refused));
        }
        d.control[setupAt].fault = Fault::NoStatus;
        return;
    }
    if (address != 0 && Inject(Fault::NoAck)) {
        // Left unanswered, the host sends the status stage again.
        Transaction lost = Begin(d);
        HostPacket(d, lost, Token(kOut, address, 0));
        HostPacket(d, lost, Data(1, {}));
        lost.fault = Fault::NoAck;
        d.control.push_back(std::move(lost));
    }
    Transaction status = Begin(d);
    HostPacket(d, status, Token(kOut, address, 0));
    HostPacket(d, status, Data(1, {}));
    status.packets.push_back({kAck});
    d.control.push_back(std::move(status));
}

void BusModel::ControlWrite(Device& d, std::uint8_t address, const Packet& setup) {
    SetupStage(d, address, setup);
    if (Random(4) == 0) {
        Transaction busy = Begin(d);
        HostPacket(d, busy, Token(kIn, address, 0));
        busy.packets.push_back({kNak});
        d.control.push_back(std::move(busy));
    }
    Transaction status = Begin(d);
    HostPacket(d, status, Token(kIn, address, 0));
    status.packets.push_back(Data(1, {}));
    HostPacket(d, status, {kAck});
    d.control.push_back(std::move(status));
}

void BusModel::Enumerate(Device& d) {
    if (d.profile != Profile::Vendor) {
        EnumerateClass(d);
        return;
    }
    d.enumerating = true;
    const bool badDescriptor = Inject(Fault::BadDescriptor);
    if (badDescriptor) {
        ++d.configDescriptor[4]; // bNumInterfaces
    }
    ControlRead(d, 0, Setup(0x80, 0x06, 0x0100, 0, 64), d.deviceDescriptor, false);
    ControlWrite(d, 0, Setup(0x00, 0x05, d.address, 0, 0));
    ControlRead(d, d.address, Setup(0x80, 0x06, 0x0100, 0, 18), d.deviceDescriptor, false);
    ControlRead(d, d.address, Setup(0x80, 0x06, 0x0200, 0, 9), d.configDescriptor, false);
    const std::size_t wholeConfiguration = d.control.size();
    ControlRead(d, d.address,
                Setup(0x80, 0x06, 0x0200, 0, static_cast<std::uint16_t>(d.configDescriptor.size())),
                d.configDescriptor, false);
    if (badDescriptor) {
        d.control[wholeConfiguration].fault = Fault::BadDescriptor;
    }
    if (Inject(Fault::NoZlp)) {
        ReadFullPacketString(d);
    }
    // No serial-number string: the device stalls the request.
    ControlRead(d, d.address, Setup(0x80, 0x06, 0x0303, 0x0409, 255), {}, true);
    ControlWrite(d, d.address, Setup(0x00, 0x09, 1, 0, 0));
}

void BusModel::ControlWriteData(Device& d, const Packet& setup, const Packet& payload) {
    SetupStage(d, d.address, setup);
    std::uint8_t toggle = 1;
    for (std::size_t sent = 0; sent < payload.size();) {
        const std::size_t n = std::min<std::size_t>(d.maxPacket0, payload.size() - sent);
        const Packet chunk(payload.begin() + static_cast<std::ptrdiff_t>(sent),
                           payload.begin() + static_cast<std::ptrdiff_t>(sent + n));
        if (Random(5) == 0) {
            Transaction busy = Begin(d);
            HostPacket(d, busy, Token(kOut, d.address, 0));
            HostPacket(d, busy, Data(toggle, chunk));
            busy.packets.push_back({kNak});
            d.control.push_back(std::move(busy));
        }
        Transaction t = Begin(d);
        HostPacket(d, t, Token(kOut, d.address, 0));
        HostPacket(d, t, Data(toggle, chunk));
        t.packets.push_back({kAck});
        d.control.push_back(std::move(t));
        sent += n;
        toggle ^= 1;
    }
    Transaction status = Begin(d);
    HostPacket(d, status, Token(kIn, d.address, 0));
    status.packets.push_back(Data(1, {}));
    HostPacket(d, status, {kAck});
    d.control.push_back(std::move(status));
}

void BusModel::BulkOut(Device& d, std::uint8_t endpoint, const Packet& payload,
                       bool zeroLengthEnd) {
    std::uint8_t& toggle = d.toggles[endpoint & 0x0F];
    std::size_t sent = 0;
    bool more = true;
    while (more) {
        const std::size_t n = std::min(kBulkMax, payload.size() - sent);
        const Packet chunk(payload.begin() + static_cast<std::ptrdiff_t>(sent),
                           payload.begin() + static_cast<std::ptrdiff_t>(sent + n));
        if (Random(8) == 0) {
            // No room in the device yet: the host sends the same packet again later.
            Transaction busy = Begin(d);
            HostPacket(d, busy, Token(kOut, d.address, endpoint & 0x0F));
            HostPacket(d, busy, Data(toggle, chunk));
            busy.packets.push_back({kNak});
            d.control.push_back(std::move(busy));
        }
        Transaction t = Begin(d);
        HostPacket(d, t, Token(kOut, d.address, endpoint & 0x0F));
        HostPacket(d, t, Data(toggle, chunk));
        t.packets.push_back({kAck});
        d.control.push_back(std::move(t));
        toggle ^= 1;
        sent += n;
        // A short packet ends the transfer; a full last one needs a zero-length packet
        // where the receiver does not know the length beforehand.
        more = n == kBulkMax && (sent < payload.size() || zeroLengthEnd);
    }
}

void BusModel::BulkIn(Device& d, std::uint8_t endpoint, const Packet& payload, bool notReadyFirst) {
    std::uint8_t& toggle = d.toggles[(endpoint & 0x0F) | 0x10];
    std::size_t sent = 0;
    bool more = true;
    while (more) {
        if (notReadyFirst || Random(12) == 0) {
            Transaction busy = Begin(d);
            HostPacket(d, busy, Token(kIn, d.address, endpoint & 0x0F));
            busy.packets.push_back({kNak});
            d.control.push_back(std::move(busy));
            notReadyFirst = false;
        }
        const std::size_t n = std::min(kBulkMax, payload.size() - sent);
        Transaction t = Begin(d);
        HostPacket(d, t, Token(kIn, d.address, endpoint & 0x0F));
        t.packets.push_back(
            Data(toggle, Packet(payload.begin() + static_cast<std::ptrdiff_t>(sent),
                                payload.begin() + static_cast<std::ptrdiff_t>(sent + n))));
        HostPacket(d, t, {kAck});
        d.control.push_back(std::move(t));
        toggle ^= 1;
        sent += n;
        // Devices here end every IN transfer with a short packet (zero-length if need be),
        // except where the transport fixes the length beforehand (mass-storage data).
        more = n == kBulkMax && (sent < payload.size() || d.profile == Profile::Serial);
    }
}

void BusModel::EnumerateClass(Device& d) {
    d.enumerating = true;
    const std::uint8_t a = d.address;
    const bool badDescriptor = Inject(Fault::BadDescriptor);
    if (badDescriptor) {
        ++d.configDescriptor[4]; // bNumInterfaces
    }
    ControlRead(d, 0, Setup(0x80, 0x06, 0x0100, 0, 64), d.deviceDescriptor, false);
    ControlWrite(d, 0, Setup(0x00, 0x05, a, 0, 0));
    ControlRead(d, a, Setup(0x80, 0x06, 0x0100, 0, 18), d.deviceDescriptor, false);
    ControlRead(d, a, Setup(0x80, 0x06, 0x0200, 0, 9), d.configDescriptor, false);
    const std::size_t wholeConfiguration = d.control.size();
    ControlRead(d, a,
                Setup(0x80, 0x06, 0x0200, 0, static_cast<std::uint16_t>(d.configDescriptor.size())),
                d.configDescriptor, false);
    if (badDescriptor) {
        d.control[wholeConfiguration].fault = Fault::BadDescriptor;
    }
    if (Inject(Fault::NoZlp)) {
        ReadFullPacketString(d);
    }
    ControlRead(d, a, Setup(0x80, 0x06, 0x0300, 0, 255), d.strings[0], false);
    for (const std::uint16_t index : {2, 1, 3}) {
        ControlRead(d, a,
                    Setup(0x80, 0x06, static_cast<std::uint16_t>(0x0300 | index), 0x0409, 255),
                    d.strings[index], false);
    }
    ControlWrite(d, a, Setup(0x00, 0x09, 1, 0, 0));
    switch (d.profile) {
    case Profile::Mouse:
    case Profile::Keyboard:
        ControlWrite(d, a, Setup(0x21, 0x0A, 0, 0, 0)); // SET_IDLE: report only on change
        ControlRead(
            d, a,
            Setup(0x81, 0x06, 0x2200, 0, static_cast<std::uint16_t>(d.reportDescriptor.size())),
            d.reportDescriptor, false);
        if (d.profile == Profile::Keyboard) {
            ControlWriteData(d, Setup(0x21, 0x09, 0x0200, 0, 1), {0x01}); // LEDs: Num Lock
        }
        break;
    case Profile::Serial:
        ControlWriteData(d, Setup(0x21, 0x20, 0, 0, 7), kLineCoding);
        ControlRead(d, a, Setup(0xA1, 0x21, 0, 0, 7), kLineCoding, false);
        ControlWrite(d, a, Setup(0x21, 0x22, 0x0003, 0, 0)); // DTR and RTS on
        d.reports.push_back(SerialState(0x03));              // DCD and DSR
        break;
    case Profile::Disk:
        ControlRead(d, a, Setup(0xA1, 0xFE, 0, 0, 1), {0x00}, false); // GET_MAX_LUN: one LUN
        break;
    case Profile::Dfu:
        ControlRead(d, a, Setup(0xA1, 0x03, 0, 0, 6), DfuStatus(0, 2, 0), false); // dfuIDLE
        break;
    case Profile::Ftdi:
        // What a driver does when the port opens: reset and purge, 115200 baud (divisor 26),
        // 8N1, no flow control, DTR and RTS, a 16 ms latency timer; then the modem status.
        ControlWrite(d, a, Setup(0x40, 0x00, 0, 0, 0));
        ControlWrite(d, a, Setup(0x40, 0x00, 1, 0, 0));
        ControlWrite(d, a, Setup(0x40, 0x00, 2, 0, 0));
        ControlWrite(d, a, Setup(0x40, 0x03, 0x001A, 0, 0));
        ControlWrite(d, a, Setup(0x40, 0x04, 0x0008, 0, 0));
        ControlWrite(d, a, Setup(0x40, 0x02, 0, 0, 0));
        ControlWrite(d, a, Setup(0x40, 0x01, 0x0303, 0, 0));
        ControlWrite(d, a, Setup(0x40, 0x09, 16, 0, 0));
        ControlRead(d, a, Setup(0xC0, 0x0A, 0, 0, 1), {16}, false);
        ControlRead(d, a, Setup(0xC0, 0x05, 0, 0, 2), {kFtdiStatus[0], kFtdiStatus[1]}, false);
        break;
    case Profile::Midi:
        break; // the MIDI streaming class has no requests a host needs
    case Profile::Vendor:
        break;
    }
}

void BusModel::ClassPoll(Device& d, std::vector<Transaction>& out) {
    Transaction t = Begin(d);
    HostPacket(d, t, Token(kIn, d.address, d.interruptEndpoint & 0x0F));
    if (d.reports.empty()) {
        t.packets.push_back({kNak});
    } else {
        InterruptData(d, t, d.toggles[(d.interruptEndpoint & 0x0F) | 0x10], d.reports.front());
        d.reports.pop_front();
    }
    out.push_back(std::move(t));
}

void BusModel::ClassFrame(Device& d, std::size_t index, std::vector<Transaction>& frame) {
    // A full-speed device gets several transactions a frame, a low-speed one a single one.
    const int burst = d.lowSpeed ? 1 : 4;
    for (int k = 0; k < burst && !d.control.empty(); ++k) {
        frame.push_back(std::move(d.control.front()));
        d.control.pop_front();
    }
    if (!d.configured) {
        if (d.control.empty()) {
            d.configured = true;
            d.quietUntil = frameIndex_ + 2;
            // Devices enumerate one at a time: only one may answer at address 0.
            if (index + 1 < devices_.size()) {
                Enumerate(devices_[index + 1]);
            }
        }
        return;
    }
    if (d.control.empty() && d.reports.empty() && frameIndex_ >= d.quietUntil) {
        switch (d.profile) {
        case Profile::Mouse:
            MouseActivity(d);
            break;
        case Profile::Keyboard:
            KeyboardActivity(d);
            break;
        case Profile::Serial:
            SerialActivity(d);
            break;
        case Profile::Disk:
            DiskActivity(d);
            break;
        case Profile::Dfu:
            DfuActivity(d);
            break;
        case Profile::Ftdi:
            FtdiActivity(d);
            break;
        case Profile::Midi:
            MidiActivity(d);
            break;
        case Profile::Vendor:
            break;
        }
        // Each activity leaves its pause in quietUntil; the pause starts once what it queued
        // has gone.
        d.quietUntil += frameIndex_ + d.control.size() / static_cast<std::size_t>(burst) +
                        d.reports.size() * static_cast<std::size_t>(d.pollInterval);
    }
    if (d.interruptEndpoint != 0 && frameIndex_ % static_cast<std::uint64_t>(d.pollInterval) == 0) {
        ClassPoll(d, frame);
    }
}

void BusModel::MouseActivity(Device& d) {
    // A stroke of moves, sometimes a drag with the left button held, then maybe a click.
    const std::uint8_t held = Random(4) == 0 ? 0x01 : 0x00;
    const int dx = static_cast<int>(Random(17)) - 8;
    const int dy = static_cast<int>(Random(17)) - 8;
    const std::uint32_t moves = 3 + Random(10);
    for (std::uint32_t k = 0; k < moves; ++k) {
        const int jx = static_cast<int>(Random(3)) - 1;
        const int jy = static_cast<int>(Random(3)) - 1;
        d.reports.push_back({held, static_cast<std::uint8_t>(static_cast<std::int8_t>(dx + jx)),
                             static_cast<std::uint8_t>(static_cast<std::int8_t>(dy + jy))});
    }
    if (held != 0) {
        d.reports.push_back({0x00, 0x00, 0x00});
    } else if (Random(2) == 0) {
        const std::uint8_t button = Random(4) == 0 ? 0x02 : 0x01;
        d.reports.push_back({button, 0x00, 0x00});
        d.reports.push_back({0x00, 0x00, 0x00});
    }
    d.quietUntil = 20 + Random(60);
}

void BusModel::KeyboardActivity(Device& d) {
    static constexpr std::string_view kLines[] = {"hello, usb 1.1!\n", "Vintrace\n", "ls -l\n",
                                                  "make test\n", "echo OK\n"};
    for (const char c : kLines[Random(std::size(kLines))]) {
        const auto [modifier, usage] = KeyOf(c);
        d.reports.push_back({modifier, 0, usage, 0, 0, 0, 0, 0});
        d.reports.push_back({0, 0, 0, 0, 0, 0, 0, 0});
    }
    d.quietUntil = 50 + Random(150);
}

void BusModel::SerialActivity(Device& d) {
    // The host sends a command line; the device answers with printable text.
    static constexpr std::string_view kCommands[] = {"help", "status", "version",
                                                     "read temperature", "echo hello"};
    const std::uint32_t which = Random(std::size(kCommands));
    const std::string command = std::string(kCommands[which]) + "\r\n";
    std::string answer;
    switch (which) {
    case 0:
        answer = "commands: help, status, version, read temperature, echo TEXT\r\n"
                 "lines end in CR LF\r\nOK\r\n";
        break;
    case 1:
        answer = "uptime " + std::to_string(d.step * 7 + 13) + " s, " +
                 std::to_string(Random(100)) + "% buffer, link up\r\nOK\r\n";
        break;
    case 2:
        // 64 bytes: one full packet, so a zero-length packet has to end the answer.
        answer = "Vintrace demo serial port 1.0 (CDC ACM at 115200 baud 8N1)\r\nOK\r\n";
        break;
    case 3:
        answer = "temperature " + std::to_string(18 + Random(10)) + "." +
                 std::to_string(Random(10)) + " C\r\nOK\r\n";
        break;
    default:
        answer = "hello\r\nOK\r\n";
        break;
    }
    BulkOut(d, 0x02, Text(command), true);
    BulkIn(d, 0x81, Text(answer), true);
    if (++d.step % 16 == 0) {
        // The device drops and raises carrier now and then.
        d.reports.push_back(SerialState(d.step % 32 == 0 ? 0x03 : 0x02));
    }
    d.quietUntil = 10 + Random(30);
}

void BusModel::DfuActivity(Device& d) {
    // DFU 1.1 7.1 and 7.2: the image in blocks of wTransferSize, each followed by GETSTATUS
    // until the device is idle again; a zero-length block ends it, and GETSTATUS walks the
    // device through manifestation back to dfuIDLE. Then the first block is read back with
    // UPLOAD, and the upload is aborted.
    constexpr std::uint16_t kTransferSize = 256;
    const std::uint8_t a = d.address;
    Packet image(kTransferSize * 2 + 64 + Random(128));
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(d.step * 31 + i * 7);
    }
    std::uint16_t block = 0;
    for (std::size_t sent = 0; sent < image.size(); ++block) {
        const std::size_t n = std::min<std::size_t>(kTransferSize, image.size() - sent);
        const Packet chunk(image.begin() + static_cast<std::ptrdiff_t>(sent),
                           image.begin() + static_cast<std::ptrdiff_t>(sent + n));
        ControlWriteData(d, Setup(0x21, 0x01, block, 0, static_cast<std::uint16_t>(n)), chunk);
        ControlRead(d, a, Setup(0xA1, 0x03, 0, 0, 6), DfuStatus(0, 4, 5), false); // dfuDNBUSY
        ControlRead(d, a, Setup(0xA1, 0x03, 0, 0, 6), DfuStatus(0, 5, 0), false); // DNLOAD-IDLE
        sent += n;
    }
    ControlWrite(d, a, Setup(0x21, 0x01, block, 0, 0));
    ControlRead(d, a, Setup(0xA1, 0x03, 0, 0, 6), DfuStatus(0, 7, 20), false); // dfuMANIFEST
    ControlRead(d, a, Setup(0xA1, 0x03, 0, 0, 6), DfuStatus(0, 2, 0), false);  // dfuIDLE
    ControlRead(d, a, Setup(0xA1, 0x02, 0, 0, kTransferSize),
                Packet(image.begin(), image.begin() + kTransferSize), false);
    ControlRead(d, a, Setup(0xA1, 0x05, 0, 0, 1), {9}, false); // dfuUPLOAD-IDLE
    ControlWrite(d, a, Setup(0x21, 0x06, 0, 0, 0));            // DFU_ABORT
    ControlRead(d, a, Setup(0xA1, 0x05, 0, 0, 1), {2}, false); // dfuIDLE
    ++d.step;
    d.quietUntil = 100 + Random(200);
}

void BusModel::FtdiIn(Device& d, const Packet& text) {
    constexpr std::size_t kData = kBulkMax - kFtdiStatus.size();
    std::uint8_t& toggle = d.toggles[0x11];
    std::size_t sent = 0;
    bool more = true;
    while (more) {
        if (Random(12) == 0) {
            Transaction busy = Begin(d);
            HostPacket(d, busy, Token(kIn, d.address, 1));
            busy.packets.push_back({kNak});
            d.control.push_back(std::move(busy));
        }
        const std::size_t n = std::min(kData, text.size() - sent);
        Packet p(kFtdiStatus.begin(), kFtdiStatus.end());
        p.insert(p.end(), text.begin() + static_cast<std::ptrdiff_t>(sent),
                 text.begin() + static_cast<std::ptrdiff_t>(sent + n));
        Transaction t = Begin(d);
        HostPacket(d, t, Token(kIn, d.address, 1));
        t.packets.push_back(Data(toggle, p));
        HostPacket(d, t, {kAck});
        d.control.push_back(std::move(t));
        toggle ^= 1;
        sent += n;
        // A full packet leaves the transfer open: the next status-only packet ends it.
        more = p.size() == kBulkMax;
    }
}

void BusModel::FtdiActivity(Device& d) {
    // The host writes one sentence; the chip sends another back, 62 bytes a packet after its
    // status header, and a packet of the header alone whenever its latency timer runs out
    // with nothing to send.
    BulkOut(d, 0x02, Text(kFtdiHostText), false);
    for (std::uint32_t k = Random(3); k > 0; --k) {
        FtdiIn(d, {});
    }
    FtdiIn(d, Text(kFtdiDeviceText));
    d.quietUntil = 10 + Random(30);
}

void BusModel::MidiActivity(Device& d) {
    // Four-byte event packets (cable 0 and a code index number, then the MIDI bytes): the
    // host plays on channel 1, the instrument on the external jack answers on channel 2.
    const std::uint8_t note = static_cast<std::uint8_t>(60 + (d.step / 4) % 12);
    Packet out;
    Packet in;
    switch (d.step % 4) {
    case 0: // Note On and CC 7 (volume) out; a note in
        out = {0x09, 0x90, note, 100, 0x0B, 0xB0, 0x07, 100};
        in = {0x09, 0x91, 0x40, 90};
        break;
    case 1: // the notes end; the player bends the pitch
        out = {0x08, 0x80, note, 64};
        in = {0x08, 0x81, 0x40, 64, 0x0E, 0xE1, 0x00, 0x50};
        break;
    case 2: // Universal identity request (SysEx F0 7E 7F 06 01 F7) and its reply
        out = {0x04, 0xF0, 0x7E, 0x7F, 0x07, 0x06, 0x01, 0xF7};
        in = {0x04, 0xF0, 0x7E, 0x7F, 0x04, 0x06, 0x02, 0x7D, 0x04, 0x01,
              0x00, 0x02, 0x04, 0x00, 0x01, 0x00, 0x07, 0x00, 0x00, 0xF7};
        break;
    default: // program change and sustain; a timing clock from the instrument
        out = {0x0C, 0xC0, 0x05, 0x00, 0x0B, 0xB0, 0x40, 0x7F};
        in = {0x0F, 0xF8, 0x00, 0x00};
        break;
    }
    BulkOut(d, 0x01, out, false);
    BulkIn(d, 0x81, in, true);
    ++d.step;
    d.quietUntil = 10 + Random(30);
}

void BusModel::DiskCommand(Device& d, const Packet& block, std::uint32_t length, bool in,
                           const Packet& data, std::uint8_t status) {
    Packet cbw = Text("USBC");
    PutLe32(cbw, ++d.tag);
    PutLe32(cbw, length);
    Append(cbw, {static_cast<std::uint8_t>(in ? 0x80 : 0x00), 0x00,
                 static_cast<std::uint8_t>(block.size())});
    cbw.insert(cbw.end(), block.begin(), block.end());
    cbw.resize(31, 0x00);
    BulkOut(d, 0x02, cbw, false);
    if (length > 0) {
        if (in) {
            BulkIn(d, 0x81, data, Random(3) == 0);
        } else {
            BulkOut(d, 0x02, data, false);
        }
    }
    // The wrong tag answers no command (BOT 1.0 6.3); the host goes on with the next.
    const bool badTag = Inject(Fault::BadCsw);
    Packet csw = Text("USBS");
    PutLe32(csw, d.tag + (badTag ? 1 : 0));
    PutLe32(csw, length - static_cast<std::uint32_t>(data.size()));
    csw.push_back(status);
    BulkIn(d, 0x81, csw, Random(4) == 0);
    if (badTag) {
        d.control.back().fault = Fault::BadCsw;
    }
}

void BusModel::DiskActivity(Device& d) {
    const auto be32 = [](std::uint32_t v) {
        return Packet{static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                      static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    };
    const auto readWrite = [&](std::uint8_t opcode, std::uint32_t lba, std::uint16_t blocks) {
        Packet cdb{opcode, 0x00};
        const Packet l = be32(lba);
        cdb.insert(cdb.end(), l.begin(), l.end());
        Append(cdb, {0x00, static_cast<std::uint8_t>(blocks >> 8),
                     static_cast<std::uint8_t>(blocks), 0x00});
        return cdb;
    };
    const std::uint32_t step = d.step++;
    if (step == 0) {
        Packet inquiry{0x00, 0x80, 0x04, 0x02, 0x1F, 0x00, 0x00, 0x00};
        const Packet ids = Text("VINTRACEDemo Disk       1.00");
        inquiry.insert(inquiry.end(), ids.begin(), ids.end());
        DiskCommand(d, {0x12, 0x00, 0x00, 0x00, 0x24, 0x00}, 36, true, inquiry, 0);
    } else if (step == 1) {
        DiskCommand(d, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, 0, false, {}, 0);
    } else if (step == 2) {
        Packet capacity = be32(kDiskBlocks - 1);
        const Packet size = be32(kBlock);
        capacity.insert(capacity.end(), size.begin(), size.end());
        DiskCommand(d, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, true, capacity, 0);
    } else if (step == 3) {
        // A read past the last block: the device halts bulk IN, the host clears the halt,
        // reads the failed status and asks why.
        Packet cbw = Text("USBC");
        PutLe32(cbw, ++d.tag);
        PutLe32(cbw, kBlock);
        Append(cbw, {0x80, 0x00, 0x0A});
        const Packet cdb = readWrite(0x28, kDiskBlocks + 8, 1);
        cbw.insert(cbw.end(), cdb.begin(), cdb.end());
        cbw.resize(31, 0x00);
        BulkOut(d, 0x02, cbw, false);
        Transaction stall = Begin(d);
        HostPacket(d, stall, Token(kIn, d.address, 1));
        stall.packets.push_back({kStall});
        d.control.push_back(std::move(stall));
        ControlWrite(d, d.address, Setup(0x02, 0x01, 0, 0x81, 0));
        d.toggles[0x11] = 0;
        Packet csw = Text("USBS");
        PutLe32(csw, d.tag);
        PutLe32(csw, kBlock);
        csw.push_back(0x01);
        BulkIn(d, 0x81, csw, false);
        const Packet sense{0x70, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00,
                           0x00, 0x00, 0x00, 0x21, 0x00, 0x00, 0x00, 0x00, 0x00};
        DiskCommand(d, {0x03, 0x00, 0x00, 0x00, 0x12, 0x00}, 18, true, sense, 0);
    } else {
        const std::uint32_t roll = Random(10);
        const std::uint32_t lba = Random(kDiskBlocks - 1);
        if (roll < 5) {
            const std::uint16_t blocks = roll == 0 ? 2 : 1;
            DiskCommand(d, readWrite(0x28, lba, blocks), blocks * kBlock, true,
                        RandomBytes(blocks * kBlock), 0);
        } else if (roll < 8) {
            DiskCommand(d, readWrite(0x2A, lba, 1), kBlock, false, RandomBytes(kBlock), 0);
        } else {
            DiskCommand(d, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, 0, false, {}, 0);
        }
    }
    d.quietUntil = 10 + Random(40);
}

void BusModel::InterruptPoll(Device& d, std::vector<Transaction>& out) {
    Transaction t = Begin(d);
    HostPacket(d, t, Token(kIn, d.address, 1));
    if (Random(100) < 85) {
        t.packets.push_back({kNak});
    } else {
        InterruptData(d, t, d.interruptToggle, RandomBytes(d.lowSpeed ? 4 : 8));
    }
    out.push_back(std::move(t));
}

void BusModel::BulkTraffic(Device& d, std::vector<Transaction>& out) {
    const std::uint32_t roll = Random(100);
    if (roll < 30) {
        Transaction t = Begin(d);
        t.packets.push_back(Token(kOut, d.address, 2));
        t.packets.push_back(Data(d.bulkOutToggle, RandomBytes(roll < 20 ? 64 : 1 + Random(64))));
        if (Random(10) == 0) {
            t.packets.push_back({kNak}); // resent later with the same toggle
        } else {
            t.packets.push_back({kAck});
            d.bulkOutToggle ^= 1;
        }
        out.push_back(std::move(t));
    } else if (roll < 60) {
        Transaction t = Begin(d);
        t.packets.push_back(Token(kIn, d.address, 2));
        const std::uint32_t answer = Random(100);
        if (answer < 2) {
            // The endpoint halts; the host clears the halt, which resets the toggle.
            t.packets.push_back({kStall});
            ControlWrite(d, d.address, Setup(0x02, 0x01, 0, 0x82, 0));
            d.bulkInToggle = 0;
        } else if (answer < 20) {
            t.packets.push_back({kNak});
        } else {
            t.packets.push_back(Data(d.bulkInToggle, RandomBytes(1 + Random(64))));
            t.packets.push_back({kAck});
            d.bulkInToggle ^= 1;
        }
        out.push_back(std::move(t));
    }
}

void BusModel::BuildFrame() {
    std::vector<Transaction> frame;
    if (settings_.fullSpeed) {
        Transaction sof;
        if (frameIndex_ == kSofGapFrame && Inject(Fault::SofGap)) {
            frameNumber_ = static_cast<std::uint16_t>((frameNumber_ + 1) & 0x7FF);
            sof.fault = Fault::SofGap;
        }
        sof.packets.push_back(Sof(frameNumber_));
        frame.push_back(std::move(sof));
    }
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        Device& d = devices_[i];
        if (!d.enumerating) {
            continue;
        }
        if (d.profile != Profile::Vendor) {
            ClassFrame(d, i, frame);
            continue;
        }
        if (!d.control.empty()) {
            frame.push_back(std::move(d.control.front()));
            d.control.pop_front();
            if (d.control.empty() && !d.configured) {
                d.configured = true;
                // Devices enumerate one at a time: only one may answer at address 0.
                if (i + 1 < devices_.size()) {
                    Enumerate(devices_[i + 1]);
                }
            }
            continue;
        }
        if (frameIndex_ % static_cast<std::uint64_t>(d.pollInterval) == 0) {
            InterruptPoll(d, frame);
        }
        if (!d.lowSpeed) {
            BulkTraffic(d, frame);
        }
    }

    double t = static_cast<double>(frameIndex_) * kFrameUs;
    for (Transaction& tr : frame) {
        if (tr.fault) {
            injections_.push_back({*tr.fault, packetCount_});
        }
        packetCount_ += tr.packets.size();
        for (Packet& p : tr.packets) {
            // A preamble itself goes at full speed; what follows it at the device's speed.
            const bool slow = tr.lowSpeed && p.front() != kPre;
            const double duration = DurationUs(p.size(), slow);
            pending_.push_back({t, std::move(p)});
            t += duration;
        }
    }
    ++frameIndex_;
    frameNumber_ = static_cast<std::uint16_t>((frameNumber_ + 1) & 0x7FF);
}

BusPacket BusModel::Next() {
    while (pending_.empty()) {
        BuildFrame();
    }
    BusPacket p = std::move(pending_.front());
    pending_.pop_front();
    return p;
}

} // namespace vintrace::emulator
