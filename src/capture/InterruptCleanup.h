#pragma once

#include <string>

namespace vintrace::capture {

/// Keeps a temporary file's name where a signal handler can reach it, so that SIGINT, SIGTERM
/// or SIGHUP ending the process removes the file instead of leaving it behind. The handler
/// unlinks every registered file, then lets the signal end the process as it would have.
/// It is installed on first use, and only for signals whose disposition is still the default:
/// a program with its own handler for a signal keeps it.
class InterruptCleanup {
public:
    /// Registers `path`; a name that does not fit a slot, or a full table, is simply not
    /// covered (the file is still removed on every ordinary path).
    explicit InterruptCleanup(const std::string& path);
    /// Unregisters the path.
    ~InterruptCleanup();
    InterruptCleanup(const InterruptCleanup&) = delete;
    InterruptCleanup& operator=(const InterruptCleanup&) = delete;

    /// Unregisters now: call it once the file has been moved into place or removed.
    void release();

    /// True while a path is registered (false when it could not be).
    bool active() const { return slot_ >= 0; }

private:
    int slot_ = -1;
};

} // namespace vintrace::capture
