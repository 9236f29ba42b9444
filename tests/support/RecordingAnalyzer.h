#pragma once

#include "device/Analyzer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vintrace::test {

/// A scripted analyzer. Detached (the default) it fails every command as with no hardware;
/// attached it answers from its fields. Every call is recorded ("SetTrigger 15") so tests can
/// check what was sent and in which order. The download may run on another thread.
class RecordingAnalyzer : public device::Analyzer {
public:
    bool attached = false;
    std::set<std::string> refused; // commands that fail even when attached
    std::set<std::string> hung;    // commands that fail for want of an answer in time
    std::uint8_t portSpeed = 0;
    std::uint8_t triggerStatus = 0;
    std::uint8_t fifoFull = 0;
    std::uint8_t fifoLevel = 0;
    std::array<std::uint8_t, 13> firmware{};
    /// What the data pipe hands out, in blocks of at most the size asked.
    std::vector<std::uint8_t> recording;
    /// Transfers after this many fail (0 bytes, false); -1 never.
    int failTransferAfter = -1;
    /// How long each transfer takes, for a download that can be caught midway.
    std::chrono::milliseconds transferTime{0};
    std::atomic<int> beeps{0};
    /// Acquisitions holding the analyzer now; a second one is refused as by another process.
    std::atomic<int> locksHeld{0};
    /// Set: the lock cannot be made, for this reason (and guards nothing).
    std::string lockProblem;

    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    void clearCalls() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }

    bool SetArmed(std::uint8_t flag) override { return note("SetArmed", flag); }
    bool SetTrigger(std::uint8_t code) override { return note("SetTrigger", code); }
    bool ReadFirmwareVersion(std::array<std::uint8_t, 13>& text) override {
        const bool ok = note("ReadFirmwareVersion");
        text = ok ? firmware : std::array<std::uint8_t, 13>{};
        return ok;
    }
    bool ReadTriggerStatus(std::uint8_t& status) override {
        const bool ok = note("ReadTriggerStatus");
        if (ok) {
            status = triggerStatus;
        }
        return ok;
    }
    bool ReadPortSpeed(std::uint8_t& speed) override {
        const bool ok = note("ReadPortSpeed");
        speed = ok ? portSpeed : 0;
        return ok;
    }
    bool BeginAcquisition() override { return note("BeginAcquisition"); }
    bool EndDownload() override { return note("EndDownload"); }
    bool SetStopped(std::uint8_t flag) override { return note("SetStopped", flag); }
    bool ReadFifoFull(std::uint8_t& full) override {
        const bool ok = note("ReadFifoFull");
        if (ok) {
            full = fifoFull;
        }
        return ok;
    }
    bool BeginDownload() override { return note("BeginDownload"); }
    bool SetBusSpeed(std::uint8_t speed) override { return note("SetBusSpeed", speed); }
    std::uint8_t ReadFifoLevel() override { return note("ReadFifoLevel") ? fifoLevel : 0; }

    std::unique_ptr<device::DataPipe> OpenDataPipe() override {
        const bool opens = note("OpenDataPipe");
        return std::make_unique<Pipe>(*this, opens);
    }
    void Beep() override { ++beeps; }
    std::unique_ptr<device::AcquisitionLock> LockForAcquisition(std::string& problem) override {
        {
            std::lock_guard lock(mutex_);
            lastTimedOut_ = false; // looking for the analyzer is no request of its own here
        }
        problem = lockProblem;
        if (!lockProblem.empty()) {
            return std::make_unique<device::AcquisitionLock>();
        }
        int expected = 0;
        if (!locksHeld.compare_exchange_strong(expected, 1)) {
            return nullptr;
        }
        return std::make_unique<Lock>(locksHeld);
    }
    bool LastRequestTimedOut() override {
        std::lock_guard lock(mutex_);
        return lastTimedOut_;
    }

private:
    class Lock : public device::AcquisitionLock {
    public:
        explicit Lock(std::atomic<int>& held) : held_(held) {}
        ~Lock() override { held_.store(0); }

    private:
        std::atomic<int>& held_;
    };

    class Pipe : public device::DataPipe {
    public:
        Pipe(RecordingAnalyzer& owner, bool open) : owner_(owner), open_(open) {}
        bool TransferBlock(std::uint8_t* buffer, std::uint32_t length,
                           std::uint32_t& count) override {
            count = 0;
            std::this_thread::sleep_for(owner_.transferTime);
            if (!open_) {
                return false;
            }
            if (owner_.failTransferAfter >= 0 && transfers_++ >= owner_.failTransferAfter) {
                return false;
            }
            const std::size_t left = owner_.recording.size() - offset_;
            count = static_cast<std::uint32_t>(std::min<std::size_t>(length, left));
            if (count > 0) { // an empty recording has no data() to copy from
                std::memcpy(buffer, owner_.recording.data() + offset_, count);
            }
            offset_ += count;
            return true;
        }

    private:
        RecordingAnalyzer& owner_;
        bool open_;
        std::size_t offset_ = 0;
        int transfers_ = 0;
    };

    bool note(const char* name, int arg = -1) {
        std::lock_guard lock(mutex_);
        calls_.push_back(arg < 0 ? std::string(name)
                                 : std::string(name) + " " + std::to_string(arg));
        lastTimedOut_ = hung.count(name) != 0;
        return attached && refused.count(name) == 0 && !lastTimedOut_;
    }

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    bool lastTimedOut_ = false;
};

} // namespace vintrace::test
