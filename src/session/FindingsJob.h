#pragma once

#include "protocol/Diagnostics.h"
#include "session/CaptureSession.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vintrace::session {

/// Where a step to the next or previous finding went.
struct FindingStep {
    /// The finding stepped to, in the order the checker lists them.
    std::size_t index = 0;
    /// The step went past the last finding to the first, or past the first to the last.
    bool wrapped = false;

    friend bool operator==(const FindingStep&, const FindingStep&) = default;
};

/// The finding to visit from `cursor`: forward, the first one that starts after it; backward,
/// the last one that starts before it; past either end the step wraps around. Without a cursor
/// the first (forward) or last finding. Nothing when there are no findings. `findings` are in
/// order of their first record, as the checker gives them.
std::optional<FindingStep> StepFinding(const std::vector<protocol::Finding>& findings,
                                       std::optional<std::size_t> cursor, bool forward);

/// How long the end of a job waits for a check still running. The checker cannot be
/// interrupted; a check that takes longer finishes alone on the copy it owns.
inline constexpr std::chrono::milliseconds kFindingsStopWait{2000};

/// Checks the session's capture on a worker thread, so a window never waits for the checker.
/// The worker first copies the store, then checks the copy; a change of the store during the
/// copy gives it up (waiting only for the block being copied). Once asked for findings, the
/// job checks the store again after every change of it, keeps the last result until the new
/// one is ready, and drops results of a store that has changed since.
/// All functions but the finished callback belong to the session's thread.
class FindingsJob : private SessionListener {
public:
    /// Listens to `session`, which must outlive the job.
    explicit FindingsJob(CaptureSession& session);
    /// Stops listening and waits for a running check, at most kFindingsStopWait.
    ~FindingsJob() override;
    FindingsJob(const FindingsJob&) = delete;
    FindingsJob& operator=(const FindingsJob&) = delete;

    /// Called on the worker's thread when a check ends: it may only hand collect() over to
    /// the session's thread. Set before the first check.
    void setFinishedCallback(std::function<void()> finished);

    /// Checks the store as it is now unless that is done or under way, and from now on checks
    /// every store the session gets.
    void watch();
    bool watching() const { return watching_; }

    /// True while the store as it is now is being checked, or waits to be.
    bool checking() const;
    /// True when findings() (or error()) describe the store as it is now.
    bool current() const { return result_ && resultGeneration_ == generation_; }
    /// The last result: of an earlier store while checking(); nothing before the first result
    /// and when the last check failed.
    const std::vector<protocol::Finding>* findings() const;
    /// Why the last check failed; nothing when it did not.
    const std::string* error() const;

    /// Takes a finished check's result if it is of the store as it is now, dropping it
    /// otherwise, and starts the check that is due. True when findings() or error() changed.
    bool collect();
    /// Waits at most `timeout` for the running check to end; true when none runs any more
    /// (then collect() takes its result).
    bool wait(std::chrono::milliseconds timeout);

    /// Moves the session's cursor to the first record of the next (or previous) finding, as
    /// StepFinding chooses it; nothing unless current() and a finding exists.
    std::optional<FindingStep> step(bool forward, CursorFrom from);

private:
    struct Worker;
    void storeChanging() override;
    void storeChanged() override;
    /// Waits until the worker no longer reads the session's store (it copies it first).
    void letGoOfStore();
    /// Starts checking a copy of the store as it is now.
    void launch();
    /// Waits for the worker at most `timeout` and joins it; false when it is still running.
    bool reap(std::chrono::milliseconds timeout);

    CaptureSession& session_;
    std::function<void()> finished_;
    bool watching_ = false;
    /// Counts the stores the session has had; a result carries the count of the one it checked.
    std::uint64_t generation_ = 0;
    std::shared_ptr<Worker> worker_;
    std::thread thread_;
    struct Result {
        std::vector<protocol::Finding> findings;
        std::optional<std::string> error;
    };
    std::optional<Result> result_;
    std::uint64_t resultGeneration_ = 0;
};

} // namespace vintrace::session
