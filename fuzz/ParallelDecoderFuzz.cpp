// Differential libFuzzer target: the parallel decoder against the one-pass decoder. The first
// three bytes of an input choose the cut (threads, slice size, slices per window) and whether
// the windows come from memory or through the reading path; the rest is the capture. Any
// difference in the records, or in the endpoint table built from the pairs the parallel
// decoder noted, aborts so the fuzzer keeps the input.
#include "capture/CaptureDecoder.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

namespace {

using vintrace::capture::CaptureRecord;
using vintrace::capture::EndpointLog;
using vintrace::capture::EndpointTable;
using vintrace::capture::PacketList;
using vintrace::capture::ParallelDecoder;
using vintrace::capture::SliceOptions;

[[noreturn]] void Fail(const char* what, std::size_t record) {
    std::fprintf(stderr, "parallel decoder fuzz: %s (record %zu)\n", what, record);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    SliceOptions cut;
    cut.threads = 1 + data[0] % 3;
    const bool reading = (data[0] & 0x80) != 0;
    cut.sliceBytes = 1 + std::size_t{data[1]} * 2; // odd sizes round up to whole units
    cut.slicesPerWindow = 1 + data[2] % 8;
    const std::span<const std::uint8_t> capture(data + 3, size - 3);

    PacketList want;
    vintrace::capture::ParseCaptureFile(capture, want);

    PacketList got;
    EndpointLog endpoints;
    if (!reading) {
        vintrace::capture::ParseCaptureFileParallel(capture, got, cut, &endpoints);
    } else {
        // Through readWindow, as the loader reads a file: slices filled on the decoding
        // threads, the input ending at the first short window.
        ParallelDecoder decoder(got, cut);
        decoder.collectEndpoints(endpoints);
        std::vector<std::uint8_t> buffer(decoder.windowBytes());
        const ParallelDecoder::Fill fill = [capture](std::uint64_t offset,
                                                     std::span<std::uint8_t> dest) {
            const std::size_t n =
                offset < capture.size()
                    ? std::min(dest.size(), capture.size() - static_cast<std::size_t>(offset))
                    : 0;
            if (n != 0) {
                std::memcpy(dest.data(), capture.data() + offset, n);
            }
            return n;
        };
        std::uint64_t offset = 0;
        for (;;) {
            const std::size_t n = decoder.readWindow(buffer.data(), buffer.size(), offset, fill);
            offset += n;
            if (n < buffer.size()) {
                break;
            }
        }
        decoder.finish();
        if (offset != capture.size()) {
            Fail("the reading path stopped before the end", got.size());
        }
    }

    if (got.size() != want.size()) {
        Fail("different record count", std::min(got.size(), want.size()));
    }
    for (std::size_t i = 0; i < want.size(); ++i) {
        const CaptureRecord a = got[i];
        const CaptureRecord b = want[i];
        if (!(a == b)) {
            Fail("records differ", i);
        }
    }
    EndpointTable wantTable;
    vintrace::capture::BuildEndpointTable(want, wantTable);
    EndpointTable gotTable;
    vintrace::capture::BuildEndpointTable(endpoints, gotTable);
    if (gotTable != wantTable) {
        Fail("different endpoint table", want.size());
    }
    // Appending afterwards must not disturb what was decoded.
    got.append(vintrace::capture::RecordKind::Data0, 3, std::span<const std::uint8_t>(data, 3));
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (!(got[i] == want[i])) {
            Fail("an append after the parallel decode changed a record", i);
        }
    }
    return 0;
}
