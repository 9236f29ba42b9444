#include "capture/StagedFile.h"

#include "platform/Win32Api.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace vintrace::capture {

namespace {
#ifndef O_BINARY
constexpr int O_BINARY = 0;
#endif
#ifndef O_NOFOLLOW
constexpr int O_NOFOLLOW = 0;
#endif

/// The longest file name (one path component) the systems we run on take.
constexpr std::size_t kNameMax = 255;
/// ".partial-" and at most ten digits.
constexpr std::size_t kSuffixRoom = 19;

/// `target` with its last component cut so that the temporary suffix still fits a name:
/// a target of a long but valid name must not fail because of the temporary beside it.
std::string TemporaryBase(const std::string& target) {
    std::size_t nameStart = target.find_last_of('/');
#ifdef _WIN32
    const std::size_t backslash = target.find_last_of('\\');
    if (backslash != std::string::npos &&
        (nameStart == std::string::npos || backslash > nameStart)) {
        nameStart = backslash;
    }
#endif
    nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
    if (target.size() - nameStart + kSuffixRoom <= kNameMax) {
        return target;
    }
    return target.substr(0, nameStart + kNameMax - kSuffixRoom);
}

/// Creates a file of a name nobody has yet; the permissions are those of a plain create.
int CreateUnique(const std::string& target, std::string& name) {
    const std::string base = TemporaryBase(target);
    const auto seed = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = base + ".partial-" + std::to_string((seed + attempt) % 1000000007ull);
        const int fd =
            ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_BINARY, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

/// Under a file-size limit the kernel would end the process with SIGXFSZ at the first write
/// past it, leaving the temporary file behind and saying nothing; ignored, the write fails
/// with EFBIG like any other, and the failure is reported and cleaned up. A program that
/// handles the signal itself keeps its handler.
void IgnoreFileSizeSignal() {
#ifdef SIGXFSZ
    static std::once_flag done;
    std::call_once(done, [] {
        struct sigaction current {};
        if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL &&
            (current.sa_flags & SA_SIGINFO) == 0) {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            sigemptyset(&ignore.sa_mask);
            ::sigaction(SIGXFSZ, &ignore, nullptr);
        }
    });
#endif
}

/// Gives the new file the permission bits of the regular file it replaces, so a private
/// capture stays private; a new file keeps the ones its creation gave it (the umask's).
/// True when there was nothing to copy or it was copied.
bool KeepPermissions(std::FILE* file, const std::string& target) {
#ifdef _WIN32
    (void)file;
    (void)target;
    return true;
#else
    struct stat old {};
    if (::stat(target.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) {
        return true; // nothing replaced, or the move refuses it anyway
    }
    // Permission bits only: set-id bits are never carried to a file written by someone else.
    return ::fchmod(fileno(file), old.st_mode & 0777) == 0;
#endif
}
/// Waits until the file's bytes are on the disk.
bool SyncFile(std::FILE* file) {
#ifdef _WIN32
    return ::_commit(::_fileno(file)) == 0;
#else
    return ::fsync(fileno(file)) == 0;
#endif
}
} // namespace

StagedFile::TargetStatus StagedFile::CheckTarget(const std::string& target, bool overwrite) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status link = fs::symlink_status(target, ec);
    if (ec || link.type() == fs::file_type::not_found) {
        return TargetStatus::Writable; // nothing there, or nothing we can tell: the move decides
    }
    const fs::file_status named = fs::status(target, ec);
    if (named.type() != fs::file_type::regular) {
        return TargetStatus::NotRegular;
    }
    return overwrite ? TargetStatus::Writable : TargetStatus::Exists;
}

bool StagedFile::IsSameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

StagedFile::StagedFile(std::string target) : target_(std::move(target)) {
    IgnoreFileSizeSignal();
    std::string name;
    const int fd = CreateUnique(target_, name);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return;
    }
    temp_ = name;
    cleanup_.emplace(temp_);
    file_ = ::fdopen(fd, "wb");
    if (file_ == nullptr) {
        error_ = std::strerror(errno);
        ::close(fd);
        std::remove(temp_.c_str());
        temp_.clear();
        cleanup_.reset();
    }
}

StagedFile::~StagedFile() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
    if (!committed_ && !temp_.empty()) {
        std::remove(temp_.c_str());
    }
    cleanup_.reset();
}

bool StagedFile::commit(bool overwrite) {
    if (temp_.empty()) {
        return false;
    }
    if (file_ != nullptr) {
        // On the disk before the move: a crash after it must not leave an empty or partial
        // file in place of the one it replaced.
        const bool flushed = std::fflush(file_) == 0 && !std::ferror(file_) && SyncFile(file_);
        const int flushErrno = errno;
        const bool kept = !overwrite || !flushed || KeepPermissions(file_, target_);
        const int keepErrno = errno;
        const bool closed = std::fclose(file_) == 0;
        const int closeErrno = errno;
        file_ = nullptr;
        if (!flushed || !kept || !closed) {
            error_ = std::strerror(!flushed ? flushErrno : !kept ? keepErrno : closeErrno);
            return false;
        }
    }
    if (overwrite) {
        // Checked again just before the move: the target may have changed while we wrote.
        if (CheckTarget(target_, true) == TargetStatus::NotRegular) {
            targetNotRegular_ = true;
            error_ = "not a regular file";
            return false;
        }
        std::error_code ec;
        std::filesystem::rename(temp_, target_, ec);
        if (ec) {
            error_ = ec.message();
            return false;
        }
    } else {
        // The operating system's move refuses an existing target in the same step, even one
        // created while we were writing.
        using namespace vintrace::platform; // the error codes are macros on Windows
        Win32Api& api = Api();
        if (!api.MoveFileA(temp_.c_str(), target_.c_str())) {
            const auto code = api.GetLastError();
            targetExisted_ = code == ERROR_ALREADY_EXISTS || code == 80; // or ERROR_FILE_EXISTS
            error_ = targetExisted_
                         ? std::strerror(EEXIST)
                         : "cannot move into place (system error " + std::to_string(code) + ")";
            return false;
        }
    }
    committed_ = true;
    cleanup_.reset();
    return true;
}

std::optional<std::string> ReplaceFileWith(const std::string& target, std::string_view bytes) {
    if (StagedFile::CheckTarget(target, true) == StagedFile::TargetStatus::NotRegular) {
        return "not a regular file";
    }
    StagedFile staged(target);
    errno = 0;
    if (staged.file() == nullptr ||
        std::fwrite(bytes.data(), 1, bytes.size(), staged.file()) != bytes.size()) {
        const int written = errno;
        return staged.error().empty() ? std::string(std::strerror(written)) : staged.error();
    }
    if (!staged.commit(/*overwrite=*/true)) {
        return staged.error();
    }
    return std::nullopt;
}

} // namespace vintrace::capture
