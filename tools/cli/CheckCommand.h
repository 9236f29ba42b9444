#pragma once

#include <CLI/CLI.hpp>

namespace vintrace::cli {

/// Exit status of `check` for a bad command line (every other subcommand keeps CLI11's).
inline constexpr int kExitCheckUsage = 2;

/// Adds `check FILE [--json] [--fail-on error|warning|info]` and `check --list` to `app`:
/// the capture checked against the protocol rules, one finding a line. The subcommand sets
/// `exitCode` when it runs: 0 when nothing at or above --fail-on was found, 1 when something
/// was, 2 when the capture could not be read.
void AddCheckCommand(CLI::App& app, int& exitCode);

} // namespace vintrace::cli
