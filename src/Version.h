#pragma once

#include <string>

namespace vintrace {

/// The project version, e.g. "1.0".
const char* ProjectVersion();
/// The git commit the programs were built from ("" when not built from a git checkout).
const char* GitCommit();
/// What `PROGRAM --version` prints: "PROGRAM 1.0" plus " (git abcdef123456)" from git.
std::string VersionLine(const std::string& program);

} // namespace vintrace
