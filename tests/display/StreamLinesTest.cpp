#include "display/StreamLines.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vintrace::display {
namespace {

using protocol::Direction;

protocol::Conversation Make(const std::vector<std::pair<Direction, std::string>>& chunks) {
    protocol::Conversation c;
    for (const auto& [direction, text] : chunks) {
        c.chunks.push_back({direction, 0, {text.begin(), text.end()}});
    }
    return c;
}

std::vector<std::string> Lines(const protocol::Conversation& c, StreamView view,
                               std::optional<Direction> direction = std::nullopt) {
    const protocol::Conversation shown = direction ? c.oneWay(*direction) : c;
    const StreamLayout layout = LayOutStream(shown, view);
    std::vector<std::string> out;
    for (const StreamLine& line : layout.lines) {
        out.push_back(StreamLineText(shown, layout, line));
    }
    return out;
}

TEST(StreamLines, TextBreaksAtLineFeedsChunksAndWidth) {
    const std::string longLine(kTextLineBytes + 3, 'x');
    struct Case {
        const char* name;
        std::vector<std::pair<Direction, std::string>> chunks;
        std::optional<Direction> direction;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"CR LF and LF end lines, unprintables are dots",
         {{Direction::Out, "AT\r\nOK\n\x01\x7F\xFF\tz"}},
         std::nullopt,
         {"AT", "OK", "....z"}},
        {"a lone CR is shown", {{Direction::In, "a\rb\r"}}, std::nullopt, {"a.b."}},
        {"an empty line stays", {{Direction::In, "\r\n\r\n"}}, std::nullopt, {"", ""}},
        {"each direction starts its own line",
         {{Direction::Out, "ping"}, {Direction::In, "pong\r\n"}, {Direction::Out, "!"}},
         std::nullopt,
         {"ping", "pong", "!"}},
        {"one direction only reads on where the other spoke",
         {{Direction::Out, "ping"}, {Direction::In, "pong\r\n"}, {Direction::Out, "!"}},
         Direction::Out,
         {"ping!"}},
        {"a long line is broken",
         {{Direction::In, longLine}},
         std::nullopt,
         {std::string(kTextLineBytes, 'x'), "xxx"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Lines(Make(c.chunks), StreamView::Text, c.direction), c.lines);
    }
}

TEST(StreamLines, HexDumpCountsEachDirectionFromZero) {
    const protocol::Conversation c = Make(
        {{Direction::Out, "0123456789abcdefXY"}, {Direction::In, "\x01z"}, {Direction::Out, "Q"}});
    const std::vector<std::string> expected = {
        "00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  0123456789abcdef",
        "00000010  58 59                                             XY",
        "00000000  01 7A                                             .z",
        "00000012  51                                                Q",
    };
    EXPECT_EQ(Lines(c, StreamView::Hex), expected);
    EXPECT_EQ(Lines(c, StreamView::Hex, Direction::In), std::vector<std::string>{expected[2]});
    EXPECT_EQ(Lines(c, StreamView::Hex, Direction::Out)[1],
              "00000010  58 59 51                                          XYQ");
}

} // namespace
} // namespace vintrace::display
