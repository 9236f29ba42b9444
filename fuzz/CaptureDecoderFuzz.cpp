// libFuzzer target for the capture decoder. Each input is decoded three ways: whole, in pieces
// split at positions taken from the input, and by a deliberately naive reference decoder.
// All three must agree and every record must respect the store's invariants; any
// disagreement aborts so the fuzzer keeps the input.
#include "capture/CaptureDecoder.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

using vintrace::capture::CaptureDecoder;
using vintrace::capture::CaptureRecord;
using vintrace::capture::PacketList;
using vintrace::capture::RecordKind;

[[noreturn]] void Fail(const char* what, std::size_t record) {
    std::fprintf(stderr, "capture decoder fuzz: %s (record %zu)\n", what, record);
    std::abort();
}

struct Reference {
    std::uint8_t pid;
    std::size_t received; // bytes counted, the PID included for an unknown identifier
    std::vector<std::uint8_t> stored;
};

// The USB 1.1 identifiers as they stand on the wire, with the bytes each record keeps.
struct KnownPid {
    std::uint8_t pid;
    std::size_t capacity;
};
constexpr KnownPid kKnownPids[] = {{0x2D, 2}, {0xE1, 2},  {0x69, 2},  {0xD2, 2}, {0x5A, 2},
                                   {0x1E, 2}, {0xC3, 66}, {0x4B, 66}, {0xA5, 2}};

const KnownPid* FindPid(std::uint8_t pid) {
    for (const KnownPid& k : kKnownPids) {
        if (k.pid == pid) {
            return &k;
        }
    }
    return nullptr;
}

// One unit at a time, straight from the format's definition.
std::vector<Reference> DecodeNaively(std::span<const std::uint8_t> data) {
    std::vector<Reference> out;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        const std::uint8_t marker = data[i];
        const std::uint8_t value = data[i + 1];
        if (marker == 1) {
            Reference r{value, 0, {}};
            if (FindPid(value) == nullptr) {
                r.stored.push_back(value);
                r.received = 1;
            }
            out.push_back(r);
        } else if (!out.empty()) {
            Reference& r = out.back();
            const KnownPid* known = FindPid(r.pid);
            if (r.stored.size() < (known ? known->capacity : 66)) {
                r.stored.push_back(value);
            }
            ++r.received;
        }
    }
    return out;
}

void CheckInvariants(const CaptureRecord& r, std::size_t i) {
    const auto code = static_cast<unsigned>(r.kind);
    if (code > static_cast<unsigned>(RecordKind::Unknown)) {
        Fail("kind code out of range", i);
    }
    if (r.bytes.size() > vintrace::capture::CapacityOf(r.kind)) {
        Fail("more bytes stored than the kind holds", i);
    }
    if (r.address >= 128) {
        Fail("address wider than 7 bits", i);
    }
    if (r.endpoint >= 16) {
        Fail("endpoint wider than 4 bits", i);
    }
    if (r.bytes.size() < vintrace::capture::CapacityOf(r.kind) && r.bytes.size() != r.length) {
        Fail("a record with room left did not store every byte it counted", i);
    }
    if (!IsToken(r.kind) && (r.address != 0 || r.endpoint != 0)) {
        Fail("address or endpoint set on a non-token", i);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);

    PacketList whole;
    vintrace::capture::ParseCaptureFile(input, whole);

    // Two split points from the input's first and last bytes, so the fuzzer steers them
    // onto unit and packet boundaries as well as into the middle of a unit.
    std::size_t a = 0;
    std::size_t b = 0;
    if (size > 0) {
        a = (std::size_t{data[0]} * 257 + data[size - 1]) % (size + 1);
        b = a + (std::size_t{data[size / 2]} * 31) % (size - a + 1);
    }
    PacketList pieces;
    CaptureDecoder decoder(pieces);
    decoder.feed(input.subspan(0, a));
    decoder.feed(input.subspan(a, 0));
    decoder.feed(input.subspan(a, b - a));
    decoder.feed(input.subspan(b));
    decoder.finish();

    const std::vector<Reference> reference = DecodeNaively(input);

    if (whole.size() != pieces.size()) {
        Fail("piecewise decode has a different record count", whole.size());
    }
    if (whole.size() != reference.size()) {
        Fail("reference decode has a different record count", whole.size());
    }
    for (std::size_t i = 0; i < whole.size(); ++i) {
        const CaptureRecord r = whole[i];
        CheckInvariants(r, i);
        if (!(r == pieces[i])) {
            Fail("piecewise decode differs", i);
        }
        const Reference& ref = reference[i];
        const bool sameBytes = r.bytes.size() == ref.stored.size() &&
                               std::equal(r.bytes.begin(), r.bytes.end(), ref.stored.begin());
        if (r.kind != vintrace::capture::KindOfPid(ref.pid) ||
            r.length != static_cast<std::uint8_t>(ref.received) || !sameBytes) {
            Fail("reference decode differs", i);
        }
    }
    return 0;
}
