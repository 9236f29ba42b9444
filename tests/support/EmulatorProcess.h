#pragma once

#include "device/AnalyzerInterface.h"
#include "platform/WireProtocol.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vintrace::test {

/// Waits until `condition` holds, at most 20 s: a generous bound that only guards against
/// hangs while the emulator's state changes.
inline bool WaitFor(const std::function<bool()>& condition) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

/// vintrace-analyzer-emu run as a child process below a device root, stopped (and reaped)
/// when the object goes, whatever the test did. Its log goes to `<logDirectory>/emu.log`,
/// by default in the root.
class EmulatorProcess {
public:
    EmulatorProcess(const std::string& root, std::vector<std::string> args,
                    const std::string& name = "analyzer0", const std::string& logDirectory = "")
        : logPath_((logDirectory.empty() ? root : logDirectory) + "/emu.log") {
        const auto& g = device::ANALYZER_INTERFACE_GUID;
        socket_ =
            platform::wire::ClassDirectory(root, g.Data1, g.Data2, g.Data3, g.Data4) + "/" + name;
        args.insert(args.begin(), {VINTRACE_EMULATOR_PATH, "--dir", root, "--name", name});
        pid_ = ::fork();
        if (pid_ == 0) {
            const int log = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            ::dup2(log, 2);
            std::vector<char*> argv;
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        // Ready once the socket is in place (it appears only when it accepts).
        for (int i = 0; i < 1000 && pid_ > 0; ++i) {
            struct stat st {};
            if (::lstat(socket_.c_str(), &st) == 0) {
                ready_ = true;
                break;
            }
            if (Exited(std::chrono::milliseconds(0))) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    ~EmulatorProcess() { Stop(); }
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;

    /// True once the emulator answers at its socket.
    bool ready() const { return ready_; }
    const std::string& socketPath() const { return socket_; }

    /// Sends SIGTERM and waits for the exit (SIGKILL after 10 s); the exit status.
    int Stop() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGTERM);
            if (!Exited(std::chrono::seconds(10))) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status_, 0);
                reaped_ = true;
            }
        }
        return status_;
    }

    /// Waits up to `timeout` for the process to end by itself.
    bool Exited(std::chrono::milliseconds timeout) {
        if (reaped_) {
            return true;
        }
        const auto until = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
                reaped_ = true;
                return true;
            }
            if (std::chrono::steady_clock::now() >= until) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    int status() const { return status_; }
    pid_t pid() const { return pid_; }

    /// What the emulator has logged so far.
    std::string log() const {
        std::ifstream in(logPath_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    std::string logPath_;
    std::string socket_;
    pid_t pid_ = -1;
    bool ready_ = false;
    bool reaped_ = false;
    int status_ = -1;
};

} // namespace vintrace::test
