#include "search/PacketSearch.h"

#include "capture/PacketClass.h"
#include "search/HexPattern.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

namespace vintrace::search {

using capture::CaptureRecord;
using capture::IsData;
using capture::IsHandshake;
using capture::IsToken;
using capture::RecordKind;

void SearchCriteria::setPattern(std::string_view text) {
    const std::size_t n = std::min<std::size_t>(text.size(), dataPattern.size() - 1);
    std::memcpy(dataPattern.data(), text.data(), n);
    dataPattern[n] = '\0';
    dataPatternLength = static_cast<std::uint8_t>(n);
}

SearchRule ChooseRule(const SearchCriteria& c) {
    const bool kind = c.pidEnabled;
    const bool data = c.dataEnabled;
    const bool address = c.addressAnyEndpoint || c.addressWithEndpoint;
    if (kind && data && address) {
        return SearchRule::KindDataAndAddress;
    }
    if (data && address) {
        return SearchRule::DataAndAddress;
    }
    if (kind && data) {
        return SearchRule::KindAndData;
    }
    if (kind && address) {
        return SearchRule::KindAndAddress;
    }
    if (data) {
        return SearchRule::DataOnly;
    }
    if (address) {
        return SearchRule::AddressOnly;
    }
    return kind ? SearchRule::KindOnly : SearchRule::None;
}

WantedValues ResolveWanted(const SearchCriteria& c, const capture::EndpointTable& table) {
    if (table.empty()) {
        return {0, 0};
    }
    if (c.addressIndex >= table.size()) {
        return {kNoValue, kNoValue};
    }
    const capture::AddressEntry& row = table[c.addressIndex];
    WantedValues wanted{row.address, 0};
    if (c.endpointIndex != 0) {
        wanted.endpoint = c.endpointIndex <= row.endpointCount
                              ? row.endpoints[static_cast<std::size_t>(c.endpointIndex - 1)]
                              : kNoValue;
    }
    return wanted;
}

int LinesBack(RecordKind kind) {
    if (IsData(kind)) {
        return 1;
    }
    return IsHandshake(kind) ? 2 : 0;
}

namespace {

enum class State { Idle, TokenMatched, Primed, Qualified };

/// The record under examination; its full view is built only when its bytes are needed.
struct Packet {
    const capture::PacketList& list;
    std::size_t index;
    RecordKind kind;
};

/// The kind chosen in the PID list: the first eight items are the record kinds of the same
/// codes, then "DATA0 or DATA1", then SOF.
class PidChoice {
public:
    explicit PidChoice(int item)
        : kind_(item <= static_cast<int>(RecordKind::Data1)
                    ? std::optional(static_cast<RecordKind>(item))
                    : std::nullopt),
          anyData_(item == 8), sof_(item == 9) {}

    /// True when the record kind is the one chosen.
    bool matches(RecordKind k) const {
        if (kind_) {
            return k == *kind_;
        }
        return anyData_ ? IsData(k) : sof_ && k == RecordKind::Sof;
    }
    /// True when exactly this kind of record was chosen (not the "DATA0 or DATA1" item).
    bool is(RecordKind k) const { return kind_ == k; }
    /// True when "DATA0 or DATA1" was chosen.
    bool anyData() const { return anyData_; }
    /// True when a token was chosen.
    bool token() const { return kind_ && IsToken(*kind_); }
    /// True when a handshake was chosen.
    bool handshake() const { return kind_ && IsHandshake(*kind_); }
    /// True when a kind that follows a token in its transaction was chosen: a handshake or data.
    bool followsToken() const { return (kind_ && !IsToken(*kind_)) || anyData_; }

private:
    std::optional<RecordKind> kind_;
    bool anyData_;
    bool sof_;
};

/// The tests the rules combine, prepared once per search.
class Tests {
public:
    Tests(const SearchCriteria& c, WantedValues wanted)
        : pid_(c.pidIndex), withEndpoint_(c.addressWithEndpoint), wanted_(wanted),
          pattern_(c.pattern()) {}

    const PidChoice& pid() const { return pid_; }

    bool kind(RecordKind k) const { return pid_.matches(k); }

    bool address(const Packet& r) const {
        return IsToken(r.kind) && r.list.address(r.index) == wanted_.address &&
               (!withEndpoint_ || r.list.endpoint(r.index) == wanted_.endpoint);
    }

    /// The pattern within the data text: the payload (length - 2 bytes, without the CRC16),
    /// at most the bytes held and at most 64, as upper-case hex.
    bool data(const Packet& packet) const {
        if (!IsData(packet.kind) || !pattern_.usable()) {
            return false;
        }
        const CaptureRecord r = packet.list[packet.index];
        if (2 * r.length < static_cast<int>(pattern_.digits())) {
            return false;
        }
        const std::size_t n =
            std::min<std::size_t>({r.length >= 2 ? r.length - 2u : 0u, r.bytes.size(), 64});
        return pattern_.foundIn(r.bytes.first(n));
    }

private:
    PidChoice pid_;
    bool withEndpoint_;
    WantedValues wanted_;
    HexPattern pattern_;
};

/// Applies one rule to record r, updating the transaction state; true on a match.
bool Step(SearchRule rule, const Tests& t, const Packet& r, State& state) {
    const PidChoice& p = t.pid();
    switch (rule) {
    case SearchRule::None:
        return false;
    case SearchRule::KindOnly:
        return t.kind(r.kind);
    case SearchRule::AddressOnly:
        return t.address(r);
    case SearchRule::DataOnly:
        return t.data(r);
    case SearchRule::KindAndAddress:
        if (IsToken(r.kind)) {
            const bool passes = t.address(r);
            state = passes ? State::TokenMatched : State::Idle;
            return passes && p.token() && p.is(r.kind);
        }
        return state == State::TokenMatched && p.followsToken() && t.kind(r.kind);
    case SearchRule::KindAndData:
        if (IsToken(r.kind)) {
            state = p.is(r.kind) ? State::Primed : State::Idle;
            return false;
        }
        if (IsData(r.kind)) {
            if (p.is(r.kind) || p.anyData()) {
                return t.data(r);
            }
            if (p.token() && state == State::Primed) {
                return t.data(r);
            }
            if (p.handshake() && t.data(r)) {
                state = State::Primed;
            }
            return false;
        }
        if (IsHandshake(r.kind)) {
            if (p.is(r.kind) && state == State::Primed) {
                return true;
            }
            state = State::Idle;
        }
        return false;
    case SearchRule::DataAndAddress:
        if (IsToken(r.kind)) {
            state = t.address(r) ? State::TokenMatched : State::Idle;
            return false;
        }
        if (IsData(r.kind) && state == State::TokenMatched && t.data(r)) {
            return true;
        }
        state = State::Idle;
        return false;
    case SearchRule::KindDataAndAddress:
        if (IsToken(r.kind)) {
            state = t.address(r) ? State::TokenMatched : State::Idle;
            if (state == State::TokenMatched && p.is(r.kind)) {
                state = State::Qualified;
            }
            return false;
        }
        if (IsData(r.kind)) {
            if (state == State::TokenMatched) {
                if (t.data(r)) {
                    if (p.is(r.kind) || p.anyData()) {
                        return true;
                    }
                    state = State::Qualified;
                } else {
                    state = State::Idle;
                }
            } else if (state == State::Qualified) {
                if (t.data(r)) {
                    return true;
                }
                state = State::Idle;
            }
            return false;
        }
        if (state == State::Qualified && IsHandshake(r.kind) && p.is(r.kind)) {
            return true;
        }
        state = State::Idle;
        return false;
    }
    return false;
}

} // namespace

std::optional<std::size_t> FindNext(const capture::PacketList& packets,
                                    const SearchCriteria& criteria, WantedValues wanted,
                                    std::size_t start, capture::Progress* progress) {
    const SearchRule rule = ChooseRule(criteria);
    const Tests tests(criteria, wanted);
    capture::ProgressSteps steps(progress, start);
    State state = State::Idle;
    std::size_t i = start;
    while (i < packets.size()) {
        // Rules that look at one kind of record alone skip straight to the next candidate.
        std::size_t next = i;
        if (rule == SearchRule::KindOnly) {
            next = packets.findKind(i, [&](RecordKind k) { return tests.kind(k); });
        } else if (rule == SearchRule::DataOnly) {
            next = packets.findKind(i, [](RecordKind k) { return IsData(k); });
        } else if (rule == SearchRule::AddressOnly) {
            next = packets.findKind(i, [](RecordKind k) { return IsToken(k); });
        } else if (rule == SearchRule::KindAndAddress) {
            // Other records neither change the state nor match.
            next = packets.findKind(i, [&](RecordKind k) { return IsToken(k) || tests.kind(k); });
        } else if (rule == SearchRule::None) {
            next = packets.size();
        }
        steps.advance(next - i);
        if (next >= packets.size()) {
            break;
        }
        if (Step(rule, tests, Packet{packets, next, packets.kind(next)}, state)) {
            steps.report();
            return next;
        }
        steps.advance();
        i = next + 1;
    }
    steps.report();
    return std::nullopt;
}

} // namespace vintrace::search
