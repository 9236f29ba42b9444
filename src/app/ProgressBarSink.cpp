#include "app/ProgressBarSink.h"

#include <QProgressBar>

#include <algorithm>
#include <climits>

namespace vintrace::app {

void ProgressBarSink::setRange(std::size_t max) {
    // Qt draws 0..0 as a busy bar that never stops; an empty store shows an empty bar instead.
    bar_->setRange(0, static_cast<int>(std::clamp<std::size_t>(max, 1, INT_MAX)));
    bar_->setValue(0);
}

void ProgressBarSink::setPosition(std::size_t position) {
    bar_->setValue(static_cast<int>(std::min<std::size_t>(position, INT_MAX)));
}

} // namespace vintrace::app
