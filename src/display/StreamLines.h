#pragma once

#include "protocol/EndpointStream.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vintrace::display {

/// How a conversation is shown: as text (unprintable bytes as dots), or as a hex dump.
enum class StreamView : std::uint8_t { Text, Hex };

/// One shown line: `length` bytes of chunk `chunk` from `offset` on.
struct StreamLine {
    std::uint32_t chunk = 0;
    std::uint32_t offset = 0;
    std::uint32_t length = 0;

    friend bool operator==(const StreamLine&, const StreamLine&) = default;
};

/// The lines of a conversation in one view, with where each chunk starts in the bytes of its
/// own direction (the hex dump counts each direction from 0, as the bytes saved of it do).
struct StreamLayout {
    StreamView view = StreamView::Text;
    std::vector<StreamLine> lines;
    std::vector<std::uint64_t> chunkStart;
};

/// Bytes of a hex dump line, and the longest text line before it is broken.
inline constexpr std::uint32_t kHexLineBytes = 16;
inline constexpr std::uint32_t kTextLineBytes = 128;

/// Lays the chunks out as lines: text lines end after a line feed, at kTextLineBytes or at the
/// chunk's end (where the other side speaks); hex lines hold kHexLineBytes of one chunk.
StreamLayout LayOutStream(const protocol::Conversation& conversation, StreamView view);

/// Line `line` of `layout` as shown: text without its line break, printable ASCII kept and
/// every other byte a dot; or "offset  hex bytes  text".
std::string StreamLineText(const protocol::Conversation& conversation, const StreamLayout& layout,
                           const StreamLine& line);

} // namespace vintrace::display
