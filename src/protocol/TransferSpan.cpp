#include "protocol/TransferSpan.h"

#include "protocol/Transfers.h"

#include <algorithm>

namespace vintrace::protocol {

std::optional<TransferItem> SpanPart(const TransferItem& item, std::size_t from, std::size_t to) {
    if (to < from || to < item.firstTransaction || from > item.lastTransaction) {
        return std::nullopt;
    }
    TransferItem part = item;
    // Membership depends on the item's first transaction only for single-transaction items
    // (isochronous, malformed), whose span is that transaction and is kept whole.
    if (item.type != TransferType::Isochronous && item.type != TransferType::Malformed) {
        part.firstTransaction = std::max(from, item.firstTransaction);
        part.lastTransaction = std::min(to, item.lastTransaction);
    }
    return part;
}

std::optional<std::size_t> FirstMemberIn(const Transactions& transactions, const TransferItem& item,
                                         std::size_t from, std::size_t to) {
    to = std::min(to, item.lastTransaction);
    for (std::size_t x = std::max(from, item.firstTransaction); x <= to && x < transactions.size();
         ++x) {
        if (IsMember(item, x, transactions[x])) {
            return x;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> LastMemberIn(const Transactions& transactions, const TransferItem& item,
                                        std::size_t from, std::size_t to) {
    if (transactions.size() == 0) {
        return std::nullopt;
    }
    from = std::max(from, item.firstTransaction);
    to = std::min({to, item.lastTransaction, transactions.size() - 1});
    for (std::size_t x = to + 1; x > from;) {
        --x;
        if (IsMember(item, x, transactions[x])) {
            return x;
        }
    }
    return std::nullopt;
}

PayloadStart DeliveredPayloadStart(const capture::PacketList& packets,
                                   const Transactions& transactions, const TransferItem& item,
                                   std::size_t limit, std::size_t transactionLimit) {
    PayloadStart out;
    const std::size_t span =
        item.lastTransaction - std::min(item.lastTransaction, item.firstTransaction) + 1;
    const bool bounded = transactionLimit < span;
    if (bounded && transactionLimit == 0) {
        out.cut = item.bytes > 0 && limit > 0;
        return out;
    }
    // The payload is read in capture order: its first bytes are those of the span's head.
    const TransferItem head = bounded ? *SpanPart(item, item.firstTransaction,
                                                  item.firstTransaction + transactionLimit - 1)
                                      : item;
    out.bytes = DeliveredPayload(packets, transactions, head, limit);
    out.cut = bounded && out.bytes.size() < limit && out.bytes.size() < item.bytes;
    return out;
}

std::vector<std::uint8_t> DeliveredPayloadWithin(const capture::PacketList& packets,
                                                 const Transactions& transactions,
                                                 const TransferItem& item, std::size_t from,
                                                 std::size_t to, std::size_t limit) {
    const auto upTo = SpanPart(item, item.firstTransaction, to);
    if (!upTo || from > to || from > item.lastTransaction) {
        return {};
    }
    // What the part delivered is what the item delivered up to its end, less what it had
    // delivered before it.
    std::size_t before = 0;
    if (from > item.firstTransaction) {
        VisitDeliveredPayload(
            packets, transactions, *SpanPart(item, item.firstTransaction, from - 1),
            [&before](std::span<const std::uint8_t> piece) { before += piece.size(); });
    }
    std::vector<std::uint8_t> out;
    std::size_t at = 0;
    const std::size_t end = limit > SIZE_MAX - before ? SIZE_MAX : before + limit;
    VisitDeliveredPayload(
        packets, transactions, *upTo,
        [&](std::span<const std::uint8_t> piece) {
            const std::size_t pieceEnd = at + piece.size();
            if (pieceEnd > before) {
                const std::size_t skip = before > at ? before - at : 0;
                out.insert(out.end(), piece.begin() + static_cast<std::ptrdiff_t>(skip),
                           piece.end());
            }
            at = pieceEnd;
        },
        end);
    return out;
}

} // namespace vintrace::protocol
