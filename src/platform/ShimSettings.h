#pragma once

// Settings of the socket shim that stands in for the Windows calls off Windows.

#ifndef _WIN32

#include <chrono>
#include <string>

namespace vintrace::platform {

/// Makes the shim look for device directories below `root` instead of the default
/// ($XDG_RUNTIME_DIR, else /tmp); an empty `root` restores the default. For tests.
void SetDeviceRoot(const std::string& root);

/// The root the shim looks below now.
std::string DeviceRoot();

/// Bounds how long one connect, request or reply may take before the call fails with
/// ERROR_SEM_TIMEOUT, so a hung driver cannot hang the caller. Default 5 seconds.
void SetRequestTimeout(std::chrono::milliseconds timeout);

} // namespace vintrace::platform

#endif
