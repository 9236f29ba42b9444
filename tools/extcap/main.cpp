// vintrace-extcap: a Wireshark extcap program. Wireshark (or tshark, through dumpcap) asks it
// for its interfaces, link types and options, then runs it with --capture --fifo PATH: one
// acquisition of the analyzer, written into the FIFO as pcap of the bus speed's link type.
// Every analyzer found is an interface of its own: vintrace-1, vintrace-2, ... in the order
// the device layer lists them; plain "vintrace" stays the first, as it was before there was a
// choice.

#include "Version.h"
#include "capture/PcapFile.h"
#include "device/AcquireOnce.h"
#include "device/DeviceAccess.h"
#include "session/CaptureSession.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace vintrace;

constexpr const char* kInterface = "vintrace";
constexpr const char* kNumberedPrefix = "vintrace-";
/// More analyzers than any bus bench holds: a bound on the numbers taken from the command line.
constexpr unsigned kMaxAnalyzers = 999;
/// How long the reader of the FIFO may take to open it.
constexpr auto kFifoOpenWait = std::chrono::seconds(30);

std::atomic<bool> gStop{false};

extern "C" void OnStop(int) {
    gStop.store(true);
}

int Fail(const std::string& what) {
    // Wireshark shows what an extcap program writes on standard error.
    std::cerr << "vintrace-extcap: " << what << std::endl;
    return 1;
}

/// The analyzer an interface name stands for: 1 for "vintrace" and "vintrace-1", N for
/// "vintrace-N"; nothing for a name that is none of these.
std::optional<unsigned> AnalyzerNumber(const std::string& interface) {
    if (interface == kInterface) {
        return 1;
    }
    const std::string prefix = kNumberedPrefix;
    if (interface.size() <= prefix.size() || interface.compare(0, prefix.size(), prefix) != 0 ||
        interface.size() > prefix.size() + 3 || interface[prefix.size()] == '0') {
        return std::nullopt;
    }
    unsigned number = 0;
    for (std::size_t i = prefix.size(); i < interface.size(); ++i) {
        if (interface[i] < '0' || interface[i] > '9') {
            return std::nullopt;
        }
        number = number * 10 + static_cast<unsigned>(interface[i] - '0');
    }
    return number <= kMaxAnalyzers ? std::optional<unsigned>(number) : std::nullopt;
}

/// What the interface list shows of a device path: its last component, without the braces
/// that end a field of Wireshark's interface lines.
std::string ShownName(const std::string& path) {
    const std::size_t cut = path.find_last_of("/\\");
    std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    for (char& c : name) {
        if (c == '{') {
            c = '(';
        } else if (c == '}') {
            c = ')';
        } else if (static_cast<unsigned char>(c) < 0x20) {
            c = '?';
        }
    }
    return name;
}

int ListInterfaces() {
    std::cout << "extcap {version=" << ProjectVersion()
              << "}{help=file:///usr/share/doc/vintrace/README.md}\n";
    const std::vector<std::string> analyzers = device::ListAnalyzers();
    for (std::size_t i = 0; i < analyzers.size() && i < kMaxAnalyzers; ++i) {
        std::cout << "interface {value=" << kNumberedPrefix << i + 1
                  << "}{display=Vintrace USB 1.1 analyzer " << i + 1 << " ("
                  << ShownName(analyzers[i]) << ")}\n";
    }
    return 0;
}

int ListDlts() {
    std::cout << "dlt {number=294}{name=USB_2_0_FULL_SPEED}{display=USB full speed}\n"
                 "dlt {number=293}{name=USB_2_0_LOW_SPEED}{display=USB low speed}\n";
    return 0;
}

int ListConfig() {
    std::cout << "arg {number=0}{call=--trigger}{display=Trigger code}{type=integer}"
                 "{range=0,15}{default=15}{tooltip=Trigger code sent before arming; 15 "
                 "triggers at once}\n"
                 "arg {number=1}{call=--speed}{display=Bus speed}{type=selector}"
                 "{tooltip=Speed of the bus under test; it sets the link type}\n"
                 "value {arg=1}{value=full}{display=Full speed (12 Mb/s)}{default=true}\n"
                 "value {arg=1}{value=low}{display=Low speed (1.5 Mb/s)}{default=false}\n"
                 "arg {number=2}{call=--timeout}{display=Timeout (s)}{type=double}"
                 "{range=0,86400}{default=60}{tooltip=Seconds to wait for the trigger and "
                 "for the recording memory to fill}\n";
    return 0;
}

/// Opens the FIFO the reader made, waiting a bounded time for the reader to open its end.
/// Only a FIFO is written: the path comes from the command line.
std::FILE* OpenFifo(const std::string& path, std::string& error) {
    const auto deadline = std::chrono::steady_clock::now() + kFifoOpenWait;
    int fd = -1;
    while ((fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)) < 0) {
        if (errno != ENXIO || gStop.load() || std::chrono::steady_clock::now() >= deadline) {
            error = errno == ENXIO ? "nobody reads the FIFO" : std::strerror(errno);
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        ::close(fd);
        error = "not a FIFO";
        return nullptr;
    }
    // Blocking from here on: the reader sets the pace.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* out = ::fdopen(fd, "wb");
    if (out == nullptr) {
        error = std::strerror(errno);
        ::close(fd);
    }
    return out;
}

struct CaptureOptions {
    unsigned analyzer = 1; // 1: the first found
    std::string fifo;
    int trigger = 15;
    std::string speed = "full";
    double timeoutSeconds = 60;
};

/// A private directory for the recording on its way from the analyzer to the FIFO.
class ScratchDirectory {
public:
    ScratchDirectory() {
        std::error_code ec;
        std::string pattern = (std::filesystem::temp_directory_path(ec) / "vintrace-extcap-XXXXXX");
        if (ec) {
            pattern = "/tmp/vintrace-extcap-XXXXXX";
        }
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~ScratchDirectory() {
        if (!path_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(path_, ec);
        }
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

int Capture(const CaptureOptions& o) {
    std::string error;
    std::FILE* fifo = OpenFifo(o.fifo, error);
    if (fifo == nullptr) {
        return Fail(o.fifo + ": " + error);
    }
    // Every way out closes the FIFO, so the reader sees the end of the capture.
    struct Closer {
        std::FILE* f;
        ~Closer() { std::fclose(f); }
    } closer{fifo};

    const auto linkType =
        o.speed == "low" ? capture::UsbLinkType::LowSpeed : capture::UsbLinkType::FullSpeed;
    if (!capture::WritePcapHeader(fifo, linkType)) {
        return Fail(o.fifo + ": " + std::strerror(errno != 0 ? errno : EIO));
    }
    const ScratchDirectory scratch;
    if (scratch.path().empty()) {
        return Fail(std::string("cannot make a temporary directory: ") + std::strerror(errno));
    }
    const std::string recording = scratch.path() + "/capture.dat";

    // The chosen analyzer, and no other: if it has gone, the capture fails.
    const std::vector<std::string> analyzers = device::ListAnalyzers();
    if (o.analyzer <= analyzers.size()) {
        device::UseAnalyzer(analyzers[o.analyzer - 1]);
    } else if (!analyzers.empty() || o.analyzer > 1) {
        return Fail("no analyzer " + std::to_string(o.analyzer) + ": " +
                    std::to_string(analyzers.size()) + " found");
    }

    device::AcquireOnceOptions options;
    options.trigger = o.trigger;
    options.fullSpeed = o.speed == "full";
    options.timeoutSeconds = o.timeoutSeconds;
    options.cancel = &gStop;
    const device::AcquireOnceResult result =
        device::AcquireOnce(options, recording, [](const std::string&) {});
    if (!result.ok()) {
        return Fail(result.error);
    }
    session::CaptureSession session;
    const capture::LoadResult loaded = session.open(recording);
    if (!loaded.ok()) {
        return Fail("the downloaded recording cannot be read: " + loaded.reason);
    }
    const capture::PcapResult written =
        capture::WritePcap(session.packets(), fifo, o.fifo, linkType, /*withHeader=*/false);
    if (!written.ok()) {
        return Fail(o.fifo + ": " + written.reason);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"vintrace-extcap: capture from a Vintrace USB analyzer in Wireshark (extcap)"};
    app.set_version_flag("--version", VersionLine("vintrace-extcap"));

    bool interfaces = false;
    bool dlts = false;
    bool config = false;
    bool capture = false;
    bool debug = false;
    std::string extcapVersion;
    std::string interface;
    std::string filter;
    std::string controlIn;
    std::string controlOut;
    std::string debugFile;
    CaptureOptions options;
    app.add_flag("--extcap-interfaces", interfaces, "List the analyzers found, as interfaces");
    app.add_option("--extcap-version", extcapVersion, "Wireshark's version (accepted, unused)")
        ->expected(0, 1);
    app.add_option("--extcap-interface", interface,
                   "The interface to work on: vintrace-N for the Nth analyzer listed (vintrace: "
                   "the first)");
    app.add_flag("--extcap-dlts", dlts, "List the interface's link types");
    app.add_flag("--extcap-config", config, "List the interface's options");
    app.add_flag("--capture", capture, "Run one acquisition and write it to --fifo as pcap");
    app.add_option("--fifo", options.fifo, "The FIFO to write the pcap into");
    app.add_option("--extcap-capture-filter", filter,
                   "Capture filter (ignored: the analyzer records everything)");
    app.add_option("--extcap-control-in", controlIn, "Control pipe (unused)");
    app.add_option("--extcap-control-out", controlOut, "Control pipe (unused)");
    app.add_flag("--debug", debug, "Accepted for Wireshark; no effect");
    app.add_option("--debug-file", debugFile, "Accepted for Wireshark; no effect");
    app.add_option("--trigger", options.trigger, "Trigger code sent before arming (15: at once)")
        ->check(CLI::Range(0, 15))
        ->capture_default_str();
    app.add_option("--speed", options.speed, "Bus speed: full (link type 294) or low (293)")
        ->check(CLI::IsMember({"full", "low"}))
        ->capture_default_str();
    app.add_option("--timeout", options.timeoutSeconds,
                   "Seconds to wait for the trigger and for full memory")
        ->check(CLI::Range(0.0, 86400.0))
        ->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }

    if (interfaces) {
        return ListInterfaces();
    }
    if (!dlts && !config && !capture) {
        return Fail("nothing to do: use --extcap-interfaces, --extcap-dlts, --extcap-config or "
                    "--capture (see --help)");
    }
    const std::optional<unsigned> analyzer = AnalyzerNumber(interface);
    if (!analyzer) {
        return Fail(interface.empty() ? "--extcap-interface is required"
                                      : "no such interface: " + interface);
    }
    options.analyzer = *analyzer;
    if (dlts) {
        return ListDlts();
    }
    if (config) {
        return ListConfig();
    }
    if (options.fifo.empty()) {
        return Fail("--capture needs --fifo");
    }
    // Wireshark ends a capture with SIGTERM: disarm and close the FIFO rather than die.
    struct sigaction action {};
    action.sa_handler = OnStop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    // A reader that went away must not kill us before the analyzer is disarmed.
    std::signal(SIGPIPE, SIG_IGN);
    return Capture(options);
}
