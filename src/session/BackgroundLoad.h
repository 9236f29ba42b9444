#pragma once

#include "capture/CaptureLoader.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace vintrace::session {

class CaptureSession;

/// True when `path` names a regular file of at least `threshold` bytes: one to load in the
/// background. Anything else (missing, not a regular file) loads, or fails, at once.
bool LoadsInBackground(const std::string& path, std::uint64_t threshold);

/// Captures at least this large (in bytes) load on a worker while the window stays
/// responsive; smaller ones load at once, as they always have. On two cores a release build
/// puts a capture this size on screen in about 140 ms (vintrace-stall-bench), short enough
/// to pass for instant; at 256 MiB the window would stand still for half a second.
inline constexpr std::uint64_t kBackgroundLoadBytes = std::uint64_t{64} << 20;

/// How long the end of a load waits for its worker once told to stop. The loader looks at
/// the stop request after every stretch of the file, so the worker ends well within this;
/// should it not, it is left to finish alone (it owns everything it touches).
inline constexpr std::chrono::milliseconds kBackgroundStopWait{5000};

/// Loads one capture file on a thread of its own into a store of its own, so the open
/// capture stays in place until the new one is complete. Create, poll finished() from the
/// owning thread, then commit() the result; destroying it before then cancels the load.
class BackgroundLoad {
public:
    /// Starts loading `path` at once. `threads` as in LoadOptions.
    explicit BackgroundLoad(std::string path, unsigned threads = 0);
    /// Cancels a load still running and waits for its worker, at most kBackgroundStopWait.
    ~BackgroundLoad();
    BackgroundLoad(const BackgroundLoad&) = delete;
    BackgroundLoad& operator=(const BackgroundLoad&) = delete;

    const std::string& path() const { return path_; }

    /// Asks the worker to stop at its next stretch; returns at once. A cancelled load ends
    /// with `Cancelled` and an empty store of its own.
    void cancel();
    bool cancelled() const;
    /// True once the worker has returned; result() and commit() are usable from then on.
    bool finished() const;
    /// Waits for the worker at most `timeout`; true when it has finished.
    bool wait(std::chrono::milliseconds timeout);

    /// Bytes decoded so far and the file's size when opened (0 until the first stretch).
    std::uint64_t bytesDone() const;
    std::uint64_t bytesTotal() const;

    /// How the load ended (only once finished()).
    const capture::LoadResult& result() const;
    /// Once finished() with `Loaded`: the loaded store replaces what `session` held, under
    /// this load's file name. False, with the session untouched, for any other outcome or once
    /// cancel() was called.
    bool commit(CaptureSession& session);

private:
    struct State;
    std::string path_;
    std::shared_ptr<State> state_;
    std::thread worker_;
};

} // namespace vintrace::session
