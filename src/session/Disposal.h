#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace vintrace::session {

/// Frees what a session lets go of on a thread of its own: giving gigabytes of records and
/// indexes back to the system takes long enough to freeze the window that dropped them.
class Disposal {
public:
    Disposal() = default;
    /// Frees what is still handed over, then ends the thread.
    ~Disposal();
    Disposal(const Disposal&) = delete;
    Disposal& operator=(const Disposal&) = delete;

    /// Takes `garbage` over (nothing else may hold it) and frees it on the thread.
    template <typename T> void free(T&& garbage) {
        hand(std::make_shared<std::decay_t<T>>(std::forward<T>(garbage)));
    }
    /// Waits until everything handed over so far is freed.
    void wait();
    /// The same, but gives up soon after `stop` is set.
    void wait(const std::atomic<bool>& stop);

private:
    void hand(std::shared_ptr<void> garbage);
    void run();

    std::mutex mutex_;
    std::condition_variable changed_;
    /// Under mutex_: what waits to be freed, whether the thread frees something now, and
    /// whether it should end once the queue is empty.
    std::vector<std::shared_ptr<void>> queue_;
    bool busy_ = false;
    bool quit_ = false;
    /// Started with the first hand-over: most sessions never drop anything large.
    std::thread worker_;
};

} // namespace vintrace::session
