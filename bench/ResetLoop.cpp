#include "ResetLoop.h"

#include "BusModel.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace vintrace::bench {

namespace {

/// One recording as the analyzer stores it (`01 PID`, then `00 b` per byte), ending at the
/// last packet that fits whole.
std::vector<std::uint8_t> Recording(std::uint64_t seed) {
    using emulator::Profile;
    emulator::BusModel bus({seed, true, false, {Profile::Mouse, Profile::Serial, Profile::Disk}});
    std::vector<std::uint8_t> out;
    out.reserve(kResetLoopRecording);
    for (;;) {
        const emulator::BusPacket p = bus.Next();
        if (out.size() + 2 * p.bytes.size() > kResetLoopRecording) {
            return out;
        }
        for (std::size_t i = 0; i < p.bytes.size(); ++i) {
            out.push_back(i == 0 ? 0x01 : 0x00);
            out.push_back(p.bytes[i]);
        }
    }
}

} // namespace

std::vector<std::uint8_t> ResetLoopTraffic(std::size_t size, std::uint64_t seed) {
    const std::vector<std::uint8_t> one = Recording(seed);
    std::vector<std::uint8_t> out;
    out.reserve(size + one.size());
    while (out.size() < size) {
        out.insert(out.end(), one.begin(), one.end());
    }
    return out;
}

bool WriteResetLoopFile(const std::string& path, std::size_t size, std::uint64_t seed) {
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        return false;
    }
    const std::vector<std::uint8_t> one = Recording(seed);
    for (std::size_t written = 0; written < size; written += one.size()) {
        if (std::fwrite(one.data(), 1, one.size(), file.get()) != one.size()) {
            return false;
        }
    }
    return std::fclose(file.release()) == 0;
}

} // namespace vintrace::bench
