// vintrace-cli: the command-line companion over the core.

#include "AnalyzerCommand.h"

#include <CLI/CLI.hpp>

int main(int argc, char** argv) {
    CLI::App app{"Vintrace command-line companion"};
    app.require_subcommand(1);
    int exitCode = 0;
    vintrace::cli::AddAnalyzerCommand(app, exitCode);
    CLI11_PARSE(app, argc, argv);
    return exitCode;
}
