#pragma once

#include <cstddef>
#include <memory>

namespace vintrace::platform {

/// Has every large block (a chunk of records or of an index) come from the system on its own
/// and go back to it when freed. glibc's allocator otherwise raises its mapping threshold after
/// the first such block is freed and serves the rest from its heaps, which keep freed memory:
/// after a reload or hide a process of 100 M records held gigabytes of freed indexes beside
/// the new ones. Safe to call more than once; does nothing where the allocator already returns
/// large blocks (Windows).
void ReturnLargeBlocksToSystem();

/// Has the system back the pages of a block just allocated in one request, instead of one
/// page fault at a time as the block is first written. A capture of 100 M records fills
/// gigabytes of fresh chunks, and under virtualisation each fault costs several microseconds:
/// asked for at once the pages cost about half. Only for blocks that will be filled; does
/// nothing for small blocks, or where the system cannot do it.
void BackPages(void* block, std::size_t bytes);

/// A block of `count` uninitialised values whose pages are backed (BackPages).
template <typename T> std::unique_ptr<T[]> NewBackedBlock(std::size_t count) {
    auto block = std::make_unique_for_overwrite<T[]>(count);
    BackPages(block.get(), count * sizeof(T));
    return block;
}

} // namespace vintrace::platform
