#include "session/Disposal.h"

#include "platform/ThreadPriority.h"

#include <chrono>
#include <utility>

namespace vintrace::session {

Disposal::~Disposal() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
}

void Disposal::hand(std::shared_ptr<void> garbage) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(garbage));
        if (!worker_.joinable()) {
            worker_ = std::thread([this] {
                platform::RunBehindTheWindow();
                run();
            });
        }
    }
    changed_.notify_all();
}

void Disposal::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void Disposal::wait(const std::atomic<bool>& stop) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Polled: the stop flag is set without this mutex, by whoever destroys the waiting build.
    while (!(queue_.empty() && !busy_) && !stop.load(std::memory_order_relaxed)) {
        changed_.wait_for(lock, std::chrono::milliseconds(10));
    }
}

void Disposal::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !queue_.empty() || quit_; });
        if (queue_.empty()) {
            return; // quit_, and nothing left to free
        }
        std::vector<std::shared_ptr<void>> batch;
        batch.swap(queue_);
        busy_ = true;
        lock.unlock();
        batch.clear(); // the frees themselves, outside the lock
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

} // namespace vintrace::session
