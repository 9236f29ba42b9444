#include "TrafficGenerator.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace vintrace::bench {

namespace {

constexpr std::uint8_t kSetup = 0x2D, kOut = 0xE1, kIn = 0x69, kAck = 0xD2, kNak = 0x5A,
                       kData0 = 0xC3, kData1 = 0x4B, kSof = 0xA5;

/// USB CRC5 over the 11 bits of a token or SOF, least significant bit first.
std::uint8_t Crc5(std::uint16_t bits11) {
    std::uint8_t crc = 0x1F;
    for (int i = 0; i < 11; ++i) {
        const bool in = (bits11 >> i) & 1;
        const bool top = crc & 0x10;
        crc = static_cast<std::uint8_t>((crc << 1) & 0x1F);
        if (in != top) {
            crc ^= 0x05;
        }
    }
    // Sent inverted, most significant bit first.
    std::uint8_t out = 0;
    for (int i = 0; i < 5; ++i) {
        out = static_cast<std::uint8_t>(out | (((~crc >> (4 - i)) & 1) << i));
    }
    return out;
}

/// Reflected CRC16 (polynomial 0x8005) as used by USB data packets.
constexpr std::array<std::uint16_t, 256> MakeCrc16Table() {
    std::array<std::uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
        }
        t[i] = static_cast<std::uint16_t>(c);
    }
    return t;
}
constexpr auto kCrc16 = MakeCrc16Table();

void Unit(std::vector<std::uint8_t>& out, std::uint8_t marker, std::uint8_t value) {
    out.push_back(marker);
    out.push_back(value);
}

void Field11(std::vector<std::uint8_t>& out, std::uint16_t bits11) {
    const std::uint16_t word = static_cast<std::uint16_t>(bits11 | Crc5(bits11) << 11);
    Unit(out, 0, static_cast<std::uint8_t>(word));
    Unit(out, 0, static_cast<std::uint8_t>(word >> 8));
}

} // namespace

std::uint32_t TrafficGenerator::next() {
    // splitmix64: fast, and the same sequence on every platform.
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<std::uint32_t>((z ^ (z >> 31)) >> 32);
}

void TrafficGenerator::token(std::vector<std::uint8_t>& out, std::uint8_t pid, std::uint8_t address,
                             std::uint8_t endpoint) {
    Unit(out, 1, pid);
    Field11(out, static_cast<std::uint16_t>((address & 0x7F) | (endpoint & 0x0F) << 7));
}

void TrafficGenerator::data(std::vector<std::uint8_t>& out, bool toggle, std::size_t payload) {
    Unit(out, 1, toggle ? kData1 : kData0);
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < payload; ++i) {
        const auto b = static_cast<std::uint8_t>(next());
        crc = static_cast<std::uint16_t>((crc >> 8) ^ kCrc16[(crc ^ b) & 0xFF]);
        Unit(out, 0, b);
    }
    crc = static_cast<std::uint16_t>(~crc);
    Unit(out, 0, static_cast<std::uint8_t>(crc));
    Unit(out, 0, static_cast<std::uint8_t>(crc >> 8));
}

void TrafficGenerator::handshake(std::vector<std::uint8_t>& out, std::uint8_t pid) {
    Unit(out, 1, pid);
}

void TrafficGenerator::appendFrame(std::vector<std::uint8_t>& out) {
    Unit(out, 1, kSof);
    Field11(out, frame_);
    frame_ = (frame_ + 1) & 0x7FF;

    // Interrupt IN on a HID-like device, polled every frame: usually nothing to report.
    token(out, kIn, 2, 1);
    if (below(5) != 0) {
        handshake(out, kNak);
    } else {
        data(out, toggle_[0], 8);
        toggle_[0] = !toggle_[0];
        handshake(out, kAck);
    }

    // Now and then a control transfer's setup stage on the default pipe of a third device.
    if (below(50) == 0) {
        token(out, kSetup, 1, 0);
        data(out, false, 8);
        handshake(out, kAck);
        toggle_[3] = true;
        token(out, kIn, 1, 0);
        data(out, toggle_[3], 8 + below(57));
        handshake(out, kAck);
    }

    // Bulk traffic on a storage-like device fills the rest of the frame.
    const std::uint32_t transfers = 2 + below(11);
    for (std::uint32_t i = 0; i < transfers; ++i) {
        const bool in = below(2) == 0;
        const std::size_t payload = below(4) == 0 ? 8 + below(57) : 64;
        token(out, in ? kIn : kOut, 3, in ? 1 : 2);
        bool& toggle = toggle_[in ? 1 : 2];
        if (in) {
            if (below(8) == 0) {
                handshake(out, kNak); // device not ready yet
                continue;
            }
            data(out, toggle, payload);
            handshake(out, kAck);
        } else {
            data(out, toggle, payload);
            if (below(8) == 0) {
                handshake(out, kNak); // host retries the same data later
                continue;
            }
            handshake(out, kAck);
        }
        toggle = !toggle;
    }
}

std::vector<std::uint8_t> GenerateTraffic(std::size_t size, std::uint64_t seed) {
    TrafficGenerator gen(seed);
    std::vector<std::uint8_t> out;
    out.reserve(size + 4096);
    while (out.size() < size) {
        gen.appendFrame(out);
    }
    out.resize(size & ~std::size_t{1});
    return out;
}

bool WriteTrafficFile(const std::string& path, std::size_t size, std::uint64_t seed) {
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        return false;
    }
    TrafficGenerator gen(seed);
    std::vector<std::uint8_t> buffer;
    constexpr std::size_t kFlushAt = std::size_t{4} << 20;
    buffer.reserve(kFlushAt + 8192);
    size &= ~std::size_t{1};
    std::size_t written = 0;
    while (written < size) {
        buffer.clear();
        while (buffer.size() < kFlushAt) {
            gen.appendFrame(buffer);
        }
        const std::size_t n = std::min(buffer.size(), size - written);
        if (std::fwrite(buffer.data(), 1, n, file.get()) != n) {
            return false;
        }
        written += n;
    }
    return std::fclose(file.release()) == 0;
}

bool ParseSize(std::string_view text, std::size_t& out) {
    char* end = nullptr;
    const std::string s(text);
    const double value = std::strtod(s.c_str(), &end);
    const std::string_view suffix(end);
    double scale = 1;
    if (suffix == "K" || suffix == "k") {
        scale = 1e3;
    } else if (suffix == "M") {
        scale = 1e6;
    } else if (suffix == "G") {
        scale = 1e9;
    } else if (suffix == "Ki") {
        scale = 1024.0;
    } else if (suffix == "Mi") {
        scale = 1024.0 * 1024;
    } else if (suffix == "Gi") {
        scale = 1024.0 * 1024 * 1024;
    } else if (!suffix.empty()) {
        return false;
    }
    if (end == s.c_str() || !(value > 0)) {
        return false;
    }
    out = static_cast<std::size_t>(value * scale);
    return true;
}

std::size_t SizeOption(int argc, char** argv, std::size_t fallback) {
    std::size_t size = fallback;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string_view(argv[i]) == "--size" && !ParseSize(argv[i + 1], size)) {
            size = fallback;
        }
    }
    return size;
}

} // namespace vintrace::bench
