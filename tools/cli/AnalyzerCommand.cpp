#include "AnalyzerCommand.h"

#include "Validators.h"

#include "capture/StagedFile.h"
#include "device/AnalyzerCommands.h"
#include "device/AnalyzerInterface.h"
#include "device/AnalyzerLock.h"
#include "device/CaptureDownload.h"
#include "device/DeviceAccess.h"
#include "device/DriverAnalyzer.h"
#include "platform/ShimSettings.h"

#include <array>
#include <atomic>
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
#include <thread>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace vintrace::cli {

namespace {

using Clock = std::chrono::steady_clock;

struct AnalyzerOptions {
    int trigger = -1;
    std::string speed;
    std::string output;
    double timeoutSeconds = 60;
    bool force = false;
};

constexpr auto kPollInterval = std::chrono::milliseconds(100);

int Fail(const std::string& what) {
    std::cerr << "vintrace-cli: analyzer: " << what << '\n';
    return 1;
}

/// The memory fill level 0..255, or nothing when the analyzer did not answer: the device
/// layer's ReadFifoLevel answers 0 for both.
std::optional<int> ReadFillLevel() {
    std::uint8_t level = 0;
    if (!device::QueryCommand(static_cast<std::int32_t>(device::AnalyzerCommand::ReadFifoLevel), 0,
                              &level, 1)) {
        return std::nullopt;
    }
    return level;
}

// No analyzer answered: say why when its device directory was not searched at all.
int Unconnected(const std::string& what) {
#ifndef _WIN32
    const std::string problem = platform::DeviceDirectoryProblem(device::ANALYZER_INTERFACE_GUID);
    if (!problem.empty()) {
        std::cerr << "vintrace-cli: " << problem << '\n';
        return 1;
    }
#endif
    return Fail(what);
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
    const std::optional<int> level = ReadFillLevel();
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
        return Fail(o.output + ": " + problem);
    }
    device::DevicePathBuffer path{};
    if (!device::ProbeAnalyzer(path)) {
        return Unconnected("Vintrace is unconnected");
    }
    // One acquisition per analyzer, across processes, from the trigger to the download.
    std::string lockProblem;
    const std::unique_ptr<device::AcquisitionLock> lock = device::LockFirstAnalyzer(lockProblem);
    if (!lock) {
        return Fail(lockProblem.empty() ? "another acquisition is using this analyzer"
                                        : "cannot lock the analyzer: " + lockProblem);
    }
    // Staged now, so a path that cannot take the file fails before the analyzer is armed;
    // SIGINT or SIGTERM removes it (and the lock file) again.
    capture::StagedFile staged(o.output);
    if (staged.file() == nullptr) {
        return Fail(o.output + ": " + staged.error());
    }
    if (o.trigger >= 0 && !device::SetTrigger(static_cast<std::uint8_t>(o.trigger))) {
        return Fail("Trigger Failed");
    }
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(o.timeoutSeconds));
    const auto disarm = [] {
        device::SetArmed(0);
        device::SetStopped(0);
    };

    device::SetArmed(0);
    device::SetStopped(0);
    device::BeginAcquisition();
    device::SetArmed(1);
    std::cout << "Armed" << std::endl;

    std::cout << "Waiting for Trigger" << std::endl;
    for (std::uint8_t status = 0;;) {
        if (!device::ReadTriggerStatus(status)) {
            disarm();
            return Fail("Read Failed");
        }
        if (status == 1) {
            break;
        }
        if (Clock::now() >= deadline) {
            disarm();
            return Fail("timed out waiting for the trigger");
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    std::cout << "Triggered" << std::endl;

    std::cout << "Wait For FIFO Full" << std::endl;
    int lastLevel = -1;
    for (std::uint8_t full = 0;;) {
        const int level = ReadFillLevel().value_or(-2);
        if (level != lastLevel) {
            if (level < 0) {
                std::cout << "level Read Failed" << std::endl;
            } else {
                std::cout << "level " << level << "/255" << std::endl;
            }
            lastLevel = level;
        }
        if (!device::ReadFifoFull(full)) {
            disarm();
            return Fail("Read Failed");
        }
        if (full == 1) {
            break;
        }
        if (Clock::now() >= deadline) {
            disarm();
            return Fail("timed out waiting for the recording memory to fill");
        }
        std::this_thread::sleep_for(kPollInterval);
    }

    std::cout << "Downloading" << std::endl;
    device::SetStopped(1);
    // The application's download; one cut short goes to a file of its own, never onto FILE.
    device::DriverAnalyzer analyzer;
    std::atomic<std::int32_t> blockCount{0};
    const device::DownloadOutcome outcome =
        device::DownloadCapture(analyzer, staged, o.force, blockCount);
    std::string error;
    switch (outcome.status) {
    case device::DownloadOutcome::Status::Written:
        break;
    case device::DownloadOutcome::Status::NothingReceived:
    case device::DownloadOutcome::Status::Cancelled:
        error = "nothing was downloaded";
        break;
    case device::DownloadOutcome::Status::Incomplete:
        error = "Download incomplete: " + std::to_string(outcome.bytes) + " bytes, kept in " +
                outcome.file;
        break;
    case device::DownloadOutcome::Status::FileError:
        error = o.output + ": " + outcome.reason;
        break;
    }
    const bool ok = error.empty();
    // What the application does once a download has ended.
    device::SetArmed(0);
    device::SetStopped(0);
    device::EndDownload();
    if (!ok) {
        return Fail(error);
    }
    std::cout << "Downloaded " << outcome.bytes << " bytes in " << outcome.blocks << " blocks to "
              << o.output << std::endl;
    return 0;
}

} // namespace

void AddAnalyzerCommand(CLI::App& app, int& exitCode) {
    auto options = std::make_shared<AnalyzerOptions>();
    CLI::App* analyzer = app.add_subcommand("analyzer", "Talk to the first analyzer found");
    analyzer->require_subcommand(1);

    analyzer->add_subcommand("status", "Show firmware, port speed and recording state")
        ->callback([&exitCode] { exitCode = Status(); });

    CLI::App* trigger = analyzer->add_subcommand("trigger", "Send a trigger code (15: on arm)");
    trigger->add_option("CODE", options->trigger, "Trigger code 0..15")
        ->required()
        ->check(CLI::Range(0, 15));
    trigger->callback([&exitCode, options] { exitCode = Trigger(options->trigger); });

    CLI::App* speed = analyzer->add_subcommand("speed", "Set the speed of the bus under test");
    speed->add_option("SPEED", options->speed, "low or full")
        ->required()
        ->check(CLI::IsMember({"low", "full"}));
    speed->callback([&exitCode, options] { exitCode = Speed(options->speed); });

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
    acquire->callback([&exitCode, options] { exitCode = Acquire(*options); });
}

} // namespace vintrace::cli
