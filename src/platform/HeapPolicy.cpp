#include "platform/HeapPolicy.h"

#include <cstdlib> // defines __GLIBC__ where it is the C library

#if defined(__GLIBC__)
#include <malloc.h>
#include <mutex>
#endif

namespace vintrace::platform {

void ReturnLargeBlocksToSystem() {
#if defined(__GLIBC__)
    static std::once_flag once;
    std::call_once(once, [] {
        // Setting the threshold fixes it: glibc's default is this size, but it moves the
        // threshold up to any block freed, up to 32 MiB, and with it goes the trim threshold.
        // Chunks are 256 KiB to 1 MiB, so they would all stay in the heap after the first free.
        mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    });
#endif
}

} // namespace vintrace::platform
