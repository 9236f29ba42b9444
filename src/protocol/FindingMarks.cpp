#include "protocol/FindingMarks.h"

#include <algorithm>

namespace vintrace::protocol {

std::optional<FindingMark> MarkOf(const std::vector<Finding>& findings, std::size_t first,
                                  std::size_t last, std::optional<std::uint8_t> address,
                                  std::optional<std::uint8_t> endpoint, std::size_t lines) {
    if (first > last) {
        return std::nullopt;
    }
    auto at =
        std::lower_bound(findings.begin(), findings.end(), first,
                         [](const Finding& f, std::size_t record) { return f.first < record; });
    FindingMark mark;
    for (; at != findings.end() && at->first <= last; ++at) {
        if (at->address != address || (address && at->endpoint && at->endpoint != endpoint)) {
            continue;
        }
        mark.worst = mark.count == 0 ? at->severity : std::max(mark.worst, at->severity);
        if (mark.count < lines) {
            if (!mark.text.empty()) {
                mark.text += '\n';
            }
            mark.text.append(at->rule).append(": ").append(at->message);
        }
        ++mark.count;
    }
    if (mark.count == 0) {
        return std::nullopt;
    }
    if (mark.count > lines) {
        mark.text += "\nand " + std::to_string(mark.count - lines) + " more";
    }
    return mark;
}

} // namespace vintrace::protocol
