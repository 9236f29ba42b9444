#include "DeviceServer.h"

#include "device/AnalyzerInterface.h"
#include "platform/DirectoryTrust.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace vintrace::emulator {

namespace wire = platform::wire;

namespace {

// Windows error codes the driver answers with.
constexpr std::uint32_t kOk = 0;
constexpr std::uint32_t kInvalidFunction = 1;
constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kGenFailure = 31;
constexpr std::uint32_t kInvalidParameter = 87;
constexpr std::uint32_t kNoAccess = 998;

const std::array<const char*, 16> kCommandNames = {
    "SetArmed",      "SetTrigger",    "ReadFirmwareVersion",
    nullptr,         nullptr,         "ReadTriggerStatus",
    "ReadPortSpeed", nullptr,         "BeginAcquisition",
    nullptr,         "EndDownload",   "SetStopped",
    "ReadFifoFull",  "BeginDownload", "SetBusSpeed",
    "ReadFifoLevel"};

bool FillAddress(sockaddr_un& a, const std::string& path) {
    a = {};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) {
        return false;
    }
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    return true;
}

void SleepUntil(std::chrono::steady_clock::time_point until) {
    const auto left = until - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) {
        return;
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec rest{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

// Creates `directory` and any missing parents, private to us, noting each one made.
bool MakePrivateDirectories(const std::string& directory, std::vector<std::string>& created,
                            std::string& error) {
    std::string sofar;
    std::size_t from = 0;
    while (from <= directory.size()) {
        const std::size_t slash = std::min(directory.find('/', from), directory.size());
        sofar = directory.substr(0, slash);
        from = slash + 1;
        if (sofar.empty() || sofar.back() == '/') {
            continue;
        }
        if (::mkdir(sofar.c_str(), 0700) == 0) {
            created.push_back(sofar);
            // What we made must still be ours when we go on below it.
            if (const auto problem = platform::PrivateDirectoryProblem(sofar)) {
                error = "device directory " + sofar + ": " + *problem;
                return false;
            }
        } else if (errno != EEXIST) {
            error = sofar + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (std::uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

const char* OpName(wire::Op op) {
    switch (op) {
    case wire::Op::Open:
        return "open";
    case wire::Op::Ioctl:
        return "ioctl";
    case wire::Op::Transfer:
        return "transfer";
    }
    return "request";
}

} // namespace

std::string CommandName(std::int32_t code) {
    if (code >= 0 && code < static_cast<std::int32_t>(kCommandNames.size()) &&
        kCommandNames[static_cast<std::size_t>(code)] != nullptr) {
        return kCommandNames[static_cast<std::size_t>(code)];
    }
    return "command " + std::to_string(code);
}

std::int32_t CommandFromText(const std::string& text) {
    for (std::size_t i = 0; i < kCommandNames.size(); ++i) {
        if (kCommandNames[i] != nullptr && text == kCommandNames[i]) {
            return static_cast<std::int32_t>(i);
        }
    }
    if (!text.empty() && text.size() < 4 &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        const int code = std::stoi(text);
        return code < static_cast<int>(kCommandNames.size()) ? code : -1;
    }
    return -1;
}

DeviceServer::DeviceServer(AnalyzerBox& box, const FaultSettings& faults, std::ostream& log,
                           const ConnectionLimits& limits)
    : box_(box), faults_(faults), log_(log), limits_(limits) {}

DeviceServer::~DeviceServer() {
    Close();
}

bool DeviceServer::Listen(const std::string& root, const std::string& classDirectory,
                          const std::string& name, std::string& error) {
    const std::string path = classDirectory + "/" + name;
    if (name.empty() || name.front() == '.' || name.find('/') != std::string::npos) {
        error = path + ": not a usable socket name";
        return false;
    }
    // Bound under a hidden name and renamed into place, so a client never finds a socket
    // that does not accept yet. Both names must fit a socket address; checked before anything
    // is created, so a path that cannot work leaves nothing behind.
    const std::string hidden =
        classDirectory + "/." + name + "." + std::to_string(static_cast<long>(::getpid()));
    sockaddr_un address{};
    sockaddr_un hiddenAddress{};
    if (!FillAddress(address, path) || !FillAddress(hiddenAddress, hidden)) {
        error = "device socket " + path + ": too long for a Unix socket address (" +
                std::to_string(hidden.size()) + " bytes with its temporary name; at most " +
                std::to_string(sizeof address.sun_path - 1) + " fit)";
        return false;
    }
    std::vector<std::string> created;
    const auto fail = [&](const std::string& message) {
        error = message;
        for (auto it = created.rbegin(); it != created.rend(); ++it) {
            ::rmdir(it->c_str());
        }
        return false;
    };
    // Whoever can write to these directories could plant or replace device sockets.
    for (const std::string& directory : {root, classDirectory}) {
        if (!MakePrivateDirectories(directory, created, error)) {
            return fail(error);
        }
        if (const auto problem = platform::PrivateDirectoryProblem(directory)) {
            return fail("device directory " + directory + ": " + *problem);
        }
    }
    // A socket left by an emulator that died is replaced; a live one is not.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        // Not blocking: a live emulator with a full backlog answers EAGAIN rather than wait.
        const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const bool live =
            ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ||
            errno == EAGAIN;
        ::close(probe);
        if (live || !S_ISSOCK(st.st_mode)) {
            return fail(path + ": already in use");
        }
        ::unlink(path.c_str());
    }
    ::unlink(hidden.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0 ||
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&hiddenAddress), sizeof hiddenAddress) != 0 ||
        ::listen(listenFd_, 16) != 0 || ::rename(hidden.c_str(), path.c_str()) != 0) {
        const std::string reason = std::strerror(errno);
        ::unlink(hidden.c_str());
        if (listenFd_ >= 0) {
            ::close(listenFd_);
            listenFd_ = -1;
        }
        return fail(path + ": " + reason);
    }
    classDirectory_ = classDirectory;
    socketPath_ = path;
    return true;
}

void DeviceServer::Close() {
    for (Client& c : clients_) {
        ::close(c.fd);
    }
    clients_.clear();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
    }
    if (!socketPath_.empty()) {
        ::unlink(socketPath_.c_str());
        socketPath_.clear();
        // Leave no empty class directory behind; another analyzer's socket keeps it.
        ::rmdir(classDirectory_.c_str());
    }
}

std::size_t DeviceServer::ConnectionCap() const {
    // Room for the listening socket, the standard streams and a few more.
    constexpr rlim_t kReserved = 8;
    rlimit files{};
    std::size_t cap = std::max<std::size_t>(1, limits_.maxConnections);
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
        cap = std::min<std::size_t>(cap, files.rlim_cur > kReserved + 1
                                             ? static_cast<std::size_t>(files.rlim_cur - kReserved)
                                             : 1);
    }
    return cap;
}

bool DeviceServer::CloseLongestIdle(const char* why) {
    auto oldest = clients_.end();
    for (auto it = clients_.begin(); it != clients_.end(); ++it) {
        if (it->unsent.empty() &&
            (oldest == clients_.end() || it->lastActive < oldest->lastActive)) {
            oldest = it;
        }
    }
    if (oldest == clients_.end()) {
        return false;
    }
    log_ << "[" << oldest->id << "] closed: " << why << std::endl;
    ::close(oldest->fd);
    clients_.erase(oldest);
    return true;
}

std::optional<DeviceServer::Clock::time_point> DeviceServer::CloseIdle(Clock::time_point now) {
    std::optional<Clock::time_point> next;
    std::erase_if(clients_, [&](const Client& c) {
        if (!c.unsent.empty()) {
            return false; // owed a reply: waiting on us, not idle
        }
        const auto deadline = c.lastActive + limits_.idleTimeout;
        if (deadline <= now) {
            log_ << "[" << c.id << "] closed: idle" << std::endl;
            ::close(c.fd);
            return true;
        }
        if (!next || deadline < *next) {
            next = deadline;
        }
        return false;
    });
    return next;
}

void DeviceServer::AcceptOne(Clock::time_point now) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // The connection stays queued and the socket readable: without a free descriptor
            // another poll would only fail again at once. Free one, or wait a moment.
            if (!CloseLongestIdle("no file descriptor left for a new connection")) {
                acceptPausedUntil_ = now + std::chrono::milliseconds(100);
            }
        }
        return;
    }
    // A new client is likelier to be in use than the one that has been idle longest.
    if (clients_.size() >= ConnectionCap() && !CloseLongestIdle("too many connections")) {
        log_ << "new connection refused: too many connections, all busy" << std::endl;
        ::close(fd);
        return;
    }
    Client c;
    c.fd = fd;
    c.id = nextClientId_++;
    c.lastActive = now;
    clients_.push_back(std::move(c));
}

void DeviceServer::Run(const volatile std::sig_atomic_t& stop) {
    sigset_t waitMask;
    sigemptyset(&waitMask);
    std::vector<std::uint8_t> buffer(wire::kMaxFrame);
    while (stop == 0 && !vanished_) {
        const auto now = Clock::now();
        std::optional<Clock::time_point> wake = CloseIdle(now);
        const bool accepting = acceptPausedUntil_ <= now;
        if (!accepting && (!wake || acceptPausedUntil_ < *wake)) {
            wake = acceptPausedUntil_;
        }
        std::vector<pollfd> fds{{listenFd_, static_cast<short>(accepting ? POLLIN : 0), 0}};
        for (const Client& c : clients_) {
            // A client is read from only once it has taken its last reply: one that sends
            // without reading holds a single reply here and holds up nobody else. A reply
            // not due yet waits for its time; only a hang-up is of interest until then.
            short events = POLLIN;
            if (!c.unsent.empty()) {
                events = c.due <= now ? POLLOUT : 0;
                if (c.due > now && (!wake || c.due < *wake)) {
                    wake = c.due;
                }
            }
            fds.push_back({c.fd, events, 0});
        }
        timespec timeout{};
        if (wake) {
            const auto ns =
                std::chrono::duration_cast<std::chrono::nanoseconds>(*wake - now).count();
            timeout = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        }
        const int ready = ::ppoll(fds.data(), fds.size(), wake ? &timeout : nullptr, &waitMask);
        if (ready < 0) {
            continue; // interrupted by a signal: the loop condition decides
        }
        std::vector<int> drop;
        for (std::size_t i = 1; i < fds.size() && !vanished_; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            auto it = std::find_if(clients_.begin(), clients_.end(),
                                   [&](const Client& c) { return c.fd == fds[i].fd; });
            if (it == clients_.end()) {
                continue;
            }
            if (!it->unsent.empty()) {
                if ((fds[i].revents & POLLOUT) == 0 || !SendUnsent(*it)) {
                    drop.push_back(it->fd); // hung up (or broken) before taking its reply
                }
                continue;
            }
            const ssize_t n = ::recv(it->fd, buffer.data(), buffer.size(), MSG_TRUNC);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                continue;
            }
            it->lastActive = Clock::now();
            if (n <= 0 || static_cast<std::size_t>(n) > buffer.size() ||
                !Serve(*it, {buffer.begin(), buffer.begin() + n})) {
                drop.push_back(it->fd);
            }
        }
        for (int fd : drop) {
            ::close(fd);
            std::erase_if(clients_, [fd](const Client& c) { return c.fd == fd; });
        }
        // Last, so a descriptor freed above and reused here is not taken for the old one.
        if ((fds[0].revents & POLLIN) != 0 && !vanished_) {
            AcceptOne(Clock::now());
        }
    }
    if (vanished_) {
        log_ << "vintrace-analyzer-emu: vanished after " << transfers_ << " blocks" << std::endl;
    }
}

void DeviceServer::Reply(Client& c, std::uint32_t error, const std::vector<std::uint8_t>& output) {
    c.unsent = wire::EncodeReply({error, output});
    c.due = Clock::now() + std::chrono::milliseconds(faults_.delayMs);
    if (faults_.delayMs == 0) {
        SendUnsent(c);
    }
}

bool DeviceServer::SendUnsent(Client& c) {
    // Never waits: a reply the client has no room for stays until it has.
    if (::send(c.fd, c.unsent.data(), c.unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) {
        c.unsent.clear();
        c.lastActive = Clock::now();
        return true;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

bool DeviceServer::Serve(Client& c, const std::vector<std::uint8_t>& frame) {
    wire::Request request;
    if (!wire::DecodeRequest(frame, request)) {
        log_ << "[" << c.id << "] malformed request -> dropped" << std::endl;
        return false;
    }
    // A hung driver keeps its connections open and takes requests, but never acts on them.
    if (faults_.hangAfter >= 0 && answered_ >= faults_.hangAfter) {
        log_ << "[" << c.id << "] " << OpName(request.op) << " -> no answer (hung)" << std::endl;
        return true;
    }
    ++answered_;
    std::vector<std::uint8_t> output;
    std::uint32_t error = kOk;
    std::string what;
    switch (request.op) {
    case wire::Op::Open: {
        const std::string pipe(request.input.begin(), request.input.end());
        what = pipe.empty() ? "open device" : "open pipe " + pipe;
        if (c.opened) {
            error = kInvalidFunction;
        } else if (pipe.empty() || strcasecmp(pipe.c_str(), device::kDataPipeName) == 0) {
            c.opened = true;
            c.pipe = !pipe.empty();
        } else {
            error = kFileNotFound;
        }
        break;
    }
    case wire::Op::Ioctl:
        error = c.opened ? Ioctl(c, request, output, what) : kInvalidFunction;
        break;
    case wire::Op::Transfer:
        what = "transfer " + std::to_string(request.outLength);
        if (c.opened && c.pipe && BlocksRunOut()) {
            // Gone before this block (only with no blocks to hand out at all: after the last
            // one it has gone already).
            log_ << "[" << c.id << "] " << what << " -> vanished" << std::endl;
            Vanish(c);
            return true;
        }
        error = c.opened && c.pipe ? Transfer(request, output) : kInvalidFunction;
        if (error == kOk) {
            what += " -> " + std::to_string(output.size()) + " bytes";
        }
        break;
    }
    log_ << "[" << c.id << "] " << what << (error == kOk ? " ok" : " error ")
         << (error == kOk ? "" : std::to_string(error)) << std::endl;
    Reply(c, error, output);
    if (request.op == wire::Op::Transfer && error == kOk && BlocksRunOut()) {
        Vanish(c);
        return true;
    }
    return error == kOk || c.opened;
}

bool DeviceServer::BlocksRunOut() const {
    return faults_.vanishAfterBlocks >= 0 && transfers_ >= faults_.vanishAfterBlocks;
}

void DeviceServer::Vanish(Client& last) {
    // The block that used up the last one still reaches its reader, as late as any answer.
    if (!last.unsent.empty()) {
        SleepUntil(last.due);
        SendUnsent(last);
    }
    vanished_ = true;
    Close();
}

std::uint32_t DeviceServer::Ioctl(const Client& c, const wire::Request& request,
                                  std::vector<std::uint8_t>& output, std::string& what) {
    if (request.code == device::IOCTL_RECOVER_PIPE) {
        what = "recover pipe";
        return c.pipe ? kOk : kInvalidFunction;
    }
    if (c.pipe ||
        (request.code != device::IOCTL_ANALYZER_COMMAND &&
         request.code != device::IOCTL_ANALYZER_QUERY) ||
        request.input.size() != 16) {
        what = "ioctl " + std::to_string(request.code);
        return kInvalidFunction;
    }
    const device::CommandRecord record = device::DecodeCommandRecord(request.input.data());
    const bool query = request.code == device::IOCTL_ANALYZER_QUERY;
    what = std::string(query ? "query " : "command ") + CommandName(record.commandCode);
    if (record.dataLength < 0 || record.dataLength > 64 ||
        (record.dataLength > 0) != (record.dataAddress != 0)) {
        return kInvalidParameter;
    }
    // The record names the caller's buffer by address; the shim shipped its bytes.
    const auto length = static_cast<std::uint32_t>(record.dataLength);
    std::vector<std::uint8_t> data;
    if (length > 0) {
        bool found = false;
        for (const wire::Region& g : request.regions) {
            if (record.dataAddress >= g.address &&
                record.dataAddress - g.address <= g.bytes.size() &&
                length <= g.bytes.size() - (record.dataAddress - g.address)) {
                const auto from = g.bytes.begin() + (record.dataAddress - g.address);
                data.assign(from, from + length);
                found = true;
                break;
            }
        }
        if (!found) {
            return kNoAccess;
        }
    }
    if (!data.empty() && !query) {
        what += " " + Hex(data);
    }
    if (faults_.refusedCommands.count(record.commandCode) != 0) {
        what += " (refused)";
        return kGenFailure;
    }
    const auto now = AnalyzerBox::Clock::now();
    if (!query) {
        return box_.Command(record.commandCode, data, now) ? kOk : kInvalidParameter;
    }
    std::vector<std::uint8_t> answer;
    if (!box_.Query(record.commandCode, answer, now)) {
        return kInvalidParameter;
    }
    answer.resize(std::min<std::size_t>({answer.size(), length, request.outLength}));
    what += " -> " + Hex(answer);
    output = std::move(answer);
    return kOk;
}

std::uint32_t DeviceServer::Transfer(const wire::Request& request,
                                     std::vector<std::uint8_t>& output) {
    if (faults_.failTransferAfter >= 0 && transfers_ >= faults_.failTransferAfter) {
        return kGenFailure;
    }
    output = box_.Transfer(request.outLength, AnalyzerBox::Clock::now());
    ++transfers_;
    return kOk;
}

} // namespace vintrace::emulator
