#include "session/FileJob.h"

#include "platform/ThreadPriority.h"

#include <utility>

namespace vintrace::session {

FileJob::FileJob(Work work, Unit unit, std::uint64_t total) : unit_(unit), total_(total) {
    worker_ = std::thread([this, work = std::move(work)] {
        platform::RunBehindTheWindow();
        result_ = work(progress_);
        finished_.store(true, std::memory_order_release);
    });
}

FileJob::~FileJob() {
    stop();
}

void FileJob::stop() {
    cancel();
    if (worker_.joinable()) {
        worker_.join();
    }
}

} // namespace vintrace::session
