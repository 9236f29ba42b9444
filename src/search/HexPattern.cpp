#include "search/HexPattern.h"

#include <cstring>

namespace vintrace::search {

namespace {
int Nibble(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}
} // namespace

HexPattern::HexPattern(std::string_view digits) : digits_(digits.size()) {
    std::vector<int> nibbles;
    for (char c : digits) {
        const int n = Nibble(c);
        if (n < 0) {
            return;
        }
        nibbles.push_back(n);
    }
    usable_ = !nibbles.empty();
    auto cut = [&](Alignment& a, std::size_t from) {
        std::size_t i = from;
        for (; i + 1 < nibbles.size(); i += 2) {
            a.whole.push_back(static_cast<std::uint8_t>(nibbles[i] << 4 | nibbles[i + 1]));
        }
        if (i < nibbles.size()) {
            a.tail = nibbles[i];
        }
        a.span = (a.head >= 0) + a.whole.size() + (a.tail >= 0);
    };
    cut(even_, 0);
    if (!nibbles.empty()) {
        odd_.head = nibbles[0];
        cut(odd_, 1);
    }
}

bool HexPattern::Alignment::at(std::span<const std::uint8_t> b, std::size_t k) const {
    if (head >= 0) {
        if ((b[k] & 15) != head) {
            return false;
        }
        ++k;
    }
    // The first byte by hand: most positions fail on it, and a call would cost more.
    if (!whole.empty() && (b[k] != whole[0] || std::memcmp(b.data() + k + 1, whole.data() + 1,
                                                           whole.size() - 1) != 0)) {
        return false;
    }
    return tail < 0 || (b[k + whole.size()] >> 4) == tail;
}

bool HexPattern::foundIn(std::span<const std::uint8_t> bytes) const {
    if (!usable_ || 2 * bytes.size() < digits_) {
        return false;
    }
    for (const Alignment* a : {&even_, &odd_}) {
        if (a->span > bytes.size()) {
            continue;
        }
        const std::size_t last = bytes.size() - a->span; // the last start position
        if (a->whole.empty()) {
            for (std::size_t k = 0; k <= last; ++k) {
                if (a->at(bytes, k)) {
                    return true;
                }
            }
            continue;
        }
        // Jump between the places where the first whole byte stands.
        const std::size_t lead = a->head >= 0 ? 1 : 0;
        const std::uint8_t* from = bytes.data() + lead;
        const std::uint8_t* end = bytes.data() + lead + last + 1;
        while (from < end) {
            const auto* hit = static_cast<const std::uint8_t*>(
                std::memchr(from, a->whole[0], static_cast<std::size_t>(end - from)));
            if (hit == nullptr) {
                break;
            }
            if (a->at(bytes, static_cast<std::size_t>(hit - bytes.data()) - lead)) {
                return true;
            }
            from = hit + 1;
        }
    }
    return false;
}

} // namespace vintrace::search
