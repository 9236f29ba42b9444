#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vintrace::protocol {

/// Vendor, product and class names from a `usb.ids` file (the hwdata list lsusb reads).
class UsbIds {
public:
    /// Reads the vendor and product lines, the class list ("C xx") with its subclasses and
    /// protocols, and the HID usage tables ("HUT xx") with their usages; everything else is
    /// skipped. The file is untrusted: bytes of a name that are
    /// not UTF-8 become U+FFFD (showing it safely is the caller's, see EscapeText).
    static UsbIds Parse(std::string_view text);
    /// The largest list read: hwdata's is under 2 MiB; anything far bigger is not one.
    static constexpr std::uint64_t kMaxFileBytes = std::uint64_t{32} << 20;

    /// Reads a file, opened as every input is: a regular file only (a FIFO or a device is
    /// refused at once, never read), at most kMaxFileBytes. Nothing when it cannot be read (a
    /// missing list means numbers only), with the reason in `reason` when given.
    static std::optional<UsbIds> Load(const std::string& path, std::string* reason = nullptr);
    /// The first of the usual system paths that can be read.
    static std::optional<UsbIds> LoadSystem();

    /// The vendor's name; nothing when the list does not have it.
    std::optional<std::string> vendor(std::uint16_t id) const;
    /// The product's name under its vendor; nothing when the list does not have it.
    std::optional<std::string> product(std::uint16_t vendor, std::uint16_t product) const;

    /// A subclass's name under its class; nothing when the list does not have it.
    std::optional<std::string> subclass(std::uint8_t cls, std::uint8_t subclass) const;
    /// A protocol's name under its class and subclass; nothing when the list does not have it.
    std::optional<std::string> protocol(std::uint8_t cls, std::uint8_t subclass,
                                        std::uint8_t protocol) const;

    /// A HID usage page's name ("Generic Desktop Controls"); nothing when the list lacks it.
    std::optional<std::string> usagePage(std::uint16_t page) const;
    /// A usage's name on its page ("Pointer"); nothing when the list does not have it.
    std::optional<std::string> usage(std::uint16_t page, std::uint16_t usage) const;

private:
    std::unordered_map<std::uint16_t, std::string> vendors_;
    std::unordered_map<std::uint32_t, std::string> products_;
    /// Keyed by class << 8 | subclass, and class << 16 | subclass << 8 | protocol.
    std::unordered_map<std::uint16_t, std::string> subclasses_;
    std::unordered_map<std::uint32_t, std::string> protocols_;
    std::unordered_map<std::uint16_t, std::string> usagePages_;
    /// Keyed by page << 16 | usage.
    std::unordered_map<std::uint32_t, std::string> usages_;
};

} // namespace vintrace::protocol
