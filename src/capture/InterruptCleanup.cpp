#include "capture/InterruptCleanup.h"

#include <atomic>
#include <csignal>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace vintrace::capture {

namespace {

// The handler may only read plain memory and call async-signal-safe functions, so the paths
// live in fixed slots whose state says when one is complete.
constexpr int kSlots = 32;
constexpr std::size_t kPathBytes = 4096;
enum SlotState : int { kFree = 0, kFilling = 1, kReady = 2 };

struct Slot {
    std::atomic<int> state{kFree};
    char path[kPathBytes] = {};
};

Slot gSlots[kSlots];
std::atomic<bool> gInstalled{false};

void RemoveRegistered() {
    for (Slot& s : gSlots) {
        if (s.state.load() == kReady) {
#ifdef _WIN32
            ::_unlink(s.path);
#else
            ::unlink(s.path);
#endif
        }
    }
}

extern "C" void OnInterrupt(int signal) {
    RemoveRegistered();
    // End the way the signal would have ended the process without us.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace

void InstallInterruptCleanup() {
    if (gInstalled.exchange(true)) {
        return;
    }
#ifdef _WIN32
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
#else
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

InterruptCleanupEntry::InterruptCleanupEntry(const std::string& path) {
    if (path.empty() || path.size() >= kPathBytes) {
        return;
    }
    for (int i = 0; i < kSlots; ++i) {
        int expected = kFree;
        if (gSlots[i].state.compare_exchange_strong(expected, kFilling)) {
            std::memcpy(gSlots[i].path, path.c_str(), path.size() + 1);
            gSlots[i].state.store(kReady);
            slot_ = i;
            return;
        }
    }
}

InterruptCleanupEntry::~InterruptCleanupEntry() {
    if (slot_ >= 0) {
        gSlots[slot_].state.store(kFree);
    }
}

} // namespace vintrace::capture
