#pragma once

#include <CLI/CLI.hpp>

namespace vintrace::cli {

/// Adds `stream FILE --address A --endpoint E [--direction in|out] [-o OUT] [--force]` to
/// `app`: the bytes one bulk or interrupt endpoint carried, in order, written raw.
/// The subcommand sets `exitCode` when it runs (0 on success).
void AddStreamCommand(CLI::App& app, int& exitCode);

} // namespace vintrace::cli
