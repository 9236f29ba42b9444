#include "platform/OutputPipe.h"

#if defined(__linux__)
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#endif

namespace vintrace::platform {

#if defined(__linux__)
std::size_t WidePipeSize() {
    // What /proc/sys/fs/pipe-max-size allows an unprivileged process.
    std::size_t limit = kWidePipe;
    if (std::FILE* f = std::fopen("/proc/sys/fs/pipe-max-size", "re")) {
        unsigned long value = 0;
        if (std::fscanf(f, "%lu", &value) == 1 && value > 0) {
            limit = value;
        }
        std::fclose(f);
    }
    return std::min(limit, kWidePipe);
}

std::size_t WidenOutputPipe(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        return 0;
    }
    const int now = ::fcntl(fd, F_GETPIPE_SZ);
    if (now < 0) {
        return 0;
    }
    const std::size_t wanted = WidePipeSize();
    if (static_cast<std::size_t>(now) >= wanted) {
        return static_cast<std::size_t>(now); // never shrink what the reader's side set up
    }
    // Refused (the user's pipe memory is spent): the pipe keeps its buffer and still works.
    const int widened = ::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(wanted));
    return static_cast<std::size_t>(widened > 0 ? widened : now);
}
#else
std::size_t WidePipeSize() {
    return 0;
}

std::size_t WidenOutputPipe(int) {
    return 0;
}
#endif

} // namespace vintrace::platform
