#pragma once

#include "capture/PacketList.h"
#include "protocol/Transactions.h"

#include <array>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace vintrace::protocol {

/// Groups a store into transactions a window of records at a time, in capture order, for a
/// pass that reads the index once and frees it behind itself. With more than one thread,
/// helpers group the windows ahead of the one the caller reads, and the caller groups a window
/// itself when no helper has taken it yet, so every thread groups. The index is the one
/// GroupTransactions gives, whatever the threads and window (with DataCheck::All).
class WindowGrouper {
public:
    static constexpr std::size_t kWindowRecords = std::size_t{1} << 16;

    /// `threads` 0: one per core. The store must not change while the grouper lives.
    WindowGrouper(const capture::PacketList& packets, unsigned threads,
                  std::size_t windowRecords = kWindowRecords, DataCheck check = DataCheck::All);
    /// Stops the helpers, also when the caller did not read to the end.
    ~WindowGrouper();
    WindowGrouper(const WindowGrouper&) = delete;
    WindowGrouper& operator=(const WindowGrouper&) = delete;

    /// Appends the next window's transactions to `out`, which holds every transaction before
    /// them; false once the store is done.
    bool next(Transactions& out);

private:
    /// Windows grouped ahead of the caller at most: bounds the memory of the blocks.
    static constexpr std::size_t kAhead = 4;

    /// A window grouped by a helper, kept for reuse by the window kAhead later.
    struct Slot {
        Transactions block;
        std::size_t begin = 0; // where its grouping started
        std::size_t end = 0;   // where the next transaction starts
        bool done = false;
    };

    /// Where window `w` starts grouping: at the first SOF of its records (an SOF always begins
    /// a transaction), else at its first record, which the caller checks.
    std::size_t startOf(std::size_t w) const;
    /// True when a thread may take the next window to group ahead (under the mutex).
    bool canClaim() const;
    /// Takes the next window and groups it into its slot; `lock` holds the mutex on entry and
    /// on return, not while grouping.
    void groupAhead(std::unique_lock<std::mutex>& lock);
    void help();

    const capture::PacketList& packets_;
    const std::size_t window_;
    const std::size_t windows_;
    const DataCheck check_;
    /// The record the next window's first transaction starts at.
    std::size_t resume_ = 0;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t claimed_ = 0; // windows taken by a thread to group
    std::size_t read_ = 0;    // windows handed to the caller
    bool stopping_ = false;
    std::array<Slot, kAhead> slots_;
    std::vector<std::thread> helpers_;
};

} // namespace vintrace::protocol
