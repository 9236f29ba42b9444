#pragma once

#include "device/AnalyzerInterface.h"
#include "platform/Win32.h"

#include <cstdint>

namespace vintrace::device {

/// Opens the first analyzer interface that opens; the invalid handle when none does. The path
/// of the interface last tried is left in `pathBuffer`.
platform::HANDLE FindAnalyzer(DevicePathBuffer& pathBuffer);

/// True when an analyzer can be opened; the handle is closed at once, the path kept.
bool ProbeAnalyzer(DevicePathBuffer& pathBuffer);

/// Opens "<device path>\<pipeName>" of the analyzer; the invalid handle on failure.
platform::HANDLE OpenDataPipe(const char* pipeName);

/// Closes a handle from OpenDataPipe; false for the invalid handle.
bool CloseDataPipe(platform::HANDLE pipeHandle);

/// Issues IOCTL_ANALYZER_COMMAND with `dataLength` bytes at `data` (null for none).
bool SendCommand(std::int32_t commandCode, std::int32_t argument, void* data,
                 std::int32_t dataLength);

/// Issues IOCTL_ANALYZER_QUERY; the answer lands in `buffer`. A short answer is a success.
bool QueryCommand(std::int32_t commandCode, std::int32_t argument, void* buffer,
                  std::int32_t length);

/// True when the last command or query of this thread failed because the analyzer did not
/// answer in time (ERROR_SEM_TIMEOUT from opening it or from the request); false after one that
/// succeeded or failed otherwise.
bool LastRequestTimedOut();

/// Moves one block of up to `length` recorded bytes from the pipe into `buffer`; `count`
/// receives the number placed. A failed transfer is followed by IOCTL_RECOVER_PIPE.
bool TransferBlock(platform::HANDLE pipeHandle, void* buffer, std::uint32_t length,
                   std::uint32_t& count);

/// Most consecutive enumeration failures (other than the end of the list) before giving up,
/// so a broken set-up API cannot keep a command looping.
inline constexpr std::uint32_t kMaxEnumerationFailures = 64;

} // namespace vintrace::device
