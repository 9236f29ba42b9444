#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vintrace::emulator {

/// One packet on the bus under test: its start time since the model began, and its bytes,
/// PID first, CRC included.
struct BusPacket {
    double timeUs = 0;
    std::vector<std::uint8_t> bytes;
};

/// The kind of device a profile puts on the bus.
enum class Profile : std::uint8_t {
    Vendor,   // vendor-specific: interrupt polling, bulk traffic and halts (the default)
    Mouse,    // low-speed HID boot mouse
    Keyboard, // low-speed HID boot keyboard
    Serial,   // full-speed CDC ACM serial port
    Disk,     // full-speed mass storage, bulk-only transport
    Dfu,      // full-speed device in DFU mode, taking firmware images
    Ftdi,     // full-speed FTDI FT232R serial converter (0403:6001)
    Midi,     // full-speed USB MIDI interface: audio control and MIDI streaming
};

/// What the ftdi profile's host and device send each other, once per exchange, over and
/// over. The device's sentence fills exactly two packets after their status headers.
inline constexpr std::string_view kFtdiHostText =
    "The quick brown fox jumps over the lazy dog 0123456789.\r\n";
inline constexpr std::string_view kFtdiDeviceText =
    "Vintrace FTDI demo at 115200 baud, 8N1: every IN packet starts with two status bytes that "
    "a stream of the port leaves out.\r\n";

/// The most devices a bus carries besides the hub.
constexpr std::size_t kMaxDevices = 4;

std::optional<Profile> ProfileFromText(std::string_view text);
std::string_view ProfileName(Profile profile);
/// Mouse and keyboard are low-speed devices: on a full-speed bus they sit behind a hub.
bool IsLowSpeedProfile(Profile profile);

/// What a class device tells the host about itself, and how its interrupt IN endpoint (if
/// any) is polled.
struct ClassDescriptors {
    std::vector<std::uint8_t> device;
    std::vector<std::uint8_t> configuration;        // with its interfaces, class and endpoint parts
    std::vector<std::uint8_t> report;               // HID report descriptor
    std::vector<std::vector<std::uint8_t>> strings; // index 0: the language list
    std::uint8_t interruptEndpoint = 0;
    int pollInterval = 1; // frames
};

/// The descriptors of a class profile (nothing for the vendor device).
ClassDescriptors DescriptorsOf(Profile profile);

/// A fault the bus commits once, on purpose, so that a checker has something to find. Each
/// breaks one rule at one place: the device's data toggle, a handshake, a SETUP, a packet size,
/// a control transfer's length, zero-length packet or status stage, a descriptor, a standard
/// request, a mass-storage status wrapper, or the host's frame numbers.
enum class Fault : std::uint8_t {
    Toggle,             // an interrupt IN report with new data repeats the last toggle
    NoAck,              // the device leaves the first status stage at its address unanswered
    NakSetup,           // the device NAKs its first SETUP at its address (the host resends it)
    Babble,             // an interrupt IN report one byte longer than wMaxPacketSize
    Overrun,            // the whole configuration descriptor for a wLength of 9
    NoZlp,              // a string of exactly bMaxPacketSize0 bytes for wLength 255, no ZLP
    NoStatus,           // the device NAKs a status stage until the host moves on
    BadDescriptor,      // bNumInterfaces one more than the configuration has
    StallGetDescriptor, // the device STALLs GET_DESCRIPTOR(DEVICE) once
    BadCsw,             // the disk's first status wrapper carries the wrong tag
    SofGap,             // the host skips one frame number
};
inline constexpr std::size_t kFaultCount = 11;

std::optional<Fault> FaultFromText(std::string_view text);
std::string_view FaultName(Fault fault);

/// Settings of the simulated bus.
struct BusSettings {
    std::uint64_t seed = 1;
    bool fullSpeed = true;
    /// At full speed, also a low-speed device behind a hub, reached through preambles.
    bool lowSpeedDeviceBehindHub = false;
    /// The devices, enumerated in this order at addresses 1, 2, ...; none means one vendor
    /// device. A low-speed bus carries only low-speed devices: full-speed profiles are left
    /// off it, and a vendor device stands in when nothing is left.
    std::vector<Profile> profiles{};
    /// Faults to commit, each once.
    std::vector<Fault> faults{};
};

/// Why `fault` cannot be committed on a bus with these settings; empty when it can.
std::string FaultImpossible(Fault fault, const BusSettings& settings);

/// Where a fault was committed: the index of the first packet of its transaction (the SETUP
/// of a control transfer, the SOF after a skipped frame), counted from the model's first.
struct Injection {
    Fault fault = Fault::Toggle;
    std::uint64_t packet = 0;
};

/// A deterministic model of a USB 1.1 bus: frames of 1 ms, each opened by an SOF at full
/// speed; devices that enumerate with control transfers and then take interrupt polling and,
/// at full speed, bulk traffic. The same settings always give the same packets.
class BusModel {
public:
    explicit BusModel(const BusSettings& settings);

    /// The next packet in time order; the bus never runs dry.
    BusPacket Next();

    /// The faults committed so far, in the order of their packets.
    const std::vector<Injection>& Injections() const { return injections_; }

private:
    using Packet = std::vector<std::uint8_t>;
    struct Transaction {
        bool lowSpeed = false;
        std::vector<Packet> packets;
        std::optional<Fault> fault; // committed in this transaction
    };
    struct Device {
        Profile profile = Profile::Vendor;
        std::uint8_t address = 0; // assigned by SET_ADDRESS
        bool lowSpeed = false;
        bool preamble = false; // host packets to it follow a PRE
        std::uint8_t maxPacket0 = 64;
        int pollInterval = 1; // frames between interrupt polls
        bool enumerating = false;
        bool configured = false;
        std::uint8_t interruptToggle = 0;
        std::uint8_t bulkOutToggle = 0;
        std::uint8_t bulkInToggle = 0;
        std::vector<std::uint8_t> deviceDescriptor;
        std::vector<std::uint8_t> configDescriptor;
        std::deque<Transaction> control; // queued control-transfer transactions
        // Class devices only: strings (index 0 the language list), the HID report descriptor,
        // the interrupt IN endpoint and the reports it has ready, data toggles by endpoint
        // (bit 4: IN), the frame before which the device stays quiet, and its progress.
        std::vector<std::vector<std::uint8_t>> strings;
        std::vector<std::uint8_t> reportDescriptor;
        std::uint8_t interruptEndpoint = 0;
        std::uint16_t interruptMaxPacket = 8;
        std::optional<std::vector<std::uint8_t>> lastInterrupt; // the last report sent
        std::deque<std::vector<std::uint8_t>> reports;
        std::array<std::uint8_t, 32> toggles{};
        std::uint64_t quietUntil = 0;
        std::uint32_t step = 0;
        std::uint32_t tag = 0;
    };

    void BuildFrame();
    Device MakeDevice(Profile profile, std::uint8_t address, bool lowSpeed) const;
    void ClassFrame(Device& d, std::size_t index, std::vector<Transaction>& frame);
    void EnumerateClass(Device& d);
    void ControlWriteData(Device& d, const Packet& setup, const Packet& payload);
    void BulkOut(Device& d, std::uint8_t endpoint, const Packet& payload, bool zeroLengthEnd);
    void BulkIn(Device& d, std::uint8_t endpoint, const Packet& payload, bool notReadyFirst);
    void ClassPoll(Device& d, std::vector<Transaction>& out);
    void MouseActivity(Device& d);
    void KeyboardActivity(Device& d);
    void SerialActivity(Device& d);
    void DiskActivity(Device& d);
    /// One firmware update: download, manifestation, a read back and an abort.
    void DfuActivity(Device& d);
    /// A line of text each way through the FTDI converter, and status-only packets.
    void FtdiActivity(Device& d);
    /// Text from the FTDI converter: packets of a status header and up to 62 bytes.
    void FtdiIn(Device& d, const Packet& text);
    /// MIDI events each way: notes, controllers, a pitch bend, an identity request by SysEx.
    void MidiActivity(Device& d);
    void DiskCommand(Device& d, const Packet& block, std::uint32_t length, bool in,
                     const Packet& data, std::uint8_t status);
    void Enumerate(Device& d);
    void ControlRead(Device& d, std::uint8_t address, const Packet& setup, Packet answer,
                     bool stall);
    void ControlWrite(Device& d, std::uint8_t address, const Packet& setup);
    void SetupStage(Device& d, std::uint8_t address, const Packet& setup);
    void HostPacket(const Device& d, Transaction& t, Packet p) const;
    Transaction Begin(const Device& d) const;
    void InterruptPoll(Device& d, std::vector<Transaction>& out);
    void BulkTraffic(Device& d, std::vector<Transaction>& out);
    std::uint32_t Random(std::uint32_t below);
    Packet RandomBytes(std::size_t n);
    /// True the first time a fault that was asked for can be committed.
    bool Inject(Fault fault);
    /// An interrupt IN report as the device sends it, faults included; flips the toggle.
    void InterruptData(Device& d, Transaction& t, std::uint8_t& toggle, Packet report);
    /// Reads a string of exactly bMaxPacketSize0 bytes and ends it without a zero-length packet.
    void ReadFullPacketString(Device& d);

    BusSettings settings_;
    std::uint64_t state_;
    std::uint16_t frameNumber_;
    std::uint64_t frameIndex_ = 0;
    std::vector<Device> devices_;
    std::deque<BusPacket> pending_;
    std::array<bool, kFaultCount> faultsToCommit_{};
    bool omitZlp_ = false; // the next control read ends without its zero-length packet
    std::uint64_t packetCount_ = 0;
    std::vector<Injection> injections_;
};

} // namespace vintrace::emulator
