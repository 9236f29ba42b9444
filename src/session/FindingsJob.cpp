#include "session/FindingsJob.h"

#include "platform/ThreadPriority.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <utility>

namespace vintrace::session {

std::optional<FindingStep> StepFinding(const std::vector<protocol::Finding>& findings,
                                       std::optional<std::size_t> cursor, bool forward) {
    if (findings.empty()) {
        return std::nullopt;
    }
    const auto byFirst = [](const protocol::Finding& f, std::size_t record) {
        return f.first < record;
    };
    const auto firstOfLastRecord = [&] {
        const auto first =
            std::lower_bound(findings.begin(), findings.end(), findings.back().first, byFirst);
        return static_cast<std::size_t>(first - findings.begin());
    };
    if (!cursor) {
        return FindingStep{forward ? 0 : firstOfLastRecord(), false};
    }
    if (forward) {
        // The first finding that starts past the cursor's record.
        const auto at = std::lower_bound(findings.begin(), findings.end(), *cursor + 1, byFirst);
        if (at == findings.end()) {
            return FindingStep{0, true};
        }
        return FindingStep{static_cast<std::size_t>(at - findings.begin()), false};
    }
    // The first finding of the last record before the cursor's that has any: the list shows
    // the findings of a record from its first, and the next step forward lands there too.
    const auto at = std::lower_bound(findings.begin(), findings.end(), *cursor, byFirst);
    if (at == findings.begin()) {
        return FindingStep{firstOfLastRecord(), true};
    }
    const std::size_t record = std::prev(at)->first;
    const auto first = std::lower_bound(findings.begin(), at, record, byFirst);
    return FindingStep{static_cast<std::size_t>(first - findings.begin()), false};
}

// Shared by the worker and the job: whichever lets go last frees it, so a worker left to
// finish alone never writes into freed memory.
struct FindingsJob::Worker {
    std::mutex lock;
    std::condition_variable ended;
    // Under `lock`. The worker reads the session's store until it has its own copy; the
    // store does not change meanwhile (storeChanging waits). It fills the result before it
    // sets `finished`.
    bool copying = true;
    bool finished = false;
    /// Set when the store is about to change: a copy still under way is given up rather than
    /// waited for, and its check reports nothing.
    std::atomic<bool> abandon{false};
    std::function<void()> finished_callback;
    std::vector<protocol::Finding> findings;
    std::optional<std::string> error;
    std::uint64_t generation = 0;

    /// The worker is done with the session's store.
    void letGo() {
        {
            const std::lock_guard<std::mutex> guard(lock);
            copying = false;
        }
        ended.notify_all();
    }
};

FindingsJob::FindingsJob(CaptureSession& session) : session_(session) {
    session_.addListener(*this);
}

FindingsJob::~FindingsJob() {
    session_.removeListener(*this);
    if (worker_) {
        {
            const std::lock_guard<std::mutex> guard(worker_->lock);
            worker_->finished_callback = nullptr;
        }
        letGoOfStore(); // the session may go right after the job
        if (!reap(kFindingsStopWait)) {
            thread_.detach(); // it owns its copy of the store and its share of the state
        }
    }
}

void FindingsJob::setFinishedCallback(std::function<void()> finished) {
    finished_ = std::move(finished);
}

void FindingsJob::watch() {
    watching_ = true;
    if (!current() && !worker_) {
        launch();
    }
}

bool FindingsJob::checking() const {
    // Also while a check of an earlier store winds down: the next one starts after it.
    return watching_ && !current();
}

const std::vector<protocol::Finding>* FindingsJob::findings() const {
    return result_ && !result_->error ? &result_->findings : nullptr;
}

const std::string* FindingsJob::error() const {
    return result_ && result_->error ? &*result_->error : nullptr;
}

void FindingsJob::storeChanging() {
    letGoOfStore();
}

void FindingsJob::letGoOfStore() {
    if (worker_) {
        worker_->abandon.store(true, std::memory_order_relaxed);
        std::unique_lock<std::mutex> guard(worker_->lock);
        worker_->ended.wait(guard, [this] { return !worker_->copying; });
    }
}

void FindingsJob::storeChanged() {
    ++generation_;
    // A check of the previous store runs on: the next one starts when it ends (collect), so
    // no more than one copy of the store is checked at a time.
    if (watching_ && !worker_) {
        launch();
    }
}

void FindingsJob::launch() {
    auto worker = std::make_shared<Worker>();
    worker->generation = generation_;
    worker->finished_callback = finished_;
    worker_ = worker;
    // Copied on the worker too: a copy of millions of records would hold up the window for
    // a second. The session's thread waits for it only if it changes the store meanwhile.
    thread_ =
        std::thread([worker, store = &session_.packets(), assumptions = session_.assumptions()] {
            platform::RunBehindTheWindow();
            std::vector<protocol::Finding> findings;
            std::optional<std::string> error;
            try {
                capture::PacketList packets;
                // A copy given up is freed after letting go: the window waits for that.
                capture::PacketList givenUp;
                try {
                    packets = store->clone(&worker->abandon, &givenUp);
                } catch (...) {
                    worker->letGo();
                    throw;
                }
                // Read before letting go: once let go, the flag may be set for the next change.
                const bool abandoned = worker->abandon.load(std::memory_order_relaxed);
                worker->letGo();
                if (abandoned) {
                    // The store changed: this result is dropped, and must not read as "no
                    // findings".
                    error = "the capture changed during the check";
                } else {
                    findings = protocol::DiagnoseCapture(packets, &assumptions);
                }
            } catch (const std::bad_alloc&) {
                // A capture too large to check must not end the program that shows it.
                error = "not enough memory";
            } catch (const std::exception& e) {
                error = e.what();
            }
            const std::lock_guard<std::mutex> guard(worker->lock);
            worker->findings = std::move(findings);
            worker->error = std::move(error);
            worker->finished = true;
            worker->ended.notify_all();
            if (worker->finished_callback) {
                worker->finished_callback();
            }
        });
}

bool FindingsJob::reap(std::chrono::milliseconds timeout) {
    {
        std::unique_lock<std::mutex> guard(worker_->lock);
        if (!worker_->ended.wait_for(guard, timeout, [this] { return worker_->finished; })) {
            return false;
        }
    }
    thread_.join();
    return true;
}

bool FindingsJob::collect() {
    if (!worker_ || !wait(std::chrono::milliseconds(0))) {
        return false;
    }
    // Finished, it touches nothing of the job's any more, and its state is shared: left to
    // end alone, as joining a thread that is still winding down would hold up the window.
    thread_.detach();
    const std::shared_ptr<Worker> done = std::exchange(worker_, nullptr);
    bool changed = false;
    if (done->generation == generation_) {
        // The last result may list millions of findings: freed aside.
        if (result_) {
            session_.dispose(std::move(*result_));
        }
        result_ = Result{std::move(done->findings), std::move(done->error)};
        resultGeneration_ = done->generation;
        changed = true;
    } else {
        // Dropped, as the store changed meanwhile: freed aside too.
        session_.dispose(std::move(done->findings));
    }
    if (watching_ && !current()) {
        launch();
    }
    return changed;
}

bool FindingsJob::wait(std::chrono::milliseconds timeout) {
    if (!worker_) {
        return true;
    }
    std::unique_lock<std::mutex> guard(worker_->lock);
    return worker_->ended.wait_for(guard, timeout, [this] { return worker_->finished; });
}

std::optional<FindingStep> FindingsJob::step(bool forward, CursorFrom from) {
    const std::vector<protocol::Finding>* all = findings();
    if (!current() || all == nullptr) {
        return std::nullopt;
    }
    const std::optional<FindingStep> next = StepFinding(*all, session_.cursor(), forward);
    if (next) {
        session_.moveCursor((*all)[next->index].first, from);
    }
    return next;
}

} // namespace vintrace::session
