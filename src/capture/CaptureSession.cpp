#include "capture/CaptureSession.h"

namespace vintrace::capture {

LoadResult CaptureSession::Load() {
    Clear();
    const LoadResult result = LoadCaptureFile(CaptureFileName, PacketList, EndpointTable);
    StoreChanged();
    return result;
}

void CaptureSession::Clear() {
    PacketList.clear();
    EndpointTable.clear();
    StoreChanged();
}

void CaptureSession::StoreChanged() {
    ++generation_;
    transactions_.reset();
    folded_.reset();
    unfolded_.reset();
    devices_.reset();
}

const protocol::Transactions& CaptureSession::transactions() {
    if (!transactions_) {
        transactions_ = protocol::GroupTransactions(PacketList);
    }
    return *transactions_;
}

const std::vector<protocol::TransferItem>& CaptureSession::transfers(bool fold) {
    std::optional<std::vector<protocol::TransferItem>>& cached = fold ? folded_ : unfolded_;
    if (!cached) {
        protocol::DescribedTransfers described =
            protocol::AssembleDescribedTransfers(PacketList, transactions(), fold);
        cached = std::move(described.items);
        // Folding changes no control transfer, so either pass finds the same devices.
        if (!devices_) {
            devices_ = std::move(described.devices);
        }
    }
    return *cached;
}

const protocol::DeviceModel& CaptureSession::devices() {
    if (!devices_) {
        transfers(true);
    }
    return *devices_;
}

} // namespace vintrace::capture
