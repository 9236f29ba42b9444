#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>

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
/// asked for at once the pages cost about half. A block that starts on a large-page boundary
/// is backed by large pages where the system has them. Only for blocks that will be filled;
/// does nothing for small blocks, or where the system cannot do it.
void BackPages(void* block, std::size_t bytes);

/// The size of a large page (2 MiB on x86-64 and most ARM systems). A block of at least this
/// size starts on such a boundary: one page then maps what 512 small pages would, one fault
/// instead of 512 when the block is backed and one unmapping when it is freed. A process that
/// fills a store again (a reload) filled it in half the time. A fresh process on a virtual
/// machine whose host reclaims the guest's free large pages gains less: the host backs each
/// such page on its first write, and a store's first fill took about as long as on small pages,
/// with less of the guest's CPU.
inline constexpr std::size_t kLargePage = std::size_t{2} << 20;

/// Frees a block from NewBackedBlock with the alignment it was allocated with.
class BlockDelete {
public:
    BlockDelete() = default;
    explicit BlockDelete(std::size_t alignment) : alignment_(alignment) {}
    template <typename T> void operator()(T* block) const {
        ::operator delete[](static_cast<void*>(block), std::align_val_t{alignment_});
    }

private:
    std::size_t alignment_ = alignof(std::max_align_t);
};

/// A block of values from NewBackedBlock.
template <typename T> using Block = std::unique_ptr<T[], BlockDelete>;

/// A block of `count` uninitialised values whose pages are backed (BackPages); a block of a
/// large page or more starts on a large-page boundary.
template <typename T> Block<T> NewBackedBlock(std::size_t count) {
    static_assert(std::is_trivially_default_constructible_v<T> &&
                  std::is_trivially_destructible_v<T>);
    const std::size_t bytes = count * sizeof(T);
    const std::size_t alignment =
        bytes >= kLargePage ? kLargePage : std::max(alignof(T), alignof(std::max_align_t));
    void* raw = ::operator new[](bytes, std::align_val_t{alignment});
    // Trivial values: this starts their lifetime and writes nothing.
    T* block = std::uninitialized_default_construct_n(static_cast<T*>(raw), count) - count;
    BackPages(block, bytes);
    return Block<T>(block, BlockDelete(alignment));
}

} // namespace vintrace::platform
