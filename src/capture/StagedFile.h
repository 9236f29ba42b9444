#pragma once

#include "capture/InterruptCleanup.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vintrace::capture {

/// A file written beside its target under a temporary name and moved into place only when
/// complete, so a failed or interrupted conversion never leaves a half-written target and
/// never disturbs a file that is already there. The temporary file is also removed when
/// SIGINT, SIGTERM or SIGHUP ends the process while it exists (see InterruptCleanup). A
/// replaced file's permission bits are kept; a new file gets those of a plain create. Its
/// name is kept within a file name's length however long the target's is, and SIGXFSZ is
/// ignored (unless the program handles it) so a file-size limit fails the write with EFBIG.
class StagedFile {
public:
    /// What writing a target would meet.
    enum class TargetStatus {
        Writable,   // absent, or a regular file (or a symlink to one) and replacing is allowed
        Exists,     // present and replacing was not asked for
        NotRegular, // a directory, device, FIFO, socket, or a symlink to one or to nothing
    };
    /// Judges `target` before any work is done; a symlink is judged by what it names.
    static TargetStatus CheckTarget(const std::string& target, bool overwrite);
    /// True when both paths name the same existing file (through links too).
    static bool IsSameFile(const std::string& a, const std::string& b);

    /// Creates the temporary file beside `target`; check file() for success.
    explicit StagedFile(std::string target);
    /// Removes the temporary file unless it was committed.
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    /// The open temporary file, nullptr when it could not be created (see error()).
    std::FILE* file() const { return file_; }
    /// Flushes, closes and moves the file into place; refuses to replace an existing target
    /// unless `overwrite`, and never replaces anything but a regular file. False with error()
    /// set on failure, when the target is untouched.
    bool commit(bool overwrite);
    /// Points a later commit() at another file beside the first.
    void retarget(std::string target) { target_ = std::move(target); }
    const std::string& target() const { return target_; }

    /// Why the last step failed, in the operating system's words.
    const std::string& error() const { return error_; }
    /// True when commit() failed because the target exists.
    bool targetExisted() const { return targetExisted_; }
    /// True when commit() refused a target that is not a regular file.
    bool targetNotRegular() const { return targetNotRegular_; }

private:
    std::string target_;
    std::string temp_;
    std::FILE* file_ = nullptr;
    std::optional<InterruptCleanup> cleanup_;
    bool committed_ = false;
    bool targetExisted_ = false;
    bool targetNotRegular_ = false;
    std::string error_;
};

/// Writes `bytes` to `target` through a StagedFile, replacing a regular file there (never
/// anything else). Nothing on success, else why it failed ("not a regular file", or the
/// operating system's words); the target is then as it was.
std::optional<std::string> ReplaceFileWith(const std::string& target, std::string_view bytes);

} // namespace vintrace::capture
