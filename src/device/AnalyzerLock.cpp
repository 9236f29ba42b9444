#include "device/AnalyzerLock.h"

#include "device/DeviceAccess.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include "platform/Win32.h"
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vintrace::device {

namespace {
/// Stands for the lock of an analyzer that is not there.
class NoLock final : public AcquisitionLock {};
} // namespace

#ifdef _WIN32

std::unique_ptr<FileLock> FileLock::Take(const std::string& path, Result& result,
                                         std::string& reason) {
    // Sharing nothing makes every other open of the file fail while this handle is open;
    // the system removes the file with the last handle.
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        // A holder's file is shared with nobody, and refuses access while its deletion is
        // pending; a folder that cannot be written, a directory or a read-only file in the
        // lock's place also refuse access, but hold nothing.
        const DWORD attributes = ::GetFileAttributesA(path.c_str());
        const bool heldFile =
            attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0;
        if (error == ERROR_SHARING_VIOLATION || (error == ERROR_ACCESS_DENIED && heldFile)) {
            result = Result::Busy;
        } else {
            result = Result::Failed;
            reason = "cannot open " + path + " (system error " + std::to_string(error) + ")";
        }
        return nullptr;
    }
    std::unique_ptr<FileLock> lock(new FileLock);
    lock->path_ = path;
    lock->handle_ = h;
    result = Result::Held;
    return lock;
}

FileLock::~FileLock() {
    ::CloseHandle(static_cast<HANDLE>(handle_));
}

#else

std::unique_ptr<FileLock> FileLock::Take(const std::string& path, Result& result,
                                         std::string& reason) {
    // A holder removes the file before it lets go, so a lock won on a file that is no longer
    // the one at `path` is worthless: try again on the new one.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            result = Result::Failed;
            reason = path + ": " + std::strerror(errno);
            return nullptr;
        }
        struct stat held {};
        if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
            ::close(fd);
            result = Result::Failed;
            reason = path + ": not a regular file";
            return nullptr;
        }
        int rc;
        do {
            rc = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EWOULDBLOCK) {
                result = Result::Busy;
            } else {
                result = Result::Failed;
                reason = path + ": " + std::strerror(error);
            }
            return nullptr;
        }
        struct stat now {};
        if (::lstat(path.c_str(), &now) == 0 && now.st_dev == held.st_dev &&
            now.st_ino == held.st_ino) {
            std::unique_ptr<FileLock> lock(new FileLock);
            lock->path_ = path;
            lock->fd_ = fd;
            lock->cleanup_.emplace(path);
            result = Result::Held;
            return lock;
        }
        ::close(fd);
    }
    result = Result::Busy;
    return nullptr;
}

FileLock::~FileLock() {
    // Removed while still held, so nobody can win a lock on the old file after us.
    ::unlink(path_.c_str());
    ::close(fd_);
}

#endif

std::string AnalyzerLockPath(const std::string& devicePath) {
#ifndef _WIN32
    if (!devicePath.empty() && devicePath.front() == '/') {
        return devicePath + ".lock";
    }
#endif
    // A driver's interface path is no place for a file: name one after it in the temporary
    // directory (FNV-1a of the path).
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : devicePath) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    char name[40];
    std::snprintf(name, sizeof name, "vintrace-analyzer-%016llx.lock",
                  static_cast<unsigned long long>(hash));
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
    return ((ec ? std::filesystem::path(".") : dir) / name).string();
}

std::unique_ptr<AcquisitionLock> LockFirstAnalyzer(std::string& problem) {
    problem.clear();
    DevicePathBuffer path{};
    if (!ProbeAnalyzer(path)) {
        return std::make_unique<NoLock>();
    }
    FileLock::Result result = FileLock::Result::Failed;
    std::string reason;
    std::unique_ptr<FileLock> lock = FileLock::Take(AnalyzerLockPath(path.data()), result, reason);
    if (lock) {
        return lock;
    }
    if (result == FileLock::Result::Busy) {
        return nullptr;
    }
    // Only another acquisition may keep this one from the analyzer; a lock file that cannot
    // be made says nothing about that, so the acquisition goes ahead and is told why.
    problem = std::move(reason);
    return std::make_unique<NoLock>();
}

} // namespace vintrace::device
