#include "AnalyzerBox.h"

#include <algorithm>
#include <cstring>

namespace vintrace::emulator {

namespace {
// How far into the bus traffic the box looks for the trigger packet before giving up.
constexpr double kTriggerHorizonUs = 10e6;
constexpr std::int32_t kTriggerOnArm = 15;
} // namespace

AnalyzerBox::AnalyzerBox(const BoxSettings& settings)
    : settings_(settings), memory_(settings.memoryBytes / 2 * 2) {
    std::memcpy(firmware_.data(), settings_.firmware.data(),
                std::min(firmware_.size(), settings_.firmware.size()));
}

void AnalyzerBox::Arm(Clock::time_point now) {
    session_ = true;
    frozen_ = false;
    stoppedEarly_ = false;
    cursor_ = 0;
    armedAt_ = now;
    content_.clear();
    // Each arming records fresh traffic, still fixed by the seed.
    BusModel bus({settings_.seed + armCount_++, settings_.busFullSpeed,
                  settings_.lowSpeedDeviceBehindHub, settings_.profiles, settings_.faults});
    BusPacket p = bus.Next();
    triggerFound_ = triggerCode_ == kTriggerOnArm;
    while (!triggerFound_ && p.timeUs < kTriggerHorizonUs) {
        if ((p.bytes.front() & 0x0F) == triggerCode_) {
            triggerFound_ = true;
            break;
        }
        p = bus.Next();
    }
    triggerAfterUs_ = triggerCode_ == kTriggerOnArm ? 0 : p.timeUs;
    if (!triggerFound_) {
        return;
    }
    // The memory holds the traffic from the trigger packet on, as capture units.
    content_.reserve(memory_);
    while (content_.size() < memory_) {
        for (std::size_t i = 0; i < p.bytes.size() && content_.size() < memory_; ++i) {
            content_.push_back(i == 0 ? 0x01 : 0x00);
            content_.push_back(p.bytes[i]);
        }
        p = bus.Next();
    }
}

bool AnalyzerBox::Triggered(Clock::time_point now) const {
    if (!session_) {
        return false;
    }
    if (frozen_) {
        return frozenTriggered_;
    }
    const double sinceArm = std::chrono::duration<double, std::micro>(now - armedAt_).count();
    return triggerFound_ && sinceArm >= triggerAfterUs_;
}

std::size_t AnalyzerBox::Recorded(Clock::time_point now) const {
    if (!session_) {
        return 0;
    }
    if (frozen_) {
        return frozenBytes_;
    }
    if (!Triggered(now)) {
        return 0;
    }
    const double sinceTrigger =
        std::chrono::duration<double>(now - armedAt_).count() - triggerAfterUs_ / 1e6;
    if (settings_.fillSeconds <= 0 || sinceTrigger >= settings_.fillSeconds) {
        return memory_;
    }
    const auto bytes = static_cast<std::size_t>(static_cast<double>(memory_) * sinceTrigger /
                                                settings_.fillSeconds);
    return std::min(memory_, bytes / 2 * 2);
}

void AnalyzerBox::Freeze(Clock::time_point now) {
    if (!session_ || frozen_) {
        return;
    }
    frozenTriggered_ = Triggered(now);
    frozenBytes_ = Recorded(now);
    frozen_ = true;
}

bool AnalyzerBox::Command(std::int32_t code, const std::vector<std::uint8_t>& data,
                          Clock::time_point now) {
    const std::uint8_t value = data.empty() ? 0 : data.front();
    switch (code) {
    case 0: // SetArmed
        if (value != 0) {
            Arm(now);
        } else {
            Freeze(now);
        }
        return true;
    case 1: // SetTrigger
        triggerCode_ = value & 0x0F;
        return true;
    case 8: // BeginAcquisition: a fresh, empty memory
        session_ = false;
        frozen_ = false;
        content_.clear();
        cursor_ = 0;
        return true;
    case 10: // EndDownload
        cursor_ = 0;
        return true;
    case 11: // SetStopped
        stopped_ = value != 0;
        if (stopped_ && session_ && !frozen_) {
            // Stopping after the trigger ends the recording early; what is held can be read.
            stoppedEarly_ = Triggered(now);
            Freeze(now);
        }
        return true;
    case 13: // BeginDownload
        Freeze(now);
        cursor_ = 0;
        return true;
    case 14: // SetBusSpeed
        settings_.busFullSpeed = value != 0;
        return true;
    default:
        return false;
    }
}

bool AnalyzerBox::Query(std::int32_t code, std::vector<std::uint8_t>& answer,
                        Clock::time_point now) {
    switch (code) {
    case 2: // ReadFirmwareVersion
        answer.assign(firmware_.begin(), firmware_.end());
        return true;
    case 5: // ReadTriggerStatus
        answer = {static_cast<std::uint8_t>(Triggered(now) ? 1 : 0)};
        return true;
    case 6: // ReadPortSpeed
        answer = {static_cast<std::uint8_t>(settings_.portHighSpeed ? 1 : 0)};
        return true;
    case 12: { // ReadFifoFull
        const bool full = memory_ > 0 && Recorded(now) >= memory_;
        answer = {static_cast<std::uint8_t>(full || stoppedEarly_ ? 1 : 0)};
        return true;
    }
    case 15: // ReadFifoLevel
        answer = {static_cast<std::uint8_t>(memory_ == 0 ? 0 : Recorded(now) * 255 / memory_)};
        return true;
    default:
        return false;
    }
}

std::vector<std::uint8_t> AnalyzerBox::Transfer(std::size_t length, Clock::time_point now) {
    // Reading the memory ends recording into it.
    Freeze(now);
    const std::size_t held = Recorded(now);
    const std::size_t n = std::min(length, held - std::min(cursor_, held));
    std::vector<std::uint8_t> out(content_.begin() + static_cast<std::ptrdiff_t>(cursor_),
                                  content_.begin() + static_cast<std::ptrdiff_t>(cursor_ + n));
    cursor_ += n;
    return out;
}

} // namespace vintrace::emulator
