#include "device/AnalyzerInterface.h"
#include "platform/ShimSettings.h"
#include "platform/UserBuffer.h"
#include "platform/Win32.h"
#include "platform/WireProtocol.h"
#include "support/FileContents.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vintrace::platform;

namespace vintrace::platform {
namespace {

using test::TempDir;

void WriteAll(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(MoveFileA, MovesAndNeverReplaces) {
    TempDir dir;
    WriteAll(dir / "a", "first");
    WriteAll(dir / "b", "second");

    EXPECT_FALSE(os::MoveFileA((dir / "a").c_str(), (dir / "b").c_str()));
    EXPECT_EQ(os::GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(test::ReadText(dir / "a"), "first");
    EXPECT_EQ(test::ReadText(dir / "b"), "second");

    EXPECT_FALSE(os::MoveFileA((dir / "missing").c_str(), (dir / "c").c_str()));
    EXPECT_EQ(os::GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(dir / "c"));

    EXPECT_FALSE(os::MoveFileA((dir / "a").c_str(), (dir / "no/such/dir").c_str()));
    EXPECT_EQ(os::GetLastError(), ERROR_PATH_NOT_FOUND);

    EXPECT_TRUE(os::MoveFileA((dir / "a").c_str(), (dir / "c").c_str()));
    EXPECT_FALSE(std::filesystem::exists(dir / "a"));
    EXPECT_EQ(test::ReadText(dir / "c"), "first");
}

// A listening socket that accepts nothing: connects queue up, no request is ever answered.
class SilentDevice {
public:
    explicit SilentDevice(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 8);
    }
    ~SilentDevice() { ::close(fd_); }
    SilentDevice(const SilentDevice&) = delete;
    SilentDevice& operator=(const SilentDevice&) = delete;

private:
    int fd_ = -1;
};

int Listen(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << path;
    return fd;
}

// Answers requests on `listener`, one connection at a time, until `stop`: the open handshake
// after `openDelay`, every later request at once if `answers`, else never.
void Serve(int listener, std::chrono::milliseconds openDelay, bool answers,
           const std::atomic<bool>& stop) {
    std::vector<std::uint8_t> frame(wire::kMaxFrame);
    const std::vector<std::uint8_t> ok = wire::EncodeReply(wire::Reply{});
    while (!stop) {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) {
            continue;
        }
        const int c = ::accept(listener, nullptr, nullptr);
        for (bool opened = false; c >= 0 && !stop;) {
            pollfd q{c, POLLIN, 0};
            if (::poll(&q, 1, 20) <= 0) {
                continue;
            }
            if (::recv(c, frame.data(), frame.size(), 0) <= 0) {
                break;
            }
            if (!opened) {
                const auto until = std::chrono::steady_clock::now() + openDelay;
                while (!stop && std::chrono::steady_clock::now() < until) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                opened = true;
            } else if (!answers) {
                continue;
            }
            ::send(c, ok.data(), ok.size(), MSG_NOSIGNAL);
        }
        if (c >= 0) {
            ::close(c);
        }
    }
}

// A device served by a thread of the test.
class ServedDevice {
public:
    ServedDevice(const std::string& path, std::chrono::milliseconds openDelay, bool answers)
        : fd_(Listen(path)) {
        ::listen(fd_, 8);
        thread_ =
            std::thread([this, openDelay, answers] { Serve(fd_, openDelay, answers, stop_); });
    }
    ~ServedDevice() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    ServedDevice(const ServedDevice&) = delete;
    ServedDevice& operator=(const ServedDevice&) = delete;

private:
    int fd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A device served by a child process that listens as `uid`: the peer credentials a client
// sees are the listener's.
class DeviceOfUser {
public:
    DeviceOfUser(const std::string& path, uid_t uid) {
        int ready[2];
        EXPECT_EQ(::pipe(ready), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            const int fd = Listen(path); // bound while still privileged, in our directory
            if (::setgid(uid) != 0 || ::setuid(uid) != 0 || ::listen(fd, 8) != 0) {
                ::_exit(1);
            }
            (void)!::write(ready[1], "r", 1);
            const std::atomic<bool> never{false};
            Serve(fd, std::chrono::milliseconds(0), true, never);
            ::_exit(0);
        }
        ::close(ready[1]);
        char c = 0;
        ready_ = ::read(ready[0], &c, 1) == 1;
        ::close(ready[0]);
    }
    ~DeviceOfUser() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    DeviceOfUser(const DeviceOfUser&) = delete;
    DeviceOfUser& operator=(const DeviceOfUser&) = delete;
    bool ready() const { return ready_; }

private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

HANDLE OpenDevice(const std::string& path) {
    return os::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0,
                           nullptr);
}

class ShimDevices : public ::testing::Test {
protected:
    TempDir root;
    std::string classDir;

    void SetUp() override {
        SetDeviceRoot(root.path().string());
        const GUID& g = device::ANALYZER_INTERFACE_GUID;
        classDir = wire::ClassDirectory(root.path().string(), g.Data1, g.Data2, g.Data3, g.Data4);
    }
    void TearDown() override {
        SetDeviceRoot("");
        SetRequestTimeout(std::chrono::seconds(1));
    }

    void MakeClassDirectory() { ASSERT_EQ(::mkdir(classDir.c_str(), 0700), 0); }

    std::vector<std::string> Enumerate() {
        std::vector<std::string> paths;
        HDEVINFO set = os::SetupDiGetClassDevsA(&device::ANALYZER_INTERFACE_GUID, nullptr, nullptr,
                                                DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        EXPECT_NE(set, INVALID_HANDLE_VALUE);
        for (DWORD i = 0;; ++i) {
            SP_DEVICE_INTERFACE_DATA data{};
            data.cbSize = sizeof data;
            if (!os::SetupDiEnumDeviceInterfaces(set, nullptr, &device::ANALYZER_INTERFACE_GUID, i,
                                                 &data)) {
                EXPECT_EQ(os::GetLastError(), ERROR_NO_MORE_ITEMS);
                break;
            }
            DWORD required = 0;
            EXPECT_FALSE(
                os::SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
            EXPECT_EQ(os::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
            std::vector<DWORD> storage(required / sizeof(DWORD) + 1);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
            detail->cbSize = 5; // a 32-bit program's size is refused by a 64-bit system
            EXPECT_FALSE(os::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr,
                                                              nullptr));
            EXPECT_EQ(os::GetLastError(), ERROR_INVALID_USER_BUFFER);
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            EXPECT_TRUE(os::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr,
                                                             nullptr));
            paths.emplace_back(detail->DevicePath);
        }
        EXPECT_TRUE(os::SetupDiDestroyDeviceInfoList(set));
        return paths;
    }
};

TEST_F(ShimDevices, NoDirectoryMeansNoInterfaces) {
    EXPECT_TRUE(Enumerate().empty());
}

TEST_F(ShimDevices, InterfacesAreTheSocketsInNameOrder) {
    MakeClassDirectory();
    SilentDevice b(classDir + "/b");
    SilentDevice a(classDir + "/a");
    WriteAll(classDir + "/c", "not a socket");
    EXPECT_EQ(Enumerate(), (std::vector<std::string>{classDir + "/a", classDir + "/b"}));
}

TEST_F(ShimDevices, UnknownHandlesAndSetsAreRefused) {
    EXPECT_FALSE(os::CloseHandle(reinterpret_cast<HANDLE>(0x1234)));
    EXPECT_EQ(os::GetLastError(), ERROR_INVALID_HANDLE);
    DWORD n = 0;
    std::uint8_t b[4];
    EXPECT_FALSE(os::WriteFile(reinterpret_cast<HANDLE>(0x1234), b, 4, &n, nullptr));
    EXPECT_EQ(os::GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(os::SetupDiDestroyDeviceInfoList(&n));
    EXPECT_EQ(os::GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(ShimDevices, MissingDeviceFailsToOpen) {
    EXPECT_EQ(os::CreateFileA((classDir + "/gone").c_str(), GENERIC_READ | GENERIC_WRITE, 3,
                              nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(os::GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(ShimDevices, HungDriverTimesOut) {
    MakeClassDirectory();
    SilentDevice silent(classDir + "/hung");
    SetRequestTimeout(std::chrono::milliseconds(100));
    EXPECT_EQ(os::CreateFileA((classDir + "/hung").c_str(), GENERIC_READ | GENERIC_WRITE, 3,
                              nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(os::GetLastError(), ERROR_SEM_TIMEOUT);
}

// Only a directory no one else can change is searched for devices: otherwise another local
// user who made it first could serve a fake analyzer there. Each case spoils the root or the
// class directory of a working device.
TEST_F(ShimDevices, OnlyPrivateDeviceDirectoriesAreSearched) {
    const std::string root = this->root.path().string();
    const struct {
        const char* name;
        void (*spoil)(const std::string& root, const std::string& classDir);
        bool rootAtFault; // else the class directory
        const char* problem;
    } cases[] = {
        {"Private", [](const std::string&, const std::string&) {}, false, nullptr},
        {"ClassDirectoryOfAnotherUser",
         [](const std::string&, const std::string& d) {
             ASSERT_EQ(::chown(d.c_str(), 65534, 65534), 0);
         },
         false, "owned by uid 65534, not you"},
        {"ClassDirectoryOpenToAll",
         [](const std::string&, const std::string& d) { ::chmod(d.c_str(), 0777); }, false,
         "mode 0777, must be private"},
        {"ClassDirectoryOpenToTheGroup",
         [](const std::string&, const std::string& d) { ::chmod(d.c_str(), 0750); }, false,
         "mode 0750, must be private"},
        {"ClassDirectoryIsALink",
         [](const std::string&, const std::string& d) {
             std::filesystem::rename(d, d + ".real");
             ASSERT_EQ(::symlink((d + ".real").c_str(), d.c_str()), 0);
         },
         false, "a symbolic link, not a directory"},
        {"RootOfAnotherUser",
         [](const std::string& r, const std::string&) {
             ASSERT_EQ(::chown(r.c_str(), 65534, 65534), 0);
         },
         true, "owned by uid 65534, not you"},
        {"RootOpenToAll",
         [](const std::string& r, const std::string&) { ::chmod(r.c_str(), 01777); }, true,
         "mode 1777, must be private"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ::chmod(root.c_str(), 0700);
        ASSERT_EQ(::chown(root.c_str(), ::geteuid(), ::getegid()), 0);
        std::filesystem::remove_all(classDir);
        std::filesystem::remove_all(classDir + ".real");
        MakeClassDirectory();
        ServedDevice device(classDir + "/analyzer0", std::chrono::milliseconds(0), true);
        c.spoil(root, classDir);
        const std::vector<std::string> found = Enumerate();
        const std::string problem = DeviceDirectoryProblem(device::ANALYZER_INTERFACE_GUID);
        if (c.problem == nullptr) {
            EXPECT_EQ(found, std::vector<std::string>{classDir + "/analyzer0"});
            EXPECT_EQ(problem, "");
        } else {
            EXPECT_TRUE(found.empty());
            EXPECT_EQ(problem,
                      "device directory " + (c.rootAtFault ? root : classDir) + ": " + c.problem);
        }
    }
    ::chmod(root.c_str(), 0700);
    ASSERT_EQ(::chown(root.c_str(), ::geteuid(), ::getegid()), 0);
    std::filesystem::remove_all(classDir);
    EXPECT_EQ(DeviceDirectoryProblem(device::ANALYZER_INTERFACE_GUID), ""); // none yet: no fault
}

// A socket in our own directory is still refused when another user serves it.
TEST_F(ShimDevices, DeviceServedByAnotherUserIsRefused) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "serving as another user needs root";
    }
    MakeClassDirectory();
    const struct {
        uid_t uid;
        bool opens;
    } cases[] = {{::geteuid(), true}, {65534, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uid);
        const std::string path = classDir + "/analyzer-" + std::to_string(c.uid);
        DeviceOfUser device(path, c.uid);
        ASSERT_TRUE(device.ready());
        HANDLE h = OpenDevice(path);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens);
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(os::CloseHandle(h));
        } else {
            EXPECT_EQ(os::GetLastError(), ERROR_ACCESS_DENIED);
        }
    }
}

// Open and request share one deadline: a driver that is slow to open and then never answers
// costs one deadline, not one per step.
TEST_F(ShimDevices, OpenAndRequestShareOneDeadline) {
    MakeClassDirectory();
    ServedDevice slow(classDir + "/slow", std::chrono::milliseconds(700), false);
    const auto begin = std::chrono::steady_clock::now();
    HANDLE h = OpenDevice(classDir + "/slow");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::uint8_t input[16] = {};
    std::uint8_t answer = 0;
    DWORD returned = 0;
    EXPECT_FALSE(
        os::DeviceIoControl(h, 0x1234, input, sizeof input, &answer, 1, &returned, nullptr));
    EXPECT_EQ(os::GetLastError(), ERROR_SEM_TIMEOUT);
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::milliseconds(1600)); // 1.7 s with a deadline per step
    // The handle is spent: a late reply can never be taken for the next request's.
    EXPECT_FALSE(
        os::DeviceIoControl(h, 0x1234, input, sizeof input, &answer, 1, &returned, nullptr));
    EXPECT_EQ(os::GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(os::CloseHandle(h));

    // A device that never answers the open at all.
    ServedDevice hung(classDir + "/hung", std::chrono::hours(1), false);
    const auto again = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenDevice(classDir + "/hung"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(os::GetLastError(), ERROR_SEM_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(1500));
}

TEST(UserBuffer, MapsDistinctAddressesWhileAlive) {
    std::uint8_t a[3] = {1, 2, 3};
    std::uint8_t b = 9;
    std::uint32_t addressOfA = 0;
    {
        UserBuffer ma(a, sizeof a);
        UserBuffer mb(&b, 1);
        ASSERT_TRUE(ma.valid() && mb.valid());
        addressOfA = ma.address();
        EXPECT_NE(ma.address(), mb.address());
        EXPECT_NE(ma.address(), 0u);
        ASSERT_EQ(UserBuffer::Resolve(ma.address() + 1, 2).size(), 2u);
        EXPECT_EQ(UserBuffer::Resolve(ma.address() + 1, 2)[1], 3);
        EXPECT_TRUE(UserBuffer::Resolve(ma.address() + 1, 3).empty());
        EXPECT_EQ(UserBuffer::Resolve(mb.address(), 1).data(), &b);
        EXPECT_EQ(UserBuffer::Mapped().size(), 2u);
    }
    EXPECT_TRUE(UserBuffer::Resolve(addressOfA, 1).empty());
    UserBuffer none(nullptr, 0);
    EXPECT_TRUE(none.valid());
    EXPECT_EQ(none.address(), 0u);
}

TEST(WireProtocol, RoundTripsAndRejectsMalformedFrames) {
    wire::Request r;
    r.op = wire::Op::Ioctl;
    r.code = 0x8000200C;
    r.outLength = 13;
    r.input = {1, 2, 3};
    r.regions = {{0x10000, {7, 8}}};
    const auto frame = wire::EncodeRequest(r);
    wire::Request back;
    ASSERT_TRUE(wire::DecodeRequest(frame, back));
    EXPECT_EQ(back.code, r.code);
    EXPECT_EQ(back.outLength, 13u);
    EXPECT_EQ(back.input, r.input);
    ASSERT_EQ(back.regions.size(), 1u);
    EXPECT_EQ(back.regions[0].bytes, r.regions[0].bytes);

    for (std::size_t cut = 0; cut < frame.size(); ++cut) {
        EXPECT_FALSE(wire::DecodeRequest({frame.data(), cut}, back)) << "cut at " << cut;
    }
    auto longer = frame;
    longer.push_back(0);
    EXPECT_FALSE(wire::DecodeRequest(longer, back));
    auto huge = frame;
    huge[12] = 0xFF; // outLength far over the limit
    huge[14] = 0xFF;
    EXPECT_FALSE(wire::DecodeRequest(huge, back));

    wire::Reply reply{5, {1, 2}};
    const auto replyFrame = wire::EncodeReply(reply);
    wire::Reply replyBack;
    ASSERT_TRUE(wire::DecodeReply(replyFrame, replyBack));
    EXPECT_EQ(replyBack.error, 5u);
    EXPECT_EQ(replyBack.output, reply.output);
    EXPECT_FALSE(wire::DecodeReply({replyFrame.data(), replyFrame.size() - 1}, replyBack));
}

} // namespace
} // namespace vintrace::platform
