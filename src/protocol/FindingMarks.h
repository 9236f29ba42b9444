#pragma once

#include "protocol/Diagnostics.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vintrace::protocol {

/// What a view shows on an item that carries findings.
struct FindingMark {
    Severity worst = Severity::Info;
    std::size_t count = 0;
    /// One line per finding, "rule: message", the first few of them and how many more.
    std::string text;
};

/// The findings that start within [first, last] and concern the device endpoint
/// `address`.`endpoint`; without an address, those that concern no device (SOFs, damaged
/// tokens). The records of a transfer interleave with other endpoints' and with SOFs, so the
/// span alone would mark the wrong items. Nothing when no finding matches. `findings` are in
/// order of their first record, as Diagnose gives them; the look-up is a binary search and a
/// walk over the findings starting in the span.
std::optional<FindingMark> MarkOf(const std::vector<Finding>& findings, std::size_t first,
                                  std::size_t last, std::optional<std::uint8_t> address,
                                  std::optional<std::uint8_t> endpoint, std::size_t lines = 5);

} // namespace vintrace::protocol
