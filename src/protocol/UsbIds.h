#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vintrace::protocol {

/// Vendor and product names from a `usb.ids` file (the hwdata list lsusb reads).
class UsbIds {
public:
    /// Reads the vendor and product lines of the text; everything else is skipped.
    static UsbIds Parse(std::string_view text);
    /// Reads a file; nothing when it cannot be read (a missing list means numbers only).
    static std::optional<UsbIds> Load(const std::string& path);
    /// The first of the usual system paths that can be read.
    static std::optional<UsbIds> LoadSystem();

    /// The vendor's name; nothing when the list does not have it.
    std::optional<std::string> vendor(std::uint16_t id) const;
    /// The product's name under its vendor; nothing when the list does not have it.
    std::optional<std::string> product(std::uint16_t vendor, std::uint16_t product) const;

private:
    std::unordered_map<std::uint16_t, std::string> vendors_;
    std::unordered_map<std::uint32_t, std::string> products_;
};

} // namespace vintrace::protocol
