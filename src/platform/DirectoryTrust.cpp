#ifndef _WIN32

#include "platform/DirectoryTrust.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace vintrace::platform {

namespace {

/// `path` without trailing "/" and "/." components: "link/." and "link/" name the link's
/// target to the system, so a check of the path as written would follow the link.
std::string WithoutTrailingDots(std::string path) {
    for (;;) {
        if (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        } else if (path.size() > 2 && path.ends_with("/.")) {
            path.resize(path.size() - 2);
        } else {
            return path;
        }
    }
}

bool HasDotDot(const std::string& path) {
    for (std::size_t from = 0; from <= path.size();) {
        const std::size_t slash = std::min(path.find('/', from), path.size());
        if (path.compare(from, slash - from, "..") == 0) {
            return true;
        }
        from = slash + 1;
    }
    return false;
}

} // namespace

std::optional<std::string> PrivateDirectoryProblem(const std::string& given) {
    // ".." goes up from wherever a link leads, so what is checked would not be what is used.
    if (HasDotDot(given)) {
        return std::string("a path through '..', not a plain directory");
    }
    const std::string path = WithoutTrailingDots(given);
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
