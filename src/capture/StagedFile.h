#pragma once

#include "capture/InterruptCleanup.h"

#include <cstdio>
#include <optional>
#include <string>

namespace vintrace::capture {

/// A file written beside its target under a temporary name and moved into place only when
/// complete, so a failed or interrupted conversion never leaves a half-written target and
/// never disturbs a file that is already there. The temporary file is also removed when
/// SIGINT, SIGTERM or SIGHUP ends the process while it exists (see InterruptCleanup).
class StagedFile {
public:
    /// Creates the temporary file beside `target`; check file() for success.
    explicit StagedFile(std::string target);
    /// Removes the temporary file unless it was committed.
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    /// The open temporary file, nullptr when it could not be created (see error()).
    std::FILE* file() const { return file_; }
    /// Flushes, closes and moves the file into place; refuses to replace an existing target
    /// unless `overwrite`. False with error() set on failure, when the target is untouched.
    bool commit(bool overwrite);

    /// Why the last step failed, in the operating system's words.
    const std::string& error() const { return error_; }
    /// True when commit() failed because the target exists.
    bool targetExisted() const { return targetExisted_; }

private:
    std::string target_;
    std::string temp_;
    std::FILE* file_ = nullptr;
    std::optional<InterruptCleanup> cleanup_;
    bool committed_ = false;
    bool targetExisted_ = false;
    std::string error_;
};

} // namespace vintrace::capture
