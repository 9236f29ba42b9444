#pragma once

#include <string>

namespace vintrace::capture {

/// Why a move failed, in words for the user.
struct MoveFailure {
    std::string reason;
};

/// Renames a capture file with the operating system's move: it fails, and changes nothing,
/// when `to` exists or `from` is missing; it never replaces a file. Empty reason on success.
MoveFailure MoveCaptureFile(const std::string& from, const std::string& to);

} // namespace vintrace::capture
