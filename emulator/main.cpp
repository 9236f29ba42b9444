// vintrace-analyzer-emu: the analyzer's capture box and its driver as a process, reachable
// through the platform layer exactly as a real analyzer is.

#include "AnalyzerBox.h"
#include "DeviceServer.h"

#include "Version.h"
#include "device/AnalyzerInterface.h"
#include "platform/WireProtocol.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <limits>

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) {
    gStop = 1;
}

// A whole decimal number from `low` to `high`. Signs, fractions, exponents and hex are
// refused rather than read in part, and a number too big for its variable is out of range
// rather than wrapped around.
CLI::Validator WholeNumber(std::uint64_t low, std::uint64_t high) {
    return CLI::Validator(
        [low, high](std::string& s) -> std::string {
            const std::string range = std::to_string(low) + " to " + std::to_string(high);
            if (s.empty() || s.size() > 20 ||
                !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                return "not a whole number from " + range + ": " + s;
            }
            errno = 0;
            const unsigned long long value = std::strtoull(s.c_str(), nullptr, 10);
            if (errno == ERANGE || value < low || value > high) {
                return s + " is outside " + range;
            }
            return "";
        },
        "UINT");
}

CLI::Validator Seconds(int high) {
    return CLI::Validator(
        [high](std::string& s) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(s.c_str(), &end);
            if (s.empty() || *end != '\0' || !std::isfinite(value) || value < 0 || value > high) {
                return "not a number of seconds from 0 to " + std::to_string(high) + ": " + s;
            }
            return "";
        },
        "SECONDS");
}

} // namespace

int main(int argc, char** argv) {
    using namespace vintrace;
    emulator::BoxSettings box;
    emulator::FaultSettings faults;
    emulator::ConnectionLimits limits;
    double idleSeconds = 30;
    std::string root = platform::wire::DefaultDeviceRoot();
    std::string name = "analyzer0";
    std::string speed = "full";
    std::string portSpeed = "full";
    std::vector<std::string> refused;
    std::vector<std::string> devices;
    std::vector<std::string> faultNames;

    CLI::App app{"Emulated USB analyzer: the capture box and its driver"};
    app.set_version_flag("--version", VersionLine("vintrace-analyzer-emu"));
    app.add_option("--dir", root, "Device root holding the class directory")->capture_default_str();
    app.add_option("--name", name, "Socket name within the class directory")->capture_default_str();
    constexpr auto kMaxCount = static_cast<std::uint64_t>(std::numeric_limits<long>::max());
    app.add_option("--seed", box.seed, "Seed of the simulated bus")
        ->check(WholeNumber(0, std::numeric_limits<std::uint64_t>::max()))
        ->capture_default_str();
    app.add_option("--speed", speed, "Speed of the bus under test")
        ->check(CLI::IsMember({"full", "low"}))
        ->capture_default_str();
    app.add_option("--device", devices,
                   "A device on the bus: vendor, mouse, keyboard, serial, disk, dfu, ftdi or midi; "
                   "repeatable, "
                   "up to 4, enumerated in order (default: vendor)")
        ->check(CLI::IsMember(
            {"vendor", "mouse", "keyboard", "serial", "disk", "dfu", "ftdi", "midi"}));
    app.add_option("--fault", faultNames,
                   "Commit this fault once in each recording, for a checker to find; "
                   "repeatable: toggle, no-ack, nak-setup, babble, overrun, no-zlp, no-status, "
                   "bad-descriptor, stall-get-descriptor, bad-csw (with the disk), sof-gap "
                   "(full speed)")
        ->check(CLI::IsMember({"toggle", "no-ack", "nak-setup", "babble", "overrun", "no-zlp",
                               "no-status", "bad-descriptor", "stall-get-descriptor", "bad-csw",
                               "sof-gap"}));
    app.add_option("--port-speed", portSpeed, "Speed of the PC port the box sits on")
        ->check(CLI::IsMember({"full", "high"}))
        ->capture_default_str();
    app.add_flag("--hub-low-speed-device", box.lowSpeedDeviceBehindHub,
                 "At full speed, add a low-speed device behind a hub (PRE packets)");
    app.add_option("--memory", box.memoryBytes, "Recording memory in bytes")
        ->check(WholeNumber(2, std::uint64_t{64} << 20))
        ->capture_default_str();
    app.add_option("--fill-seconds", box.fillSeconds, "Seconds from trigger to memory full")
        ->check(Seconds(3600))
        ->capture_default_str();
    app.add_option("--firmware", box.firmware, "Firmware version text (13 bytes at most)")
        ->check(CLI::Validator(
            [](std::string& s) {
                return s.size() <= device::kFirmwareVersionLength ? "" : "longer than 13 bytes";
            },
            "TEXT"))
        ->capture_default_str();
    app.add_option("--refuse", refused, "Fail this command (name or number); repeatable")
        ->check(CLI::Validator(
            [](std::string& s) {
                return emulator::CommandFromText(s) >= 0
                           ? ""
                           : "neither a command name nor a number from 0 to 15: " + s;
            },
            "CMD"));
    app.add_option("--fail-transfer-after", faults.failTransferAfter,
                   "Fail every pipe transfer after this many")
        ->check(WholeNumber(0, kMaxCount));
    app.add_option("--vanish-after-blocks", faults.vanishAfterBlocks,
                   "Disappear after handing out this many blocks (0: at the first asked for)")
        ->check(WholeNumber(0, kMaxCount));
    app.add_option("--delay-ms", faults.delayMs, "Answer every request this late")
        ->check(WholeNumber(0, 600000));
    app.add_option("--hang-after", faults.hangAfter,
                   "Answer this many requests (opens, ioctls and transfers, on all "
                   "connections), then none: a hung driver")
        ->check(WholeNumber(0, kMaxCount));
    app.add_option("--max-connections", limits.maxConnections,
                   "Connections kept at once (fewer if the open-file limit is lower); a new one "
                   "beyond them replaces the one idle longest")
        ->check(WholeNumber(1, 65536))
        ->capture_default_str();
    app.add_option("--idle-seconds", idleSeconds,
                   "Close a connection that has asked nothing for this long")
        ->check(Seconds(86400))
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);
    limits.idleTimeout = std::chrono::milliseconds(static_cast<long long>(idleSeconds * 1000));
    if (devices.size() > emulator::kMaxDevices) {
        std::cerr << "vintrace-analyzer-emu: --device: at most " << emulator::kMaxDevices
                  << " devices on the bus, not " << devices.size() << "\n";
        return static_cast<int>(CLI::ExitCodes::ValidationError);
    }
    for (const std::string& d : devices) {
        const emulator::Profile p = *emulator::ProfileFromText(d);
        if (speed == "low" && p != emulator::Profile::Vendor && !emulator::IsLowSpeedProfile(p)) {
            std::cerr << "vintrace-analyzer-emu: --device: " << d
                      << " is a full-speed device; a low-speed bus (--speed low) cannot carry it\n";
            return static_cast<int>(CLI::ExitCodes::ValidationError);
        }
        box.profiles.push_back(p);
    }

    box.busFullSpeed = speed == "full";
    const emulator::BusSettings bus{box.seed, box.busFullSpeed, box.lowSpeedDeviceBehindHub,
                                    box.profiles};
    for (const std::string& f : faultNames) {
        const emulator::Fault fault = *emulator::FaultFromText(f);
        if (const std::string why = emulator::FaultImpossible(fault, bus); !why.empty()) {
            std::cerr << "vintrace-analyzer-emu: --fault " << f << ": " << why << "\n";
            return static_cast<int>(CLI::ExitCodes::ValidationError);
        }
        box.faults.push_back(fault);
    }
    box.portHighSpeed = portSpeed == "high";
    for (const std::string& r : refused) {
        faults.refusedCommands.insert(emulator::CommandFromText(r));
    }

    // Stop signals are only let through while the server waits (ppoll), so none is lost.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const auto& g = device::ANALYZER_INTERFACE_GUID;
    const std::string classDirectory =
        platform::wire::ClassDirectory(root, g.Data1, g.Data2, g.Data3, g.Data4);
    emulator::AnalyzerBox analyzer(box);
    emulator::DeviceServer server(analyzer, faults, std::cerr, limits);
    std::string error;
    if (!server.Listen(root, classDirectory, name, error)) {
        std::cerr << "vintrace-analyzer-emu: " << error << '\n';
        return 1;
    }
    std::cerr << "vintrace-analyzer-emu: listening at " << classDirectory << "/" << name
              << std::endl;
    server.Run(gStop);
    server.Close();
    std::cerr << "vintrace-analyzer-emu: stopped" << std::endl;
    return 0;
}
