// The Windows calls of Win32.h for systems without them: device-interface enumeration,
// device I/O over Unix-domain sockets (WireProtocol.h), file moves and the beep.

#ifndef _WIN32

#include "platform/DirectoryTrust.h"
#include "platform/ShimSettings.h"
#include "platform/UserBuffer.h"
#include "platform/Win32.h"
#include "platform/WireProtocol.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vintrace::platform {

namespace {

using Clock = std::chrono::steady_clock;

thread_local DWORD tLastError = 0;

std::mutex gRootMutex;
std::string gRoot;
// The last device refused since the last listing because another user serves it.
std::mutex gRefusedMutex;
std::string gRefused;
std::atomic<long long> gRequestMs{1000};
std::atomic<long long> gTransferMs{5000};

BOOL Fail(DWORD error) {
    tLastError = error;
    return FALSE;
}

// An enumerated device-information set: the socket paths present when it was made.
struct DeviceSet {
    GUID guid;
    std::vector<std::string> paths;
};

// An open device or pipe: its socket, and whether the exchange on it is still in step.
struct Connection {
    int fd = -1;
    bool broken = false;
    // A device is opened for a request: the open's deadline covers the first request too.
    std::optional<Clock::time_point> openDeadline;
};

std::mutex gObjectsMutex;
std::unordered_set<DeviceSet*> gSets;
std::unordered_map<std::uintptr_t, Connection> gConnections;
std::uintptr_t gNextHandle = 0x1000;

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

DeviceSet* FindSet(HDEVINFO set) {
    std::lock_guard lock(gObjectsMutex);
    auto* s = static_cast<DeviceSet*>(set);
    return gSets.count(s) != 0 ? s : nullptr;
}

Clock::time_point DeadlineIn(const std::atomic<long long>& ms) {
    return Clock::now() + std::chrono::milliseconds(ms.load());
}

// Finds an open handle for its next request and the deadline that request must meet.
bool BeginRequest(HANDLE h, bool transfer, Connection& out, Clock::time_point& deadline) {
    std::lock_guard lock(gObjectsMutex);
    auto it = gConnections.find(reinterpret_cast<std::uintptr_t>(h));
    if (it == gConnections.end()) {
        return false;
    }
    out = it->second;
    if (it->second.openDeadline) {
        deadline = *it->second.openDeadline;
        it->second.openDeadline.reset();
    } else {
        deadline = DeadlineIn(transfer ? gTransferMs : gRequestMs);
    }
    return true;
}

void MarkBroken(HANDLE h) {
    std::lock_guard lock(gObjectsMutex);
    auto it = gConnections.find(reinterpret_cast<std::uintptr_t>(h));
    if (it != gConnections.end()) {
        it->second.broken = true;
    }
}

// A device directory opened for listing, or why it may not be used.
struct DirectoryCheck {
    std::string path;
    int fd = -1;         // open when it may be used
    std::string problem; // set when it exists but may not be used
};

// Opens `path` only if it is a directory no one else can change (PrivateDirectoryProblem):
// otherwise another local user who made it first (the shared /tmp) could serve a fake
// analyzer in it. A missing directory is no problem: it holds no devices.
DirectoryCheck OpenPrivateDirectory(const std::string& path) {
    DirectoryCheck check;
    check.path = path;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
        return check;
    }
    if (const auto problem = PrivateDirectoryProblem(path)) {
        check.problem = "device directory " + path + ": " + *problem;
        return check;
    }
    // Not following a link: what is listed is what was checked. Only we can replace it now,
    // since the directory above it is ours too (or, for the root, sticky like /tmp).
    check.fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (check.fd < 0) {
        check.problem = "device directory " + path + ": " + std::strerror(errno);
    }
    return check;
}

// The class directory of `g`, open for listing, when it and the root above it may be used.
// The root is checked too, whether we chose it or were given it: whoever can write to it can
// place or replace the class directory.
DirectoryCheck OpenClassDirectory(const GUID& g) {
    std::string root = DeviceRoot();
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back(); // with a trailing slash the root's own checks would follow a link
    }
    DirectoryCheck top = OpenPrivateDirectory(root);
    if (top.fd < 0) {
        return top;
    }
    ::close(top.fd);
    return OpenPrivateDirectory(wire::ClassDirectory(root, g.Data1, g.Data2, g.Data3, g.Data4));
}

// Makes the socket's blocking calls give up at `deadline`; false once it has passed. Each
// call gets only what is left, so the calls of one request share one deadline.
bool ArmDeadline(int fd, Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
        return false;
    }
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(left.count() / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
           ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

DWORD ErrorOfErrno(int e) {
    switch (e) {
    case EAGAIN:
    case EINPROGRESS:
        return ERROR_SEM_TIMEOUT;
    case ENOENT:
    case ECONNREFUSED:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
        return ERROR_BAD_PATHNAME;
    case EPIPE:
    case ECONNRESET:
        return ERROR_DEVICE_NOT_CONNECTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// One request and its reply, both by `deadline`. On a transport failure the error is set and
// false returned; the reply's own error is left for the caller to judge.
bool Exchange(int fd, const wire::Request& request, wire::Reply& reply, Clock::time_point deadline,
              DWORD& error) {
    const std::vector<std::uint8_t> frame = wire::EncodeRequest(request);
    ssize_t sent;
    do {
        if (!ArmDeadline(fd, deadline)) {
            error = ERROR_SEM_TIMEOUT;
            return false;
        }
        sent = ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(frame.size())) {
        error = sent < 0 ? ErrorOfErrno(errno) : ERROR_GEN_FAILURE;
        return false;
    }
    thread_local std::vector<std::uint8_t> buffer(wire::kMaxFrame);
    ssize_t got;
    do {
        if (!ArmDeadline(fd, deadline)) {
            error = ERROR_SEM_TIMEOUT;
            return false;
        }
        got = ::recv(fd, buffer.data(), buffer.size(), MSG_TRUNC);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        error = ErrorOfErrno(errno);
        return false;
    }
    if (got == 0) {
        error = ERROR_DEVICE_NOT_CONNECTED;
        return false;
    }
    if (static_cast<std::size_t>(got) > buffer.size() ||
        !wire::DecodeReply({buffer.data(), static_cast<std::size_t>(got)}, reply)) {
        error = ERROR_GEN_FAILURE;
        return false;
    }
    return true;
}

// Runs one request on an open handle; on a transport failure the handle stays unusable,
// since a late reply would otherwise be taken for the answer to the next request.
bool Transact(HANDLE h, const wire::Request& request, wire::Reply& reply) {
    Connection c;
    Clock::time_point deadline;
    if (!BeginRequest(h, request.op == wire::Op::Transfer, c, deadline)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (c.broken) {
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    DWORD error = 0;
    if (!Exchange(c.fd, request, reply, deadline, error)) {
        MarkBroken(h);
        return Fail(error);
    }
    if (reply.error != 0) {
        return Fail(reply.error);
    }
    return true;
}

// Copies a regular file to a target that must not exist yet, then removes the source.
bool CopyThenDelete(const char* from, const char* to) {
    const int in = ::open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return Fail(ErrorOfErrno(errno));
    }
    const int out = ::open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
        const int e = errno;
        ::close(in);
        return Fail(e == EEXIST ? ERROR_ALREADY_EXISTS : ErrorOfErrno(e));
    }
    std::vector<char> buffer(1 << 16);
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n == 0) {
            break;
        }
        if (n < 0 || ::write(out, buffer.data(), static_cast<std::size_t>(n)) != n) {
            ok = false;
            break;
        }
    }
    ::close(in);
    if (::close(out) != 0 || !ok) {
        ::unlink(to);
        return Fail(ERROR_GEN_FAILURE);
    }
    ::unlink(from);
    return true;
}

} // namespace

void SetDeviceRoot(const std::string& root) {
    std::lock_guard lock(gRootMutex);
    gRoot = root;
}

std::string DeviceRoot() {
    std::lock_guard lock(gRootMutex);
    return gRoot.empty() ? wire::DefaultDeviceRoot() : gRoot;
}

void SetRequestTimeout(std::chrono::milliseconds timeout) {
    gRequestMs.store(std::max<long long>(1, timeout.count()));
}

void SetTransferTimeout(std::chrono::milliseconds timeout) {
    gTransferMs.store(std::max<long long>(1, timeout.count()));
}

std::string RefusedDeviceProblem() {
    std::lock_guard lock(gRefusedMutex);
    return gRefused;
}

std::string DeviceDirectoryProblem(const GUID& classGuid) {
    DirectoryCheck check = OpenClassDirectory(classGuid);
    if (check.fd >= 0) {
        ::close(check.fd);
    }
    return check.problem;
}

namespace os {

DWORD GetLastError() {
    return tLastError;
}

void SetLastError(DWORD error) {
    tLastError = error;
}

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char*, HWND, DWORD flags) {
    // Only interface lists of one class are provided: that is all a device layer asks for.
    if ((flags & DIGCF_DEVICEINTERFACE) == 0 || classGuid == nullptr) {
        Fail(ERROR_INVALID_FLAGS);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_unique<DeviceSet>();
    set->guid = *classGuid;
    {
        std::lock_guard refusedLock(gRefusedMutex);
        gRefused.clear();
    }
    // A directory that may not be used lists nothing: no analyzer, as far as callers can tell.
    const DirectoryCheck check = OpenClassDirectory(*classGuid);
    if (check.fd >= 0) {
        if (DIR* d = ::fdopendir(check.fd)) {
            while (const dirent* e = ::readdir(d)) {
                struct stat st {};
                if (e->d_name[0] != '.' &&
                    ::fstatat(check.fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISSOCK(st.st_mode)) {
                    set->paths.push_back(check.path + "/" + e->d_name);
                }
            }
            ::closedir(d); // closes check.fd
        } else {
            ::close(check.fd);
        }
    }
    std::sort(set->paths.begin(), set->paths.end());
    std::lock_guard lock(gObjectsMutex);
    DeviceSet* raw = set.release();
    gSets.insert(raw);
    tLastError = ERROR_SUCCESS;
    return raw;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA*, const GUID* classGuid,
                                 DWORD memberIndex, SP_DEVICE_INTERFACE_DATA* interfaceData) {
    DeviceSet* s = FindSet(set);
    if (s == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (interfaceData == nullptr || classGuid == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (!SameGuid(*classGuid, s->guid) || memberIndex >= s->paths.size()) {
        return Fail(ERROR_NO_MORE_ITEMS);
    }
    interfaceData->InterfaceClassGuid = s->guid;
    interfaceData->Flags = 0x1; // SPINT_ACTIVE
    interfaceData->Reserved = memberIndex;
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                      DWORD* requiredSize, SP_DEVINFO_DATA*) {
    DeviceSet* s = FindSet(set);
    if (s == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (interfaceData == nullptr || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        interfaceData->Reserved >= s->paths.size()) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const std::string& path = s->paths[interfaceData->Reserved];
    const auto required = static_cast<DWORD>(
        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (requiredSize != nullptr) {
        *requiredSize = required;
    }
    if (detail == nullptr) {
        return Fail(detailSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_PARAMETER);
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (detailSize < required) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    std::unique_ptr<DeviceSet> owned;
    {
        std::lock_guard lock(gObjectsMutex);
        auto* s = static_cast<DeviceSet*>(set);
        if (gSets.erase(s) == 0) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        owned.reset(s);
    }
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD, SECURITY_ATTRIBUTES*,
                   DWORD creationDisposition, DWORD, HANDLE) {
    // Only devices and their pipes can be opened here; files go through the C++ library.
    if (fileName == nullptr || creationDisposition != OPEN_EXISTING ||
        (desiredAccess & (GENERIC_READ | GENERIC_WRITE)) == 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string socketPath = fileName;
    std::string pipeName;
    // "<device path>\<pipe>": only a last component may name the pipe, so a backslash in a
    // directory name is not taken for one.
    if (const auto slash = socketPath.rfind('\\');
        slash != std::string::npos && socketPath.find('/', slash) == std::string::npos) {
        pipeName = socketPath.substr(slash + 1);
        socketPath.resize(slash);
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) {
        Fail(socketPath.empty() ? ERROR_FILE_NOT_FOUND : ERROR_BAD_PATHNAME);
        return INVALID_HANDLE_VALUE;
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);

    // Connecting, the open handshake and (for a device) its first request share one deadline.
    const Clock::time_point deadline = DeadlineIn(gRequestMs);
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    int rc;
    do {
        if (!ArmDeadline(fd, deadline)) {
            rc = -1;
            errno = EAGAIN;
            break;
        }
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        const DWORD error = ErrorOfErrno(errno);
        ::close(fd);
        Fail(error);
        return INVALID_HANDLE_VALUE;
    }
    // Only a driver of our own user is trusted with our commands and our capture's bytes.
    ucred peer{};
    socklen_t peerSize = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0 ||
        peerSize != sizeof peer || peer.uid != ::geteuid()) {
        const bool known = peerSize == sizeof peer && peer.uid != ::geteuid();
        ::close(fd);
        {
            std::lock_guard refusedLock(gRefusedMutex);
            gRefused =
                "device " + socketPath + ": " +
                (known ? "served by uid " + std::to_string(static_cast<unsigned long>(peer.uid)) +
                             ", not you"
                       : std::string("its server cannot be told"));
        }
        Fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    wire::Request open;
    open.op = wire::Op::Open;
    open.input.assign(pipeName.begin(), pipeName.end());
    wire::Reply reply;
    DWORD error = 0;
    if (!Exchange(fd, open, reply, deadline, error) || reply.error != 0) {
        ::close(fd);
        Fail(error != 0 ? error : reply.error);
        return INVALID_HANDLE_VALUE;
    }
    Connection connection;
    connection.fd = fd;
    if (pipeName.empty()) {
        connection.openDeadline = deadline;
    }
    std::lock_guard lock(gObjectsMutex);
    const std::uintptr_t id = gNextHandle;
    gNextHandle += 4;
    gConnections[id] = connection;
    tLastError = ERROR_SUCCESS;
    return reinterpret_cast<HANDLE>(id);
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inSize,
                     void* outBuffer, DWORD outSize, DWORD* bytesReturned, OVERLAPPED* overlapped) {
    if (overlapped != nullptr || bytesReturned == nullptr || (inBuffer == nullptr && inSize > 0) ||
        (outBuffer == nullptr && outSize > 0) || inSize > wire::kMaxInput ||
        outSize > wire::kMaxOutput) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *bytesReturned = 0;
    wire::Request request;
    request.op = wire::Op::Ioctl;
    request.code = ioControlCode;
    request.outLength = outSize;
    const auto* in = static_cast<const std::uint8_t*>(inBuffer);
    request.input.assign(in, in + inSize);
    for (const UserBuffer::Region& g : UserBuffer::Mapped()) {
        if (request.regions.size() < wire::kMaxRegions && g.bytes.size() <= wire::kMaxInput) {
            request.regions.push_back({g.address, {g.bytes.begin(), g.bytes.end()}});
        }
    }
    wire::Reply reply;
    if (!Transact(device, request, reply)) {
        return FALSE;
    }
    const std::size_t n = std::min<std::size_t>(reply.output.size(), outSize);
    if (n > 0) {
        std::memcpy(outBuffer, reply.output.data(), n);
    }
    *bytesReturned = static_cast<DWORD>(n);
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
               OVERLAPPED* overlapped) {
    if (overlapped != nullptr || bytesWritten == nullptr ||
        (buffer == nullptr && bytesToWrite > 0)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *bytesWritten = 0;
    wire::Request request;
    request.op = wire::Op::Transfer;
    // A driver may complete a transfer with fewer bytes than asked; bigger asks are clipped.
    request.outLength = std::min<DWORD>(bytesToWrite, wire::kMaxOutput);
    wire::Reply reply;
    if (!Transact(file, request, reply)) {
        return FALSE;
    }
    const std::size_t n = std::min<std::size_t>(reply.output.size(), request.outLength);
    if (n > 0) {
        // The analyzer's driver completes a pipe write by filling the caller's buffer.
        std::memcpy(const_cast<void*>(buffer), reply.output.data(), n);
    }
    *bytesWritten = static_cast<DWORD>(n);
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL CloseHandle(HANDLE object) {
    int fd = -1;
    {
        std::lock_guard lock(gObjectsMutex);
        auto it = gConnections.find(reinterpret_cast<std::uintptr_t>(object));
        if (it == gConnections.end()) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        fd = it->second.fd;
        gConnections.erase(it);
    }
    ::close(fd);
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL MoveFileA(const char* existingFileName, const char* newFileName) {
    if (existingFileName == nullptr || newFileName == nullptr || existingFileName[0] == '\0' ||
        newFileName[0] == '\0') {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    struct stat st {};
    if (::lstat(existingFileName, &st) != 0) {
        return Fail(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ErrorOfErrno(errno));
    }
    // Never replace: the target must not exist, and the check and the move are one step.
    if (::renameat2(AT_FDCWD, existingFileName, AT_FDCWD, newFileName, RENAME_NOREPLACE) == 0) {
        tLastError = ERROR_SUCCESS;
        return TRUE;
    }
    int e = errno;
    if (e == EINVAL || e == ENOSYS) {
        // File systems without RENAME_NOREPLACE: a hard link also refuses an existing target.
        if (::link(existingFileName, newFileName) == 0) {
            ::unlink(existingFileName);
            tLastError = ERROR_SUCCESS;
            return TRUE;
        }
        e = errno;
    }
    if (e == EEXIST) {
        return Fail(ERROR_ALREADY_EXISTS);
    }
    if (e == ENOENT) {
        return Fail(ERROR_PATH_NOT_FOUND);
    }
    if (e == EXDEV && S_ISREG(st.st_mode)) {
        // Like Windows, a file moves to another volume by copy and delete.
        return CopyThenDelete(existingFileName, newFileName) ? TRUE : FALSE;
    }
    return Fail(ErrorOfErrno(e));
}

BOOL MessageBeep(UINT) {
    // No sound device is assumed; the beep only marks progress, so succeeding silently keeps
    // the caller's behaviour.
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

} // namespace os

} // namespace vintrace::platform

#endif
