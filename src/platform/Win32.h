#pragma once

// The Windows surface the device layer and Save As are written against. On Windows these are
// the system's own declarations; elsewhere the same names, layouts and contracts come from our
// socket-backed implementation (Win32Shim.cpp). Code that includes this header says
// `using namespace vintrace::platform;` in its .cpp and uses the Windows names unqualified,
// because on Windows the constants are macros and cannot be qualified.

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first: setupapi.h relies on its types.
#include <setupapi.h>

namespace vintrace::platform {
using ::BOOL;
using ::DWORD;
using ::GUID;
using ::HANDLE;
using ::HDEVINFO;
using ::HWND;
using ::OVERLAPPED;
using ::SECURITY_ATTRIBUTES;
using ::SP_DEVICE_INTERFACE_DATA;
using ::SP_DEVICE_INTERFACE_DETAIL_DATA_A;
using ::SP_DEVINFO_DATA;
using ::UINT;

namespace os {
using ::CloseHandle;
using ::CreateFileA;
using ::DeviceIoControl;
using ::GetLastError;
using ::MessageBeep;
using ::MoveFileA;
using ::SetLastError;
using ::SetupDiDestroyDeviceInfoList;
using ::SetupDiEnumDeviceInterfaces;
using ::SetupDiGetClassDevsA;
using ::SetupDiGetDeviceInterfaceDetailA;
using ::WriteFile;
} // namespace os
} // namespace vintrace::platform

#else

#include <cstdint>

namespace vintrace::platform {

using BOOL = int;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using HANDLE = void*;
using HDEVINFO = void*;
using HWND = void*;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

struct SECURITY_ATTRIBUTES;
struct OVERLAPPED;
struct SP_DEVINFO_DATA;

/// Same layout as Windows: 28 bytes on a 32-bit build, 32 on a 64-bit one.
struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    std::uintptr_t Reserved;
};

/// Same layout as Windows: the size field, then the NUL-terminated path of variable length.
struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    char DevicePath[1];
};

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD FILE_SHARE_READ = 0x1;
inline constexpr DWORD FILE_SHARE_WRITE = 0x2;
inline constexpr DWORD OPEN_EXISTING = 3;

inline constexpr DWORD DIGCF_PRESENT = 0x02;
inline constexpr DWORD DIGCF_DEVICEINTERFACE = 0x10;

inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_SEM_TIMEOUT = 121;
inline constexpr DWORD ERROR_BAD_PATHNAME = 161;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_NOACCESS = 998;
inline constexpr DWORD ERROR_INVALID_FLAGS = 1004;
inline constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
inline constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;

/// The calls themselves, with the Windows contracts (results, last error), over sockets.
namespace os {
HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator, HWND parent,
                              DWORD flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* deviceInfo, const GUID* classGuid,
                                 DWORD memberIndex, SP_DEVICE_INTERFACE_DATA* interfaceData);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                      DWORD* requiredSize, SP_DEVINFO_DATA* deviceInfo);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);
DWORD GetLastError();
void SetLastError(DWORD error);
HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                   SECURITY_ATTRIBUTES* security, DWORD creationDisposition, DWORD flags,
                   HANDLE templateFile);
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inSize,
                     void* outBuffer, DWORD outSize, DWORD* bytesReturned, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
               OVERLAPPED* overlapped);
BOOL CloseHandle(HANDLE object);
BOOL MoveFileA(const char* existingFileName, const char* newFileName);
BOOL MessageBeep(UINT type);
} // namespace os

} // namespace vintrace::platform

#endif
