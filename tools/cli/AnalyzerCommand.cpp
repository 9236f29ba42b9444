#include "AnalyzerCommand.h"

#include "OutputFile.h"
#include "Validators.h"

#include "capture/StagedFile.h"
#include "device/AcquireOnce.h"
#include "device/AnalyzerCommands.h"
#include "device/AnalyzerInterface.h"
#include "device/DeviceAccess.h"
#include "platform/ShimSettings.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace vintrace::cli {

namespace {

struct AnalyzerOptions {
    unsigned analyzer = 0; // 1-based place in `analyzer list`; 0: the first that answers
    int trigger = -1;
    std::string speed;
    std::string output;
    double timeoutSeconds = 60;
    bool force = false;
};

int Fail(const std::string& what) {
    std::cerr << "vintrace-cli: analyzer: " << what << '\n';
    return 1;
}

// No analyzer answered: say why when its device directory was not searched at all, or when
// the device there belongs to another user.
int Unconnected(const std::string& what) {
#ifndef _WIN32
    std::string problem = platform::DeviceDirectoryProblem(device::ANALYZER_INTERFACE_GUID);
    if (problem.empty()) {
        problem = platform::RefusedDeviceProblem();
    }
    if (!problem.empty()) {
        std::cerr << "vintrace-cli: " << problem << '\n';
        return 1;
    }
#endif
    return Fail(what);
}

// Sends what follows to analyzer `number` of `analyzer list` (0: the first that answers);
// 0 when it is there, else the exit code of the failure, said on standard error.
int Choose(unsigned number) {
    if (number == 0) {
        return 0;
    }
    const std::vector<std::string> analyzers = device::ListAnalyzers();
    if (number > analyzers.size()) {
        return analyzers.empty() ? Unconnected("Vintrace is unconnected")
                                 : Fail("no analyzer " + std::to_string(number) + ": " +
                                        std::to_string(analyzers.size()) + " found");
    }
    device::UseAnalyzer(analyzers[number - 1]);
    return 0;
}

int List() {
    const std::vector<std::string> analyzers = device::ListAnalyzers();
    if (analyzers.empty()) {
        return Unconnected("Vintrace is unconnected");
    }
    for (std::size_t i = 0; i < analyzers.size(); ++i) {
        std::cout << i + 1 << '\t' << analyzers[i] << '\n';
    }
    return 0;
}

int Status() {
    device::DevicePathBuffer path{};
    if (!device::ProbeAnalyzer(path)) {
        return Unconnected("Vintrace is unconnected");
    }
    std::array<std::uint8_t, 13> text{};
    std::uint8_t speed = 0;
    std::uint8_t triggered = 0;
    std::uint8_t full = 0;
    const bool haveText = device::ReadFirmwareVersion(text);
    const bool haveSpeed = device::ReadPortSpeed(speed);
    const bool haveTrigger = device::ReadTriggerStatus(triggered);
    const bool haveFull = device::ReadFifoFull(full);
    const std::optional<int> level = device::ReadFillLevel();
    std::string firmware;
    for (std::uint8_t c : text) {
        if (c == 0) {
            break;
        }
        firmware += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    // An analyzer that answers with no text at all has not told us its version.
    const bool emptyText = haveText && firmware.empty();
    std::cout << "device: " << path.data() << '\n'
              << "firmware: "
              << (!haveText   ? "Read Failed"
                  : emptyText ? "Read Failed (empty reply)"
                              : firmware)
              << '\n'
              << "port speed: " << (haveSpeed ? (speed == 0 ? "full" : "high") : "Read Failed")
              << '\n'
              << "triggered: " << (haveTrigger ? std::to_string(triggered) : "Read Failed") << '\n'
              << "fifo full: " << (haveFull ? std::to_string(full) : "Read Failed") << '\n'
              << "fifo level: " << (level ? std::to_string(*level) : "Read Failed") << '\n';
    return haveText && !emptyText && haveSpeed && haveTrigger && haveFull && level ? 0 : 1;
}

int Trigger(int code) {
    if (!device::SetTrigger(static_cast<std::uint8_t>(code))) {
        return Unconnected("Trigger Failed");
    }
    std::cout << "trigger " << code << " set\n";
    return 0;
}

int Speed(const std::string& speed) {
    if (!device::SetBusSpeed(speed == "full" ? 1 : 0)) {
        return Unconnected("cannot set the bus speed: Vintrace is unconnected");
    }
    std::cout << "bus speed " << speed << '\n';
    return 0;
}

// Why `file` cannot take a recording, or nothing: it must be new (or `force`d and a regular
// file), in a directory that exists and can be written.
std::string OutputProblem(const std::string& file, bool force) {
    namespace fs = std::filesystem;
    if (file.empty()) {
        return std::strerror(ENOENT);
    }
    std::error_code ec;
    switch (capture::StagedFile::CheckTarget(file, force)) {
    case capture::StagedFile::TargetStatus::Exists:
        return std::string(std::strerror(EEXIST)) + " (use --force to replace it)";
    case capture::StagedFile::TargetStatus::NotRegular:
        return fs::is_directory(file, ec) ? std::strerror(EISDIR) : "not a regular file";
    case capture::StagedFile::TargetStatus::Writable:
        break;
    }
    const fs::path parent = fs::path(file).has_parent_path() ? fs::path(file).parent_path() : ".";
    if (!fs::is_directory(parent, ec)) {
        return std::strerror(ENOENT);
    }
#ifndef _WIN32
    if (::access(parent.c_str(), W_OK | X_OK) != 0) {
        return std::strerror(errno);
    }
#endif
    return {};
}

int Acquire(const AnalyzerOptions& o) {
    // The file is checked before the analyzer is armed: a bad path must not cost a recording.
    if (const std::string problem = OutputProblem(o.output, o.force); !problem.empty()) {
        Fail(o.output + ": " + problem);
        return kExitFileError;
    }
    device::AcquireOnceOptions options;
    options.trigger = o.trigger;
    options.timeoutSeconds = o.timeoutSeconds;
    options.force = o.force;
    options.warn = [](const std::string& warning) {
        std::cerr << "vintrace-cli: warning: " << warning << std::endl;
    };
    const device::AcquireOnceResult result = device::AcquireOnce(
        options, o.output, [](const std::string& step) { std::cout << step << std::endl; });
    switch (result.failure) {
    case device::AcquireOnceResult::Failure::None:
        break;
    case device::AcquireOnceResult::Failure::DeviceDirectory:
        std::cerr << "vintrace-cli: " << result.error << '\n';
        return 1;
    case device::AcquireOnceResult::Failure::File:
        Fail(result.error);
        return kExitFileError;
    default:
        return Fail(result.error);
    }
    std::cout << "Downloaded " << result.outcome.bytes << " bytes in " << result.outcome.blocks
              << " blocks to " << o.output << std::endl;
    return 0;
}

} // namespace

void AddAnalyzerCommand(CLI::App& app, int& exitCode) {
    auto options = std::make_shared<AnalyzerOptions>();
    CLI::App* analyzer = app.add_subcommand(
        "analyzer", "Talk to the first analyzer found, or the one --analyzer names");
    analyzer->require_subcommand(1);
    analyzer
        ->add_option("--analyzer", options->analyzer,
                     "Number of the analyzer in `analyzer list` (default: the first found)")
        ->check(CLI::Range(1u, 999u));
    // Runs each subcommand on the chosen analyzer; one that is not there fails first.
    const auto on = [&exitCode, options](int (*run)(const AnalyzerOptions&)) {
        return [&exitCode, options, run] {
            exitCode = Choose(options->analyzer);
            if (exitCode == 0) {
                exitCode = run(*options);
            }
        };
    };

    analyzer->add_subcommand("list", "List the analyzers found, numbered for --analyzer")
        ->callback([&exitCode] { exitCode = List(); });

    analyzer->add_subcommand("status", "Show firmware, port speed and recording state")
        ->callback(on([](const AnalyzerOptions&) { return Status(); }));

    CLI::App* trigger = analyzer->add_subcommand("trigger", "Send a trigger code (15: on arm)");
    trigger->add_option("CODE", options->trigger, "Trigger code 0..15")
        ->required()
        ->check(CLI::Range(0, 15));
    trigger->callback(on([](const AnalyzerOptions& o) { return Trigger(o.trigger); }));

    CLI::App* speed = analyzer->add_subcommand("speed", "Set the speed of the bus under test");
    speed->add_option("SPEED", options->speed, "low or full")
        ->required()
        ->check(CLI::IsMember({"low", "full"}));
    speed->callback(on([](const AnalyzerOptions& o) { return Speed(o.speed); }));

    CLI::App* acquire =
        analyzer->add_subcommand("acquire", "Arm, wait for trigger and full memory, download");
    acquire->add_option("-o,--output", options->output, "Capture file to write")->required();
    acquire->add_flag("--force", options->force, "Replace the capture file if it exists");
    acquire->add_option("--trigger", options->trigger, "Send this trigger code first")
        ->check(CLI::Range(0, 15));
    acquire
        ->add_option("--timeout", options->timeoutSeconds,
                     "Seconds to wait for trigger and full memory")
        ->check(FiniteRange(0.0, 86400.0))
        ->capture_default_str();
    acquire->callback(on(Acquire));
}

} // namespace vintrace::cli
