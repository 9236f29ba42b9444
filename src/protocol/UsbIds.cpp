#include "protocol/UsbIds.h"

#include "capture/CaptureLoader.h"
#include "protocol/SafeText.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace vintrace::protocol {

namespace {

/// Four hex digits at the start of `s`.
std::optional<std::uint16_t> Hex4(std::string_view s) {
    if (s.size() < 4) {
        return std::nullopt;
    }
    std::uint16_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const char c = s[i];
        int d = 0;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        v = static_cast<std::uint16_t>(v << 4 | d);
    }
    return v;
}

/// "XXXX  Name": the id and the name after the two spaces.
std::optional<std::pair<std::uint16_t, std::string>> Entry(std::string_view line) {
    const auto id = Hex4(line);
    if (!id || line.size() < 7 || line.substr(4, 2) != "  ") {
        return std::nullopt;
    }
    std::string_view name = line.substr(6);
    while (!name.empty() && (name.back() == '\r' || name.back() == ' ')) {
        name.remove_suffix(1);
    }
    return std::make_pair(*id, ValidUtf8(name));
}

/// "XX  Name" (two hex digits): the id and the name after the two spaces.
std::optional<std::pair<std::uint8_t, std::string>> ShortEntry(std::string_view line) {
    if (line.size() < 5 || line.substr(2, 2) != "  ") {
        return std::nullopt;
    }
    const auto id = Hex4(std::string("00") + std::string(line.substr(0, 2)));
    if (!id) {
        return std::nullopt;
    }
    std::string_view name = line.substr(4);
    while (!name.empty() && (name.back() == '\r' || name.back() == ' ')) {
        name.remove_suffix(1);
    }
    return std::make_pair(static_cast<std::uint8_t>(*id), ValidUtf8(name));
}

/// "X  Name" with one to four hex digits (the HID usage table lists "HUT 01" and "\t030"):
/// the id and the name after the two spaces.
std::optional<std::pair<std::uint16_t, std::string>> HexEntry(std::string_view line) {
    const std::size_t digits = line.find("  ");
    if (digits == 0 || digits > 4 || digits == std::string_view::npos) {
        return std::nullopt;
    }
    const auto id = Hex4(std::string(4 - digits, '0') + std::string(line.substr(0, digits)));
    if (!id) {
        return std::nullopt;
    }
    std::string_view name = line.substr(digits + 2);
    while (!name.empty() && (name.back() == '\r' || name.back() == ' ')) {
        name.remove_suffix(1);
    }
    if (name.empty()) {
        return std::nullopt;
    }
    return std::make_pair(*id, ValidUtf8(name));
}

} // namespace

UsbIds UsbIds::Parse(std::string_view text) {
    UsbIds ids;
    long vendor = -1; // the vendor whose products follow, -1 outside the vendor list
    long cls = -1;    // the class whose subclasses follow, -1 outside it
    long subclass = -1;
    long usagePage = -1; // the HID usage page whose usages follow, -1 outside it
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line[0] == '\t') {
            if (line.size() > 1 && line[1] == '\t') {
                // Interfaces under a product, or protocols under a subclass.
                if (cls >= 0 && subclass >= 0) {
                    if (auto e = ShortEntry(line.substr(2))) {
                        ids.protocols_[static_cast<std::uint32_t>(cls << 16 | subclass << 8) |
                                       e->first] = std::move(e->second);
                    }
                }
                continue;
            }
            if (usagePage >= 0) {
                if (auto e = HexEntry(line.substr(1))) {
                    ids.usages_[static_cast<std::uint32_t>(usagePage) << 16 | e->first] =
                        std::move(e->second);
                }
                continue;
            }
            if (cls >= 0) {
                subclass = -1;
                if (auto e = ShortEntry(line.substr(1))) {
                    subclass = e->first;
                    ids.subclasses_[static_cast<std::uint16_t>(cls << 8 | e->first)] =
                        std::move(e->second);
                }
                continue;
            }
            if (vendor >= 0) {
                if (auto e = Entry(line.substr(1))) {
                    ids.products_[static_cast<std::uint32_t>(vendor) << 16 | e->first] =
                        std::move(e->second);
                }
            }
            continue;
        }
        // A vendor line, or the start of the class and other lists that follow the vendors.
        vendor = -1;
        cls = -1;
        subclass = -1;
        usagePage = -1;
        if (line.starts_with("HUT ")) {
            if (auto e = HexEntry(line.substr(4))) {
                usagePage = e->first;
                ids.usagePages_[e->first] = std::move(e->second);
            }
            continue;
        }
        if (line.starts_with("C ")) {
            if (const auto e = ShortEntry(line.substr(2))) {
                cls = e->first;
            }
            continue;
        }
        if (auto e = Entry(line)) {
            vendor = e->first;
            ids.vendors_[e->first] = std::move(e->second);
        }
    }
    return ids;
}

std::optional<std::string> UsbIds::usagePage(std::uint16_t page) const {
    const auto found = usagePages_.find(page);
    return found == usagePages_.end() ? std::nullopt : std::optional(found->second);
}

std::optional<std::string> UsbIds::usage(std::uint16_t page, std::uint16_t usage) const {
    const auto found = usages_.find(std::uint32_t{page} << 16 | usage);
    return found == usages_.end() ? std::nullopt : std::optional(found->second);
}

std::optional<UsbIds> UsbIds::Load(const std::string& path, std::string* reason) {
    std::string why;
    const auto fail = [&](std::string what) -> std::optional<UsbIds> {
        if (reason != nullptr) {
            *reason = std::move(what);
        }
        return std::nullopt;
    };
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(capture::OpenRegularFile(path, why),
                                                             &std::fclose);
    if (!in) {
        return fail(why);
    }
    // Appended piece by piece: GCC 12 misreads the chained operator+ here (-Wrestrict).
    std::string tooBig = "larger than ";
    tooBig += std::to_string(kMaxFileBytes >> 20);
    tooBig += " MiB, not a usb.ids list";
    struct stat st {};
    if (::fstat(fileno(in.get()), &st) == 0 &&
        static_cast<std::uint64_t>(st.st_size) > kMaxFileBytes) {
        return fail(tooBig);
    }
    // Read up to one byte past the limit, so a file that grew after the check is caught too.
    std::string text;
    std::array<char, 1 << 16> buffer{};
    while (text.size() <= kMaxFileBytes) {
        const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), in.get());
        text.append(buffer.data(), n);
        if (n < buffer.size()) {
            break;
        }
    }
    if (std::ferror(in.get())) {
        return fail(std::strerror(errno != 0 ? errno : EIO));
    }
    if (text.size() > kMaxFileBytes) {
        return fail(tooBig);
    }
    return Parse(text);
}

std::optional<UsbIds> UsbIds::LoadSystem() {
    static constexpr std::array<const char*, 3> kPaths = {
        "/usr/share/hwdata/usb.ids", "/usr/share/misc/usb.ids", "/var/lib/usbutils/usb.ids"};
    for (const char* path : kPaths) {
        if (auto ids = Load(path)) {
            return ids;
        }
    }
    return std::nullopt;
}

std::optional<std::string> UsbIds::vendor(std::uint16_t id) const {
    const auto found = vendors_.find(id);
    if (found == vendors_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<std::string> UsbIds::product(std::uint16_t vendor, std::uint16_t product) const {
    const auto found = products_.find(std::uint32_t{vendor} << 16 | product);
    if (found == products_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<std::string> UsbIds::subclass(std::uint8_t cls, std::uint8_t subclass) const {
    const auto found = subclasses_.find(static_cast<std::uint16_t>(cls << 8 | subclass));
    if (found == subclasses_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<std::string> UsbIds::protocol(std::uint8_t cls, std::uint8_t subclass,
                                            std::uint8_t protocol) const {
    const auto found =
        protocols_.find(static_cast<std::uint32_t>(cls << 16 | subclass << 8 | protocol));
    if (found == protocols_.end()) {
        return std::nullopt;
    }
    return found->second;
}

} // namespace vintrace::protocol
