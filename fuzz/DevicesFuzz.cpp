// libFuzzer target for the device model and the class decoder. Each input is decoded as a
// capture file, grouped into transfers with the capture's own endpoint descriptors (its devices
// found from control traffic alone, checked against the whole list's), followed through
// SET_ADDRESS, listed as the devices tree (report descriptors included), every record's
// endpoint looked up, and every transfer decoded by class and split into its fields. Whatever the
// bytes say, the model must stay consistent; any broken promise aborts so the fuzzer keeps the
// input.
#include "capture/CaptureDecoder.h"
#include "protocol/ClassDecoder.h"
#include "protocol/DeviceText.h"
#include "protocol/DeviceTree.h"
#include "protocol/Devices.h"
#include "protocol/FieldTree.h"
#include "protocol/HidReport.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

using namespace vintrace;

[[noreturn]] void Fail(const char* what, std::size_t at) {
    std::fprintf(stderr, "devices fuzz: %s (%zu)\n", what, at);
    std::abort();
}

/// Every field lies within its parent's bytes, and the outermost within the payload.
void CheckNested(const std::vector<protocol::FieldNode>& nodes, std::size_t begin,
                 std::size_t end) {
    for (const protocol::FieldNode& n : nodes) {
        if (n.offset < begin || n.offset > end || n.length > end - n.offset) {
            Fail("a field's bytes lie outside its parent's", n.offset);
        }
        CheckNested(n.children, n.offset, n.offset + n.length);
    }
}

void CheckTree(const protocol::FieldTree& tree) {
    CheckNested(tree.fields, 0, tree.payload.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    capture::PacketList packets;
    capture::ParseCaptureFile(std::span<const std::uint8_t>(data, size), packets);
    const protocol::Transactions tx = protocol::GroupTransactions(packets);
    const protocol::DescribedTransfers described =
        protocol::AssembleDescribedTransfers(packets, tx);
    const auto& devices = described.devices.devices();
    // The pass over control traffic alone finds what the whole transfer list shows.
    const protocol::DeviceModel serial =
        protocol::DeviceModel::Build(packets, tx, protocol::AssembleTransfers(packets, tx));
    const protocol::DeviceModel windowed = protocol::DeviceModel::FromControlTraffic(packets, 1u);
    // Windows of a few records, grouped ahead on a second thread, split transactions.
    const protocol::DeviceModel ahead = protocol::DeviceModel::FromControlTraffic(packets, 2u, 7);
    if (serial.devices() != devices || windowed.devices() != devices ||
        ahead.devices() != devices) {
        Fail("device pass differs from the transfer list's devices", devices.size());
    }
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
    // What the devices command and the Devices window list, with its bounds.
    for (const protocol::DeviceTreeRow& row : protocol::BuildDeviceTree(devices, nullptr)) {
        for (const protocol::DeviceTreeRow& part : row.children) {
            if (part.detail) {
                CheckTree(*part.detail);
            }
        }
    }
    for (const protocol::DeviceInfo& d : devices) {
        for (const auto& [interface, bytes] : d.reportDescriptors) {
            const std::size_t lines = protocol::ReportDescriptorLines(bytes).size();
            if (lines > protocol::kListedItems + protocol::kListedProblems + 2) {
                Fail("report descriptor listing longer than its bound", lines);
            }
        }
    }
    // Every record's lookup for the endpoints the capture names: the answer must hold where
    // it was asked.
    for (std::size_t r = 0; r < packets.size(); ++r) {
        const auto address = static_cast<std::uint8_t>(packets.address(r) & 0x7F);
        const auto ep = static_cast<std::uint8_t>(packets.endpoint(r) & 0x0F);
        const auto e = described.devices.endpoint(address, ep, protocol::Direction::In, r);
        if (e.validUntil <= r) {
            Fail("endpoint answer ends at or before the record it was asked for", r);
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
        CheckTree(protocol::TransferFields(packets, tx, described.devices, item));
    }
    return 0;
}
