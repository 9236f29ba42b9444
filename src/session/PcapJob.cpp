#include "session/BackgroundExport.h"

#include "platform/ThreadPriority.h"

#include <utility>

namespace vintrace::session {

BackgroundExport::BackgroundExport(const capture::PacketList& packets, std::string path,
                                   capture::UsbLinkType linkType)
    : path_(std::move(path)), total_(packets.size()) {
    worker_ = std::thread([this, &packets, linkType] {
        platform::RunBehindTheWindow();
        // The user chose the name and confirmed replacing it in the save dialog.
        result_ = capture::ExportPcap(packets, path_, linkType, /*overwrite=*/true, &progress_);
        finished_.store(true, std::memory_order_release);
    });
}

BackgroundExport::~BackgroundExport() {
    stop();
}

void BackgroundExport::stop() {
    cancel();
    if (worker_.joinable()) {
        worker_.join();
    }
}

} // namespace vintrace::session
