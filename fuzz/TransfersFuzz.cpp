// libFuzzer target for the transaction grouping and the transfer assembly. Each input is
// decoded as a capture file, grouped, and assembled with and without folding; the results
// must cover every record exactly once and stay within the bounds of what the store holds.
// Any broken invariant aborts so the fuzzer keeps the input.
#include "capture/CaptureDecoder.h"
#include "protocol/Transfers.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

using namespace vintrace;

[[noreturn]] void Fail(const char* what, std::size_t at) {
    std::fprintf(stderr, "transfers fuzz: %s (%zu)\n", what, at);
    std::abort();
}

void CheckTransactions(const capture::PacketList& packets, const protocol::Transactions& tx) {
    std::size_t next = 0;
    for (std::size_t i = 0; i < tx.size(); ++i) {
        const protocol::Transaction t = tx[i];
        if (t.first != next || t.count == 0 || t.count > 5) {
            Fail("transactions do not tile the store", i);
        }
        if (t.hasData() &&
            (t.dataOffset >= t.count || !capture::IsData(packets.kind(t.dataRecord())))) {
            Fail("data position outside the transaction", i);
        }
        if (protocol::TransactionPayload(packets, t).size() >
            capture::CapacityOf(capture::RecordKind::Data0)) {
            Fail("payload longer than the store holds", i);
        }
        if (tx.indexOfRecord(t.first) != i || tx.indexOfRecord(t.last()) != i) {
            Fail("record look-up misses its transaction", i);
        }
        next = t.first + t.count;
    }
    if (next != packets.size()) {
        Fail("records left outside every transaction", next);
    }
}

void CheckTransfers(const capture::PacketList& packets, const protocol::Transactions& tx,
                    bool fold) {
    protocol::TransferOptions options;
    options.fold = fold;
    std::vector<std::uint8_t> owners(packets.size(), 0);
    std::size_t previousFirst = 0;
    for (const protocol::TransferItem& item : protocol::AssembleTransfers(packets, tx, options)) {
        if (item.firstTransaction > item.lastTransaction || item.lastTransaction >= tx.size() ||
            item.firstTransaction < previousFirst) {
            Fail("item range out of order or out of bounds", item.firstTransaction);
        }
        previousFirst = item.firstTransaction;
        const std::vector<std::size_t> members = protocol::Members(tx, item);
        if (members.size() != item.count || members.front() != item.firstTransaction ||
            members.back() != item.lastTransaction) {
            Fail("item count or range disagrees with its members", item.firstTransaction);
        }
        for (std::size_t x : members) {
            for (std::size_t r = tx[x].first; r <= tx[x].last(); ++r) {
                if (++owners[r] != 1) {
                    Fail("record under two items", r);
                }
            }
        }
        const auto payload = protocol::DeliveredPayload(packets, tx, item);
        if (payload.size() > item.bytes) {
            Fail("more payload delivered than counted", item.firstTransaction);
        }
        protocol::ControlRequest(packets, tx, item);
        protocol::SofFrames(packets, tx, item);
    }
    for (std::size_t r = 0; r < owners.size(); ++r) {
        if (owners[r] != 1) {
            Fail("record under no item", r);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    capture::PacketList packets;
    capture::ParseCaptureFile(std::span<const std::uint8_t>(data, size), packets);
    const protocol::Transactions tx = protocol::GroupTransactions(packets);
    CheckTransactions(packets, tx);
    CheckTransfers(packets, tx, true);
    CheckTransfers(packets, tx, false);
    return 0;
}
