#include "capture/StagedFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace vintrace::capture {

StagedFile::StagedFile(std::string target) : target_(std::move(target)) {
    std::string pattern = target_ + ".partial-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        error_ = std::strerror(errno);
        return;
    }
    temp_ = pattern;
    // mkstemp makes the file private; give it the permissions a plain create would.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    file_ = ::fdopen(fd, "wb");
    if (file_ == nullptr) {
        error_ = std::strerror(errno);
        ::close(fd);
        ::unlink(temp_.c_str());
        temp_.clear();
    }
}

StagedFile::~StagedFile() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
    if (!committed_ && !temp_.empty()) {
        ::unlink(temp_.c_str());
    }
}

bool StagedFile::commit(bool overwrite) {
    if (temp_.empty()) {
        return false;
    }
    if (file_ != nullptr) {
        const bool flushed = std::fflush(file_) == 0 && !std::ferror(file_);
        const int flushErrno = errno;
        const bool closed = std::fclose(file_) == 0;
        file_ = nullptr;
        if (!flushed || !closed) {
            error_ = std::strerror(flushed ? errno : flushErrno);
            return false;
        }
    }
    int result = 0;
    if (overwrite) {
        result = std::rename(temp_.c_str(), target_.c_str());
    } else {
        // Atomically refuse an existing target, even one created while we were writing.
        result = ::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE);
        if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without the flag: a hard link fails on an existing name too.
            result = ::link(temp_.c_str(), target_.c_str());
            if (result == 0) {
                ::unlink(temp_.c_str());
            }
        }
    }
    if (result != 0) {
        targetExisted_ = errno == EEXIST;
        error_ = std::strerror(errno);
        return false;
    }
    committed_ = true;
    return true;
}

} // namespace vintrace::capture
