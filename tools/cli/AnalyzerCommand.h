#pragma once

#include <CLI/CLI.hpp>

namespace vintrace::cli {

/// Adds `analyzer [--analyzer N] list|status|trigger CODE|speed low|full|acquire -o FILE
/// [--force] [--trigger CODE] [--timeout S]` to `app`. The subcommand that runs sets `exitCode` (0
/// on success).
void AddAnalyzerCommand(CLI::App& app, int& exitCode);

} // namespace vintrace::cli
