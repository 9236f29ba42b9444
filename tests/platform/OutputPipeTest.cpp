#include "platform/OutputPipe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#if defined(__linux__)
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#endif

namespace {

using vintrace::platform::kWidePipe;
using vintrace::platform::WidenOutputPipe;

#if defined(__linux__)
struct Pipe {
    int ends[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0); }
    ~Pipe() {
        ::close(ends[0]);
        ::close(ends[1]);
    }
    int size() const { return ::fcntl(ends[1], F_GETPIPE_SZ); }
};

std::size_t Limit() {
    unsigned long limit = kWidePipe;
    if (std::FILE* f = std::fopen("/proc/sys/fs/pipe-max-size", "r")) {
        if (std::fscanf(f, "%lu", &limit) != 1) {
            limit = kWidePipe;
        }
        std::fclose(f);
    }
    return std::min<std::size_t>(limit, kWidePipe);
}
#endif

TEST(OutputPipe, WidensAPipe) {
#if !defined(__linux__)
    GTEST_SKIP() << "pipe buffers are set on Linux only";
#else
    {
        Pipe p;
        ASSERT_LT(static_cast<std::size_t>(p.size()), Limit()) << "a new pipe starts narrow";
        const std::size_t widened = WidenOutputPipe(p.ends[1]);
        EXPECT_EQ(widened, Limit());
        EXPECT_EQ(static_cast<std::size_t>(p.size()), widened);
        EXPECT_EQ(WidenOutputPipe(p.ends[1]), widened) << "asked again, it stays as it is";
        // Still a working pipe: what goes in comes out.
        ASSERT_EQ(::write(p.ends[1], "usb", 3), 3);
        char got[3] = {};
        ASSERT_EQ(::read(p.ends[0], got, 3), 3);
        EXPECT_EQ(std::string(got, 3), "usb");
    }
#endif
}

TEST(OutputPipe, LeavesFilesAlone) {
#if !defined(__linux__)
    GTEST_SKIP() << "pipe buffers are set on Linux only";
#else
    char name[] = "/tmp/vintrace-pipe-XXXXXX";
    const int file = ::mkstemp(name);
    ASSERT_GE(file, 0);
    ::unlink(name);
    EXPECT_EQ(WidenOutputPipe(file), 0u);
    ::close(file);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(null, 0);
    EXPECT_EQ(WidenOutputPipe(null), 0u);
    ::close(null);
    EXPECT_EQ(WidenOutputPipe(-1), 0u);
#endif
}

} // namespace
