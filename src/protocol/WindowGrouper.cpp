#include "protocol/WindowGrouper.h"

#include "capture/PacketClass.h"

#include <algorithm>

namespace vintrace::protocol {

WindowGrouper::WindowGrouper(const capture::PacketList& packets, unsigned threads,
                             std::size_t windowRecords, DataCheck check)
    : packets_(packets), window_(std::max<std::size_t>(1, windowRecords)),
      windows_((packets.size() + window_ - 1) / window_), check_(check) {
    if (threads == 0) {
        threads = std::max(1u, std::thread::hardware_concurrency());
    }
    const std::size_t helpers = std::min<std::size_t>(threads - 1, windows_ > 1 ? kAhead : 0);
    for (std::size_t h = 0; h < helpers; ++h) {
        helpers_.emplace_back([this] { help(); });
    }
}

WindowGrouper::~WindowGrouper() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& h : helpers_) {
        h.join();
    }
}

std::size_t WindowGrouper::startOf(std::size_t w) const {
    if (w == 0) {
        return 0;
    }
    const std::size_t from = w * window_;
    const std::size_t to = std::min(packets_.size(), from + window_);
    for (std::size_t i = from; i < to; ++i) {
        if (capture::IsSof(packets_.kind(i))) {
            return i;
        }
    }
    return from;
}

bool WindowGrouper::canClaim() const {
    // A slot is free again once the caller read the window kAhead before.
    return claimed_ < windows_ && claimed_ < read_ + kAhead;
}

void WindowGrouper::groupAhead(std::unique_lock<std::mutex>& lock) {
    const std::size_t w = claimed_++;
    Slot& slot = slots_[w % kAhead];
    lock.unlock();
    slot.block.clear();
    slot.begin = startOf(w);
    const std::size_t end = w + 1 < windows_ ? startOf(w + 1) : packets_.size();
    slot.end = GroupInto(packets_, slot.begin, end, slot.block, check_);
    lock.lock();
    slot.done = true;
    changed_.notify_all();
}

void WindowGrouper::help() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || claimed_ >= windows_ || canClaim(); });
        if (stopping_ || claimed_ >= windows_) {
            return;
        }
        groupAhead(lock);
    }
}

bool WindowGrouper::next(Transactions& out) {
    std::unique_lock lock(mutex_);
    if (read_ >= windows_) {
        return false;
    }
    const std::size_t w = read_;
    const std::size_t end = w + 1 < windows_ ? startOf(w + 1) : packets_.size();
    Slot& slot = slots_[w % kAhead];
    for (;;) {
        if (claimed_ == w) {
            // No thread has it: group it here, straight into the caller's index.
            ++claimed_;
            lock.unlock();
            resume_ = GroupInto(packets_, resume_, end, out, check_);
            lock.lock();
            break;
        }
        if (slot.done) {
            lock.unlock();
            if (slot.begin == resume_) {
                out.append(slot.block);
                resume_ = slot.end;
            } else {
                // The window had no SOF and the last transaction before it ran into its
                // records: group it again from where that transaction ended.
                resume_ = GroupInto(packets_, resume_, end, out, check_);
            }
            lock.lock();
            slot.done = false;
            break;
        }
        if (canClaim()) {
            // Rather than wait for a helper, group a window further on.
            groupAhead(lock);
            continue;
        }
        changed_.wait(lock, [this, &slot] { return slot.done || canClaim(); });
    }
    ++read_;
    changed_.notify_all();
    return true;
}

} // namespace vintrace::protocol
