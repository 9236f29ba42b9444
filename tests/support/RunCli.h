#pragma once

#include "support/FileContents.h"
#include "support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <string>

#include <sys/wait.h>

namespace vintrace::test {

struct CliResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

/// Runs `sh -c "<prefix> vintrace-cli <args> <redirect>"` in `work`; stdout and stderr are
/// captured unless `redirect` sends stdout elsewhere. At most 20 seconds: a command that would
/// block or spin ends with 124.
inline CliResult RunCli(const TempDir& work, const std::string& args,
                        const std::string& redirect = "", const std::string& prefix = "") {
    const std::string out = work / ".stdout";
    const std::string err = work / ".stderr";
    const std::string command =
        "cd '" + work.path().string() + "' && " + prefix + " timeout 20 '" VINTRACE_CLI_PATH "' " +
        args + " " + (redirect.empty() ? ">'" + out + "'" : redirect) + " 2>'" + err + "'";
    const int status = std::system(command.c_str());
    CliResult r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadText(out);
    r.err = ReadText(err);
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return r;
}

} // namespace vintrace::test
