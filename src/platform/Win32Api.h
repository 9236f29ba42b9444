#pragma once

#include "platform/Win32.h"

namespace vintrace::platform {

/// The Windows calls the device layer and Save As make, as one replaceable object, so that
/// tests can put an in-process fake in place of the operating system. Each method has the
/// contract of the Windows call of the same name.
class Win32Api {
public:
    virtual ~Win32Api() = default;

    virtual HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator,
                                          HWND parent, DWORD flags) = 0;
    virtual BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* deviceInfo,
                                             const GUID* classGuid, DWORD memberIndex,
                                             SP_DEVICE_INTERFACE_DATA* interfaceData) = 0;
    virtual BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set,
                                                  SP_DEVICE_INTERFACE_DATA* interfaceData,
                                                  SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                                  DWORD detailSize, DWORD* requiredSize,
                                                  SP_DEVINFO_DATA* deviceInfo) = 0;
    virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;
    virtual DWORD GetLastError() = 0;
    virtual HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                               SECURITY_ATTRIBUTES* security, DWORD creationDisposition,
                               DWORD flags, HANDLE templateFile) = 0;
    virtual BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inSize,
                                 void* outBuffer, DWORD outSize, DWORD* bytesReturned,
                                 OVERLAPPED* overlapped) = 0;
    virtual BOOL WriteFile(HANDLE file, void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                           OVERLAPPED* overlapped) = 0;
    virtual BOOL CloseHandle(HANDLE object) = 0;
    virtual BOOL MoveFileA(const char* existingFileName, const char* newFileName) = 0;
    virtual BOOL MessageBeep(UINT type) = 0;
};

/// The calls in use: the operating system's unless a test has installed its own.
Win32Api& Api();

/// Installs `api` for every thread until it is replaced; nullptr restores the system's.
/// Meant for tests; `api` must outlive its use.
void SetApi(Win32Api* api);

/// The operating system's calls (the real ones on Windows, the socket shim elsewhere).
Win32Api& SystemApi();

} // namespace vintrace::platform
