#pragma once

#include "capture/HidePasses.h"
#include "capture/PacketList.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <thread>

namespace vintrace::session {

/// Captures of at least this many records hide on a worker: in place, a hide walks every
/// header on the window's thread, ≈ 1.5 ns a record on two cores (vintrace-stall-bench), so
/// 100 M records stood still for 150 ms and more. Below it a hide takes a few milliseconds.
inline constexpr std::size_t kBackgroundHideRecords = std::size_t{8} << 20;

/// Runs a hide pass on a thread of its own over a store that nobody changes meanwhile (the
/// session sees to that), building the remaining records' headers beside it; the store and
/// everything derived from it stay on screen until the session swaps them in. Destroying it
/// stops the worker within a chunk of records and waits for it.
class BackgroundHide {
public:
    BackgroundHide(const capture::PacketList& packets, capture::HidePass pass);
    ~BackgroundHide();
    BackgroundHide(const BackgroundHide&) = delete;
    BackgroundHide& operator=(const BackgroundHide&) = delete;

    const capture::HidePass& pass() const { return pass_; }
    /// Asks the worker to stop; it ends with nothing to swap in.
    void cancel() { stop_.store(true); }
    /// Cancels and waits for the worker, which no longer reads the list then. What it built
    /// stays in the job until the job is destroyed.
    void stop();
    bool cancelled() const { return stop_.load(); }
    /// True once the worker has returned; take() is usable from then on.
    bool finished() const { return finished_.load(std::memory_order_acquire); }
    /// Steps done so far, of total() (a record visited or marked, as the pass in place counts).
    std::size_t done() const { return done_.load(std::memory_order_relaxed); }
    std::size_t total() const { return total_; }
    /// The remaining records' headers once finished(), unless cancelled.
    std::optional<capture::PacketList::Headers> take();

private:
    /// Passes the pass's steps on to done_.
    class Steps : public capture::Progress {
    public:
        explicit Steps(std::atomic<std::size_t>& done) : done_(done) {}
        void setRange(std::size_t) override {}
        // Only forward: a pass that marks first restarts its count for the removal.
        void setPosition(std::size_t position) override {
            if (position > done_.load(std::memory_order_relaxed)) {
                done_.store(position, std::memory_order_relaxed);
            }
        }

    private:
        std::atomic<std::size_t>& done_;
    };

    capture::HidePass pass_;
    std::size_t total_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::atomic<std::size_t> done_{0};
    std::optional<capture::PacketList::Headers> result_;
    /// What a stopped worker had built.
    capture::PacketList::Headers discarded_;
    std::thread worker_;
};

} // namespace vintrace::session
