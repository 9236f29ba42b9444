#pragma once

#include "device/Analyzer.h"
#include "device/AnalyzerCommands.h"

namespace vintrace::device {

/// The analyzer reached through its driver: forwards to the device layer's commands.
class DriverAnalyzer final : public Analyzer {
public:
    bool SetArmed(std::uint8_t flag) override { return device::SetArmed(flag); }
    bool SetTrigger(std::uint8_t code) override { return device::SetTrigger(code); }
    bool ReadFirmwareVersion(std::array<std::uint8_t, 13>& text) override {
        return device::ReadFirmwareVersion(text);
    }
    bool ReadTriggerStatus(std::uint8_t& status) override {
        return device::ReadTriggerStatus(status);
    }
    bool ReadPortSpeed(std::uint8_t& speed) override { return device::ReadPortSpeed(speed); }
    bool BeginAcquisition() override { return device::BeginAcquisition(); }
    bool EndDownload() override { return device::EndDownload(); }
    bool SetStopped(std::uint8_t flag) override { return device::SetStopped(flag); }
    bool ReadFifoFull(std::uint8_t& full) override { return device::ReadFifoFull(full); }
    bool BeginDownload() override { return device::BeginDownload(); }
    bool SetBusSpeed(std::uint8_t speed) override { return device::SetBusSpeed(speed); }
    std::uint8_t ReadFifoLevel() override { return device::ReadFifoLevel(); }
};

} // namespace vintrace::device
