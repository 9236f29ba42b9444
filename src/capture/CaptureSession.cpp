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
        protocol::TransferOptions options;
        options.fold = fold;
        cached = protocol::AssembleTransfers(PacketList, transactions(), options);
    }
    return *cached;
}

} // namespace vintrace::capture
