#pragma once

#include "device/Analyzer.h"

#include <string>
#include <vector>

namespace vintrace::test {

/// An analyzer that is not attached: every command fails, as with no hardware, and each call
/// is recorded ("SetTrigger 15") so tests can check what was sent and in which order.
class RecordingAnalyzer : public device::Analyzer {
public:
    std::vector<std::string> calls;

    bool SetArmed(std::uint8_t flag) override { return note("SetArmed", flag); }
    bool SetTrigger(std::uint8_t code) override { return note("SetTrigger", code); }
    bool ReadFirmwareVersion(std::array<std::uint8_t, 13>& text) override {
        text.fill(0);
        return note("ReadFirmwareVersion");
    }
    bool ReadTriggerStatus(std::uint8_t&) override { return note("ReadTriggerStatus"); }
    bool ReadPortSpeed(std::uint8_t& speed) override {
        speed = 0;
        return note("ReadPortSpeed");
    }
    bool BeginAcquisition() override { return note("BeginAcquisition"); }
    bool EndDownload() override { return note("EndDownload"); }
    bool SetStopped(std::uint8_t flag) override { return note("SetStopped", flag); }
    bool ReadFifoFull(std::uint8_t&) override { return note("ReadFifoFull"); }
    bool BeginDownload() override { return note("BeginDownload"); }
    bool SetBusSpeed(std::uint8_t speed) override { return note("SetBusSpeed", speed); }
    std::uint8_t ReadFifoLevel() override {
        note("ReadFifoLevel");
        return 0;
    }

private:
    bool note(const char* name, int arg = -1) {
        calls.push_back(arg < 0 ? std::string(name)
                                : std::string(name) + " " + std::to_string(arg));
        return false;
    }
};

} // namespace vintrace::test
