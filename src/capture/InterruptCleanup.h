#pragma once

#include <string>

namespace vintrace::capture {

/// Makes SIGINT and SIGTERM remove every registered file before the process ends with the
/// signal's usual effect, so an interrupted write leaves no temporary file behind. Safe to call
/// more than once.
void InstallInterruptCleanup();

/// Registers a file for removal on SIGINT or SIGTERM while the object lives. Registration is
/// best effort: with every slot taken, or a path too long for one, nothing is registered.
class InterruptCleanupEntry {
public:
    explicit InterruptCleanupEntry(const std::string& path);
    ~InterruptCleanupEntry();
    InterruptCleanupEntry(const InterruptCleanupEntry&) = delete;
    InterruptCleanupEntry& operator=(const InterruptCleanupEntry&) = delete;

    /// False when the path could not be registered.
    bool registered() const { return slot_ >= 0; }

private:
    int slot_ = -1;
};

} // namespace vintrace::capture
