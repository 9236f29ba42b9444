#include "session/PcapJob.h"

#include "platform/ThreadPriority.h"

#include <utility>

namespace vintrace::session {

PcapJob::PcapJob(Work work, Unit unit, std::uint64_t total) : unit_(unit), total_(total) {
    worker_ = std::thread([this, work = std::move(work)] {
        platform::RunBehindTheWindow();
        result_ = work(progress_);
        finished_.store(true, std::memory_order_release);
    });
}

PcapJob::~PcapJob() {
    stop();
}

void PcapJob::stop() {
    cancel();
    if (worker_.joinable()) {
        worker_.join();
    }
}

} // namespace vintrace::session
