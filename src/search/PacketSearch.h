#pragma once

#include "capture/EndpointTable.h"
#include "capture/PacketList.h"
#include "capture/Progress.h"
#include "search/SearchCriteria.h"

#include <cstdint>
#include <optional>

namespace vintrace::search {

/// Which rule a search applies, by its active criteria (kind, data, address).
enum class SearchRule {
    None, // nothing active: nothing matches
    KindOnly,
    AddressOnly,
    DataOnly,
    KindAndAddress,
    KindAndData,
    DataAndAddress,
    KindDataAndAddress,
};

SearchRule ChooseRule(const SearchCriteria& criteria);

/// An address or endpoint that no token can carry: a position that names nothing resolves
/// to it, so an address criterion on it matches nothing.
inline constexpr std::uint8_t kNoValue = 0xFF;

struct WantedValues {
    std::uint8_t address = 0;
    std::uint8_t endpoint = 0;
};

/// Turns the stored positions into the wanted address and endpoint, from the capture open
/// now. No rows: both 0. A position that names no row or endpoint gives kNoValue.
WantedValues ResolveWanted(const SearchCriteria& criteria, const capture::EndpointTable& table);

/// The first record at or after `start` that the active rule matches, with the transaction
/// state starting idle at `start`; nothing when the scan reaches the end. Progress starts at
/// `start` and goes one step per record that did not match.
std::optional<std::size_t> FindNext(const capture::PacketList& packets,
                                    const SearchCriteria& criteria, WantedValues wanted,
                                    std::size_t start, capture::Progress* progress = nullptr);

/// How many lines above a match its transaction starts: 0 for a token or SOF, 1 for a data
/// packet, 2 for a handshake.
int LinesBack(capture::RecordKind kind);

} // namespace vintrace::search
