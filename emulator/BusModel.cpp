#include "BusModel.h"

#include "capture/UsbCrc.h"

#include <algorithm>

namespace vintrace::emulator {

namespace {

constexpr std::uint8_t kOut = 0xE1, kIn = 0x69, kSof = 0xA5, kSetup = 0x2D;
constexpr std::uint8_t kData0 = 0xC3, kData1 = 0x4B;
constexpr std::uint8_t kAck = 0xD2, kNak = 0x5A, kStall = 0x1E, kPre = 0x3C;

constexpr double kFrameUs = 1000.0;

std::vector<std::uint8_t> Token(std::uint8_t pid, std::uint8_t address, std::uint8_t endpoint) {
    const std::uint16_t field =
        capture::WithCrc5(static_cast<std::uint16_t>((address & 0x7F) | (endpoint & 0xF) << 7));
    return {pid, static_cast<std::uint8_t>(field), static_cast<std::uint8_t>(field >> 8)};
}

std::vector<std::uint8_t> Sof(std::uint16_t frame) {
    const std::uint16_t field = capture::WithCrc5(static_cast<std::uint16_t>(frame & 0x7FF));
    return {kSof, static_cast<std::uint8_t>(field), static_cast<std::uint8_t>(field >> 8)};
}

std::vector<std::uint8_t> Data(std::uint8_t toggle, const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> p{toggle != 0 ? kData1 : kData0};
    p.insert(p.end(), payload.begin(), payload.end());
    const std::uint16_t crc = capture::Crc16(payload);
    p.push_back(static_cast<std::uint8_t>(crc));
    p.push_back(static_cast<std::uint8_t>(crc >> 8));
    return p;
}

// Time a packet occupies: sync, bytes, end of packet, and a small gap before the next.
double DurationUs(std::size_t bytes, bool lowSpeed) {
    const double bits = 8.0 + 8.0 * static_cast<double>(bytes) + 3.0;
    return bits / (lowSpeed ? 1.5 : 12.0) + 1.0;
}

std::vector<std::uint8_t> Setup(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                                std::uint16_t index, std::uint16_t length) {
    return {requestType,
            request,
            static_cast<std::uint8_t>(value),
            static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(index),
            static_cast<std::uint8_t>(index >> 8),
            static_cast<std::uint8_t>(length),
            static_cast<std::uint8_t>(length >> 8)};
}

std::vector<std::uint8_t> DeviceDescriptor(std::uint8_t maxPacket0, std::uint16_t product) {
    return {0x12,
            0x01,
            0x10,
            0x01,
            0x00,
            0x00,
            0x00,
            maxPacket0,
            0x09,
            0x12,
            static_cast<std::uint8_t>(product),
            static_cast<std::uint8_t>(product >> 8),
            0x00,
            0x01,
            0x01,
            0x02,
            0x00,
            0x01};
}

// One interface: an interrupt IN endpoint 1 and, at full speed, bulk OUT/IN endpoint 2.
std::vector<std::uint8_t> ConfigDescriptor(bool lowSpeed) {
    std::vector<std::uint8_t> d{0x09, 0x02, 0x00, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,
                                0x09, 0x04, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00,
                                0x07, 0x05, 0x81, 0x03, 0x08, 0x00, 0x0A};
    if (!lowSpeed) {
        const std::vector<std::uint8_t> bulk{0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00,
                                             0x07, 0x05, 0x82, 0x02, 0x40, 0x00, 0x00};
        d.insert(d.end(), bulk.begin(), bulk.end());
    }
    d[2] = static_cast<std::uint8_t>(d.size());
    d[13] = lowSpeed ? 1 : 3;
    return d;
}

} // namespace

BusModel::BusModel(const BusSettings& settings)
    : settings_(settings), state_(settings.seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull),
      frameNumber_(0) {
    frameNumber_ = static_cast<std::uint16_t>(Random(0x800));
    Device main;
    main.address = 1;
    main.lowSpeed = !settings_.fullSpeed;
    main.maxPacket0 = settings_.fullSpeed ? 64 : 8;
    main.pollInterval = settings_.fullSpeed ? 1 : 10;
    main.deviceDescriptor = DeviceDescriptor(main.maxPacket0, 0x0001);
    main.configDescriptor = ConfigDescriptor(main.lowSpeed);
    devices_.push_back(main);
    if (settings_.fullSpeed && settings_.lowSpeedDeviceBehindHub) {
        Device slow;
        slow.address = 2;
        slow.lowSpeed = true;
        slow.preamble = true;
        slow.maxPacket0 = 8;
        slow.pollInterval = 10;
        slow.deviceDescriptor = DeviceDescriptor(8, 0x0002);
        slow.configDescriptor = ConfigDescriptor(true);
        devices_.push_back(slow);
    }
    Enumerate(devices_.front());
}

std::uint32_t BusModel::Random(std::uint32_t below) {
    // splitmix64: fully specified, so a seed gives the same bus on every platform.
    state_ += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return below == 0 ? 0 : static_cast<std::uint32_t>(z % below);
}

BusModel::Packet BusModel::RandomBytes(std::size_t n) {
    Packet p(n);
    for (auto& b : p) {
        b = static_cast<std::uint8_t>(Random(256));
    }
    return p;
}

BusModel::Transaction BusModel::Begin(const Device& d) const {
    Transaction t;
    t.lowSpeed = d.lowSpeed;
    return t;
}

void BusModel::HostPacket(const Device& d, Transaction& t, Packet p) const {
    if (d.preamble) {
        t.packets.push_back({kPre});
    }
    t.packets.push_back(std::move(p));
}

void BusModel::SetupStage(Device& d, std::uint8_t address, const Packet& setup) {
    Transaction t = Begin(d);
    HostPacket(d, t, Token(kSetup, address, 0));
    HostPacket(d, t, Data(0, setup));
    t.packets.push_back({kAck});
    d.control.push_back(std::move(t));
}

void BusModel::ControlRead(Device& d, std::uint8_t address, const Packet& setup, Packet answer,
                           bool stall) {
    SetupStage(d, address, setup);
    const std::size_t wLength = static_cast<std::size_t>(setup[6] | setup[7] << 8);
    if (answer.size() > wLength) {
        answer.resize(wLength);
    }
    if (stall) {
        Transaction t = Begin(d);
        HostPacket(d, t, Token(kIn, address, 0));
        t.packets.push_back({kStall});
        d.control.push_back(std::move(t));
        return;
    }
    std::uint8_t toggle = 1;
    std::size_t sent = 0;
    bool more = true;
    while (more) {
        const std::size_t n = std::min<std::size_t>(d.maxPacket0, answer.size() - sent);
        if (Random(5) == 0) {
            // The device is not ready yet; the host tries again later.
            Transaction busy = Begin(d);
            HostPacket(d, busy, Token(kIn, address, 0));
            busy.packets.push_back({kNak});
            d.control.push_back(std::move(busy));
        }
        Transaction t = Begin(d);
        HostPacket(d, t, Token(kIn, address, 0));
        t.packets.push_back(
            Data(toggle, Packet(answer.begin() + static_cast<std::ptrdiff_t>(sent),
                                answer.begin() + static_cast<std::ptrdiff_t>(sent + n))));
        HostPacket(d, t, {kAck});
        d.control.push_back(std::move(t));
        sent += n;
        toggle ^= 1;
        // A short packet ends the data stage; a full one at wLength does too.
        more = n == d.maxPacket0 && sent < wLength;
    }
    Transaction status = Begin(d);
    HostPacket(d, status, Token(kOut, address, 0));
    HostPacket(d, status, Data(1, {}));
    status.packets.push_back({kAck});
    d.control.push_back(std::move(status));
}

void BusModel::ControlWrite(Device& d, std::uint8_t address, const Packet& setup) {
    SetupStage(d, address, setup);
    if (Random(4) == 0) {
        Transaction busy = Begin(d);
        HostPacket(d, busy, Token(kIn, address, 0));
        busy.packets.push_back({kNak});
        d.control.push_back(std::move(busy));
    }
    Transaction status = Begin(d);
    HostPacket(d, status, Token(kIn, address, 0));
    status.packets.push_back(Data(1, {}));
    HostPacket(d, status, {kAck});
    d.control.push_back(std::move(status));
}

void BusModel::Enumerate(Device& d) {
    d.enumerating = true;
    ControlRead(d, 0, Setup(0x80, 0x06, 0x0100, 0, 64), d.deviceDescriptor, false);
    ControlWrite(d, 0, Setup(0x00, 0x05, d.address, 0, 0));
    ControlRead(d, d.address, Setup(0x80, 0x06, 0x0100, 0, 18), d.deviceDescriptor, false);
    ControlRead(d, d.address, Setup(0x80, 0x06, 0x0200, 0, 9), d.configDescriptor, false);
    ControlRead(d, d.address,
                Setup(0x80, 0x06, 0x0200, 0, static_cast<std::uint16_t>(d.configDescriptor.size())),
                d.configDescriptor, false);
    // No serial-number string: the device stalls the request.
    ControlRead(d, d.address, Setup(0x80, 0x06, 0x0303, 0x0409, 255), {}, true);
    ControlWrite(d, d.address, Setup(0x00, 0x09, 1, 0, 0));
}

void BusModel::InterruptPoll(Device& d, std::vector<Transaction>& out) {
    Transaction t = Begin(d);
    HostPacket(d, t, Token(kIn, d.address, 1));
    if (Random(100) < 85) {
        t.packets.push_back({kNak});
    } else {
        t.packets.push_back(Data(d.interruptToggle, RandomBytes(d.lowSpeed ? 4 : 8)));
        HostPacket(d, t, {kAck});
        d.interruptToggle ^= 1;
    }
    out.push_back(std::move(t));
}

void BusModel::BulkTraffic(Device& d, std::vector<Transaction>& out) {
    const std::uint32_t roll = Random(100);
    if (roll < 30) {
        Transaction t = Begin(d);
        t.packets.push_back(Token(kOut, d.address, 2));
        t.packets.push_back(Data(d.bulkOutToggle, RandomBytes(roll < 20 ? 64 : 1 + Random(64))));
        if (Random(10) == 0) {
            t.packets.push_back({kNak}); // resent later with the same toggle
        } else {
            t.packets.push_back({kAck});
            d.bulkOutToggle ^= 1;
        }
        out.push_back(std::move(t));
    } else if (roll < 60) {
        Transaction t = Begin(d);
        t.packets.push_back(Token(kIn, d.address, 2));
        const std::uint32_t answer = Random(100);
        if (answer < 2) {
            // The endpoint halts; the host clears the halt, which resets the toggle.
            t.packets.push_back({kStall});
            ControlWrite(d, d.address, Setup(0x02, 0x01, 0, 0x82, 0));
            d.bulkInToggle = 0;
        } else if (answer < 20) {
            t.packets.push_back({kNak});
        } else {
            t.packets.push_back(Data(d.bulkInToggle, RandomBytes(1 + Random(64))));
            t.packets.push_back({kAck});
            d.bulkInToggle ^= 1;
        }
        out.push_back(std::move(t));
    }
}

void BusModel::BuildFrame() {
    std::vector<Transaction> frame;
    if (settings_.fullSpeed) {
        Transaction sof;
        sof.packets.push_back(Sof(frameNumber_));
        frame.push_back(std::move(sof));
    }
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        Device& d = devices_[i];
        if (!d.enumerating) {
            continue;
        }
        if (!d.control.empty()) {
            frame.push_back(std::move(d.control.front()));
            d.control.pop_front();
            if (d.control.empty() && !d.configured) {
                d.configured = true;
                // Devices enumerate one at a time: only one may answer at address 0.
                if (i + 1 < devices_.size()) {
                    Enumerate(devices_[i + 1]);
                }
            }
            continue;
        }
        if (frameIndex_ % static_cast<std::uint64_t>(d.pollInterval) == 0) {
            InterruptPoll(d, frame);
        }
        if (!d.lowSpeed) {
            BulkTraffic(d, frame);
        }
    }

    double t = static_cast<double>(frameIndex_) * kFrameUs;
    for (Transaction& tr : frame) {
        for (Packet& p : tr.packets) {
            // A preamble itself goes at full speed; what follows it at the device's speed.
            const bool slow = tr.lowSpeed && p.front() != kPre;
            const double duration = DurationUs(p.size(), slow);
            pending_.push_back({t, std::move(p)});
            t += duration;
        }
    }
    ++frameIndex_;
    frameNumber_ = static_cast<std::uint16_t>((frameNumber_ + 1) & 0x7FF);
}

BusPacket BusModel::Next() {
    while (pending_.empty()) {
        BuildFrame();
    }
    BusPacket p = std::move(pending_.front());
    pending_.pop_front();
    return p;
}

} // namespace vintrace::emulator
