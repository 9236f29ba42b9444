#pragma once

// The wire protocol between the socket shim (Win32Shim.cpp) and a device's driver process such
// as vintrace-analyzer-emu. Header-only, so the emulator shares nothing else with the core.
//
// Transport: one Unix-domain SOCK_SEQPACKET socket per device interface, in the class
// directory of its interface-class GUID (ClassDirectory below); the interfaces are the
// sockets there in name order. A device path is the socket's path; a path with a backslash
// names a pipe of that device ("<socket path>\PIPE00").
//
// Every message is one frame; all integers are little-endian 32-bit.
//   Request: magic, op, code, outLength, inLength, regionCount,
//            inLength bytes of input, then per region: address, length, bytes.
//   Reply:   magic, error, outLength, outLength bytes of output.
// A connection starts with one Open request whose input is the pipe name (empty for the
// device itself); the reply's error refuses it. After that, in order, one reply per request:
//   Ioctl     `code` is the control code, the input buffer is the input; outLength is the
//             size of the caller's output buffer and the reply's output goes into it.
//             The regions are the caller's buffers that records in the input may name by
//             32-bit address (platform::UserBuffer), shipped because the driver cannot read
//             the caller's memory.
//   Transfer  a WriteFile on a pipe: the driver fills the caller's buffer, so the request
//             carries only the size (outLength) and the reply the bytes placed in it.
// `error` is a Windows error code, 0 for success.
//
// Trust: the shim lists a class directory only when it and the root above it are real
// directories (not symbolic links) owned by the user, with no group or other permissions, and
// talks only to a socket whose listener runs as the user (SO_PEERCRED). Time: connecting, the
// Open and a device's first request share one deadline (1 s); each pipe Transfer has its own
// (5 s). A request left unanswered spoils its connection: a late reply is never read.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include <unistd.h>

namespace vintrace::platform::wire {

inline constexpr std::uint32_t kRequestMagic = 0x31415456; // "VTA1"
inline constexpr std::uint32_t kReplyMagic = 0x31525456;   // "VTR1"
/// Largest output a request may ask for; bigger requests are clipped by the shim.
inline constexpr std::uint32_t kMaxOutput = 65536;
/// Largest input and the most regions a request may carry.
inline constexpr std::uint32_t kMaxInput = 4096;
inline constexpr std::uint32_t kMaxRegions = 16;
/// Receive buffer large enough for any valid frame.
inline constexpr std::size_t kMaxFrame = kMaxOutput + kMaxInput * (kMaxRegions + 1) + 1024;

enum class Op : std::uint32_t { Open = 1, Ioctl = 2, Transfer = 3 };

struct Region {
    std::uint32_t address = 0;
    std::vector<std::uint8_t> bytes;
};

struct Request {
    Op op = Op::Open;
    std::uint32_t code = 0;
    std::uint32_t outLength = 0;
    std::vector<std::uint8_t> input;
    std::vector<Region> regions;
};

struct Reply {
    std::uint32_t error = 0;
    std::vector<std::uint8_t> output;
};

namespace detail {
inline void Put(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

/// Reads frames field by field; any read past the end marks it failed.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}
    std::uint32_t u32() {
        if (data_.size() - pos_ < 4 || failed_) {
            failed_ = true;
            return 0;
        }
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= static_cast<std::uint32_t>(data_[pos_ + i]) << (8 * i);
        }
        pos_ += 4;
        return v;
    }
    std::vector<std::uint8_t> bytes(std::uint32_t n) {
        if (data_.size() - pos_ < n || failed_) {
            failed_ = true;
            return {};
        }
        std::vector<std::uint8_t> out(data_.begin() + static_cast<std::ptrdiff_t>(pos_),
                                      data_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
        pos_ += n;
        return out;
    }
    bool done() const { return !failed_ && pos_ == data_.size(); }

private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
    bool failed_ = false;
};
} // namespace detail

inline std::vector<std::uint8_t> EncodeRequest(const Request& r) {
    std::vector<std::uint8_t> out;
    detail::Put(out, kRequestMagic);
    detail::Put(out, static_cast<std::uint32_t>(r.op));
    detail::Put(out, r.code);
    detail::Put(out, r.outLength);
    detail::Put(out, static_cast<std::uint32_t>(r.input.size()));
    detail::Put(out, static_cast<std::uint32_t>(r.regions.size()));
    out.insert(out.end(), r.input.begin(), r.input.end());
    for (const Region& g : r.regions) {
        detail::Put(out, g.address);
        detail::Put(out, static_cast<std::uint32_t>(g.bytes.size()));
        out.insert(out.end(), g.bytes.begin(), g.bytes.end());
    }
    return out;
}

/// False for a malformed frame (bad magic or op, sizes over the limits, wrong length).
inline bool DecodeRequest(std::span<const std::uint8_t> frame, Request& r) {
    detail::Reader in(frame);
    if (in.u32() != kRequestMagic) {
        return false;
    }
    const std::uint32_t op = in.u32();
    if (op < 1 || op > 3) {
        return false;
    }
    r.op = static_cast<Op>(op);
    r.code = in.u32();
    r.outLength = in.u32();
    const std::uint32_t inLength = in.u32();
    const std::uint32_t regionCount = in.u32();
    if (r.outLength > kMaxOutput || inLength > kMaxInput || regionCount > kMaxRegions) {
        return false;
    }
    r.input = in.bytes(inLength);
    r.regions.clear();
    for (std::uint32_t i = 0; i < regionCount; ++i) {
        Region g;
        g.address = in.u32();
        const std::uint32_t length = in.u32();
        if (length > kMaxInput) {
            return false;
        }
        g.bytes = in.bytes(length);
        r.regions.push_back(std::move(g));
    }
    return in.done();
}

inline std::vector<std::uint8_t> EncodeReply(const Reply& r) {
    std::vector<std::uint8_t> out;
    detail::Put(out, kReplyMagic);
    detail::Put(out, r.error);
    detail::Put(out, static_cast<std::uint32_t>(r.output.size()));
    out.insert(out.end(), r.output.begin(), r.output.end());
    return out;
}

/// False for a malformed frame.
inline bool DecodeReply(std::span<const std::uint8_t> frame, Reply& r) {
    detail::Reader in(frame);
    if (in.u32() != kReplyMagic) {
        return false;
    }
    r.error = in.u32();
    const std::uint32_t length = in.u32();
    if (length > kMaxOutput) {
        return false;
    }
    r.output = in.bytes(length);
    return in.done();
}

/// Where device directories live: $XDG_RUNTIME_DIR, else a per-user directory under /tmp.
inline std::string DefaultDeviceRoot() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        return runtime;
    }
    return "/tmp/vintrace-" + std::to_string(static_cast<unsigned long>(::getuid()));
}

/// The directory holding the device sockets of one interface class, below `root`.
inline std::string ClassDirectory(const std::string& root, std::uint32_t data1, std::uint16_t data2,
                                  std::uint16_t data3, const std::uint8_t (&data4)[8]) {
    char name[64];
    std::snprintf(name, sizeof name, "vintrace-{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(data1), static_cast<unsigned>(data2),
                  static_cast<unsigned>(data3), data4[0], data4[1], data4[2], data4[3], data4[4],
                  data4[5], data4[6], data4[7]);
    return root + "/" + name;
}

} // namespace vintrace::platform::wire
