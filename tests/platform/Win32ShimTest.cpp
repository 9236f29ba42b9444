#include "device/AnalyzerInterface.h"
#include "platform/ShimSettings.h"
#include "platform/UserBuffer.h"
#include "platform/Win32.h"
#include "platform/WireProtocol.h"
#include "support/FileContents.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>
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
        SetRequestTimeout(std::chrono::seconds(5));
    }

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
    std::filesystem::create_directories(classDir);
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
    std::filesystem::create_directories(classDir);
    SilentDevice silent(classDir + "/hung");
    SetRequestTimeout(std::chrono::milliseconds(100));
    EXPECT_EQ(os::CreateFileA((classDir + "/hung").c_str(), GENERIC_READ | GENERIC_WRITE, 3,
                              nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(os::GetLastError(), ERROR_SEM_TIMEOUT);
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
