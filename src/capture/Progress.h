#pragma once

#include <cstddef>

namespace vintrace::capture {

/// Receives the progress of a pass over the whole capture (the window's progress bar).
class Progress {
public:
    virtual ~Progress() = default;
    /// Starts a range 0..max at position 0.
    virtual void setRange(std::size_t max) = 0;
    virtual void setPosition(std::size_t position) = 0;
};

/// Counts the steps of a pass and passes them on coarsely: a pass over millions of records
/// must not spend its time redrawing a progress bar. The positions reported at the ends of
/// phases are exact.
class ProgressSteps {
public:
    explicit ProgressSteps(Progress* sink, std::size_t start = 0)
        : sink_(sink), position_(start), reported_(start) {}

    void advance(std::size_t steps = 1) {
        position_ += steps;
        if (sink_ != nullptr && position_ - reported_ >= kReportEvery) {
            report();
        }
    }
    void reset() {
        position_ = 0;
        report();
    }
    void report() {
        reported_ = position_;
        if (sink_ != nullptr) {
            sink_->setPosition(position_);
        }
    }
    std::size_t position() const { return position_; }

private:
    static constexpr std::size_t kReportEvery = 1 << 16;
    Progress* sink_;
    std::size_t position_ = 0;
    std::size_t reported_ = 0;
};

} // namespace vintrace::capture
