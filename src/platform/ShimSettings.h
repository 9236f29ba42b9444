#pragma once

// Settings of the socket shim that stands in for the Windows calls off Windows.

#ifndef _WIN32

#include "platform/Win32.h"

#include <chrono>
#include <string>

namespace vintrace::platform {

/// Makes the shim look for device directories below `root` instead of the default
/// ($XDG_RUNTIME_DIR, else /tmp); an empty `root` restores the default. For tests.
void SetDeviceRoot(const std::string& root);

/// The root the shim looks below now.
std::string DeviceRoot();

/// Bounds one device request as a whole: connecting, the open handshake, the request and its
/// reply share one deadline, after which the call fails with ERROR_SEM_TIMEOUT, so a hung
/// driver cannot hang the caller. Default 1 second.
void SetRequestTimeout(std::chrono::milliseconds timeout);

/// Bounds one transfer on a data pipe (WriteFile) the same way. Default 5 seconds.
void SetTransferTimeout(std::chrono::milliseconds timeout);

/// Why the device directory of `classGuid`, or the root above it, is not used: one line such
/// as "device directory /tmp/vintrace-1000: owned by uid 0, not you". Only a real directory
/// (not a symbolic link) owned by the current user, with no group or other permissions, is
/// used; anything else makes the interface list empty. Empty when the directories are used or
/// simply do not exist.
std::string DeviceDirectoryProblem(const GUID& classGuid);

/// Why a device listed since the last listing was not opened although it answered: its
/// socket is served by another user, who would see our commands and could fake a capture
/// ("device /run/user/1000/vintrace-{...}/analyzer0: served by uid 1001, not you"). Empty
/// when no device was refused.
std::string RefusedDeviceProblem();

} // namespace vintrace::platform

#endif
