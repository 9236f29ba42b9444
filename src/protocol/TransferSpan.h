#pragma once

#include "capture/PacketList.h"
#include "protocol/Transactions.h"
#include "protocol/TransferItem.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vintrace::protocol {

/// Reading a transfer a part at a time. A transfer may span a whole capture (a pipe polled for
/// hours, a million NAKs between its data packets): a view reads a bounded part of its span.

/// The item cut to the part of its span in [from, to]: the members it has there and only
/// those (IsMember, Members, ForEachMember), read in the same order. Nothing of the item's
/// accounting changes. Nothing when [from, to] misses the span.
std::optional<TransferItem> SpanPart(const TransferItem& item, std::size_t from, std::size_t to);

/// The index of the item's first member in [from, to] of its span, if it has one there.
std::optional<std::size_t> FirstMemberIn(const Transactions& transactions, const TransferItem& item,
                                         std::size_t from, std::size_t to);
/// The index of the item's last member in [from, to] of its span, if it has one there.
std::optional<std::size_t> LastMemberIn(const Transactions& transactions, const TransferItem& item,
                                        std::size_t from, std::size_t to);

/// The start of an item's delivered payload.
struct PayloadStart {
    std::vector<std::uint8_t> bytes;
    /// The read stopped at its bound of transactions while the item says it delivered more.
    bool cut = false;
};

/// DeliveredPayload's first `limit` bytes, read from no more than the first `transactions` of
/// the item's span: a bound on the work as well as on the bytes.
PayloadStart DeliveredPayloadStart(const capture::PacketList& packets,
                                   const Transactions& transactions, const TransferItem& item,
                                   std::size_t limit, std::size_t transactionLimit);

/// The part of DeliveredPayload that the members in [from, to] of the item's span delivered,
/// at most `limit` bytes of it. Reads the span from its start (a retransmission or a control
/// transfer's wLength depends on what came before).
std::vector<std::uint8_t> DeliveredPayloadWithin(const capture::PacketList& packets,
                                                 const Transactions& transactions,
                                                 const TransferItem& item, std::size_t from,
                                                 std::size_t to, std::size_t limit = SIZE_MAX);

} // namespace vintrace::protocol
