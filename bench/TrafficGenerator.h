#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vintrace::bench {

/// Deterministic full-speed USB traffic in the capture format (`01 PID`, then `00 b` per
/// byte): a SOF every 1 ms frame, then a mix of transactions on three devices: interrupt IN
/// polling mostly answered by NAK, bulk IN and OUT with 8 to 64 payload bytes (DATA0/DATA1
/// toggling, CRC16 included) and ACK or NAK, and now and then a control SETUP. Tokens and
/// SOFs carry correct CRC5s. The same seed always gives the same bytes.
class TrafficGenerator {
public:
    explicit TrafficGenerator(std::uint64_t seed = 1) : state_(seed) {}

    /// Appends one 1 ms frame of traffic to `out`.
    void appendFrame(std::vector<std::uint8_t>& out);

private:
    std::uint32_t next();
    std::uint32_t below(std::uint32_t n) { return next() % n; }
    void token(std::vector<std::uint8_t>& out, std::uint8_t pid, std::uint8_t address,
               std::uint8_t endpoint);
    void data(std::vector<std::uint8_t>& out, bool toggle, std::size_t payload);
    void handshake(std::vector<std::uint8_t>& out, std::uint8_t pid);

    std::uint64_t state_;
    std::uint16_t frame_ = 0;
    bool toggle_[4] = {}; // data toggle per pipe
};

/// About `size` bytes of traffic (cut to an even length; the last packet may be cut short).
std::vector<std::uint8_t> GenerateTraffic(std::size_t size, std::uint64_t seed = 1);

/// Writes `size` bytes of traffic to `path` without holding it all in memory.
/// Returns false if the file cannot be written.
bool WriteTrafficFile(const std::string& path, std::size_t size, std::uint64_t seed = 1);

/// Reads a byte count such as "360M", "1G", "64Ki" (K/M/G decimal, Ki/Mi/Gi binary) into
/// `out`; false for anything else.
bool ParseSize(std::string_view text, std::size_t& out);

/// The value of `--size N` on a benchmark's command line, or `fallback` without a valid one.
std::size_t SizeOption(int argc, char** argv, std::size_t fallback);

} // namespace vintrace::bench
