#include "capture/CaptureDecoder.h"
#include "capture/CaptureLoader.h"
#include "support/CaptureBytes.h"
#include "support/CapturePrinters.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace vintrace::capture {
namespace {

using test::Append;
using test::Hex;
using test::Packet;

void ExpectSameRecords(const PacketList& got, const PacketList& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        ASSERT_EQ(got[i], want[i]) << "record " << i;
    }
}

TEST(Loader, MissingFileLeavesStoreUnchanged) {
    test::TempDir dir;
    PacketList packets;
    packets.append(RecordKind::In, 2, Hex("85 00"));
    EndpointTable table{AddressEntry{5, {1}, 1}};
    const EndpointTable tableBefore = table;

    const LoadResult r = LoadCaptureFile((dir.path() / "absent.dat").string(), packets, table);
    EXPECT_EQ(r.status, LoadStatus::CannotOpen);
    EXPECT_FALSE(r.ok());
    EXPECT_FALSE(r.reason.empty());
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].kind, RecordKind::In);
    EXPECT_EQ(table, tableBefore);
}

TEST(Loader, DirectoryIsNotLoaded) {
    test::TempDir dir;
    PacketList packets;
    EndpointTable table;
    const LoadResult r = LoadCaptureFile(dir.path().string(), packets, table);
    EXPECT_FALSE(r.ok());
    EXPECT_FALSE(r.reason.empty());
    EXPECT_TRUE(packets.empty());
    EXPECT_TRUE(table.empty());
}

// A device never ends or ends at once, and a FIFO blocks until someone writes: none is a
// capture, and opening one returns at once.
TEST(Loader, OnlyRegularFilesAreLoaded) {
    test::TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string linkToDevice = dir / "null-link";
    std::filesystem::create_symlink("/dev/null", linkToDevice);
    for (const std::string& path : {std::string("/dev/null"), fifo, linkToDevice}) {
        PacketList packets;
        EndpointTable table;
        const LoadResult r = LoadCaptureFile(path, packets, table);
        EXPECT_EQ(r.status, LoadStatus::CannotOpen) << path;
        EXPECT_EQ(r.reason, "not a regular file") << path;
    }
}

// The loader only reads, so a capture the user cannot write still opens.
TEST(Loader, ReadOnlyFileLoads) {
    test::TempDir dir;
    std::vector<std::uint8_t> file = Packet(0x69, {0x85, 0x00});
    Append(file, Packet(0xD2));
    const std::string path = dir.write("readonly.dat", file);
    std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
    PacketList packets;
    EndpointTable table;
    const LoadResult r = LoadCaptureFile(path, packets, table);
    ASSERT_TRUE(r.ok()) << r.reason;
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].address, 5);
    EXPECT_EQ(packets[1].kind, RecordKind::Ack);
    EXPECT_EQ(table, (EndpointTable{AddressEntry{5, {1}, 1}}));
}

TEST(Loader, EmptyFileLoadsNothing) {
    test::TempDir dir;
    PacketList packets;
    EndpointTable table;
    const LoadResult r = LoadCaptureFile(dir.write("empty.dat", {}), packets, table);
    EXPECT_TRUE(r.ok());
    EXPECT_TRUE(packets.empty());
    EXPECT_TRUE(table.empty());
}

// Several read pieces' worth of traffic (the loader reads 4 MiB at a time) with packets that
// straddle the piece boundaries and an odd last byte must decode exactly like the whole
// buffer in one go.
TEST(Loader, LargeFileMatchesWholeBufferDecode) {
    constexpr std::size_t kPiece = std::size_t{4} << 20;
    std::vector<std::uint8_t> file = Hex("00 77 02 66"); // a cut packet before the first start
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    constexpr std::uint8_t kPids[] = {0x2D, 0xE1, 0x69, 0xD2, 0x5A, 0x1E, 0xC3, 0x4B, 0xA5, 0x3C};
    while (file.size() < 2 * kPiece + 300'000) {
        const std::uint8_t pid = kPids[next() % std::size(kPids)];
        // Mostly ordinary sizes, now and then one long enough to wrap the length count.
        const std::size_t n = next() % 50 == 0 ? 200 + next() % 200 : next() % 70;
        std::vector<std::uint8_t> bytes(n);
        for (auto& b : bytes) {
            b = static_cast<std::uint8_t>(next());
        }
        Append(file, Packet(pid, bytes));
        if (next() % 97 == 0) {
            file.insert(file.end(), {static_cast<std::uint8_t>(2 + next() % 250), 0xEE});
        }
    }
    // Force a long packet across each piece boundary.
    for (std::size_t boundary : {kPiece, 2 * kPiece}) {
        const std::size_t at = boundary - 100;
        std::vector<std::uint8_t> cross = Packet(0xC3, std::vector<std::uint8_t>(150, 0x5A));
        std::copy(cross.begin(), cross.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
    }
    file.push_back(0x01); // odd length: a marker without its value
    ASSERT_EQ(file[kPiece] | file[2 * kPiece], 0) << "boundaries should fall inside a packet";

    test::TempDir dir;
    const std::string path = dir.write("large.dat", file);
    PacketList loaded;
    EndpointTable loadedTable;
    const LoadResult r = LoadCaptureFile(path, loaded, loadedTable);
    ASSERT_TRUE(r.ok()) << r.reason;

    PacketList whole;
    ParseCaptureFile(file, whole);
    EndpointTable wholeTable;
    BuildEndpointTable(whole, wholeTable);
    ASSERT_GT(whole.size(), 100'000u);
    ExpectSameRecords(loaded, whole);
    EXPECT_EQ(loadedTable, wholeTable);
}

struct RemoveCase {
    const char* name;
    std::size_t records;
    /// No record before this one is removed.
    std::size_t firstRemoved = 0;
};

// Printed by name so that test names stay the same from build to build.
void PrintTo(const RemoveCase& c, std::ostream* os) {
    *os << c.name << " (" << c.records << " records)";
}

class RemoveKind : public ::testing::TestWithParam<RemoveCase> {};

// Removing one kind keeps the others in their order, also across the store's internal chunks.
TEST_P(RemoveKind, KeepsOrderOfTheRest) {
    std::vector<std::uint8_t> file;
    std::vector<std::size_t> kept; // each record carries its index in its first three bytes
    for (std::size_t i = 0; i < GetParam().records; ++i) {
        const bool sof = i >= GetParam().firstRemoved && (i % 3 == 1 || i % 11 == 0);
        const auto b = [i](int shift) { return static_cast<std::uint8_t>(i >> shift); };
        Append(file, sof ? Packet(0xA5, {b(0), b(8)}) : Packet(0xC3, {b(0), b(8), b(16)}));
        if (!sof) {
            kept.push_back(i);
        }
    }
    PacketList list;
    ParseCaptureFile(file, list);
    const std::size_t before = list.size();
    EXPECT_EQ(list.removeKind(RecordKind::Sof), before - kept.size());
    ASSERT_EQ(list.size(), kept.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        const CaptureRecord r = list[i];
        ASSERT_EQ(r.kind, RecordKind::Data0) << i;
        const std::size_t index = r.byteAt(0) | r.byteAt(1) << 8 | r.byteAt(2) << 16;
        ASSERT_EQ(index, kept[i]) << "position " << i;
    }
    EXPECT_EQ(list.removeKind(RecordKind::Sof), 0u);
    EXPECT_EQ(list.size(), kept.size());
}

// A worker reads a clone while the store it came from is hidden, reloaded or freed.
TEST_P(RemoveKind, CloneKeepsTheRecordsAfterTheOriginalGoes) {
    std::vector<std::uint8_t> file;
    for (std::size_t i = 0; i < GetParam().records; ++i) {
        const auto b = [i](int shift) { return static_cast<std::uint8_t>(i >> shift); };
        Append(file, i % 3 == 1 ? Packet(0xA5, {b(0), b(8)}) : Packet(0xC3, {b(0), b(8), b(16)}));
    }
    PacketList list;
    ParseCaptureFile(file, list);
    list.removeKind(RecordKind::Sof); // the last chunk is partly used, the bytes are not moved
    std::vector<std::size_t> want;
    for (std::size_t i = 0; i < list.size(); ++i) {
        want.push_back(list[i].byteAt(0) | list[i].byteAt(1) << 8 | list[i].byteAt(2) << 16);
    }
    // A copy given up (the store is about to change) holds nothing, not a part.
    const std::atomic<bool> stop{true};
    EXPECT_TRUE(list.clone(&stop).empty());
    PacketList copy = list.clone();
    list.clear();
    ASSERT_EQ(copy.size(), want.size());
    for (std::size_t i = 0; i < copy.size(); ++i) {
        const CaptureRecord r = copy[i];
        ASSERT_EQ(r.kind, RecordKind::Data0) << i;
        ASSERT_EQ(r.byteAt(0) | r.byteAt(1) << 8 | r.byteAt(2) << 16, want[i]) << i;
    }
    // The copy grows on its own.
    copy.append(RecordKind::Ack, 0, {});
    EXPECT_EQ(copy[copy.size() - 1].kind, RecordKind::Ack);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RemoveKind,
                         ::testing::Values(RemoveCase{"Empty", 0}, RemoveCase{"Small", 40},
                                           RemoveCase{"ManyChunks", 300'000},
                                           // The first removal deep in a later chunk.
                                           RemoveCase{"FirstRemovedLate", 200'000, 70'001}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace vintrace::capture

namespace vintrace::capture {
namespace {

// Captures of hundreds of millions of packets must fit: beyond its stored bytes a record
// costs its 10-byte header; the stores' blocks and chunks add a bounded slack.
TEST(PacketListMemory, TenBytesPerRecordBeyondStoredBytes) {
    std::vector<std::uint8_t> file;
    std::size_t stored = 0;
    for (std::size_t i = 0; i < 600'000; ++i) {
        if (i % 3 == 0) {
            Append(file, Packet(0xD2));
        } else {
            Append(file, Packet(0xA5, {static_cast<std::uint8_t>(i), 0x01}));
            stored += 2;
        }
    }
    for (bool parallel : {false, true}) {
        PacketList list;
        if (parallel) {
            ParseCaptureFileParallel(file, list, {2, 0, 0});
        } else {
            ParseCaptureFile(file, list);
        }
        ASSERT_EQ(list.size(), 600'000u);
        const double perRecord =
            (static_cast<double>(list.memoryUsed()) - static_cast<double>(stored)) / 600'000.0;
        // Slack: a partly used block of bytes per thread (a large page each), and a partly
        // used chunk of 262,144 headers.
        const double slack = 2.0 * platform::kLargePage + (1 << 18) * 10.0;
        EXPECT_LE(perRecord, 10.0 + slack / 600'000.0 + 0.2) << "parallel " << parallel;
    }
}

} // namespace
} // namespace vintrace::capture
