#ifndef _WIN32

#include "platform/DirectoryTrust.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace vintrace::platform {

std::optional<std::string> PrivateDirectoryProblem(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return std::string(std::strerror(errno));
    }
    if (S_ISLNK(st.st_mode)) {
        return std::string("a symbolic link, not a directory");
    }
    if (!S_ISDIR(st.st_mode)) {
        return std::string("not a directory");
    }
    if (st.st_uid != ::geteuid()) {
        return "owned by uid " + std::to_string(static_cast<unsigned long>(st.st_uid)) +
               ", not you";
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return std::string("mode ") + mode + ", must be private";
    }
    return std::nullopt;
}

} // namespace vintrace::platform

#endif
