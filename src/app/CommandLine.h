#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace vintrace::app {

/// What `vintrace --help` prints.
std::string HelpText();

/// Answers --help and --version (anywhere on the command line) without a display: the text
/// goes to `out` and the exit code comes back. Nothing when the program should start.
std::optional<int> AnswerInfoOption(int argc, char** argv, std::FILE* out);

/// The command line once Qt has taken its own options: at most one FILE, and no options of
/// ours. `error` says what is wrong when there is more.
struct StartupArguments {
    std::optional<std::string> file;
    std::string error;
};
StartupArguments ParseStartupArguments(const std::vector<std::string>& args);

} // namespace vintrace::app
