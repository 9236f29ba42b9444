#pragma once

#include "platform/HeapPolicy.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace vintrace::protocol {

/// The most values of `T` a large page holds, as a power of two: full chunks then fill whole
/// large pages where the size of `T` is a power of two.
template <typename T> constexpr unsigned LargePageShift() {
    unsigned shift = 0;
    while ((std::size_t{2} << shift) * sizeof(T) <= platform::kLargePage) {
        ++shift;
    }
    return shift;
}

/// An append-only array of trivially copyable values in fixed-size chunks: growing it never
/// copies what it holds (the first chunk grows by doubling until it reaches full size, so a
/// small index stays small), and the memory it holds is close to its size at every moment.
template <typename T, unsigned Shift = LargePageShift<T>()> class ChunkedVector {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    static constexpr std::size_t kChunkSize = std::size_t{1} << Shift;

    ChunkedVector() = default;
    ChunkedVector(ChunkedVector&& other) noexcept { *this = std::move(other); }
    ChunkedVector& operator=(ChunkedVector&& other) noexcept {
        chunks_ = std::move(other.chunks_);
        size_ = std::exchange(other.size_, 0);
        firstCapacity_ = std::exchange(other.firstCapacity_, 0);
        released_ = std::exchange(other.released_, 0);
        spare_ = std::move(other.spare_);
        other.chunks_.clear();
        return *this;
    }
    ChunkedVector(const ChunkedVector&) = delete;
    ChunkedVector& operator=(const ChunkedVector&) = delete;

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    const T& operator[](std::size_t i) const { return chunks_[i >> Shift][i & (kChunkSize - 1)]; }
    T& operator[](std::size_t i) { return chunks_[i >> Shift][i & (kChunkSize - 1)]; }
    const T& back() const { return (*this)[size_ - 1]; }

    void push_back(const T& value) {
        if (size_ < kChunkSize) {
            if (size_ == firstCapacity_) {
                growFirst();
            }
        } else if ((size_ & (kChunkSize - 1)) == 0) {
            chunks_.push_back(spare_ ? std::move(spare_) : platform::NewBackedBlock<T>(kChunkSize));
        }
        (*this)[size_++] = value;
    }

    /// Copies every value of `other` to the end of this one; `other` keeps them.
    void append(const ChunkedVector& other) {
        for (std::size_t c = 0; c < other.chunks_.size(); ++c) {
            const std::size_t begin = c << Shift;
            const std::size_t end = std::min(other.size_, begin + kChunkSize);
            appendRun(other.chunks_[c].get(), end - std::min(begin, end));
        }
    }

    /// Moves every value of `other` to the end of this one, releasing its chunks as they are
    /// copied (the parallel passes join their parts without holding two copies). A full chunk
    /// once copied becomes the next one this array takes: its pages are already touched, so
    /// the join costs a copy but no fresh page faults.
    void append(ChunkedVector&& other) {
        const bool hadSpare = spare_ != nullptr;
        for (std::size_t c = 0; c < other.chunks_.size(); ++c) {
            const std::size_t begin = c << Shift;
            const std::size_t end = std::min(other.size_, begin + kChunkSize);
            appendRun(other.chunks_[c].get(), end - std::min(begin, end));
            keepAsSpare(std::move(other.chunks_[c]), c != 0 || other.firstCapacity_ == kChunkSize);
        }
        if (!hadSpare) {
            spare_.reset(); // the last one copied: this array holds no more than before
        }
        other.chunks_.clear();
        other.spare_.reset();
        other.size_ = 0;
        other.firstCapacity_ = 0;
        other.released_ = 0;
    }

    /// Empties the array but keeps its first chunk, so refilling it to the same size neither
    /// allocates nor copies (a pass that groups one window after another into it).
    void clear() {
        if (released_ != 0) {
            chunks_.clear();
            firstCapacity_ = 0;
        } else if (chunks_.size() > 1) {
            chunks_.resize(1);
        }
        spare_.reset();
        size_ = 0;
        released_ = 0;
    }

    /// Frees the chunks that hold only values before index `i`; those may no longer be read.
    /// (A pass that needs only a window of the array keeps its memory small.)
    void releaseBefore(std::size_t i) {
        const std::size_t chunks = std::min(i >> Shift, chunks_.size());
        for (; released_ < chunks; ++released_) {
            // A window sliding along a long pass then reuses memory it has touched instead of
            // fresh pages.
            keepAsSpare(std::move(chunks_[released_]),
                        released_ != 0 || firstCapacity_ == kChunkSize);
        }
    }

    /// Bytes of memory held.
    std::size_t memoryUsed() const {
        const std::size_t full = chunks_.empty() ? 0 : chunks_.size() - 1;
        const std::size_t freed =
            released_ == 0 ? 0 : firstCapacity_ + (released_ - 1) * kChunkSize;
        return (firstCapacity_ + full * kChunkSize - freed + (spare_ ? kChunkSize : 0)) *
                   sizeof(T) +
               chunks_.capacity() * sizeof(void*);
    }

    /// The first index in [0, size()) whose value `before(value)` is false for, where `before`
    /// holds for a prefix of the array (as std::partition_point).
    template <typename Pred> std::size_t partitionPoint(Pred before) const {
        std::size_t lo = 0;
        std::size_t hi = size_;
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (before((*this)[mid])) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        return lo;
    }

private:
    /// Appends `count` values from `from`, up to the end of this array's chunk at a time.
    void appendRun(const T* from, std::size_t count) {
        for (std::size_t i = 0; i < count;) {
            push_back(from[i]);
            ++i;
            const std::size_t room = std::min(count - i, capacity() - size_);
            std::memcpy(&(*this)[size_ - 1] + 1, from + i, room * sizeof(T));
            size_ += room;
            i += room;
        }
    }

    /// Keeps a chunk no longer needed as the next one the array takes, if it is full-sized and
    /// no other is kept; frees it otherwise.
    void keepAsSpare(platform::Block<T> chunk, bool fullSized) {
        if (fullSized && !spare_) {
            spare_ = std::move(chunk);
        }
    }

    /// Values the chunks allocated so far can hold.
    std::size_t capacity() const {
        return chunks_.size() <= 1 ? firstCapacity_ : chunks_.size() << Shift;
    }

    void growFirst() {
        const std::size_t capacity = std::min(kChunkSize, std::max<std::size_t>(64, size_ * 2));
        auto grown = platform::NewBackedBlock<T>(capacity);
        if (size_ != 0) {
            std::memcpy(grown.get(), chunks_[0].get(), size_ * sizeof(T));
        }
        if (chunks_.empty()) {
            chunks_.push_back(std::move(grown));
        } else {
            chunks_[0] = std::move(grown);
        }
        firstCapacity_ = capacity;
    }

    std::vector<platform::Block<T>> chunks_;
    std::size_t size_ = 0;
    std::size_t firstCapacity_ = 0;
    std::size_t released_ = 0; // chunks freed by releaseBefore
    platform::Block<T> spare_; // a full chunk releaseBefore kept for reuse
};

} // namespace vintrace::protocol
