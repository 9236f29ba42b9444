#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace vintrace::emulator {

/// One packet on the bus under test: its start time since the model began, and its bytes,
/// PID first, CRC included.
struct BusPacket {
    double timeUs = 0;
    std::vector<std::uint8_t> bytes;
};

/// Settings of the simulated bus.
struct BusSettings {
    std::uint64_t seed = 1;
    bool fullSpeed = true;
    /// At full speed, also a low-speed device behind a hub, reached through preambles.
    bool lowSpeedDeviceBehindHub = false;
};

/// A deterministic model of a USB 1.1 bus: frames of 1 ms, each opened by an SOF at full
/// speed; devices that enumerate with control transfers and then take interrupt polling and,
/// at full speed, bulk traffic. The same settings always give the same packets.
class BusModel {
public:
    explicit BusModel(const BusSettings& settings);

    /// The next packet in time order; the bus never runs dry.
    BusPacket Next();

private:
    using Packet = std::vector<std::uint8_t>;
    struct Transaction {
        bool lowSpeed = false;
        std::vector<Packet> packets;
    };
    struct Device {
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
    };

    void BuildFrame();
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

    BusSettings settings_;
    std::uint64_t state_;
    std::uint16_t frameNumber_;
    std::uint64_t frameIndex_ = 0;
    std::vector<Device> devices_;
    std::deque<BusPacket> pending_;
};

} // namespace vintrace::emulator
