// The dump writer's table-driven formatting against a plain, stream-formatted reference:
// every kind and length, index digits that carry, indices out of order, and output far larger
// than the writer's buffer, with and without extra columns.
#include "DumpWriter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace vintrace::cli {
namespace {

using capture::CaptureRecord;
using capture::RecordKind;

std::string Reference(std::size_t index, const CaptureRecord& r,
                      const std::vector<std::string>& extra) {
    std::ostringstream s;
    s << index << '\t' << capture::KindName(r.kind) << '\t' << int{r.length} << '\t';
    if (capture::IsToken(r.kind)) {
        s << int{r.address} << '\t' << int{r.endpoint} << '\t';
    } else {
        s << "-\t-\t";
    }
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::uint8_t b : r.bytes) {
        s << kDigits[b >> 4] << kDigits[b & 15];
    }
    for (const std::string& e : extra) {
        s << '\t' << e;
    }
    s << '\n';
    return s.str();
}

struct Line {
    std::size_t index;
    CaptureRecord record;
    std::vector<std::string> extra;
};

/// Writes `lines` through a DumpWriter into a temporary file and returns what arrived.
std::string Written(const std::vector<Line>& lines) {
    std::FILE* f = std::tmpfile();
    EXPECT_NE(f, nullptr);
    {
        DumpWriter writer(f);
        for (const Line& l : lines) {
            std::vector<std::string_view> extra(l.extra.begin(), l.extra.end());
            writer.write(l.index, l.record, extra);
        }
        EXPECT_TRUE(writer.flush());
    }
    std::rewind(f);
    std::string out;
    char buffer[1 << 16];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) {
        out.append(buffer, n);
    }
    std::fclose(f);
    return out;
}

void ExpectSameAsReference(const std::vector<Line>& lines) {
    std::string want;
    for (const Line& l : lines) {
        want += Reference(l.index, l.record, l.extra);
    }
    const std::string got = Written(lines);
    ASSERT_EQ(got.size(), want.size());
    const auto diff = std::mismatch(got.begin(), got.end(), want.begin());
    EXPECT_TRUE(diff.first == got.end())
        << "first difference at byte " << (diff.first - got.begin()) << ": got \""
        << got.substr(static_cast<std::size_t>(diff.first - got.begin()), 40) << "\"";
}

std::vector<std::uint8_t> g_bytes = [] {
    std::vector<std::uint8_t> b(256);
    for (int i = 0; i < 256; ++i) {
        b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    return b;
}();

CaptureRecord Record(std::size_t i) {
    const auto kind = static_cast<RecordKind>(i % (capture::kRecordKindCount + 1)); // "?" too
    const std::size_t stored = std::min<std::size_t>(i % 67, capture::CapacityOf(kind));
    return {kind,
            static_cast<std::uint8_t>(i * 13),
            {g_bytes.data() + i % 190, stored},
            static_cast<std::uint8_t>(i % 128),
            static_cast<std::uint8_t>(i % 16)};
}

TEST(DumpWriter, NumbersInOrderCarryAcrossDigits) {
    std::vector<Line> lines;
    for (std::size_t i = 0; i < 1200; ++i) {
        lines.push_back({i, Record(i), {}});
    }
    for (std::size_t i = 99'990; i < 100'010; ++i) {
        lines.push_back({i, Record(i), {}});
    }
    ExpectSameAsReference(lines);
}

TEST(DumpWriter, NumbersOutOfOrder) {
    const std::size_t max = std::numeric_limits<std::size_t>::max();
    std::vector<Line> lines;
    for (std::size_t index : {std::size_t{5}, std::size_t{4}, std::size_t{10}, std::size_t{9},
                              std::size_t{10}, std::size_t{0}, max - 1, max, std::size_t{1},
                              std::size_t{999}, std::size_t{1000}, std::size_t{99}}) {
        lines.push_back({index, Record(index % 1000), {}});
    }
    ExpectSameAsReference(lines);
}

TEST(DumpWriter, OutputLargerThanItsBuffer) {
    std::vector<Line> lines;
    for (std::size_t i = 0; i < 60'000; ++i) { // about 10 MB
        lines.push_back({i, Record(i * 7), {}});
    }
    ExpectSameAsReference(lines);
}

TEST(DumpWriter, ExtraColumnsOfAnySize) {
    std::vector<Line> lines;
    for (std::size_t i = 0; i < 30'000; ++i) {
        std::vector<std::string> extra{i % 3 == 0 ? "ok" : "crc5,toggle"};
        if (i % 2 == 0) {
            extra.emplace_back(i % 1000 == 0 ? std::string(5'000'000, 'x') : "");
        }
        lines.push_back({i, Record(i), extra});
    }
    ExpectSameAsReference(lines);
}

// The parallel dump gives the serial text whatever the threads and batch size: batches of one
// record, batches that do not divide the list, more threads than batches; a record of every
// kind and stored size, so the hex runs of 8 and 16 at a time meet every tail.
TEST(DumpWriter, ParallelDumpMatchesReference) {
    capture::PacketList packets;
    for (std::size_t i = 0; i < 5'000; ++i) {
        const CaptureRecord r = Record(i);
        packets.append(r.kind, r.length, r.bytes);
    }
    std::string want;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        want += Reference(i, packets[i], {});
    }
    struct Case {
        unsigned threads;
        std::size_t batch;
    };
    for (const Case c : {Case{2, 1}, Case{2, 7}, Case{3, 1000}, Case{8, 4'999}, Case{2, 5'000},
                         Case{1, 64}, Case{0, 100}}) {
        SCOPED_TRACE(testing::Message() << c.threads << " threads, batch " << c.batch);
        std::FILE* f = std::tmpfile();
        ASSERT_NE(f, nullptr);
        EXPECT_TRUE(DumpAll(packets, f, c.threads, c.batch));
        std::rewind(f);
        std::string got;
        char buffer[1 << 16];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) {
            got.append(buffer, n);
        }
        std::fclose(f);
        EXPECT_TRUE(got == want) << "sizes " << got.size() << " and " << want.size();
    }
}

// A closed pipe or a full disk shows as a failed flush, not as success.
TEST(DumpWriter, ReportsAFailedWrite) {
    std::FILE* full = std::fopen("/dev/full", "w");
    if (full == nullptr) {
        GTEST_SKIP() << "no /dev/full";
    }
    {
        DumpWriter writer(full);
        for (std::size_t i = 0; i < 10; ++i) {
            writer.write(i, Record(i));
        }
        EXPECT_FALSE(writer.flush());
    }
    // In parallel, the formatting threads stop at the first failed write.
    capture::PacketList packets;
    for (std::size_t i = 0; i < 20'000; ++i) {
        const CaptureRecord r = Record(i);
        packets.append(r.kind, r.length, r.bytes);
    }
    EXPECT_FALSE(DumpAll(packets, full, 2, 100));
    std::fclose(full);
}

} // namespace
} // namespace vintrace::cli
