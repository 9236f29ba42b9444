#pragma once

#include "platform/Win32Api.h"

namespace vintrace::platform {

/// Forwards every call to the operating system (or, off Windows, to the socket shim).
class SystemWin32Api final : public Win32Api {
public:
    HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator, HWND parent,
                                  DWORD flags) override;
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* deviceInfo,
                                     const GUID* classGuid, DWORD memberIndex,
                                     SP_DEVICE_INTERFACE_DATA* interfaceData) override;
    BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                          SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                          DWORD detailSize, DWORD* requiredSize,
                                          SP_DEVINFO_DATA* deviceInfo) override;
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;
    DWORD GetLastError() override;
    HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                       SECURITY_ATTRIBUTES* security, DWORD creationDisposition, DWORD flags,
                       HANDLE templateFile) override;
    BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inSize,
                         void* outBuffer, DWORD outSize, DWORD* bytesReturned,
                         OVERLAPPED* overlapped) override;
    BOOL WriteFile(HANDLE file, void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                   OVERLAPPED* overlapped) override;
    BOOL CloseHandle(HANDLE object) override;
    BOOL MoveFileA(const char* existingFileName, const char* newFileName) override;
    BOOL MessageBeep(UINT type) override;
};

} // namespace vintrace::platform
