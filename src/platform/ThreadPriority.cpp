#include "platform/ThreadPriority.h"

#if defined(_WIN32)
#include "platform/Win32.h"
#elif defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace vintrace::platform {

namespace {
/// Ten steps of nice: the window's thread weighs about ten times a background thread, so it
/// runs as soon as it wakes, while background threads still share what it leaves.
constexpr int kBehind = 10;
} // namespace

void RunBehindTheWindow() {
#if defined(_WIN32)
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
#elif defined(__linux__)
    // Linux keeps a nice value per thread: the thread's own id sets this thread's alone.
    const auto self = static_cast<id_t>(::syscall(SYS_gettid));
    const int now = ::getpriority(PRIO_PROCESS, self);
    if (now < kBehind) {
        ::setpriority(PRIO_PROCESS, self, kBehind);
    }
#endif
}

} // namespace vintrace::platform
