#pragma once

#include "session/CaptureSession.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vintrace::test {

/// Listens to a session for as long as it lives and keeps what it was told, one line each:
/// "store", "cursor 5 list|search|transfers|devices", "started FILE", "progress",
/// "finished loaded|failed|cancelled". Progress lines repeat, so they are counted apart.
class SessionEvents : public session::SessionListener {
public:
    explicit SessionEvents(session::CaptureSession& session) : session_(session) {
        session_.addListener(*this);
    }
    ~SessionEvents() override { session_.removeListener(*this); }
    SessionEvents(const SessionEvents&) = delete;
    SessionEvents& operator=(const SessionEvents&) = delete;

    /// Everything but progress, oldest first; emptied by take().
    std::vector<std::string> take() { return std::exchange(lines_, {}); }
    std::size_t progressCount() const { return progress_; }

    void storeChanged() override { lines_.push_back("store"); }
    void cursorMoved(std::size_t record, session::CursorFrom from) override {
        static const char* const names[] = {"list", "search", "transfers", "devices", "problems"};
        lines_.push_back("cursor " + std::to_string(record) + " " + names[static_cast<int>(from)]);
    }
    void loadStarted(const std::string& file) override { lines_.push_back("started " + file); }
    void loadProgress(std::uint64_t, std::uint64_t) override { ++progress_; }
    void loadFinished(const capture::LoadResult& result) override {
        lines_.push_back(std::string("finished ") +
                         (result.ok()                                       ? "loaded"
                          : result.status == capture::LoadStatus::Cancelled ? "cancelled"
                                                                            : "failed"));
    }

private:
    session::CaptureSession& session_;
    std::vector<std::string> lines_;
    std::size_t progress_ = 0;
};

} // namespace vintrace::test
