#include "platform/UserBuffer.h"

#include <algorithm>

namespace vintrace::platform {

#ifdef _WIN32

UserBuffer::UserBuffer(void* data, std::size_t length) {
    if (data == nullptr || length == 0) {
        return;
    }
    const auto value = reinterpret_cast<std::uintptr_t>(data);
    if (value > 0xFFFFFFFFu || length > 0xFFFFFFFFu - value) {
        valid_ = false;
        return;
    }
    address_ = static_cast<std::uint32_t>(value);
}

UserBuffer::~UserBuffer() = default;

std::vector<UserBuffer::Region> UserBuffer::Mapped() {
    return {};
}

std::span<std::uint8_t> UserBuffer::Resolve(std::uint32_t address, std::size_t length) {
    if (address == 0) {
        return {};
    }
    return {reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(address)), length};
}

#else

namespace {

// Addresses start above the null page and are spaced so that no two live buffers overlap.
constexpr std::uint32_t kFirstAddress = 0x00010000;
constexpr std::uint32_t kLastAddress = 0x7FFF0000;

struct Entry {
    std::uint32_t address;
    std::uint8_t* data;
    std::size_t length;
};

thread_local std::vector<Entry> tMapped;
thread_local std::uint32_t tNextAddress = kFirstAddress;

} // namespace

UserBuffer::UserBuffer(void* data, std::size_t length) {
    if (data == nullptr || length == 0) {
        return;
    }
    if (length > kLastAddress - kFirstAddress) {
        valid_ = false;
        return;
    }
    const auto span = static_cast<std::uint32_t>((length + 15) / 16 * 16);
    if (tMapped.empty()) {
        tNextAddress = kFirstAddress;
    }
    if (tNextAddress > kLastAddress - span) {
        valid_ = false;
        return;
    }
    address_ = tNextAddress;
    tNextAddress += span;
    tMapped.push_back({address_, static_cast<std::uint8_t*>(data), length});
    mapped_ = true;
}

UserBuffer::~UserBuffer() {
    if (!mapped_) {
        return;
    }
    auto it = std::find_if(tMapped.begin(), tMapped.end(),
                           [this](const Entry& e) { return e.address == address_; });
    if (it != tMapped.end()) {
        tMapped.erase(it);
    }
}

std::vector<UserBuffer::Region> UserBuffer::Mapped() {
    std::vector<Region> out;
    out.reserve(tMapped.size());
    for (const Entry& e : tMapped) {
        out.push_back({e.address, {e.data, e.length}});
    }
    return out;
}

std::span<std::uint8_t> UserBuffer::Resolve(std::uint32_t address, std::size_t length) {
    for (const Entry& e : tMapped) {
        if (address >= e.address && address - e.address <= e.length &&
            length <= e.length - (address - e.address)) {
            return {e.data + (address - e.address), length};
        }
    }
    return {};
}

#endif

} // namespace vintrace::platform
