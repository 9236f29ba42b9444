#pragma once

#include "AnalyzerBox.h"

#include "platform/WireProtocol.h"

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace vintrace::emulator {

/// Faults the emulated driver injects on request.
struct FaultSettings {
    std::set<std::int32_t> refusedCommands; // these commands fail
    long failTransferAfter = -1;            // transfers after this many fail (-1: never)
    long vanishAfterBlocks = -1;            // the device disappears after this many (-1: never)
    int delayMs = 0;     // every answer is this late (each client's in its own time)
    long hangAfter = -1; // requests answered before the driver hangs (-1: never)
};

/// How many connections the driver keeps, and for how long one may sit idle.
struct ConnectionLimits {
    /// At most this many at once (fewer when the open-file limit leaves less room). A new
    /// connection beyond it takes the place of the one idle longest.
    std::size_t maxConnections = 64;
    /// A connection that has sent nothing and is owed nothing for this long is closed.
    std::chrono::milliseconds idleTimeout{30000};
};

/// The analyzer's driver: answers the socket shim's requests (platform/WireProtocol.h) for
/// the device and its data pipe, on one socket in the analyzer's class directory.
class DeviceServer {
public:
    DeviceServer(AnalyzerBox& box, const FaultSettings& faults, std::ostream& log,
                 const ConnectionLimits& limits = {});
    ~DeviceServer();
    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;

    /// Creates the socket `name` in `classDirectory`, a directory below the device `root`;
    /// false with `error` set on failure. Missing directories are made private (mode 0700),
    /// and both must pass platform::PrivateDirectoryProblem. On failure nothing is left behind.
    bool Listen(const std::string& root, const std::string& classDirectory, const std::string& name,
                std::string& error);

    /// Serves until `stop` becomes non-zero or the device vanishes (fault injection).
    /// SIGINT and SIGTERM must be blocked by the caller; they are let through only while
    /// waiting, so a stop request is never missed.
    void Run(const volatile std::sig_atomic_t& stop);

    /// Removes the socket and closes every connection.
    void Close();

private:
    using Clock = std::chrono::steady_clock;

    struct Client {
        int fd = -1;
        int id = 0;
        bool opened = false;
        bool pipe = false;
        std::vector<std::uint8_t> unsent;                   // a reply the client has not taken yet
        std::chrono::steady_clock::time_point due{};        // when `unsent` may go (--delay-ms)
        std::chrono::steady_clock::time_point lastActive{}; // accepted, asked or answered
    };

    // Answers one frame; false when the connection is to be dropped.
    bool Serve(Client& c, const std::vector<std::uint8_t>& frame);
    std::uint32_t Ioctl(const Client& c, const platform::wire::Request& request,
                        std::vector<std::uint8_t>& output, std::string& what);
    std::uint32_t Transfer(const platform::wire::Request& request,
                           std::vector<std::uint8_t>& output);
    void Reply(Client& c, std::uint32_t error, const std::vector<std::uint8_t>& output);
    // True once the blocks to hand out before vanishing are all gone.
    bool BlocksRunOut() const;
    // Removes the socket and drops every connection, as an unplugged analyzer, once `last`
    // has had its reply.
    void Vanish(Client& last);
    // Sends the client's unsent reply if it has room; false when the connection is broken.
    bool SendUnsent(Client& c);
    // Takes one waiting connection, making room for it if need be; when the process is out
    // of file descriptors, frees one or pauses accepting for a moment instead of spinning.
    void AcceptOne(Clock::time_point now);
    // Closes the connection idle longest that is owed no reply; false when there is none.
    bool CloseLongestIdle(const char* why);
    // The most connections kept now: the configured cap within the open-file limit.
    std::size_t ConnectionCap() const;
    // Closes the connections idle past the deadline; the next such deadline, if any.
    std::optional<Clock::time_point> CloseIdle(Clock::time_point now);

    AnalyzerBox& box_;
    FaultSettings faults_;
    std::ostream& log_;
    ConnectionLimits limits_;
    Clock::time_point acceptPausedUntil_{}; // after EMFILE with nothing to close
    int listenFd_ = -1;
    std::string socketPath_;
    std::string classDirectory_;
    std::vector<Client> clients_;
    int nextClientId_ = 1;
    long transfers_ = 0;
    long answered_ = 0; // requests answered, on all connections
    bool vanished_ = false;
};

/// Name of an analyzer command number, or "command N".
std::string CommandName(std::int32_t code);

/// The command number for a name or a number (0 to 15) in text; -1 when it is neither.
std::int32_t CommandFromText(const std::string& text);

} // namespace vintrace::emulator
