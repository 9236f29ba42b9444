#pragma once

#include "protocol/ChunkedVector.h"
#include "protocol/TransferItem.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

namespace vintrace::protocol {

/// The transfer list of a capture, sixteen bytes an item in chunks: appending never copies
/// the list, and an item whose counts outgrow the packed form (a transfer of a megabyte, a
/// control transfer with NAKs or bytes past wLength) keeps them in a side table.
class TransferList {
public:
    /// Number of items.
    std::size_t size() const { return packed_.size(); }
    bool empty() const { return packed_.empty(); }
    /// Item i (i < size()), as a value.
    TransferItem operator[](std::size_t i) const;
    /// Adds an item at the end.
    void push_back(const TransferItem& item);
    /// Replaces item i (i < size()).
    void set(std::size_t i, const TransferItem& item);
    /// Bytes of memory the list holds.
    std::size_t memoryUsed() const { return packed_.memoryUsed() + wide_.memoryUsed(); }

    /// The items as a plain vector, the list emptied as they are copied.
    std::vector<TransferItem> release();

    class const_iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = TransferItem;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = TransferItem;

        const_iterator(const TransferList* list, std::size_t i) : list_(list), i_(i) {}
        TransferItem operator*() const { return (*list_)[i_]; }
        const_iterator& operator++() {
            ++i_;
            return *this;
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) {
            return a.i_ == b.i_;
        }

    private:
        const TransferList* list_;
        std::size_t i_;
    };
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }

private:
    struct Packed {
        // first transaction 40 | type 3 | status 2 | direction 1 | address 7 | endpoint 4 |
        // wide 1 | narrow: one NAK 1 (high to low)
        std::uint64_t head;
        // narrow: span (last - first) 24 | count 20 | bytes 20; wide: index into wide_
        std::uint64_t tail;
    };
    struct Wide {
        std::uint64_t lastTransaction;
        std::uint32_t count;
        std::uint32_t naks;
        std::uint32_t bytes;
        std::uint32_t excess;
    };

    Packed pack(const TransferItem& item, std::uint64_t wideIndex) const;

    ChunkedVector<Packed> packed_;
    ChunkedVector<Wide, 12> wide_;
};

} // namespace vintrace::protocol
