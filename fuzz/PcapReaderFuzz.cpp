// libFuzzer target for the pcap reader (classic pcap through our own loop, pcapng and other
// variants through libpcap). Every record it delivers must fit a USB packet, a failure must
// say what went wrong, and the records converted to the capture format must decode into
// exactly one record each.
#include "capture/CaptureDecoder.h"
#include "capture/PcapFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using namespace vintrace::capture;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "pcap reader fuzz: %s\n", what);
    std::abort();
}

class Collector : public PcapRecordSink {
public:
    bool record(std::span<const std::uint8_t> bytes) override {
        if (bytes.size() > kMaxUsbRecord) {
            Fail("a record longer than any USB packet was delivered");
        }
        if (bytes.empty()) {
            return true;
        }
        dat.push_back(0x01);
        dat.push_back(bytes[0]);
        for (std::size_t i = 1; i < bytes.size(); ++i) {
            dat.push_back(0x00);
            dat.push_back(bytes[i]);
        }
        ++records;
        return true;
    }
    std::vector<std::uint8_t> dat;
    std::size_t records = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // fmemopen refuses an empty buffer; one spare byte keeps the stream valid and unread.
    std::vector<std::uint8_t> copy(data, data + size);
    copy.push_back(0);
    std::FILE* in = fmemopen(copy.data(), size == 0 ? 1 : size, "rb");
    if (in == nullptr) {
        return 0;
    }
    if (size == 0) {
        std::fgetc(in); // an empty stream
    }
    Collector sink;
    const PcapResult result = ReadPcap(in, "fuzz", sink);
    if (!result.ok() && result.reason.empty()) {
        Fail("a failure without a reason");
    }
    if (result.ok()) {
        PacketList packets;
        ParseCaptureFile(sink.dat, packets);
        if (packets.size() != sink.records) {
            Fail("converted records do not decode one to one");
        }
    }
    return 0;
}
