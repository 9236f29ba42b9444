#pragma once

#include "capture/UsbCrc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <vector>

namespace vintrace::test {

/// The packets of a recording held as 2-byte capture units.
inline std::vector<std::vector<std::uint8_t>> Packets(const std::vector<std::uint8_t>& units) {
    std::vector<std::vector<std::uint8_t>> packets;
    for (std::size_t i = 0; i + 1 < units.size(); i += 2) {
        if (units[i] == 0x01) {
            packets.push_back({units[i + 1]});
        } else if (!packets.empty()) {
            packets.back().push_back(units[i + 1]);
        }
    }
    return packets;
}

// Checks the CRC of every packet that the memory held whole, and the SOF frame numbers.
inline void ExpectWellFormedBus(const std::vector<std::vector<std::uint8_t>>& packets) {
    int lastFrame = -1;
    for (std::size_t i = 0; i + 1 < packets.size(); ++i) {
        const auto& p = packets[i];
        const std::uint8_t pid = p[0];
        ASSERT_EQ(pid >> 4, (~pid & 0x0F)) << "packet " << i;
        switch (pid & 0x0F) {
        case 0x1:
        case 0x9:
        case 0xD:
        case 0x5: { // OUT, IN, SETUP, SOF
            ASSERT_EQ(p.size(), 3u) << "packet " << i;
            const auto field = static_cast<std::uint16_t>(p[1] | p[2] << 8);
            EXPECT_TRUE(capture::TokenCrcMatches(static_cast<std::uint8_t>(field),
                                                 static_cast<std::uint8_t>(field >> 8)))
                << "packet " << i;
            if ((pid & 0x0F) == 0x5) {
                const int frame = field & 0x7FF;
                if (lastFrame >= 0) {
                    EXPECT_EQ(frame, (lastFrame + 1) & 0x7FF) << "packet " << i;
                }
                lastFrame = frame;
            }
            break;
        }
        case 0x3:
        case 0xB: // DATA0, DATA1
            EXPECT_TRUE(capture::DataCrcMatches({p.data() + 1, p.size() - 1})) << "packet " << i;
            break;
        default: // handshakes and PRE are the PID alone
            EXPECT_EQ(p.size(), 1u) << "packet " << i;
        }
    }
    EXPECT_GT(packets.size(), 10u);
}

// Follows the transactions and checks the data toggles: SETUP data is DATA0, a control data
// stage starts with DATA1 and alternates, the status stage is DATA1; other endpoints start at
// DATA0 and flip only on an ACKed packet, and clearing a halt resets them to DATA0. A
// recording that starts mid-stream learns each endpoint's toggle from its first packet.
inline void ExpectCorrectToggles(const std::vector<std::vector<std::uint8_t>>& packets,
                                 bool fromStart) {
    std::map<int, int> expected; // (address, endpoint, direction) -> next toggle
    std::map<int, int> controlDirection;
    int checked = 0;
    for (std::size_t i = 0; i + 3 < packets.size(); ++i) {
        const std::uint8_t pid = packets[i][0];
        if (pid != 0x2D && pid != 0x69 && pid != 0xE1) {
            continue;
        }
        const int address = packets[i][1] & 0x7F;
        const int endpoint = (packets[i][1] >> 7 | packets[i][2] << 1) & 0xF;
        const int in = pid == 0x69 ? 1 : 0;
        std::size_t j = i + 1;
        if (packets[j][0] == 0x3C) {
            ++j; // preamble before host data
        }
        const std::uint8_t data = packets[j][0];
        if (data != 0xC3 && data != 0x4B) {
            continue; // NAK or STALL instead of data
        }
        std::size_t h = j + 1;
        if (h < packets.size() && packets[h][0] == 0x3C) {
            ++h;
        }
        const bool acked = h < packets.size() && packets[h][0] == 0xD2;
        const int toggle = data == 0x4B ? 1 : 0;
        const int pipe = address << 5 | endpoint << 1 | in;
        if (pid == 0x2D) {
            EXPECT_EQ(toggle, 0) << "SETUP data, packet " << j;
            expected[address << 5 | 0] = expected[address << 5 | 1] = 1;
            controlDirection[address] = packets[j][1] >> 7; // bmRequestType: device to host
            const auto& setup = packets[j];
            if (setup[1] == 0x02 && setup[2] == 0x01 && setup[5] != 0) { // CLEAR_FEATURE(halt)
                const int halted = setup[5];
                expected[address << 5 | (halted & 0xF) << 1 | (halted >> 7)] = 0;
            }
        } else if (endpoint == 0 && controlDirection.count(address) == 0) {
            continue; // the recording began inside this control transfer
        } else if (endpoint == 0 && in != controlDirection[address]) {
            EXPECT_EQ(toggle, 1) << "status stage, packet " << j;
        } else {
            if (!fromStart && expected.count(pipe) == 0) {
                expected[pipe] = toggle;
            }
            EXPECT_EQ(toggle, expected[pipe]) << "packet " << j;
            if (acked) {
                expected[pipe] = toggle ^ 1;
            }
        }
        ++checked;
    }
    EXPECT_GT(checked, 10);
}

inline int CountPid(const std::vector<std::vector<std::uint8_t>>& packets, std::uint8_t pid) {
    int n = 0;
    for (const auto& p : packets) {
        n += p[0] == pid ? 1 : 0;
    }
    return n;
}

} // namespace vintrace::test
