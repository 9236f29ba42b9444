// The parallel decoder against the one-pass decoder: every input, every way of cutting it into
// windows and slices, on any number of threads, must give the same records.
#include "capture/CaptureDecoder.h"
#include "capture/CaptureLoader.h"
#include "support/CaptureBytes.h"
#include "support/CapturePrinters.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vintrace::capture {
namespace {

using test::Append;
using test::Hex;
using test::Packet;

const std::string kData = VINTRACE_TEST_DATA;

void ExpectSameRecords(const PacketList& got, const PacketList& want, const std::string& how) {
    ASSERT_EQ(got.size(), want.size()) << how;
    for (std::size_t i = 0; i < want.size(); ++i) {
        ASSERT_EQ(got[i], want[i]) << how << ", record " << i;
    }
}

std::string Describe(const SliceOptions& o) {
    return "threads " + std::to_string(o.threads) + ", slice " + std::to_string(o.sliceBytes) +
           ", slices per window " + std::to_string(o.slicesPerWindow);
}

/// Decodes `file` both ways under every cut in `cuts` and compares the records, and the
/// endpoint table built from the pairs the parallel decoder noted with the one built from
/// the one-pass records.
void ExpectSameAsOnePass(const std::vector<std::uint8_t>& file,
                         const std::vector<SliceOptions>& cuts) {
    PacketList want;
    ParseCaptureFile(file, want);
    EndpointTable wantTable;
    BuildEndpointTable(want, wantTable);
    for (const SliceOptions& cut : cuts) {
        PacketList got;
        EndpointLog log;
        ParseCaptureFileParallel(file, got, cut, &log);
        ExpectSameRecords(got, want, Describe(cut));
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
        EndpointTable gotTable;
        BuildEndpointTable(log, gotTable);
        ASSERT_EQ(gotTable, wantTable) << Describe(cut);
    }
}

/// Small slices and windows of every shape: a slice of one unit, slices that cut units in
/// the middle (odd sizes are rounded up to whole units), one slice per window, and windows
/// of more slices than threads.
std::vector<SliceOptions> SmallCuts() {
    std::vector<SliceOptions> cuts;
    for (unsigned threads : {1u, 2u, 3u}) {
        for (std::size_t slice : {1u, 2u, 4u, 6u, 9u, 14u, 64u, 130u, 1000u}) {
            for (std::size_t perWindow : {1u, 2u, 5u}) {
                cuts.push_back({threads, slice, perWindow});
            }
        }
    }
    return cuts;
}

struct Input {
    const char* name;
    std::vector<std::uint8_t> file;
};

void PrintTo(const Input& c, std::ostream* os) {
    *os << c.name;
}

std::vector<std::uint8_t> Concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> out;
    for (const auto& p : parts) {
        Append(out, p);
    }
    return out;
}

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return out;
}

class ParallelEdgeCases : public ::testing::TestWithParam<Input> {};

TEST_P(ParallelEdgeCases, MatchesOnePassDecoder) {
    ExpectSameAsOnePass(GetParam().file, SmallCuts());
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ParallelEdgeCases,
    ::testing::Values(
        Input{"Empty", {}}, Input{"OneByte", Hex("01")},
        Input{"NoStartUnit", Hex("00 12 02 34 FF 56 00 01")},
        Input{"LeadingUnitsSkipped", Hex("00 12 00 34 02 56 00 78 01 D2 00 01")},
        Input{"EndsWithStartUnit", Hex("01 69 00 85 02 00 01 A5")},
        Input{"OddLengthCutsLastUnit", Hex("01 A5 00 12 00 34 00")},
        Input{"StartUnitsBackToBack", Hex("01 D2 01 5A 01 1E 01 D2 01 5A 01 1E 01 D2")},
        // A token cut after its address byte keeps the address; the endpoint byte comes in
        // the next slice for most cuts.
        Input{"TokenAcrossSlices", Concat({Packet(0xE1, {0x85, 0x03}), Packet(0x69, {0x85}),
                                           Hex("00 03 00 11"), Packet(0xD2)})},
        // Long packets span many slices and windows; 300 bytes wrap the length count and
        // overflow the stored bytes.
        Input{"LongPacketsSpanWindows",
              Concat({Hex("00 AA"), Packet(0xC3, Bytes(300, 1)), Packet(0x4B, Bytes(66, 2)),
                      Packet(0x3C, Bytes(67, 3)), Packet(0x2D, Bytes(5, 4)),
                      Packet(0xC3, Bytes(65, 5)), Packet(0x00, Bytes(258, 6))})},
        // Units whose value byte is 1 look like markers from the wrong phase; only even
        // offsets are units.
        Input{"ValueBytesOfOne",
              Concat({Packet(0xC3, std::vector<std::uint8_t>(40, 0x01)), Hex("01 01 00 01 01 01"),
                      Packet(0x4B, std::vector<std::uint8_t>(9, 0x01))})}),
    [](const auto& info) { return std::string(info.param.name); });

// Random files: runs of packets of every identifier and size, stray markers and garbage.
TEST(ParallelDecoder, RandomFilesMatchOnePassDecoder) {
    std::uint32_t seed = 2024;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (int round = 0; round < 40; ++round) {
        std::vector<std::uint8_t> file;
        const std::size_t size = next() % 4000;
        while (file.size() < size) {
            const unsigned what = next() % 10;
            if (what == 0) {
                file.push_back(static_cast<std::uint8_t>(next())); // shifts the unit phase
            } else if (what == 1) {
                file.insert(file.end(), {static_cast<std::uint8_t>(next() % 3), 0x01});
            } else {
                const std::size_t n = next() % 8 == 0 ? next() % 400 : next() % 12;
                std::vector<std::uint8_t> bytes(n);
                for (auto& b : bytes) {
                    b = static_cast<std::uint8_t>(next() % 3 == 0 ? 1 : next());
                }
                Append(file, Packet(static_cast<std::uint8_t>(next()), bytes));
            }
        }
        std::vector<SliceOptions> cuts;
        for (int c = 0; c < 12; ++c) {
            cuts.push_back({1 + next() % 4, 1 + next() % 300, 1 + next() % 6});
        }
        ExpectSameAsOnePass(file, cuts);
        if (HasFatalFailure()) {
            FAIL() << "round " << round;
        }
    }
}

// Tokens to many addresses, each with more distinct endpoints than a table entry keeps, in an
// order that differs from address to address: which endpoints an entry keeps, and in what
// order, depends on which record of each pair comes first, across slices and windows.
TEST(ParallelDecoder, EndpointPairsInRecordOrder) {
    std::uint32_t seed = 99;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    std::vector<std::uint8_t> file;
    static constexpr std::uint8_t kTokens[] = {0x2D, 0xE1, 0x69};
    for (int i = 0; i < 6000; ++i) {
        const unsigned address = next() % 40;
        const unsigned endpoint = (next() + address * 5) % 16;
        const std::uint8_t b0 = static_cast<std::uint8_t>(address | (endpoint & 1) << 7);
        const std::uint8_t b1 = static_cast<std::uint8_t>(endpoint >> 1 | (next() & 0xF8));
        if (next() % 4 == 0) {
            Append(file, Packet(0xC3, Bytes(next() % 20, static_cast<std::uint8_t>(i))));
        }
        // Now and then a token cut after its first byte: address only, endpoint 0.
        Append(file,
               next() % 50 == 0 ? Packet(kTokens[i % 3], {b0}) : Packet(kTokens[i % 3], {b0, b1}));
    }
    std::vector<SliceOptions> cuts;
    for (int c = 0; c < 25; ++c) {
        cuts.push_back({1 + next() % 3, 1 + next() % 900, 1 + next() % 5});
    }
    ExpectSameAsOnePass(file, cuts);
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.is_open()) << path;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ParallelRealCaptures : public ::testing::TestWithParam<const char*> {};

// Every even cut point of the real captures, with windows of one to three slices.
TEST_P(ParallelRealCaptures, MatchOnePassDecoder) {
    const std::vector<std::uint8_t> file = ReadFile(kData + "/" + GetParam());
    ASSERT_FALSE(file.empty());
    std::vector<SliceOptions> cuts;
    for (std::size_t slice = 2; slice <= 512; slice += slice < 64 ? 2 : 30) {
        cuts.push_back({2, slice, 1 + slice % 3});
    }
    for (std::size_t slice : {file.size() / 7, file.size() / 2, file.size(), file.size() + 10}) {
        cuts.push_back({3, slice, 2});
    }
    ExpectSameAsOnePass(file, cuts);
}

INSTANTIATE_TEST_SUITE_P(Files, ParallelRealCaptures,
                         ::testing::Values("ls-mouse.dat", "fs-badge.dat", "edge-cases.dat",
                                           "faults.dat"),
                         [](const auto& info) {
                             std::string name = info.param;
                             name = name.substr(0, name.find('.'));
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// Many megabytes on several threads keep the store as compact as one pass does: each
// thread fills blocks of its own, so at most one partly used block per thread is added.
TEST(ParallelDecoder, LargeCaptureMatchesAndStaysCompact) {
    std::vector<std::uint8_t> file;
    std::uint32_t seed = 7;
    while (file.size() < (std::size_t{24} << 20)) {
        seed = seed * 1664525u + 1013904223u;
        const unsigned r = seed >> 24;
        if (r < 100) {
            Append(file, Packet(0xA5, {static_cast<std::uint8_t>(r), 0x10}));
        } else if (r < 200) {
            Append(file, Packet(0x69, {static_cast<std::uint8_t>(r), 0x81}));
        } else {
            Append(file, Packet(0xC3, Bytes(r - 190, static_cast<std::uint8_t>(r))));
        }
    }
    PacketList want;
    ParseCaptureFile(file, want);
    for (unsigned threads : {2u, 4u}) {
        PacketList got;
        ParseCaptureFileParallel(file, got, {threads, 0, 0});
        ExpectSameRecords(got, want, std::to_string(threads) + " threads");
        EXPECT_LE(got.memoryUsed(), want.memoryUsed() + threads * platform::kLargePage + 4096)
            << threads << " threads";
    }
}

// A file several windows long, loaded with each thread count, is the one-pass decode.
TEST(ParallelLoader, LoadsLikeOnePassDecoderOnAnyThreadCount) {
    std::vector<std::uint8_t> file = Hex("00 77");
    for (std::size_t i = 0; file.size() < (std::size_t{70} << 20); ++i) {
        Append(file, Packet(i % 5 == 0 ? 0xC3 : 0xE1, Bytes(i % 90, static_cast<std::uint8_t>(i))));
    }
    file.push_back(0x01);
    test::TempDir dir;
    const std::string path = dir.write("windows.dat", file);
    PacketList want;
    ParseCaptureFile(file, want);
    for (unsigned threads : {1u, 2u, 5u}) {
        PacketList got;
        EndpointTable table;
        LoadOptions options;
        options.threads = threads;
        const LoadResult r = LoadCaptureFile(path, got, table, options);
        ASSERT_TRUE(r.ok()) << r.reason;
        ExpectSameRecords(got, want, std::to_string(threads) + " threads");
        EndpointTable wantTable;
        BuildEndpointTable(want, wantTable);
        EXPECT_EQ(table, wantTable) << threads << " threads";
    }
}

TEST(ParallelLoader, ReportsProgressUpToTheFileSize) {
    std::vector<std::uint8_t> file;
    while (file.size() < (std::size_t{40} << 20)) {
        Append(file, Packet(0xC3, Bytes(30, 9)));
    }
    test::TempDir dir;
    const std::string path = dir.write("progress.dat", file);
    std::vector<std::uint64_t> done;
    LoadOptions options;
    options.threads = 2;
    options.progress = [&](std::uint64_t d, std::uint64_t total) {
        EXPECT_EQ(total, file.size());
        done.push_back(d);
    };
    PacketList packets;
    EndpointTable table;
    ASSERT_TRUE(LoadCaptureFile(path, packets, table, options).ok());
    ASSERT_GE(done.size(), 2u) << "a file of several windows reports more than once";
    EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
    EXPECT_EQ(done.back(), file.size());
    EXPECT_EQ(packets.size(), file.size() / 62);
}

TEST(ParallelLoader, CancelEmptiesTheStore) {
    std::vector<std::uint8_t> file;
    while (file.size() < (std::size_t{40} << 20)) {
        Append(file, Packet(0xE1, {0x85, 0x03}));
    }
    test::TempDir dir;
    const std::string path = dir.write("cancel.dat", file);
    std::atomic<bool> cancel{false};
    std::size_t calls = 0;
    LoadOptions options;
    options.threads = 2;
    options.cancel = &cancel;
    options.progress = [&](std::uint64_t, std::uint64_t) {
        ++calls;
        cancel = true; // as a Cancel button pressed during the first stretch
    };
    PacketList packets;
    EndpointTable table;
    const LoadResult r = LoadCaptureFile(path, packets, table, options);
    EXPECT_EQ(r.status, LoadStatus::Cancelled);
    EXPECT_EQ(calls, 1u);
    EXPECT_TRUE(packets.empty());
    EXPECT_TRUE(table.empty());
    // The store is usable afterwards.
    cancel = false;
    options.progress = nullptr;
    ASSERT_TRUE(LoadCaptureFile(path, packets, table, options).ok());
    EXPECT_EQ(packets.size(), file.size() / 6);
    EXPECT_EQ(table.size(), 1u);
}

// Appending after a parallel decode, and moving the list, keep every record intact.
TEST(ParallelDecoder, AppendAndMoveAfterParallelDecode) {
    std::vector<std::uint8_t> file;
    for (int i = 0; i < 5000; ++i) {
        Append(file,
               Packet(0x4B, Bytes(static_cast<std::size_t>(i % 70), static_cast<std::uint8_t>(i))));
    }
    PacketList want;
    ParseCaptureFile(file, want);
    want.append(RecordKind::In, 2, Hex("85 00"));
    PacketList got;
    ParseCaptureFileParallel(file, got, {2, 1000, 3});
    got.append(RecordKind::In, 2, Hex("85 00"));
    PacketList moved = std::move(got);
    EXPECT_TRUE(got.empty());
    ExpectSameRecords(moved, want, "moved");
    got.append(RecordKind::Ack, 0, {});
    EXPECT_EQ(got.size(), 1u);
    ExpectSameRecords(moved, want, "after appending to the moved-from list");
}

} // namespace
} // namespace vintrace::capture
