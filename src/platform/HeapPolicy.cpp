#include "platform/HeapPolicy.h"

#include <cstdint>
#include <cstdlib> // defines __GLIBC__ where it is the C library

#if defined(__GLIBC__)
#include <malloc.h>
#include <mutex>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace vintrace::platform {

void ReturnLargeBlocksToSystem() {
#if defined(__GLIBC__)
    static std::once_flag once;
    std::call_once(once, [] {
        // Setting the threshold fixes it: glibc's default is this size, but it moves the
        // threshold up to any block freed, up to 32 MiB, and with it goes the trim threshold.
        // Chunks are 256 KiB to 2.5 MiB, so they would all stay in the heap after the first free.
        mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    });
#endif
}

void BackPages(void* block, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    // Below this a block is likely to sit in pages the heap has touched already.
    constexpr std::size_t kLeast = 64 * 1024;
    if (block == nullptr || bytes < kLeast) {
        return;
    }
    static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    // Whole pages inside the block: a page it shares with a neighbour is touched already.
    const auto at = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (at + page - 1) & ~(page - 1);
    const std::uintptr_t end = (at + bytes) & ~(page - 1);
    if (first < end) {
#if defined(MADV_HUGEPAGE)
        // The whole large pages inside the block, which a block of one or more starts on.
        const std::uintptr_t largeFirst = (at + kLargePage - 1) & ~(kLargePage - 1);
        const std::uintptr_t largeEnd = (at + bytes) & ~(kLargePage - 1);
        if (largeFirst < largeEnd) {
            // Refused (large pages off, or a system without them) leaves small pages.
            (void)madvise(reinterpret_cast<void*>(largeFirst), largeEnd - largeFirst,
                          MADV_HUGEPAGE);
        }
#endif
        // Failing (a kernel before 5.14, memory short) leaves the faults to come as before.
        (void)madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
    }
#else
    (void)block;
    (void)bytes;
#endif
}

} // namespace vintrace::platform
