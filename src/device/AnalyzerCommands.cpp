#include "device/AnalyzerCommands.h"

#include "device/AnalyzerInterface.h"
#include "device/DeviceAccess.h"

namespace vintrace::device {

namespace {

std::int32_t Code(AnalyzerCommand c) {
    return static_cast<std::int32_t>(c);
}

// A one-byte value travels in a byte of the wrapper's own that the record points at.
bool SendByte(AnalyzerCommand c, std::uint8_t value) {
    std::uint8_t data = value;
    return SendCommand(Code(c), 0, &data, 1);
}

bool SendPlain(AnalyzerCommand c) {
    return SendCommand(Code(c), 0, nullptr, 0);
}

bool QueryByte(AnalyzerCommand c, std::uint8_t& value) {
    std::uint8_t answer = 0;
    if (!QueryCommand(Code(c), 0, &answer, 1)) {
        return false;
    }
    value = answer;
    return true;
}

} // namespace

bool SetArmed(std::uint8_t flag) {
    return SendByte(AnalyzerCommand::SetArmed, flag);
}

bool SetTrigger(std::uint8_t code) {
    return SendByte(AnalyzerCommand::SetTrigger, code);
}

bool ReadFirmwareVersion(std::array<std::uint8_t, 13>& text) {
    std::array<std::uint8_t, 13> answer{};
    if (!QueryCommand(Code(AnalyzerCommand::ReadFirmwareVersion), 0, answer.data(),
                      static_cast<std::int32_t>(answer.size()))) {
        text.fill(0);
        return false;
    }
    text = answer;
    return true;
}

bool ReadTriggerStatus(std::uint8_t& status) {
    return QueryByte(AnalyzerCommand::ReadTriggerStatus, status);
}

bool ReadPortSpeed(std::uint8_t& speed) {
    if (!QueryByte(AnalyzerCommand::ReadPortSpeed, speed)) {
        speed = 0;
        return false;
    }
    return true;
}

bool BeginAcquisition() {
    return SendPlain(AnalyzerCommand::BeginAcquisition);
}

bool EndDownload() {
    return SendPlain(AnalyzerCommand::EndDownload);
}

bool SetStopped(std::uint8_t flag) {
    return SendByte(AnalyzerCommand::SetStopped, flag);
}

bool ReadFifoFull(std::uint8_t& full) {
    return QueryByte(AnalyzerCommand::ReadFifoFull, full);
}

bool BeginDownload() {
    return SendPlain(AnalyzerCommand::BeginDownload);
}

bool SetBusSpeed(std::uint8_t speed) {
    return SendByte(AnalyzerCommand::SetBusSpeed, speed);
}

std::uint8_t ReadFifoLevel() {
    std::uint8_t level = 0;
    return QueryByte(AnalyzerCommand::ReadFifoLevel, level) ? level : 0;
}

} // namespace vintrace::device
