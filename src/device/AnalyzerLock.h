#pragma once

#include "capture/InterruptCleanup.h"
#include "device/Analyzer.h"

#include <memory>
#include <optional>
#include <string>

namespace vintrace::device {

/// An exclusive lock on a lock file, held from Take() until the object goes; other processes
/// (and other takers in this one) cannot take the same file meanwhile. The file is created
/// when missing, never through a symbolic link, and removed when the lock is let go.
class FileLock final : public AcquisitionLock {
public:
    enum class Result {
        Held,   // taken
        Busy,   // someone else holds it
        Failed, // the lock file cannot be opened or locked (see reason)
    };

    /// Takes the lock at `path` without waiting; nullptr (and `result` says why) otherwise.
    static std::unique_ptr<FileLock> Take(const std::string& path, Result& result,
                                          std::string& reason);
    ~FileLock() override;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    FileLock() = default;

    std::string path_;
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
    /// A process ended by a signal removes the file as a release would.
    std::optional<capture::InterruptCleanup> cleanup_;
#endif
};

/// The lock file of the analyzer at `devicePath`: beside its socket where the device path is
/// a file system path, else in the temporary directory under a name made from the path.
std::string AnalyzerLockPath(const std::string& devicePath);

/// Takes the analyzer in use (the first found unless UseAnalyzer chose another) for one
/// acquisition; nullptr only when another acquisition holds it. With no analyzer attached
/// there is nothing to guard, and a lock file that cannot be made (its path taken by a
/// directory, an unwritable folder) guards nothing either: both return a lock that holds
/// nothing, and in the second case `problem` says why the acquisition goes ahead unguarded.
std::unique_ptr<AcquisitionLock> LockFirstAnalyzer(std::string& problem);

} // namespace vintrace::device
