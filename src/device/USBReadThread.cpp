#include "device/USBReadThread.h"

namespace vintrace::device {

USBReadThread::USBReadThread(Analyzer& analyzer, std::string target,
                             std::atomic<std::int32_t>& blockCount,
                             std::atomic<std::uint8_t>& state, std::uint8_t doneState)
    : thread_([this, &analyzer, target = std::move(target), &blockCount, &state, doneState] {
          outcome_ = DownloadCapture(analyzer, target, blockCount);
          state.store(doneState); // publishes outcome_ too
      }) {}

USBReadThread::~USBReadThread() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

} // namespace vintrace::device
