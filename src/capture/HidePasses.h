#pragma once

#include "capture/PacketList.h"
#include "capture/Progress.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

namespace vintrace::capture {

// The hide passes. Each removes records from the PacketList (the file is never touched) and
// reports its steps to `progress`, which may be null. They return how many records went.

/// Removes every SOF record; one step per record visited.
std::size_t HideSof(PacketList& packets, Progress* progress);

/// Removes every NAK together with the packet it answers: the record just before it when that
/// is a SETUP, IN, DATA0 or DATA1. One step per record visited and one per record marked.
std::size_t HideNak(PacketList& packets, Progress* progress);

/// Removes the transactions of `address` (on `endpoint`, or on all endpoints when none is
/// given): each matching token and the run of data and handshake packets right after it.
/// One step per record and one more per matching token.
std::size_t HideTransactions(PacketList& packets, std::uint8_t address,
                             std::optional<std::uint8_t> endpoint, Progress* progress);

/// One of the passes above as a value: what a hide command or the command line asks for.
struct HidePass {
    enum class Kind : std::uint8_t { Sof, Nak, Transactions };
    Kind kind = Kind::Sof;
    /// For Transactions: the device address, and one endpoint of it or all when none.
    std::uint8_t address = 0;
    std::optional<std::uint8_t> endpoint;

    static HidePass Sof() { return {Kind::Sof, 0, std::nullopt}; }
    static HidePass Nak() { return {Kind::Nak, 0, std::nullopt}; }
    static HidePass Transactions(std::uint8_t address, std::optional<std::uint8_t> endpoint) {
        return {Kind::Transactions, address, endpoint};
    }
    friend bool operator==(const HidePass&, const HidePass&) = default;
};

/// Runs `pass` over `packets` (the function of its kind above).
std::size_t RunHidePass(PacketList& packets, const HidePass& pass, Progress* progress);

/// Which records a pass removes: bit i of word i / 64.
using HideMarks = std::vector<std::uint64_t>;

/// What `pass` leaves of `packets`, as headers to swap in (PacketList::swapHeaders), without
/// changing the list: a worker runs it while the window still shows the capture. The same
/// records, in the same order, as RunHidePass keeps. Once `stop` is set it ends early and
/// returns nothing; the headers it had built go to `discard` when given.
std::optional<PacketList::Headers> HeadersAfterHide(const PacketList& packets, const HidePass& pass,
                                                    Progress* progress,
                                                    const std::atomic<bool>* stop,
                                                    PacketList::Headers* discard = nullptr);

} // namespace vintrace::capture
