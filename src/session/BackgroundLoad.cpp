#include "session/BackgroundLoad.h"

#include "platform/ThreadPriority.h"
#include "session/CaptureSession.h"

#include <condition_variable>
#include <exception>
#include <filesystem>
#include <mutex>
#include <new>
#include <utility>

namespace vintrace::session {

bool LoadsInBackground(const std::string& path, std::uint64_t threshold) {
    std::error_code error;
    const std::filesystem::path file(path);
    if (!std::filesystem::is_regular_file(file, error) || error) {
        return false;
    }
    const std::uintmax_t size = std::filesystem::file_size(file, error);
    return !error && size >= threshold;
}

// Shared by the worker and the owner: whichever lets go last frees it, so a worker left to
// finish alone never writes into freed memory.
struct BackgroundLoad::State {
    std::atomic<bool> cancel{false};
    std::atomic<std::uint64_t> done{0};
    std::atomic<std::uint64_t> total{0};

    std::mutex lock;
    std::condition_variable ended;
    bool finished = false; // under `lock`; the fields below are the worker's until it is set
    capture::LoadResult result;
    capture::PacketList packets;
    capture::EndpointTable table;
};

BackgroundLoad::BackgroundLoad(std::string path, unsigned threads)
    : path_(std::move(path)), state_(std::make_shared<State>()) {
    worker_ = std::thread([state = state_, path = path_, threads] {
        platform::RunBehindTheWindow();
        capture::LoadOptions options;
        options.threads = threads;
        options.cancel = &state->cancel;
        options.progress = [&state](std::uint64_t done, std::uint64_t total) {
            state->total.store(total, std::memory_order_relaxed);
            state->done.store(done, std::memory_order_relaxed);
        };
        capture::LoadResult result;
        try {
            result = capture::LoadCaptureFile(path, state->packets, state->table, options);
        } catch (const std::bad_alloc&) {
            // A capture too large for memory must not end the program that shows the last one.
            result = {capture::LoadStatus::ReadError, "not enough memory"};
        } catch (const std::exception& e) {
            result = {capture::LoadStatus::ReadError, e.what()};
        }
        if (!result.ok()) {
            state->packets.clear();
            state->table.clear();
        }
        {
            const std::lock_guard<std::mutex> guard(state->lock);
            state->result = std::move(result);
            state->finished = true;
        }
        state->ended.notify_all();
    });
}

BackgroundLoad::~BackgroundLoad() {
    cancel();
    // A load that ends within the wait has let go of everything but its share of the state;
    // one that does not finishes alone. Either way the thread is left to end by itself, as
    // joining one still winding down would hold up the window.
    (void)wait(kBackgroundStopWait);
    worker_.detach();
}

void BackgroundLoad::cancel() {
    state_->cancel.store(true, std::memory_order_relaxed);
}

bool BackgroundLoad::cancelled() const {
    return state_->cancel.load(std::memory_order_relaxed);
}

bool BackgroundLoad::finished() const {
    const std::lock_guard<std::mutex> guard(state_->lock);
    return state_->finished;
}

bool BackgroundLoad::wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(state_->lock);
    return state_->ended.wait_for(guard, timeout, [this] { return state_->finished; });
}

std::uint64_t BackgroundLoad::bytesDone() const {
    return state_->done.load(std::memory_order_relaxed);
}

std::uint64_t BackgroundLoad::bytesTotal() const {
    return state_->total.load(std::memory_order_relaxed);
}

const capture::LoadResult& BackgroundLoad::result() const {
    const std::lock_guard<std::mutex> guard(state_->lock);
    return state_->result;
}

bool BackgroundLoad::commit(CaptureSession& session) {
    {
        const std::lock_guard<std::mutex> guard(state_->lock);
        if (!state_->finished || !state_->result.ok() || cancelled()) {
            return false; // a load cancelled after its last stretch is dropped all the same
        }
    }
    // The worker has let go of the store: it set `finished` last, under the lock.
    session.replaceStore(std::move(state_->packets), std::move(state_->table), path_);
    return true;
}

} // namespace vintrace::session
