#pragma once

#include <CLI/CLI.hpp>

namespace vintrace::cli {

/// Adds `devices FILE [--json] [--usb-ids PATH]` to `app`: every device the capture shows,
/// with the descriptors and strings it delivered. Sets `exitCode` when it runs.
void AddDevicesCommand(CLI::App& app, int& exitCode);

} // namespace vintrace::cli
