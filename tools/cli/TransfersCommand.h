#pragma once

#include <CLI/CLI.hpp>

namespace vintrace::cli {

/// Adds `transfers FILE [--json] [--address A [--endpoint E]] [--no-fold]` to `app`: the
/// capture's transactions assembled into transfers, one item per line in capture order.
/// The subcommand sets `exitCode` when it runs (0 on success).
void AddTransfersCommand(CLI::App& app, int& exitCode);

} // namespace vintrace::cli
