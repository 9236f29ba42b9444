#include "protocol/FindingMarks.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vintrace::protocol {
namespace {

Finding At(std::size_t first, Severity severity, std::optional<std::uint8_t> address,
           std::optional<std::uint8_t> endpoint, std::string message) {
    return Finding{"rule", severity, first, first, address, endpoint, std::move(message), ""};
}

TEST(MarkOf, MarksTheFindingsOfTheItemsOwnEndpointWithinItsPackets) {
    // A control transfer on 3.0 from 10 to 40 interleaves with SOFs and with 3.2's traffic.
    const std::vector<Finding> findings = {
        At(5, Severity::Error, 3, 0, "before"),
        At(10, Severity::Info, 3, 0, "first packet"),
        At(12, Severity::Warning, std::nullopt, std::nullopt, "sof"),
        At(20, Severity::Error, 3, 2, "other endpoint"),
        At(30, Severity::Warning, 3, std::nullopt, "device"),
        At(40, Severity::Info, 3, 0, "last packet"),
        At(41, Severity::Error, 3, 0, "after"),
    };
    const struct {
        const char* name;
        std::size_t first, last;
        std::optional<std::uint8_t> address, endpoint;
        std::optional<Severity> worst;
        const char* text;
    } cases[] = {
        {"own endpoint and device-wide", 10, 40, 3, 0, Severity::Warning,
         "rule: first packet\nrule: device\nrule: last packet"},
        {"other endpoint", 10, 40, 3, 2, Severity::Error, "rule: other endpoint\nrule: device"},
        {"bus items take what has no device", 11, 13, std::nullopt, std::nullopt, Severity::Warning,
         "rule: sof"},
        {"nothing of its own", 13, 19, 3, 0, std::nullopt, ""},
        {"empty span", 9, 8, 3, 0, std::nullopt, ""},
    };
    for (const auto& c : cases) {
        const auto mark = MarkOf(findings, c.first, c.last, c.address, c.endpoint);
        ASSERT_EQ(mark.has_value(), c.worst.has_value()) << c.name;
        if (mark) {
            EXPECT_EQ(mark->worst, *c.worst) << c.name;
            EXPECT_EQ(mark->text, c.text) << c.name;
        }
    }
    // A long run lists a few and counts the rest.
    const auto few = MarkOf(findings, 0, 100, 3, 0, 2);
    ASSERT_TRUE(few.has_value());
    EXPECT_EQ(few->count, 5u);
    EXPECT_EQ(few->worst, Severity::Error);
    EXPECT_EQ(few->text, "rule: before\nrule: first packet\nand 3 more");
}

} // namespace
} // namespace vintrace::protocol
