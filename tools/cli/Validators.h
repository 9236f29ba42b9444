#pragma once

#include <CLI/CLI.hpp>

#include <charconv>
#include <cmath>
#include <initializer_list>
#include <string>

namespace vintrace::cli {

/// A number from `min` to `max`. Unlike CLI::Range it refuses NaN, which every comparison
/// lets through.
inline CLI::Validator FiniteRange(double min, double max) {
    const std::string range =
        "a number from " + CLI::detail::to_string(min) + " to " + CLI::detail::to_string(max);
    return CLI::Validator(
        [min, max, range](std::string& text) -> std::string {
            double value = 0;
            if (!CLI::detail::lexical_cast(text, value) || !std::isfinite(value) || value < min ||
                value > max) {
                return text + " is not " + range;
            }
            return {};
        },
        range.substr(2));
}

/// A whole number of at least `min`, written in decimal digits only: CLI11 would take "-1"
/// for an unsigned option as its largest value.
inline CLI::Validator WholeNumberFrom(unsigned long long min) {
    const std::string range = "a whole number of " + std::to_string(min) + " or more";
    return CLI::Validator(
        [min, range](std::string& text) -> std::string {
            unsigned long long value = 0;
            const auto [end, error] =
                std::from_chars(text.data(), text.data() + text.size(), value);
            if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
                value < min) {
                return text + " is not " + range;
            }
            return {};
        },
        range.substr(2));
}

/// One of the given whole numbers, judged on the text so that a value too large for the
/// option's type is reported as out of the set rather than as unconvertible.
inline CLI::Validator OneOf(std::initializer_list<int> allowed, const std::string& what) {
    std::string list;
    std::size_t n = 0;
    for (const int v : allowed) {
        list += (n == 0 ? "" : n + 1 == allowed.size() ? " or " : ", ") + std::to_string(v);
        ++n;
    }
    std::vector<int> values(allowed);
    return CLI::Validator(
        [values, list, what](std::string& text) -> std::string {
            for (const int v : values) {
                if (text == std::to_string(v)) {
                    return {};
                }
            }
            return what + " " + text + " is not allowed: use " + list;
        },
        list);
}

} // namespace vintrace::cli
