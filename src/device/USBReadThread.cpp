#include "device/USBReadThread.h"

namespace vintrace::device {

USBReadThread::USBReadThread(Analyzer& analyzer, std::string target,
                             std::atomic<std::int32_t>& blockCount,
                             std::atomic<std::uint8_t>& state, std::uint8_t doneState,
                             const std::atomic<bool>& cancel)
    : thread_(
          [this, &analyzer, target = std::move(target), &blockCount, &state, doneState, &cancel] {
              outcome_ = DownloadCapture(analyzer, target, blockCount, &cancel);
              state.store(doneState); // publishes outcome_ too
          }) {}

USBReadThread::~USBReadThread() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

} // namespace vintrace::device
