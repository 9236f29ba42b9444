#include "capture/HidePasses.h"

#include "capture/PacketClass.h"

#include <bit>

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

namespace {
bool Stopped(const std::atomic<bool>* stop) {
    return stop != nullptr && stop->load(std::memory_order_relaxed);
}
/// How often the marking passes look at their stop request.
constexpr std::size_t kStopEvery = std::size_t{1} << 16;

void Mark(HideMarks& marks, std::size_t i) {
    marks[i >> 6] |= std::uint64_t{1} << (i & 63);
}

std::optional<HideMarks> MarkNak(const PacketList& packets, ProgressSteps& steps,
                                 const std::atomic<bool>* stop) {
    HideMarks marks((packets.size() + 63) / 64);
    for (std::size_t i = packets.size(); i-- > 0;) {
        steps.advance();
        if ((i & (kStopEvery - 1)) == 0 && Stopped(stop)) {
            return std::nullopt;
        }
        if (packets.kind(i) != RecordKind::Nak) {
            continue;
        }
        Mark(marks, i);
        steps.advance();
        // Only the packet the NAK answers goes with it; an OUT before refused data stays. A
        // NAK is never refusable, so reading kinds unmarked sees what marking in place would.
        if (i > 0 && IsRefusable(packets.kind(i - 1))) {
            Mark(marks, i - 1);
            steps.advance();
        }
    }
    return marks;
}

std::optional<HideMarks> MarkTransactions(const PacketList& packets, std::uint8_t address,
                                          std::optional<std::uint8_t> endpoint,
                                          ProgressSteps& steps, const std::atomic<bool>* stop) {
    const std::size_t n = packets.size();
    HideMarks marks((n + 63) / 64);
    std::size_t i = 0;
    std::size_t nextStopCheck = kStopEvery;
    while (i < n) {
        if (i >= nextStopCheck) {
            if (Stopped(stop)) {
                return std::nullopt;
            }
            nextStopCheck = i + kStopEvery;
        }
        steps.advance();
        const RecordKind kind = packets.kind(i);
        if (!IsToken(kind)) {
            ++i;
            continue;
        }
        if (packets.address(i) != address || (endpoint && packets.endpoint(i) != *endpoint)) {
            ++i;
            continue;
        }
        steps.advance();
        Mark(marks, i);
        ++i;
        // The data and handshakes of the transaction follow the token directly; any other
        // kind (a token, an SOF, an unknown packet) ends it and is looked at next.
        while (i < n && ContinuesTransaction(packets.kind(i))) {
            steps.advance();
            Mark(marks, i);
            ++i;
        }
    }
    return marks;
}

std::optional<HideMarks> MarkPass(const PacketList& packets, const HidePass& pass,
                                  ProgressSteps& steps, const std::atomic<bool>* stop) {
    if (pass.kind == HidePass::Kind::Nak) {
        return MarkNak(packets, steps, stop);
    }
    return MarkTransactions(packets, pass.address, pass.endpoint, steps, stop);
}

/// Marks the records of `marks` HIDDEN in place and removes them.
std::size_t RemoveMarks(PacketList& packets, const HideMarks& marks, ProgressSteps& steps) {
    for (std::size_t w = 0; w < marks.size(); ++w) {
        for (std::uint64_t bits = marks[w]; bits != 0; bits &= bits - 1) {
            packets.setKind(w * 64 + static_cast<std::size_t>(std::countr_zero(bits)),
                            RecordKind::Hidden);
        }
    }
    steps.reset();
    return RemoveMarked(packets, steps);
}
} // namespace

std::size_t HideNak(PacketList& packets, Progress* progress) {
    ProgressSteps steps(progress);
    return RemoveMarks(packets, *MarkNak(packets, steps, nullptr), steps);
}

std::size_t HideTransactions(PacketList& packets, std::uint8_t address,
                             std::optional<std::uint8_t> endpoint, Progress* progress) {
    ProgressSteps steps(progress);
    return RemoveMarks(packets, *MarkTransactions(packets, address, endpoint, steps, nullptr),
                       steps);
}

std::optional<PacketList::Headers> HeadersAfterHide(const PacketList& packets, const HidePass& pass,
                                                    Progress* progress,
                                                    const std::atomic<bool>* stop,
                                                    PacketList::Headers* discard) {
    ProgressSteps steps(progress);
    std::optional<PacketList::Headers> kept;
    if (pass.kind == HidePass::Kind::Sof) {
        kept = packets.headersWithout(RecordKind::Sof, stop, discard);
    } else {
        const std::optional<HideMarks> marks = MarkPass(packets, pass, steps, stop);
        if (!marks) {
            return std::nullopt;
        }
        steps.reset();
        kept = packets.headersWithout(*marks, stop, discard);
    }
    steps.advance(packets.size());
    steps.report();
    return kept;
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
