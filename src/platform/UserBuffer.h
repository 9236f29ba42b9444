#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vintrace::platform {

/// A caller's buffer as the analyzer's driver sees it: by a 32-bit address in the caller's
/// address space, the only form the command record can carry.
///
/// On Windows the address is the pointer itself; a buffer above 4 GiB (a 64-bit build) has no
/// such address and the request must fail rather than send a truncated one. Elsewhere the
/// driver is another process and cannot read our memory at all, so the buffer is given a
/// small per-thread address while this object lives, and the socket shim ships the bytes of
/// every buffer mapped on the calling thread with the request, for the driver to resolve.
class UserBuffer {
public:
    /// Maps `length` bytes at `data`; a null or empty buffer gets address 0.
    UserBuffer(void* data, std::size_t length);
    ~UserBuffer();
    UserBuffer(const UserBuffer&) = delete;
    UserBuffer& operator=(const UserBuffer&) = delete;

    /// False when the buffer has no 32-bit address; nothing may then be sent.
    bool valid() const { return valid_; }
    /// The address to put in the record (0 for no buffer).
    std::uint32_t address() const { return address_; }

    /// One mapped buffer of the calling thread.
    struct Region {
        std::uint32_t address;
        std::span<std::uint8_t> bytes;
    };
    /// The buffers mapped on the calling thread, oldest first.
    static std::vector<Region> Mapped();
    /// The `length` bytes at `address` if one mapped buffer of this thread holds them all.
    static std::span<std::uint8_t> Resolve(std::uint32_t address, std::size_t length);

private:
    std::uint32_t address_ = 0;
    bool valid_ = true;
    bool mapped_ = false;
};

} // namespace vintrace::platform
