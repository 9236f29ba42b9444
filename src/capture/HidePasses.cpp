#include "capture/HidePasses.h"

#include "capture/PacketClass.h"

namespace vintrace::capture {

namespace {
/// Removes the records marked HIDDEN, one step per record visited, then resets the bar.
std::size_t RemoveMarked(PacketList& packets, ProgressSteps& steps) {
    const std::size_t visited = packets.size();
    const std::size_t removed = packets.removeKind(RecordKind::Hidden);
    steps.advance(visited);
    steps.report();
    return removed;
}
} // namespace

std::size_t HideSof(PacketList& packets, Progress* progress) {
    ProgressSteps steps(progress);
    const std::size_t visited = packets.size();
    const std::size_t removed = packets.removeKind(RecordKind::Sof);
    steps.advance(visited);
    steps.report();
    return removed;
}

std::size_t HideNak(PacketList& packets, Progress* progress) {
    ProgressSteps steps(progress);
    for (std::size_t i = packets.size(); i-- > 0;) {
        steps.advance();
        if (packets.kind(i) != RecordKind::Nak) {
            continue;
        }
        packets.setKind(i, RecordKind::Hidden);
        steps.advance();
        if (i > 0) {
            // Only the packet the NAK answers goes with it; an OUT before refused data stays.
            if (IsRefusable(packets.kind(i - 1))) {
                packets.setKind(i - 1, RecordKind::Hidden);
                steps.advance();
            }
        }
    }
    steps.reset();
    return RemoveMarked(packets, steps);
}

std::size_t HideTransactions(PacketList& packets, std::uint8_t address,
                             std::optional<std::uint8_t> endpoint, Progress* progress) {
    ProgressSteps steps(progress);
    const std::size_t n = packets.size();
    std::size_t i = 0;
    while (i < n) {
        steps.advance();
        const RecordKind kind = packets.kind(i);
        if (!IsToken(kind)) {
            ++i;
            continue;
        }
        const CaptureRecord token = packets[i];
        if (token.address != address || (endpoint && token.endpoint != *endpoint)) {
            ++i;
            continue;
        }
        steps.advance();
        packets.setKind(i, RecordKind::Hidden);
        ++i;
        // The data and handshakes of the transaction follow the token directly; any other
        // kind (a token, an SOF, an unknown packet) ends it and is looked at next.
        while (i < n && ContinuesTransaction(packets.kind(i))) {
            steps.advance();
            packets.setKind(i, RecordKind::Hidden);
            ++i;
        }
    }
    steps.reset();
    return RemoveMarked(packets, steps);
}

std::size_t RunHidePass(PacketList& packets, const HidePass& pass, Progress* progress) {
    switch (pass.kind) {
    case HidePass::Kind::Sof:
        return HideSof(packets, progress);
    case HidePass::Kind::Nak:
        return HideNak(packets, progress);
    case HidePass::Kind::Transactions:
        return HideTransactions(packets, pass.address, pass.endpoint, progress);
    }
    return 0;
}

} // namespace vintrace::capture
