#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace vintrace::device {

/// The analyzer's data pipe, open for one download. A pipe that did not open moves nothing.
class DataPipe {
public:
    virtual ~DataPipe() = default;
    /// Moves up to `length` recorded bytes into `buffer`; `count` receives how many.
    virtual bool TransferBlock(std::uint8_t* buffer, std::uint32_t length,
                               std::uint32_t& count) = 0;
};

/// Held for the whole of one acquisition, from arming to the end of the download, so that no
/// other acquisition (in this process or another) uses the analyzer meanwhile.
class AcquisitionLock {
public:
    virtual ~AcquisitionLock() = default;
};

/// The analyzer commands as the application uses them. The window and the acquisition code
/// talk to this interface so that tests can put a scripted analyzer in its place; the real
/// one (DriverAnalyzer) goes through the driver interface.
class Analyzer {
public:
    virtual ~Analyzer() = default;

    /// 1 arms acquisition, 0 disarms.
    virtual bool SetArmed(std::uint8_t flag) = 0;
    /// Sends a trigger code (15: trigger on arm).
    virtual bool SetTrigger(std::uint8_t code) = 0;
    /// On success the 13 version bytes, on failure 13 zero bytes.
    virtual bool ReadFirmwareVersion(std::array<std::uint8_t, 13>& text) = 0;
    /// `status` is written only on success; 1 means the trigger has occurred.
    virtual bool ReadTriggerStatus(std::uint8_t& status) = 0;
    /// 0 full-speed PC port, other values high speed; 0 on failure.
    virtual bool ReadPortSpeed(std::uint8_t& speed) = 0;
    virtual bool BeginAcquisition() = 0;
    virtual bool EndDownload() = 0;
    /// 1 stops recording, 0 releases the stop.
    virtual bool SetStopped(std::uint8_t flag) = 0;
    /// `full` is written only on success; 1 means the recording memory is full.
    virtual bool ReadFifoFull(std::uint8_t& full) = 0;
    virtual bool BeginDownload() = 0;
    /// 0 low speed, 1 full speed (the bus under test).
    virtual bool SetBusSpeed(std::uint8_t speed) = 0;
    /// Fill level 0..255 of the recording memory; 0 on failure.
    virtual std::uint8_t ReadFifoLevel() = 0;
    /// True when the last request above failed because the analyzer did not answer in time.
    /// A caller then makes no further request in the same step: each would wait as long.
    virtual bool LastRequestTimedOut() { return false; }

    /// Opens the data pipe "PIPE00" for a download; closed when the object goes.
    virtual std::unique_ptr<DataPipe> OpenDataPipe() = 0;
    /// The system's default beep, sounded per downloaded block.
    virtual void Beep() = 0;
    /// Takes the analyzer for one acquisition without waiting; nullptr while another
    /// acquisition holds it. A lock that cannot be made for any other reason does not stand in
    /// the acquisition's way: a lock that guards nothing is returned and `problem` says why.
    virtual std::unique_ptr<AcquisitionLock> LockForAcquisition(std::string& problem) = 0;
};

} // namespace vintrace::device
