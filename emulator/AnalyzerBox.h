#pragma once

#include "BusModel.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vintrace::emulator {

/// Settings of the emulated capture box.
struct BoxSettings {
    std::uint64_t seed = 1;
    bool busFullSpeed = true;
    bool portHighSpeed = false;
    bool lowSpeedDeviceBehindHub = false;
    std::vector<Profile> profiles{}; // the devices on the bus; none: the vendor device
    std::vector<Fault> faults{};     // committed once in each recording
    std::size_t memoryBytes = 263680;
    double fillSeconds = 3.0;
    std::string firmware = "VT-EMU 1.00";
};

/// The capture box: its settings, its recording memory and the download of it. Time is
/// passed in, so the behaviour follows from the calls alone.
class AnalyzerBox {
public:
    using Clock = std::chrono::steady_clock;

    explicit AnalyzerBox(const BoxSettings& settings);

    /// Carries out a command that takes at most one byte; false for an unknown command.
    bool Command(std::int32_t code, const std::vector<std::uint8_t>& data, Clock::time_point now);
    /// Answers a query; false for an unknown query.
    bool Query(std::int32_t code, std::vector<std::uint8_t>& answer, Clock::time_point now);
    /// The next at most `length` bytes of the recording (2-byte capture units).
    std::vector<std::uint8_t> Transfer(std::size_t length, Clock::time_point now);

private:
    void Arm(Clock::time_point now);
    void Freeze(Clock::time_point now);
    std::size_t Recorded(Clock::time_point now) const;
    bool Triggered(Clock::time_point now) const;

    BoxSettings settings_;
    std::size_t memory_; // usable size: whole 2-byte units
    std::array<std::uint8_t, 13> firmware_{};
    std::uint8_t triggerCode_ = 15;
    bool stopped_ = false;
    std::uint32_t armCount_ = 0;

    // The current recording: what the memory will hold from the trigger on, when the trigger
    // fires after arming, and how much has been kept once recording has ended.
    bool session_ = false;
    Clock::time_point armedAt_{};
    bool triggerFound_ = false;
    double triggerAfterUs_ = 0;
    std::vector<std::uint8_t> content_;
    bool frozen_ = false;
    bool frozenTriggered_ = false;
    bool stoppedEarly_ = false;
    std::size_t frozenBytes_ = 0;
    std::size_t cursor_ = 0;
};

} // namespace vintrace::emulator
