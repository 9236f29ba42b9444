// Real USB traffic converted to the capture format, checked record by record against a decode
// computed independently from the original pcap (see tests/data/README.md).
#include "capture/CaptureDecoder.h"
#include "capture/CaptureLoader.h"
#include "support/CapturePrinters.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace vintrace::capture {

namespace {

const std::string kData = VINTRACE_TEST_DATA;

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path);
    EXPECT_TRUE(in.is_open()) << "cannot open " << path;
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

/// The record as one line of the expected file: index, kind, length, address and endpoint
/// (tokens only, else "-"), stored bytes in upper-case hex.
std::string DumpLine(std::size_t index, const CaptureRecord& r) {
    std::ostringstream s;
    s << index << '\t' << KindName(r.kind) << '\t' << int{r.length} << '\t';
    if (IsToken(r.kind)) {
        s << int{r.address} << '\t' << int{r.endpoint} << '\t';
    } else {
        s << "-\t-\t";
    }
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::uint8_t b : r.bytes) {
        s << kDigits[b >> 4] << kDigits[b & 15];
    }
    return s.str();
}

/// Parses "address<TAB>ep ep ...".
EndpointTable ReadEndpoints(const std::string& path) {
    EndpointTable table;
    for (const std::string& line : ReadLines(path)) {
        std::istringstream in(line);
        AddressEntry e;
        int value = 0;
        in >> value;
        e.address = static_cast<std::uint8_t>(value);
        while (in >> value) {
            e.endpoints[e.endpointCount++] = static_cast<std::uint8_t>(value);
        }
        table.push_back(e);
    }
    return table;
}

struct RealCapture {
    const char* name;
    std::size_t packets; // as stated by the capture's origin, a guard against a truncated file
};

void PrintTo(const RealCapture& c, std::ostream* os) {
    *os << c.name;
}

class RealCaptureTest : public ::testing::TestWithParam<RealCapture> {
protected:
    std::string file(const char* suffix) const { return kData + "/" + GetParam().name + suffix; }
};

TEST_P(RealCaptureTest, EveryRecordMatchesTheIndependentDecode) {
    PacketList packets;
    EndpointTable table;
    const LoadResult result = LoadCaptureFile(file(".dat"), packets, table);
    ASSERT_TRUE(result.ok()) << result.reason;

    const std::vector<std::string> expected = ReadLines(file(".expected.tsv"));
    ASSERT_EQ(expected.size(), GetParam().packets);
    ASSERT_EQ(packets.size(), expected.size());
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < packets.size() && mismatches < 10; ++i) {
        const std::string got = DumpLine(i, packets[i]);
        EXPECT_EQ(got, expected[i]);
        mismatches += got != expected[i];
    }
}

TEST_P(RealCaptureTest, EndpointTableMatchesTheIndependentOne) {
    PacketList packets;
    EndpointTable table;
    ASSERT_TRUE(LoadCaptureFile(file(".dat"), packets, table).ok());
    const EndpointTable expected = ReadEndpoints(file(".endpoints.txt"));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(table, expected);
}

INSTANTIATE_TEST_SUITE_P(Captures, RealCaptureTest,
                         ::testing::Values(RealCapture{"ls-mouse", 2182},
                                           RealCapture{"fs-badge", 4406}),
                         [](const auto& info) {
                             std::string n = info.param.name;
                             std::erase(n, '-');
                             return n;
                         });

} // namespace
} // namespace vintrace::capture
