#include "display/StreamLines.h"

#include <array>
#include <cstdio>

namespace vintrace::display {

namespace {

char Shown(std::uint8_t b) {
    return b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
}

} // namespace

StreamLayout LayOutStream(const protocol::Conversation& conversation, StreamView view) {
    StreamLayout layout;
    layout.view = view;
    layout.chunkStart.resize(conversation.chunks.size());
    if (view == StreamView::Hex) {
        std::size_t lines = 0;
        for (const protocol::StreamChunk& chunk : conversation.chunks) {
            lines += (chunk.bytes.size() + kHexLineBytes - 1) / kHexLineBytes;
        }
        layout.lines.reserve(lines);
    }
    std::uint64_t start[2] = {0, 0};
    for (std::size_t c = 0; c < conversation.chunks.size(); ++c) {
        const protocol::StreamChunk& chunk = conversation.chunks[c];
        const std::size_t way = chunk.direction == protocol::Direction::In ? 1 : 0;
        layout.chunkStart[c] = start[way];
        start[way] += chunk.bytes.size();
        const auto index = static_cast<std::uint32_t>(c);
        const auto size = static_cast<std::uint32_t>(chunk.bytes.size());
        if (view == StreamView::Hex) {
            for (std::uint32_t at = 0; at < size; at += kHexLineBytes) {
                layout.lines.push_back({index, at, std::min(kHexLineBytes, size - at)});
            }
            continue;
        }
        std::uint32_t begin = 0;
        for (std::uint32_t at = 0; at < size; ++at) {
            if (chunk.bytes[at] == '\n' || at + 1 - begin == kTextLineBytes) {
                layout.lines.push_back({index, begin, at + 1 - begin});
                begin = at + 1;
            }
        }
        if (begin < size) {
            layout.lines.push_back({index, begin, size - begin});
        }
    }
    return layout;
}

std::string StreamLineText(const protocol::Conversation& conversation, const StreamLayout& layout,
                           const StreamLine& line) {
    if (line.chunk >= conversation.chunks.size()) {
        return {};
    }
    const std::vector<std::uint8_t>& bytes = conversation.chunks[line.chunk].bytes;
    const std::size_t begin = std::min<std::size_t>(line.offset, bytes.size());
    const std::size_t end = std::min<std::size_t>(begin + line.length, bytes.size());
    std::string out;
    if (layout.view == StreamView::Text) {
        std::size_t last = end;
        // The line break ends the line; it is not part of what it shows.
        if (last > begin && bytes[last - 1] == '\n') {
            --last;
            if (last > begin && bytes[last - 1] == '\r') {
                --last;
            }
        }
        for (std::size_t i = begin; i < last; ++i) {
            out += Shown(bytes[i]);
        }
        return out;
    }
    std::array<char, 24> offset{};
    const std::uint64_t at =
        (line.chunk < layout.chunkStart.size() ? layout.chunkStart[line.chunk] : 0) + begin;
    std::snprintf(offset.data(), offset.size(), "%08llX  ", static_cast<unsigned long long>(at));
    out += offset.data();
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < kHexLineBytes; ++i) {
        if (begin + i < end) {
            out += kDigits[bytes[begin + i] >> 4];
            out += kDigits[bytes[begin + i] & 0x0F];
        } else {
            out += "  ";
        }
        out += i == 7 ? "  " : " ";
    }
    out += ' ';
    for (std::size_t i = begin; i < end; ++i) {
        out += Shown(bytes[i]);
    }
    return out;
}

} // namespace vintrace::display
