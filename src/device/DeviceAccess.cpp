#include "device/DeviceAccess.h"

#include "platform/UserBuffer.h"
#include "platform/Win32Api.h"

#include <cstddef>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

using namespace vintrace::platform;

namespace vintrace::device {

namespace {

constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Whether the last FindAnalyzer of this thread met an interface that did not answer in time,
// and whether the last command or query ran out of time.
thread_local bool tOpenTimedOut = false;
thread_local bool tLastRequestTimedOut = false;

// Reads the device path of one enumerated interface into `pathBuffer`; false when the detail
// cannot be read or the path does not fit with the pipe suffix.
bool ReadDevicePath(Win32Api& api, HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData,
                    DevicePathBuffer& pathBuffer) {
    DWORD required = 0;
    api.SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &required, nullptr);
    constexpr std::size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    if (required <= kPathOffset || required > 0x10000) {
        return false;
    }
    // DWORD elements keep the record's size field aligned.
    std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!api.SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, required, nullptr,
                                              nullptr)) {
        return false;
    }
    const std::size_t length = strnlen(detail->DevicePath, required - kPathOffset);
    if (length == required - kPathOffset || length > kLongestDevicePath) {
        pathBuffer[0] = '\0';
        return false;
    }
    std::memcpy(pathBuffer.data(), detail->DevicePath, length);
    pathBuffer[length] = '\0';
    return true;
}

// What one interface of the enumeration did for the caller: go on with the next, or stop.
enum class Visit { Next, Stop };

// Walks the analyzer interfaces by member index, as the set-up API lists them, handing each
// readable device path to `visit` (in `pathBuffer`). Enumeration failures other than the end
// of the list are skipped, up to kMaxEnumerationFailures in a row.
void ForEachInterface(DevicePathBuffer& pathBuffer, const std::function<Visit()>& visit) {
    Win32Api& api = Api();
    HDEVINFO set = api.SetupDiGetClassDevsA(&ANALYZER_INTERFACE_GUID, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    std::uint32_t failures = 0;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        if (!api.SetupDiEnumDeviceInterfaces(set, nullptr, &ANALYZER_INTERFACE_GUID, index,
                                             &interfaceData)) {
            if (api.GetLastError() == ERROR_NO_MORE_ITEMS ||
                ++failures >= kMaxEnumerationFailures) {
                break;
            }
            continue;
        }
        failures = 0;
        if (ReadDevicePath(api, set, interfaceData, pathBuffer) && visit() == Visit::Stop) {
            break;
        }
    }
    api.SetupDiDestroyDeviceInfoList(set);
}

// Opens the interface whose path `pathBuffer` holds, noting a timeout for the caller.
HANDLE OpenListed(const DevicePathBuffer& pathBuffer) {
    Win32Api& api = Api();
    HANDLE h =
        api.CreateFileA(pathBuffer.data(), kAccess, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        tOpenTimedOut = tOpenTimedOut || api.GetLastError() == ERROR_SEM_TIMEOUT;
    }
    return h;
}

std::mutex gInUseMutex;
std::string gInUse; // empty: the first analyzer found

// Opens the analyzer in use: the chosen one, else the first that opens.
HANDLE OpenInUse(DevicePathBuffer& pathBuffer) {
    const std::string chosen = AnalyzerInUse();
    if (chosen.empty()) {
        return FindAnalyzer(pathBuffer);
    }
    pathBuffer[0] = '\0';
    if (chosen.size() > kLongestDevicePath) {
        tOpenTimedOut = false;
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = OpenAnalyzer(chosen);
    std::memcpy(pathBuffer.data(), chosen.c_str(), chosen.size() + 1);
    return h;
}

// Issues one analyzer command through `ioControlCode`; the buffer, if any, is the data.
bool Issue(DWORD ioControlCode, std::int32_t commandCode, std::int32_t argument, void* data,
           std::int32_t dataLength, bool dataIsOutput) {
    tLastRequestTimedOut = false;
    if (dataLength < 0 || (data == nullptr && dataLength != 0)) {
        return false;
    }
    // A buffer the record cannot address must not be sent with a cut-down address.
    UserBuffer mapped(data, static_cast<std::size_t>(dataLength));
    if (!mapped.valid()) {
        return false;
    }
    DevicePathBuffer pathBuffer{};
    HANDLE handle = OpenInUse(pathBuffer);
    if (handle == INVALID_HANDLE_VALUE) {
        tLastRequestTimedOut = tOpenTimedOut;
        return false;
    }
    CommandRecord record{commandCode, dataLength, mapped.address(), argument};
    std::array<std::uint8_t, 16> input = EncodeCommandRecord(record);
    DWORD returned = 0;
    Win32Api& api = Api();
    const BOOL ok =
        api.DeviceIoControl(handle, ioControlCode, input.data(), static_cast<DWORD>(input.size()),
                            dataIsOutput ? data : nullptr,
                            dataIsOutput ? static_cast<DWORD>(dataLength) : 0, &returned, nullptr);
    // Read before CloseHandle, which may reset it.
    tLastRequestTimedOut = ok == FALSE && api.GetLastError() == ERROR_SEM_TIMEOUT;
    api.CloseHandle(handle);
    return ok != FALSE;
}

} // namespace

HANDLE FindAnalyzer(DevicePathBuffer& pathBuffer) {
    pathBuffer[0] = '\0';
    tOpenTimedOut = false;
    HANDLE found = INVALID_HANDLE_VALUE;
    ForEachInterface(pathBuffer, [&] {
        found = OpenListed(pathBuffer);
        return found != INVALID_HANDLE_VALUE ? Visit::Stop : Visit::Next;
    });
    return found;
}

std::vector<std::string> ListAnalyzers() {
    std::vector<std::string> paths;
    DevicePathBuffer pathBuffer{};
    tOpenTimedOut = false;
    ForEachInterface(pathBuffer, [&] {
        if (HANDLE h = OpenListed(pathBuffer); h != INVALID_HANDLE_VALUE) {
            Api().CloseHandle(h);
            paths.emplace_back(pathBuffer.data());
        }
        return Visit::Next;
    });
    return paths;
}

HANDLE OpenAnalyzer(const std::string& devicePath) {
    tOpenTimedOut = false;
    HANDLE found = INVALID_HANDLE_VALUE;
    if (devicePath.empty()) {
        return found;
    }
    DevicePathBuffer pathBuffer{};
    ForEachInterface(pathBuffer, [&] {
        if (devicePath != pathBuffer.data()) {
            return Visit::Next;
        }
        found = OpenListed(pathBuffer);
        return Visit::Stop;
    });
    return found;
}

void UseAnalyzer(const std::string& devicePath) {
    std::lock_guard lock(gInUseMutex);
    gInUse = devicePath;
}

std::string AnalyzerInUse() {
    std::lock_guard lock(gInUseMutex);
    return gInUse;
}

bool ProbeAnalyzer(DevicePathBuffer& pathBuffer) {
    HANDLE handle = OpenInUse(pathBuffer);
    tLastRequestTimedOut = handle == INVALID_HANDLE_VALUE && tOpenTimedOut;
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    Api().CloseHandle(handle);
    return true;
}

HANDLE OpenDataPipe(const char* pipeName) {
    DevicePathBuffer pathBuffer{};
    if (pipeName == nullptr || !ProbeAnalyzer(pathBuffer)) {
        return INVALID_HANDLE_VALUE;
    }
    const std::size_t used = strnlen(pathBuffer.data(), pathBuffer.size());
    const std::size_t nameLength = std::strlen(pipeName);
    if (used + 1 + nameLength + 1 > pathBuffer.size()) {
        return INVALID_HANDLE_VALUE;
    }
    pathBuffer[used] = '\\';
    std::memcpy(pathBuffer.data() + used + 1, pipeName, nameLength + 1);
    return Api().CreateFileA(pathBuffer.data(), kAccess, kShare, nullptr, OPEN_EXISTING, 0,
                             nullptr);
}

bool CloseDataPipe(HANDLE pipeHandle) {
    return pipeHandle != INVALID_HANDLE_VALUE && Api().CloseHandle(pipeHandle) != FALSE;
}

bool LastRequestTimedOut() {
    return tLastRequestTimedOut;
}

bool SendCommand(std::int32_t commandCode, std::int32_t argument, void* data,
                 std::int32_t dataLength) {
    return Issue(IOCTL_ANALYZER_COMMAND, commandCode, argument, data, dataLength, false);
}

bool QueryCommand(std::int32_t commandCode, std::int32_t argument, void* buffer,
                  std::int32_t length) {
    return Issue(IOCTL_ANALYZER_QUERY, commandCode, argument, buffer, length, true);
}

bool TransferBlock(HANDLE pipeHandle, void* buffer, std::uint32_t length, std::uint32_t& count) {
    count = 0;
    if (pipeHandle == INVALID_HANDLE_VALUE) {
        return false;
    }
    Win32Api& api = Api();
    DWORD written = 0;
    const BOOL ok = api.WriteFile(pipeHandle, buffer, length, &written, nullptr);
    count = written;
    if (!ok) {
        DWORD ignored = 0;
        api.DeviceIoControl(pipeHandle, IOCTL_RECOVER_PIPE, nullptr, 0, nullptr, 0, &ignored,
                            nullptr);
    }
    return ok != FALSE;
}

} // namespace vintrace::device
