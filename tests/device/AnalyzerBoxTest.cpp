#include "AnalyzerBox.h"

#include <gtest/gtest.h>

#include <chrono>

namespace vintrace::emulator {
namespace {

using namespace std::chrono_literals;
using Clock = AnalyzerBox::Clock;

std::uint8_t Ask(AnalyzerBox& box, std::int32_t code, Clock::time_point now) {
    std::vector<std::uint8_t> answer;
    EXPECT_TRUE(box.Query(code, answer, now));
    return answer.empty() ? 0xEE : answer.front();
}

constexpr std::int32_t kTriggerStatus = 5, kFifoFull = 12, kFifoLevel = 15;
constexpr std::int32_t kSetArmed = 0, kSetTrigger = 1, kSetStopped = 11;

TEST(AnalyzerBox, FillLevelRisesToFullOverTheFillTime) {
    AnalyzerBox box({.memoryBytes = 10000, .fillSeconds = 2.0});
    const Clock::time_point t0{};
    ASSERT_TRUE(box.Command(kSetTrigger, {15}, t0));
    ASSERT_TRUE(box.Command(kSetArmed, {1}, t0));
    EXPECT_EQ(Ask(box, kTriggerStatus, t0), 1);
    int last = -1;
    for (auto t = 0ms; t <= 2000ms; t += 100ms) {
        const int level = Ask(box, kFifoLevel, t0 + t);
        EXPECT_GE(level, last) << t.count();
        EXPECT_EQ(Ask(box, kFifoFull, t0 + t), t < 2000ms ? 0 : 1) << t.count();
        last = level;
    }
    EXPECT_EQ(Ask(box, kFifoLevel, t0 + 1000ms), 127);
    EXPECT_EQ(last, 255);
    // Handed out in blocks of at most the size asked, the last one short.
    std::size_t total = 0;
    for (std::size_t n = 4096; n == 4096;) {
        n = box.Transfer(4096, t0 + 3s).size();
        total += n;
    }
    EXPECT_EQ(total, 10000u);
}

TEST(AnalyzerBox, TriggerWaitsForItsPacketAndStopBeforeItPreventsIt) {
    // Trigger on ACK (PID 2): not at arming, but within the first frames of enumeration.
    AnalyzerBox box({.memoryBytes = 1000, .fillSeconds = 0});
    const Clock::time_point t0{};
    box.Command(kSetTrigger, {0x2}, t0);
    box.Command(kSetArmed, {1}, t0);
    EXPECT_EQ(Ask(box, kTriggerStatus, t0), 0);
    EXPECT_EQ(Ask(box, kTriggerStatus, t0 + 50ms), 1);
    const auto first = box.Transfer(2, t0 + 50ms);
    EXPECT_EQ(first, (std::vector<std::uint8_t>{0x01, 0xD2}));

    box.Command(kSetArmed, {1}, t0);
    box.Command(kSetStopped, {1}, t0);
    EXPECT_EQ(Ask(box, kTriggerStatus, t0 + 1s), 0);
    EXPECT_EQ(Ask(box, kFifoFull, t0 + 1s), 0);
    EXPECT_TRUE(box.Transfer(512, t0 + 1s).empty());
}

TEST(AnalyzerBox, UnknownCommandsAreRefused) {
    AnalyzerBox box({});
    std::vector<std::uint8_t> answer;
    for (std::int32_t code : {3, 4, 7, 9, 16, -1}) {
        EXPECT_FALSE(box.Command(code, {}, {})) << code;
        EXPECT_FALSE(box.Query(code, answer, {})) << code;
    }
}

} // namespace
} // namespace vintrace::emulator
