#include "platform/SystemWin32Api.h"

#include <atomic>

namespace vintrace::platform {

namespace {
std::atomic<Win32Api*> gInstalled{nullptr};
} // namespace

Win32Api& SystemApi() {
    static SystemWin32Api system;
    return system;
}

Win32Api& Api() {
    Win32Api* installed = gInstalled.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : SystemApi();
}

void SetApi(Win32Api* api) {
    gInstalled.store(api, std::memory_order_release);
}

HDEVINFO SystemWin32Api::SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator,
                                              HWND parent, DWORD flags) {
    return os::SetupDiGetClassDevsA(classGuid, enumerator, parent, flags);
}

BOOL SystemWin32Api::SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* deviceInfo,
                                                 const GUID* classGuid, DWORD memberIndex,
                                                 SP_DEVICE_INTERFACE_DATA* interfaceData) {
    return os::SetupDiEnumDeviceInterfaces(set, deviceInfo, classGuid, memberIndex, interfaceData);
}

BOOL SystemWin32Api::SetupDiGetDeviceInterfaceDetailA(HDEVINFO set,
                                                      SP_DEVICE_INTERFACE_DATA* interfaceData,
                                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                                      DWORD detailSize, DWORD* requiredSize,
                                                      SP_DEVINFO_DATA* deviceInfo) {
    return os::SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail, detailSize,
                                                requiredSize, deviceInfo);
}

BOOL SystemWin32Api::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    return os::SetupDiDestroyDeviceInfoList(set);
}

DWORD SystemWin32Api::GetLastError() {
    return os::GetLastError();
}

HANDLE SystemWin32Api::CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                                   SECURITY_ATTRIBUTES* security, DWORD creationDisposition,
                                   DWORD flags, HANDLE templateFile) {
    return os::CreateFileA(fileName, desiredAccess, shareMode, security, creationDisposition, flags,
                           templateFile);
}

BOOL SystemWin32Api::DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer,
                                     DWORD inSize, void* outBuffer, DWORD outSize,
                                     DWORD* bytesReturned, OVERLAPPED* overlapped) {
    return os::DeviceIoControl(device, ioControlCode, inBuffer, inSize, outBuffer, outSize,
                               bytesReturned, overlapped);
}

BOOL SystemWin32Api::WriteFile(HANDLE file, void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                               OVERLAPPED* overlapped) {
    return os::WriteFile(file, buffer, bytesToWrite, bytesWritten, overlapped);
}

BOOL SystemWin32Api::CloseHandle(HANDLE object) {
    return os::CloseHandle(object);
}

BOOL SystemWin32Api::MoveFileA(const char* existingFileName, const char* newFileName) {
    return os::MoveFileA(existingFileName, newFileName);
}

BOOL SystemWin32Api::MessageBeep(UINT type) {
    return os::MessageBeep(type);
}

} // namespace vintrace::platform
