#include "capture/InterruptCleanup.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace vintrace::capture {

namespace {

// Fixed storage only: the handler may not allocate, and may run while another thread
// releases a slot, so names are never freed under it.
constexpr int kSlots = 32;
constexpr std::size_t kPathRoom = 4096;

enum SlotState : int { kFree, kFilling, kReady };

struct Slot {
    std::atomic<int> state{kFree};
    std::array<char, kPathRoom> path{};
};

std::array<Slot, kSlots> gSlots;
constexpr int kSignals[] = {
    SIGINT,
    SIGTERM,
#ifdef SIGHUP
    SIGHUP,
#endif
};

void RemoveRegisteredFiles() {
    for (Slot& slot : gSlots) {
        if (slot.state.load(std::memory_order_acquire) == kReady) {
#ifdef _WIN32
            ::_unlink(slot.path.data());
#else
            ::unlink(slot.path.data());
#endif
        }
    }
}

extern "C" void OnTerminatingSignal(int sig) {
    const int savedErrno = errno;
    RemoveRegisteredFiles();
    errno = savedErrno;
#ifdef _WIN32
    std::signal(sig, SIG_DFL);
    std::raise(sig);
#else
    // The disposition was reset on entry (SA_RESETHAND) and the signal is blocked until the
    // handler returns, when the re-raised signal ends the process with the usual status.
    ::raise(sig);
#endif
}

void InstallHandlers() {
    for (const int sig : kSignals) {
#ifdef _WIN32
        const auto previous = std::signal(sig, OnTerminatingSignal);
        if (previous != SIG_DFL && previous != SIG_ERR) {
            std::signal(sig, previous);
        }
#else
        struct sigaction current {};
        if (::sigaction(sig, nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
            (current.sa_flags & SA_SIGINFO) != 0) {
            continue; // ignored (nohup) or handled by the program: leave it so
        }
        struct sigaction action {};
        action.sa_handler = OnTerminatingSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        ::sigaction(sig, &action, nullptr);
#endif
    }
}

} // namespace

InterruptCleanup::InterruptCleanup(const std::string& path) {
    if (path.empty() || path.size() >= kPathRoom) {
        return;
    }
    static std::once_flag installed;
    std::call_once(installed, InstallHandlers);
    for (int i = 0; i < kSlots; ++i) {
        int expected = kFree;
        if (gSlots[i].state.compare_exchange_strong(expected, kFilling,
                                                    std::memory_order_acquire)) {
            std::memcpy(gSlots[i].path.data(), path.c_str(), path.size() + 1);
            gSlots[i].state.store(kReady, std::memory_order_release);
            slot_ = i;
            return;
        }
    }
}

InterruptCleanup::~InterruptCleanup() {
    release();
}

void InterruptCleanup::release() {
    if (slot_ >= 0) {
        gSlots[slot_].state.store(kFree, std::memory_order_release);
        slot_ = -1;
    }
}

} // namespace vintrace::capture
