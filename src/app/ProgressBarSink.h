#pragma once

#include "capture/Progress.h"

class QProgressBar;

namespace vintrace::app {

/// Shows the progress of a pass over the capture on a progress bar: range 0 to the pass's
/// maximum, one step per record.
class ProgressBarSink : public capture::Progress {
public:
    /// Follows `bar`, a pointer that may be set after construction.
    explicit ProgressBarSink(QProgressBar*& bar) : bar_(bar) {}
    void setRange(std::size_t max) override;
    void setPosition(std::size_t position) override;

private:
    QProgressBar*& bar_;
};

} // namespace vintrace::app
