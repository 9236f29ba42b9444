#pragma once

#include "device/Analyzer.h"
#include "device/AnalyzerCommands.h"
#include "device/AnalyzerLock.h"
#include "device/DeviceAccess.h"
#include "platform/Win32Api.h"

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
    bool LastRequestTimedOut() override { return device::LastRequestTimedOut(); }

    std::unique_ptr<DataPipe> OpenDataPipe() override {
        return std::make_unique<DriverPipe>(device::OpenDataPipe("PIPE00"));
    }
    void Beep() override { platform::Api().MessageBeep(0); }
    std::unique_ptr<AcquisitionLock> LockForAcquisition(std::string& problem) override {
        return LockFirstAnalyzer(problem);
    }

private:
    /// The pipe handle; an invalid one makes every transfer report nothing.
    class DriverPipe final : public DataPipe {
    public:
        explicit DriverPipe(platform::HANDLE handle) : handle_(handle) {}
        ~DriverPipe() override { device::CloseDataPipe(handle_); }
        DriverPipe(const DriverPipe&) = delete;
        DriverPipe& operator=(const DriverPipe&) = delete;
        bool TransferBlock(std::uint8_t* buffer, std::uint32_t length,
                           std::uint32_t& count) override {
            return device::TransferBlock(handle_, buffer, length, count);
        }

    private:
        platform::HANDLE handle_;
    };
};

} // namespace vintrace::device
