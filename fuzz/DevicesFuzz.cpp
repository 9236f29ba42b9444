// libFuzzer target for the device model and the class decoder. Each input is decoded as a
// capture file, grouped into transfers with the capture's own endpoint descriptors, followed
// through SET_ADDRESS, and every transfer decoded by class. Whatever the bytes say, the model
// must stay consistent; any broken promise aborts so the fuzzer keeps the input.
#include "capture/CaptureDecoder.h"
#include "protocol/ClassDecoder.h"
#include "protocol/Devices.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace {

using namespace vintrace;

[[noreturn]] void Fail(const char* what, std::size_t at) {
    std::fprintf(stderr, "devices fuzz: %s (%zu)\n", what, at);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    capture::PacketList packets;
    capture::ParseCaptureFile(std::span<const std::uint8_t>(data, size), packets);
    const protocol::Transactions tx = protocol::GroupTransactions(packets);
    const protocol::DescribedTransfers described =
        protocol::AssembleDescribedTransfers(packets, tx);
    const auto& devices = described.devices.devices();
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const protocol::DeviceInfo& d = devices[i];
        if (d.address > 127 || d.firstAddress > 127 || d.first >= packets.size()) {
            Fail("device address or first packet out of range", i);
        }
        for (std::uint8_t ep = 0; ep < 16; ++ep) {
            for (auto dir : {protocol::Direction::In, protocol::Direction::Out}) {
                const auto e = described.devices.endpoint(d.address, ep, dir, d.first);
                if (e.description && e.description->maxPacketSize > 0x7FF) {
                    Fail("maximum packet size wider than 11 bits", i);
                }
                if (e.validUntil <= d.first) {
                    Fail("endpoint answer ends before the record it was asked for", i);
                }
            }
        }
    }
    protocol::ClassDecoder decoder(packets, tx, described.devices);
    for (const protocol::TransferItem& item : described.items) {
        if (item.type != protocol::TransferType::Sof &&
            item.type != protocol::TransferType::Malformed) {
            const auto at =
                described.devices.deviceAt(item.address, protocol::FirstRecord(tx, item));
            if (at && *at >= devices.size()) {
                Fail("transfer's device out of range", item.firstTransaction);
            }
        }
        (void)decoder.decode(item);
    }
    return 0;
}
