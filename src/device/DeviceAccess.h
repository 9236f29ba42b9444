#pragma once

#include "device/AnalyzerInterface.h"
#include "platform/Win32.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vintrace::device {

/// Opens the first analyzer interface that opens; the invalid handle when none does. The path
/// of the interface last tried is left in `pathBuffer`.
platform::HANDLE FindAnalyzer(DevicePathBuffer& pathBuffer);

/// The device paths of every analyzer interface that opens now, in enumeration order (the
/// first is the one FindAnalyzer opens). Each is opened and closed again to find out.
std::vector<std::string> ListAnalyzers();

/// Opens the analyzer interface enumerated under `devicePath`; the invalid handle when no
/// interface has that path now or it does not open. Only enumerated interfaces are opened.
platform::HANDLE OpenAnalyzer(const std::string& devicePath);

/// Sends this process's commands, queries, data pipe and acquisition lock to the analyzer at
/// `devicePath` (a path from ListAnalyzers) instead of the first one found; when it is gone
/// they fail rather than reach another one. An empty path goes back to the first analyzer.
/// FindAnalyzer is not affected.
void UseAnalyzer(const std::string& devicePath);

/// The analyzer chosen with UseAnalyzer; empty for the first one found.
std::string AnalyzerInUse();

/// True when the analyzer in use (see UseAnalyzer) can be opened; the handle is closed at
/// once, the path kept.
bool ProbeAnalyzer(DevicePathBuffer& pathBuffer);

/// Opens "<device path>\<pipeName>" of the analyzer in use; the invalid handle on failure.
platform::HANDLE OpenDataPipe(const char* pipeName);

/// Closes a handle from OpenDataPipe; false for the invalid handle.
bool CloseDataPipe(platform::HANDLE pipeHandle);

/// Issues IOCTL_ANALYZER_COMMAND to the analyzer in use with `dataLength` bytes at `data` (null for
/// none).
bool SendCommand(std::int32_t commandCode, std::int32_t argument, void* data,
                 std::int32_t dataLength);

/// Issues IOCTL_ANALYZER_QUERY to the analyzer in use; the answer lands in `buffer`. A short answer
/// is a success.
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
