#include "session/BackgroundHide.h"

#include "platform/ThreadPriority.h"

#include <utility>

namespace vintrace::session {

BackgroundHide::BackgroundHide(const capture::PacketList& packets, capture::HidePass pass)
    : pass_(std::move(pass)), total_(packets.size()) {
    worker_ = std::thread([this, &packets] {
        platform::RunBehindTheWindow();
        Steps steps(done_);
        // Headers built before a stop are freed by whoever destroys the job, not here while
        // the window's thread waits in stop().
        result_ = capture::HeadersAfterHide(packets, pass_, &steps, &stop_, &discarded_);
        finished_.store(true, std::memory_order_release);
    });
}

BackgroundHide::~BackgroundHide() {
    stop();
}

void BackgroundHide::stop() {
    cancel();
    // The passes look at the stop request every chunk of records: this returns at once.
    if (worker_.joinable()) {
        worker_.join();
    }
}

std::optional<capture::PacketList::Headers> BackgroundHide::take() {
    if (!finished() || cancelled()) {
        return std::nullopt;
    }
    return std::exchange(result_, std::nullopt);
}

} // namespace vintrace::session
