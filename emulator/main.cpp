// vintrace-analyzer-emu: the analyzer's capture box and its driver as a process, reachable
// through the platform layer exactly as a real analyzer is.

#include "AnalyzerBox.h"
#include "DeviceServer.h"

#include "device/AnalyzerInterface.h"
#include "platform/WireProtocol.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <iostream>

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) {
    gStop = 1;
}

} // namespace

int main(int argc, char** argv) {
    using namespace vintrace;
    emulator::BoxSettings box;
    emulator::FaultSettings faults;
    std::string root = platform::wire::DefaultDeviceRoot();
    std::string name = "analyzer0";
    std::string speed = "full";
    std::string portSpeed = "full";
    std::vector<std::string> refused;

    CLI::App app{"Emulated USB analyzer: the capture box and its driver"};
    app.add_option("--dir", root, "Device root holding the class directory")->capture_default_str();
    app.add_option("--name", name, "Socket name within the class directory")->capture_default_str();
    app.add_option("--seed", box.seed, "Seed of the simulated bus")->capture_default_str();
    app.add_option("--speed", speed, "Speed of the bus under test")
        ->check(CLI::IsMember({"full", "low"}))
        ->capture_default_str();
    app.add_option("--port-speed", portSpeed, "Speed of the PC port the box sits on")
        ->check(CLI::IsMember({"full", "high"}))
        ->capture_default_str();
    app.add_flag("--hub-low-speed-device", box.lowSpeedDeviceBehindHub,
                 "At full speed, add a low-speed device behind a hub (PRE packets)");
    app.add_option("--memory", box.memoryBytes, "Recording memory in bytes")
        ->check(CLI::Range(std::size_t{2}, std::size_t{64} << 20))
        ->capture_default_str();
    app.add_option("--fill-seconds", box.fillSeconds, "Seconds from trigger to memory full")
        ->check(CLI::Range(0.0, 3600.0))
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
                return emulator::CommandFromText(s) >= 0 ? "" : "unknown command " + s;
            },
            "CMD"));
    app.add_option("--fail-transfer-after", faults.failTransferAfter,
                   "Fail every pipe transfer after this many")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--vanish-after-blocks", faults.vanishAfterBlocks,
                   "Disappear after handing out this many blocks")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--delay-ms", faults.delayMs, "Answer every request this late")
        ->check(CLI::Range(0, 600000));
    app.add_option("--hang-after", faults.hangAfter,
                   "Answer this many requests (opens, ioctls and transfers, on all "
                   "connections), then none: a hung driver")
        ->check(CLI::NonNegativeNumber);
    CLI11_PARSE(app, argc, argv);

    box.busFullSpeed = speed == "full";
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
    emulator::DeviceServer server(analyzer, faults, std::cerr);
    std::string error;
    if (!server.Listen(classDirectory, name, error)) {
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
