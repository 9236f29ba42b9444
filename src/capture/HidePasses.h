#pragma once

#include "capture/PacketList.h"
#include "capture/Progress.h"

#include <cstdint>
#include <optional>

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

} // namespace vintrace::capture
