#pragma once

#include "device/AnalyzerInterface.h"
#include "platform/UserBuffer.h"
#include "platform/Win32Api.h"

#include <cstring>
#include <string>
#include <vector>

namespace vintrace::test {

using namespace vintrace::platform;

/// An in-process stand-in for the operating system: a scripted list of device interfaces and
/// a driver whose answers the test sets, recording every request it receives.
class FakeWin32Api final : public Win32Api {
public:
    struct Interface {
        std::string path;
        DWORD enumError = 0;      // non-zero: SetupDiEnumDeviceInterfaces fails with it
        bool detailFails = false; // the second detail call fails
        bool opens = true;        // CreateFileA on the path (and its pipes) succeeds
    };
    struct Ioctl {
        HANDLE handle;
        DWORD code;
        std::vector<std::uint8_t> input;
        device::CommandRecord record;
        std::vector<std::uint8_t> data; // the bytes the record's address named
        bool hasOutput;
        DWORD outSize;
    };

    std::vector<Interface> interfaces;
    DWORD endlessEnumError = 0; // non-zero: every index fails with it, no end of list
    bool ioctlSucceeds = true;
    std::vector<std::uint8_t> queryAnswer; // written to the output buffer (may be short)
    bool writeSucceeds = true;
    std::vector<std::uint8_t> transferBytes; // placed in the WriteFile buffer

    std::vector<std::string> opened; // paths passed to CreateFileA
    std::vector<DWORD> enumIndices;  // indices asked of SetupDiEnumDeviceInterfaces
    std::vector<DWORD> enumErrors;   // last error after each failed enumeration
    std::vector<Ioctl> ioctls;
    int writes = 0;
    int openHandles = 0;
    int liveSets = 0;
    int setsMade = 0;

    HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char*, HWND, DWORD flags) override {
        if (classGuid == nullptr ||
            std::memcmp(classGuid, &device::ANALYZER_INTERFACE_GUID, sizeof(GUID)) != 0 ||
            flags != 0x12) {
            lastError_ = ERROR_INVALID_PARAMETER;
            return INVALID_HANDLE_VALUE;
        }
        ++liveSets;
        ++setsMade;
        return &set_;
    }
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* info, const GUID*, DWORD index,
                                     SP_DEVICE_INTERFACE_DATA* data) override {
        enumIndices.push_back(index);
        if (set != &set_ || info != nullptr || data == nullptr ||
            data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
            return Failed(ERROR_INVALID_PARAMETER);
        }
        if (endlessEnumError != 0) {
            return Failed(endlessEnumError);
        }
        if (index >= interfaces.size()) {
            return Failed(ERROR_NO_MORE_ITEMS);
        }
        if (interfaces[index].enumError != 0) {
            return Failed(interfaces[index].enumError);
        }
        data->Reserved = index;
        return TRUE;
    }
    BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO, SP_DEVICE_INTERFACE_DATA* data,
                                          SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size,
                                          DWORD* required, SP_DEVINFO_DATA*) override {
        const Interface& i = interfaces.at(data->Reserved);
        const DWORD need = static_cast<DWORD>(
            offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + i.path.size() + 1);
        if (required != nullptr) {
            *required = need;
        }
        if (detail == nullptr) {
            lastError_ = ERROR_INSUFFICIENT_BUFFER;
            return FALSE;
        }
        if (i.detailFails || size < need ||
            detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
            lastError_ = ERROR_INVALID_USER_BUFFER;
            return FALSE;
        }
        std::memcpy(detail->DevicePath, i.path.c_str(), i.path.size() + 1);
        return TRUE;
    }
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override {
        if (set != &set_) {
            return FALSE;
        }
        --liveSets;
        return TRUE;
    }
    DWORD GetLastError() override { return lastError_; }
    HANDLE CreateFileA(const char* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                       DWORD disposition, DWORD flags, HANDLE templateFile) override {
        opened.emplace_back(name);
        const bool expected = access == 0xC0000000u && share == 3 && security == nullptr &&
                              disposition == 3 && flags == 0 && templateFile == nullptr;
        for (const Interface& i : interfaces) {
            const std::string n = name;
            if (expected && i.opens && n.compare(0, i.path.size(), i.path) == 0 &&
                (n.size() == i.path.size() || n[i.path.size()] == '\\')) {
                ++openHandles;
                return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x100 + opened.size()));
            }
        }
        lastError_ = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    BOOL DeviceIoControl(HANDLE handle, DWORD code, void* in, DWORD inSize, void* out,
                         DWORD outSize, DWORD* returned, OVERLAPPED* overlapped) override {
        Ioctl call{handle, code, {}, {}, {}, out != nullptr, outSize};
        const auto* bytes = static_cast<const std::uint8_t*>(in);
        call.input.assign(bytes, bytes + (in != nullptr ? inSize : 0));
        if (call.input.size() == 16) {
            call.record = device::DecodeCommandRecord(call.input.data());
            const auto data = UserBuffer::Resolve(call.record.dataAddress,
                                                  static_cast<std::size_t>(call.record.dataLength));
            call.data.assign(data.begin(), data.end());
        }
        ioctls.push_back(call);
        if (returned == nullptr || overlapped != nullptr || !ioctlSucceeds) {
            lastError_ = ERROR_GEN_FAILURE;
            return FALSE;
        }
        const std::size_t n = std::min<std::size_t>(queryAnswer.size(), outSize);
        if (n > 0) {
            std::memcpy(out, queryAnswer.data(), n);
        }
        *returned = static_cast<DWORD>(n);
        return TRUE;
    }
    BOOL WriteFile(HANDLE, void* buffer, DWORD length, DWORD* written, OVERLAPPED*) override {
        ++writes;
        *written = 0;
        if (!writeSucceeds) {
            lastError_ = ERROR_GEN_FAILURE;
            return FALSE;
        }
        const std::size_t n = std::min<std::size_t>(transferBytes.size(), length);
        std::memcpy(buffer, transferBytes.data(), n);
        *written = static_cast<DWORD>(n);
        return TRUE;
    }
    BOOL CloseHandle(HANDLE) override {
        --openHandles;
        return TRUE;
    }
    BOOL MoveFileA(const char*, const char*) override { return FALSE; }
    BOOL MessageBeep(UINT) override { return TRUE; }

private:
    BOOL Failed(DWORD error) {
        lastError_ = error;
        enumErrors.push_back(error);
        return FALSE;
    }
    int set_ = 0;
    DWORD lastError_ = 0;
};

/// Installs a fake for the life of the object.
class ScopedFakeApi {
public:
    explicit ScopedFakeApi(Win32Api& api) { SetApi(&api); }
    ~ScopedFakeApi() { SetApi(nullptr); }
    ScopedFakeApi(const ScopedFakeApi&) = delete;
    ScopedFakeApi& operator=(const ScopedFakeApi&) = delete;
};

} // namespace vintrace::test
