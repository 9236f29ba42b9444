#pragma once

#include "capture/StagedFile.h"

#include <string>

namespace vintrace::cli {

/// Exit status for a file or I/O failure, standard output included.
inline constexpr int kExitFileError = 2;
/// How messages name standard output; `-` as an output file means it.
inline constexpr const char* kStdoutName = "<stdout>";

/// Prints "vintrace-cli: <file>: <what>" on standard error.
void ReportFileError(const std::string& file, const std::string& what);

/// Reports a failed write to standard output (`err` an errno value) once per run, however
/// many places notice it; returns kExitFileError.
int ReportStdoutFailure(int err);
/// The same with the reason already in words.
int ReportStdoutFailure(const std::string& reason);

/// Puts standard output in binary mode where the C library would otherwise turn "\n" into
/// "\r\n" (Windows), before raw bytes are written to it.
void UseBinaryStdout();

/// Flushes standard output (stdio and iostreams) and reports a failure; true when everything
/// written so far has been delivered.
bool FlushStdout();

/// Decides before any work whether `output` may be written from `input`: never the input
/// itself (even with `force`), an existing file only with `force`, and never anything but a
/// regular file. Reports the refusal and returns false.
bool CheckOutput(const std::string& input, const std::string& output, bool force);

/// Reports why `staged` could not be created or committed for `output`.
void ReportStagedFailure(const capture::StagedFile& staged, const std::string& output);

} // namespace vintrace::cli
