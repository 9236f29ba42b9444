#include "device/Acquisition.h"

namespace vintrace::device {

Acquisition::~Acquisition() {
    CancelDownload();
    endDownload();
}

void Acquisition::endDownload() {
    reader_.reset(); // waits for the thread
}

AcquisitionEffects Acquisition::Start(const std::string& target) {
    AcquisitionEffects e;
    // Kept across a Start after Stop: this acquisition already holds the analyzer.
    bool lookupTimedOut = false;
    if (!lock_) {
        lock_ = analyzer_.LockForAcquisition(lockProblem_);
        // Taking the lock looks for the analyzer: if that timed out, ask nothing more.
        lookupTimedOut = analyzer_.LastRequestTimedOut();
        if (!lock_) {
            e.status = Status::AnalyzerBusy;
            e.startEnabled = true;
            e.stopEnabled = false;
            return e;
        }
    }
    target_ = target;
    e.startEnabled = false;
    e.stopEnabled = true;
    state_.store(ACQ_ARMED);
    if (!lookupTimedOut && !hung(analyzer_.SetArmed(0)) && !hung(analyzer_.SetStopped(0)) &&
        !hung(analyzer_.BeginAcquisition())) {
        analyzer_.SetArmed(1);
    }
    e.status = Status::Armed;
    return e;
}

AcquisitionEffects Acquisition::Stop() {
    AcquisitionEffects e;
    e.startEnabled = true;
    e.stopEnabled = false;
    if (state_.load() == ACQ_ARMED) {
        state_.store(ACQ_IDLE_POLL);
        releaseLock();
        e.status = Status::Empty;
        return e;
    }
    // After the trigger: end the recording; the download follows once the memory reads full.
    analyzer_.SetStopped(1);
    e.status = Status::Stopped;
    return e;
}

AcquisitionEffects Acquisition::Tick(bool greenLampShown, std::int32_t captureSize) {
    AcquisitionEffects e;
    switch (state_.load()) {
    case ACQ_IDLE_POLL: {
        state_.store(ACQ_IDLE_BLINK);
        std::uint8_t speed = 0;
        if (!analyzer_.ReadPortSpeed(speed)) {
            e.lamp = Lamp::Red;
        } else {
            e.lamp = speed == 0 ? Lamp::Yellow : Lamp::Green;
        }
        break;
    }
    case ACQ_IDLE_BLINK:
        state_.store(ACQ_IDLE_POLL);
        if (!greenLampShown) {
            e.lamp = Lamp::Unlit;
        }
        break;
    case ACQ_ARMED: {
        std::uint8_t status = 0;
        if (!analyzer_.ReadTriggerStatus(status)) {
            e.status = Status::ReadFailed;
        } else if (status == 1) {
            state_.store(ACQ_TRIGGERED);
            e.status = Status::Triggered;
            e.progressMax = 255;
        } else {
            e.status = Status::WaitingForTrigger;
        }
        break;
    }
    case ACQ_TRIGGERED: {
        e.progressValue = analyzer_.ReadFifoLevel();
        std::uint8_t full = 0;
        if (analyzer_.LastRequestTimedOut() || !analyzer_.ReadFifoFull(full)) {
            e.status = Status::ReadFailed;
        } else if (full == 1) {
            state_.store(ACQ_DOWNLOADING);
            e.status = Status::Downloading;
            e.progressMax = captureSize;
            analyzer_.SetStopped(1);
            // Start stays disabled until this download has ended and been reloaded, so two
            // downloads can never write at once.
            e.startEnabled = false;
            e.stopEnabled = false;
            e.startDownload = true;
        } else {
            e.status = Status::WaitForFifoFull;
        }
        break;
    }
    case ACQ_DOWNLOADING:
        e.progressValue = blockCount_.load();
        break;
    case ACQ_DOWNLOADED: {
        if (reader_) {
            outcome_ = reader_->outcome();
        }
        endDownload();
        if (!hung(analyzer_.SetArmed(0)) && !hung(analyzer_.SetStopped(0))) {
            analyzer_.EndDownload();
        }
        releaseLock();
        e.progressValue = 0;
        state_.store(ACQ_IDLE_POLL);
        switch (outcome_.status) {
        case DownloadOutcome::Status::Written:
            e.status = Status::Empty;
            e.newCapture = target_;
            break;
        case DownloadOutcome::Status::Incomplete:
            e.status = Status::Incomplete;
            e.newCapture = outcome_.file;
            break;
        case DownloadOutcome::Status::NothingReceived:
        case DownloadOutcome::Status::Cancelled:
            e.status = Status::NothingReceived;
            break;
        case DownloadOutcome::Status::FileError:
            e.status = Status::CannotWrite;
            break;
        }
        e.reload = true;
        e.startEnabled = true;
        break;
    }
    default:
        break;
    }
    return e;
}

void Acquisition::releaseLock() {
    lock_.reset();
    lockProblem_.clear();
}

bool Acquisition::hung(bool requestSucceeded) {
    return !requestSucceeded && analyzer_.LastRequestTimedOut();
}

void Acquisition::StartDownload() {
    if (reader_) {
        return; // one download at a time
    }
    // The file is closed (and in place) before the state says so: the reload reads it.
    cancel_.store(false);
    reader_ = std::make_unique<USBReadThread>(analyzer_, target_, blockCount_, state_,
                                              ACQ_DOWNLOADED, cancel_);
}

} // namespace vintrace::device
