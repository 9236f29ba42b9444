// Console check of the device layer through the real Windows calls, with no analyzer
// attached: cross-compiled with MinGW and run under Wine by scripts/check-windows.sh.

#include "device/AnalyzerCommands.h"
#include "device/AnalyzerLock.h"
#include "device/DeviceAccess.h"
#include "platform/UserBuffer.h"
#include "platform/Win32.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

int gFailures = 0;

void Check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) {
        ++gFailures;
    }
}

} // namespace

int main() {
    using namespace vintrace;
    using namespace vintrace::platform;

#ifndef _WIN64
    // The layouts the 32-bit program hands to the set-up API.
    static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
    static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);
#endif

    HDEVINFO set = os::SetupDiGetClassDevsA(&device::ANALYZER_INTERFACE_GUID, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    Check(set != INVALID_HANDLE_VALUE, "SetupDiGetClassDevsA gives a set");
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    const BOOL found =
        os::SetupDiEnumDeviceInterfaces(set, nullptr, &device::ANALYZER_INTERFACE_GUID, 0, &data);
    Check(!found && os::GetLastError() == ERROR_NO_MORE_ITEMS,
          "enumeration ends with ERROR_NO_MORE_ITEMS at index 0");
    if (set != INVALID_HANDLE_VALUE) {
        os::SetupDiDestroyDeviceInfoList(set);
    }

    std::uint8_t status = 9;
    std::uint8_t full = 9;
    std::uint8_t speed = 9;
    std::array<std::uint8_t, 13> text;
    text.fill(0xAA);
    Check(!device::SetTrigger(15), "SetTrigger(15) fails");
    Check(!device::SetArmed(1) && !device::SetStopped(1) && !device::BeginAcquisition() &&
              !device::EndDownload() && !device::BeginDownload() && !device::SetBusSpeed(1),
          "every command fails");
    Check(!device::ReadFirmwareVersion(text) && text == std::array<std::uint8_t, 13>{},
          "firmware version reads 13 zero bytes");
    Check(!device::ReadTriggerStatus(status) && status == 9, "trigger status is left alone");
    Check(!device::ReadFifoFull(full) && full == 9, "fifo full is left alone");
    Check(!device::ReadPortSpeed(speed) && speed == 0, "port speed reads 0");
    Check(device::ReadFifoLevel() == 0, "fifo level reads 0");
    HANDLE pipe = device::OpenDataPipe(device::kDataPipeName);
    Check(pipe == INVALID_HANDLE_VALUE, "data pipe does not open");
    std::uint8_t buffer[512];
    std::uint32_t count = 77;
    Check(!device::TransferBlock(pipe, buffer, sizeof buffer, count) && count == 0,
          "transfer on the invalid handle moves nothing");

    // A buffer above 4 GiB has no 32-bit address; the record must not carry a cut one.
    std::uint8_t local = 0;
    UserBuffer low(&local, 1);
    Check(low.valid() || sizeof(void*) == 8, "a 32-bit program's buffers all have an address");
#ifdef _WIN64
    UserBuffer high(reinterpret_cast<void*>(std::uintptr_t{1} << 32), 1);
    Check(!high.valid(), "a buffer above 4 GiB is refused, not truncated");
#endif

    // MoveFileA never replaces, exactly as the Linux shim promises.
    const char* a = "vintrace-move-a.tmp";
    const char* b = "vintrace-move-b.tmp";
    std::FILE* fa = std::fopen(a, "wb");
    std::FILE* fb = std::fopen(b, "wb");
    if (fa != nullptr) {
        std::fclose(fa);
    }
    if (fb != nullptr) {
        std::fclose(fb);
    }
    Check(!os::MoveFileA(a, b) && os::GetLastError() == ERROR_ALREADY_EXISTS,
          "MoveFileA onto an existing file fails with ERROR_ALREADY_EXISTS");
    std::remove(b);
    Check(os::MoveFileA(a, b) != FALSE, "MoveFileA moves to a free name");
    Check(!os::MoveFileA(a, b) && os::GetLastError() == ERROR_FILE_NOT_FOUND,
          "MoveFileA of a missing file fails with ERROR_FILE_NOT_FOUND");
    std::remove(a);
    std::remove(b);

    // The acquisition lock: one holder at a time, the file gone with the last.
    {
        std::string reason;
        Check(device::LockFirstAnalyzer(reason) != nullptr,
              "with no analyzer an acquisition locks nothing and goes ahead");
        const std::string lockPath = device::AnalyzerLockPath("\\\\?\\usb#vintrace-check");
        device::FileLock::Result result{};
        auto held = device::FileLock::Take(lockPath, result, reason);
        Check(held != nullptr && result == device::FileLock::Result::Held, "the lock is taken");
        Check(device::FileLock::Take(lockPath, result, reason) == nullptr &&
                  result == device::FileLock::Result::Busy,
              "a second taker is turned away");
        held.reset();
        held = device::FileLock::Take(lockPath, result, reason);
        Check(held != nullptr, "the lock is free again once let go");

        // A directory in the lock's place refuses access as a holder does, but holds nothing.
        const std::string taken = device::AnalyzerLockPath("\\\\?\\usb#vintrace-taken");
        Check(::CreateDirectoryA(taken.c_str(), nullptr) != FALSE, "a directory takes the place");
        Check(device::FileLock::Take(taken, result, reason) == nullptr &&
                  result == device::FileLock::Result::Failed && !reason.empty(),
              "a lock that cannot be made is no holder");
        ::RemoveDirectoryA(taken.c_str());
    }

    std::printf("%s\n", gFailures == 0 ? "all checks passed" : "checks failed");
    return gFailures == 0 ? 0 : 1;
}
