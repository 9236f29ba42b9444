#include "protocol/DeviceCapabilities.h"

#include "protocol/LittleEndian.h"
#include "protocol/SafeText.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace vintrace::protocol {

namespace {

constexpr std::uint8_t kTypeBos = 0x0F;
constexpr std::uint8_t kTypeCapability = 0x10;
constexpr std::size_t kBosHeader = 5;
constexpr std::size_t kCompatHeader = 16;
constexpr std::size_t kCompatFunction = 24;
constexpr std::uint16_t kCompatIdIndex = 0x0004;
constexpr std::uint16_t kExtendedPropertiesIndex = 0x0005;
constexpr std::uint16_t kMsOs20SetIndex = 0x0007;
constexpr std::size_t kMsOs20SetHeader = 10;
constexpr std::size_t kPropertiesHeader = 10;
constexpr std::size_t kPropertySectionFixed = 14;

constexpr std::array<std::uint8_t, 16> kWebUsbUuid = {
    0x38, 0xB6, 0x08, 0x34, 0xA9, 0x09, 0xA0, 0x47, 0x8B, 0xFD, 0xA0, 0x76, 0x88, 0x15, 0xB6, 0x65};
constexpr std::array<std::uint8_t, 16> kMsOs20Uuid = {
    0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C, 0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};

std::string Bcd(std::uint32_t v) {
    return Format("%x.", v >> 8 & 0xFF) + Format("%02x", v & 0xFF);
}

/// A field of `size` bytes at `at` (relative to `base` in the data), when the data holds it.
bool Add(std::vector<LaidField>& out, std::span<const std::uint8_t> d, std::size_t base,
         std::size_t at, std::size_t size, const char* name, std::string (*text)(std::uint32_t)) {
    if (at + size > d.size()) {
        return false;
    }
    const std::uint32_t v = Le(d, at, size);
    out.push_back({name, text(v), v, base + at, size});
    return true;
}

std::string Decimal(std::uint32_t v) {
    return std::to_string(v);
}
std::string Hex2(std::uint32_t v) {
    return Format("0x%02x", v);
}
std::string Hex4(std::uint32_t v) {
    return Format("0x%04x", v);
}
std::string Hex8(std::uint32_t v) {
    return Format("0x%08x", v);
}

/// USB 2.0 LPM ECN, table 9-13: the USB 2.0 extension's bmAttributes.
std::string Usb2Attributes(std::uint32_t v) {
    std::string s = Hex8(v);
    if ((v >> 1 & 1) != 0) {
        s += " LPM";
    }
    if ((v >> 2 & 1) != 0) {
        s += ", BESL";
    }
    if ((v >> 3 & 1) != 0) {
        s += ", baseline BESL " + std::to_string(v >> 8 & 0xF);
    }
    if ((v >> 4 & 1) != 0) {
        s += ", deep BESL " + std::to_string(v >> 12 & 0xF);
    }
    return s;
}

/// Windows version numbers as Microsoft's OS 2.0 descriptor set information names them.
std::string WindowsVersion(std::uint32_t v) {
    std::string s = Hex8(v);
    if (v == 0x06030000) {
        s += " (Windows 8.1)";
    } else if (v == 0x0A000000) {
        s += " (Windows 10)";
    }
    return s;
}

std::string CapabilityName(std::uint8_t type) {
    switch (type) {
    case 0x01:
        return "Wireless USB";
    case 0x02:
        return "USB 2.0 Extension";
    case 0x03:
        return "SuperSpeed USB";
    case 0x04:
        return "Container ID";
    case 0x05:
        return "Platform";
    case 0x06:
        return "Power Delivery";
    case 0x07:
        return "Battery Info";
    case 0x0A:
        return "SuperSpeedPlus USB";
    case 0x0D:
        return "Billboard";
    default:
        return "Capability " + Format("0x%02x", type);
    }
}

/// Text of an 8-byte, NUL-padded ASCII compatible ID.
std::string IdText(std::span<const std::uint8_t> bytes) {
    std::string s;
    for (std::uint8_t b : bytes) {
        if (b == 0) {
            break;
        }
        s += static_cast<char>(b);
    }
    return s;
}

/// The fields of one device capability descriptor `c` found at `base`.
LaidBlock Capability(std::span<const std::uint8_t> c, std::size_t base) {
    const std::uint8_t type = c.size() > 2 ? c[2] : 0;
    LaidBlock b{CapabilityName(type), base, c.size(), {}, 0, 0};
    Add(b.fields, c, base, 0, 1, "bLength", Decimal);
    Add(b.fields, c, base, 1, 1, "bDescriptorType", Decimal);
    Add(b.fields, c, base, 2, 1, "bDevCapabilityType", Hex2);
    std::size_t known = std::min<std::size_t>(3, c.size());
    auto add = [&](std::size_t at, std::size_t size, const char* name,
                   std::string (*text)(std::uint32_t)) {
        if (Add(b.fields, c, base, at, size, name, text)) {
            known = std::max(known, at + size);
        }
    };
    switch (type) {
    case 0x02:
        add(3, 4, "bmAttributes", Usb2Attributes);
        break;
    case 0x04:
    case 0x05: {
        add(3, 1, "bReserved", Decimal);
        if (c.size() < 20) {
            break;
        }
        const auto uuid = c.subspan(4, 16);
        b.fields.push_back({type == 0x04 ? "ContainerID" : "PlatformCapabilityUUID", UuidText(uuid),
                            std::nullopt, base + 4, 16});
        known = 20;
        if (type == 0x04) {
            break;
        }
        if (std::equal(uuid.begin(), uuid.end(), kWebUsbUuid.begin())) {
            b.title = "Platform (WebUSB)";
            add(20, 2, "bcdVersion", Bcd);
            add(22, 1, "bVendorCode", Hex2);
            add(23, 1, "iLandingPage", Decimal);
        } else if (std::equal(uuid.begin(), uuid.end(), kMsOs20Uuid.begin())) {
            b.title = "Platform (Microsoft OS 2.0)";
            // One descriptor set information entry per Windows version, 8 bytes each.
            for (std::size_t at = 20; at + 8 <= c.size(); at += 8) {
                add(at, 4, "dwWindowsVersion", WindowsVersion);
                add(at + 4, 2, "wMSOSDescriptorSetTotalLength", Decimal);
                add(at + 6, 1, "bMS_VendorCode", Hex2);
                add(at + 7, 1, "bAltEnumCode", Decimal);
            }
        }
        break;
    }
    default:
        break;
    }
    if (c.size() > known) {
        b.rawOffset = base + known;
        b.rawLength = c.size() - known;
    }
    return b;
}

/// UTF-16LE text up to its first NUL (or its end) as UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16Text(std::span<const std::uint8_t> d) {
    std::string out;
    auto append = [&out](std::uint32_t c) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    };
    const std::size_t units = d.size() / 2;
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint32_t u = Le(d, 2 * i, 2);
        if (u == 0) {
            break;
        }
        const std::uint32_t next = i + 1 < units ? Le(d, 2 * i + 2, 2) : 0;
        if (u >= 0xD800 && u < 0xDC00 && next >= 0xDC00 && next < 0xE000) {
            append(0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u < 0xE000) {
            append(0xFFFD);
        } else {
            append(u);
        }
    }
    return out;
}

/// Registry value types, as both Microsoft OS descriptor versions number them.
std::string PropertyType(std::uint32_t v) {
    static constexpr const char* kNames[] = {"REG_SZ",
                                             "REG_EXPAND_SZ",
                                             "REG_BINARY",
                                             "REG_DWORD_LITTLE_ENDIAN",
                                             "REG_DWORD_BIG_ENDIAN",
                                             "REG_LINK",
                                             "REG_MULTI_SZ"};
    return v >= 1 && v <= 7 ? std::to_string(v) + " (" + kNames[v - 1] + ")" : std::to_string(v);
}

std::string HexList(std::span<const std::uint8_t> d) {
    std::string s;
    for (std::uint8_t b : d) {
        s += (s.empty() ? "" : " ") + Format("%02x", b);
    }
    return s;
}

/// A registry property's data as its type reads: text, a list of texts, a number or bytes.
LaidField PropertyData(std::uint32_t type, std::span<const std::uint8_t> d, std::size_t at) {
    LaidField f{"PropertyData", {}, std::nullopt, at, d.size()};
    switch (type) {
    case 1: // REG_SZ
    case 2: // REG_EXPAND_SZ
    case 6: // REG_LINK
        f.text = Utf16Text(d);
        break;
    case 7: { // REG_MULTI_SZ: strings each ended by a NUL, an empty one ends the list
        for (std::size_t i = 0; i + 1 < d.size();) {
            const std::string one = Utf16Text(d.subspan(i));
            if (one.empty()) {
                break;
            }
            f.text += (f.text.empty() ? "" : ", ") + one;
            // Past the string and its NUL, counted in UTF-16 units.
            std::size_t j = i;
            while (j + 1 < d.size() && Le(d, j, 2) != 0) {
                j += 2;
            }
            i = j + 2;
        }
        break;
    }
    case 4: // REG_DWORD_LITTLE_ENDIAN
    case 5: // REG_DWORD_BIG_ENDIAN
        if (d.size() == 4) {
            const std::uint32_t v =
                type == 4 ? Le(d, 0, 4)
                          : static_cast<std::uint32_t>(d[0]) << 24 | d[1] << 16 | d[2] << 8 | d[3];
            f.number = v;
            f.text = std::to_string(v) + " (" + Hex8(v) + ")";
            break;
        }
        [[fallthrough]];
    default:
        f.text = HexList(d);
        break;
    }
    return f;
}

std::string Ms20Title(std::uint32_t type) {
    switch (type) {
    case 0x01:
        return "Configuration subset";
    case 0x02:
        return "Function subset";
    case 0x03:
        return "Compatible ID";
    case 0x04:
        return "Registry property";
    case 0x05:
        return "Minimum resume time";
    case 0x06:
        return "Model ID";
    case 0x07:
        return "CCGP device";
    case 0x08:
        return "Vendor revision";
    default:
        return "Descriptor type " + Hex4(type);
    }
}

/// The wLength each fixed-size descriptor of a set has; 0 for those of any length.
std::size_t Ms20Length(std::uint32_t type) {
    switch (type) {
    case 0x01:
    case 0x02:
        return 8;
    case 0x03:
    case 0x06:
        return 20;
    case 0x05:
    case 0x08:
        return 6;
    case 0x07:
        return 4;
    default:
        return 0;
    }
}

/// One descriptor `c` of a descriptor set found at `base`; what is wrong with it goes to
/// `problems`.
LaidBlock Ms20Descriptor(std::span<const std::uint8_t> c, std::size_t base,
                         std::vector<DescriptorProblem>& problems) {
    const std::uint32_t type = Le(c, 2, 2);
    LaidBlock b{Ms20Title(type), base, c.size(), {}, 0, 0};
    Add(b.fields, c, base, 0, 2, "wLength", Decimal);
    Add(b.fields, c, base, 2, 2, "wDescriptorType", Hex4);
    std::size_t known = 4;
    auto add = [&](std::size_t at, std::size_t size, const char* name,
                   std::string (*text)(std::uint32_t)) {
        if (Add(b.fields, c, base, at, size, name, text)) {
            known = std::max(known, at + size);
        }
    };
    const std::size_t want = Ms20Length(type);
    if (want != 0 && Le(c, 0, 2) != want) {
        problems.push_back({base, "wLength " + std::to_string(Le(c, 0, 2)) + " where " +
                                      std::to_string(want) + " is right for " + b.title});
    }
    switch (type) {
    case 0x01:
        add(4, 1, "bConfigurationValue", Decimal);
        add(5, 1, "bReserved", Decimal);
        add(6, 2, "wTotalLength", Decimal);
        break;
    case 0x02:
        add(4, 1, "bFirstInterface", Decimal);
        add(5, 1, "bReserved", Decimal);
        add(6, 2, "wSubsetLength", Decimal);
        break;
    case 0x03:
        if (c.size() >= 20) {
            b.fields.push_back(
                {"CompatibleID", IdText(c.subspan(4, 8)), std::nullopt, base + 4, 8});
            b.fields.push_back(
                {"SubCompatibleID", IdText(c.subspan(12, 8)), std::nullopt, base + 12, 8});
            known = 20;
        }
        break;
    case 0x04: {
        add(4, 2, "wPropertyDataType", PropertyType);
        add(6, 2, "wPropertyNameLength", Decimal);
        if (c.size() < 8) {
            break;
        }
        const std::size_t nameLength = Le(c, 6, 2);
        if (8 + nameLength + 2 > c.size()) {
            problems.push_back({base + 6, "wPropertyNameLength " + std::to_string(nameLength) +
                                              " runs past the descriptor"});
            break;
        }
        b.fields.push_back({"PropertyName", Utf16Text(c.subspan(8, nameLength)), std::nullopt,
                            base + 8, nameLength});
        add(8 + nameLength, 2, "wPropertyDataLength", Decimal);
        const std::size_t dataAt = 10 + nameLength;
        const std::size_t dataLength = Le(c, 8 + nameLength, 2);
        known = dataAt;
        if (dataAt + dataLength > c.size()) {
            problems.push_back({base + 8 + nameLength, "wPropertyDataLength " +
                                                           std::to_string(dataLength) +
                                                           " runs past the descriptor"});
            break;
        }
        b.fields.push_back(PropertyData(Le(c, 4, 2), c.subspan(dataAt, dataLength), base + dataAt));
        known = dataAt + dataLength;
        break;
    }
    case 0x05:
        add(4, 1, "bResumeRecoveryTime", Decimal);
        add(5, 1, "bResumeSignalingTime", Decimal);
        break;
    case 0x06:
        if (c.size() >= 20) {
            b.fields.push_back({"ModelID", UuidText(c.subspan(4, 16)), std::nullopt, base + 4, 16});
            known = 20;
        }
        break;
    case 0x08:
        add(4, 2, "VendorRevision", Decimal);
        break;
    default:
        break;
    }
    if (c.size() > known) {
        b.rawOffset = base + known;
        b.rawLength = c.size() - known;
    }
    return b;
}

/// False when `data` stops before a header of `size` bytes, with a problem unless the host
/// asked for no more (a first read of the header alone, as Windows does).
bool WholeHeader(LaidDescriptor& out, std::span<const std::uint8_t> data, std::size_t size,
                 bool cut) {
    if (data.size() >= size) {
        return true;
    }
    if (!cut) {
        out.problems.push_back(
            {data.size(), "the header stops after " + std::to_string(data.size()) + " bytes"});
    }
    return false;
}

/// Where the parts end by the wTotalLength at `at` of a set whose header takes `header` bytes:
/// the bytes delivered, or fewer when it says so; with a problem where it disagrees with them
/// (more than delivered is only wrong when the host asked for more).
std::size_t TotalLengthEnd(LaidDescriptor& out, std::span<const std::uint8_t> data, std::size_t at,
                           std::size_t header, bool cut) {
    const std::size_t total = Le(data, at, 2);
    const auto disagrees = [&] {
        return "wTotalLength " + std::to_string(total) + " disagrees with the " +
               std::to_string(data.size()) + " bytes delivered";
    };
    if (total < header) {
        out.problems.push_back({at, "wTotalLength " + std::to_string(total) + " is too small"});
    } else if (total < data.size()) {
        out.problems.push_back({at, disagrees()});
        return total;
    } else if (total > data.size() && !cut) {
        out.problems.push_back({data.size(), disagrees()});
    }
    return data.size();
}

} // namespace

std::string UuidText(std::span<const std::uint8_t> u) {
    if (u.size() < 16) {
        return {};
    }
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  Le(u, 0, 4), Le(u, 4, 2), Le(u, 6, 2), u[8], u[9], u[10], u[11], u[12], u[13],
                  u[14], u[15]);
    return text;
}

LaidDescriptor ParseBos(std::span<const std::uint8_t> data, std::size_t requested) {
    LaidDescriptor out;
    const bool cut = requested <= data.size();
    Add(out.header, data, 0, 0, 1, "bLength", Decimal);
    Add(out.header, data, 0, 1, 1, "bDescriptorType", Decimal);
    Add(out.header, data, 0, 2, 2, "wTotalLength", Decimal);
    Add(out.header, data, 0, 4, 1, "bNumDeviceCaps", Decimal);
    out.end = std::min(data.size(), kBosHeader);
    if (data.size() < 2) {
        out.problems.push_back({0, "only " + std::to_string(data.size()) + " bytes: no header"});
        return out;
    }
    if (data[1] != kTypeBos) {
        out.problems.push_back({1, "bDescriptorType " + std::to_string(data[1]) + " is not BOS"});
    }
    if (data[0] != kBosHeader) {
        out.problems.push_back({0, "bLength " + std::to_string(data[0]) + " where 5 is right"});
    }
    if (!WholeHeader(out, data, kBosHeader, cut)) {
        return out;
    }
    const std::size_t total = Le(data, 2, 2);
    std::size_t end = TotalLengthEnd(out, data, 2, kBosHeader, cut);
    std::size_t at = kBosHeader;
    while (at < end) {
        const std::size_t left = end - at;
        const std::size_t length = data[at];
        if (length < 3) {
            out.problems.push_back(
                {at, "bLength " + std::to_string(length) + " is too small for a capability"});
            break;
        }
        const bool past = length > left;
        if (past && !(cut && total > data.size())) {
            out.problems.push_back({at, "bLength " + std::to_string(length) + " is past the end: " +
                                            std::to_string(left) + " bytes left"});
        }
        if (left > 1 && data[at + 1] != kTypeCapability) {
            out.problems.push_back({at + 1, "bDescriptorType " + std::to_string(data[at + 1]) +
                                                " is not a device capability"});
        }
        const std::size_t take = std::min(length, left);
        out.blocks.push_back(Capability(data.subspan(at, take), at));
        at += take;
    }
    out.end = at;
    if (at >= total && out.blocks.size() != data[4]) {
        out.problems.push_back({4, "bNumDeviceCaps " + std::to_string(data[4]) + " where " +
                                       std::to_string(out.blocks.size()) + " follow"});
    }
    return out;
}

std::optional<std::uint8_t> MsOsVendorCode(std::span<const std::uint8_t> s) {
    // "MSFT100" in UTF-16LE, then bMS_VendorCode and a pad byte.
    static constexpr std::array<std::uint8_t, 16> kHead = {0x12, 0x03, 'M', 0, 'S', 0, 'F', 0,
                                                           'T',  0,    '1', 0, '0', 0, '0', 0};
    if (s.size() < 18 || !std::equal(kHead.begin(), kHead.end(), s.begin())) {
        return std::nullopt;
    }
    return s[16];
}

bool IsMsCompatIdRequest(const capture::SetupRequest& r, std::optional<std::uint8_t> vendorCode,
                         std::span<const std::uint8_t> data) {
    // Sent to the device or to an interface; extended properties (wIndex 5) are another reply.
    if (r.type() != 2 || !r.deviceToHost() || r.recipient() > 1 || r.index != kCompatIdIndex) {
        return false;
    }
    if (vendorCode) {
        return r.request == *vendorCode;
    }
    return data.size() >= 9 && Le(data, 0, 4) == kCompatHeader + kCompatFunction * data[8] &&
           Le(data, 4, 2) == 0x0100 && Le(data, 6, 2) == kCompatIdIndex;
}

LaidDescriptor ParseMsCompatId(std::span<const std::uint8_t> data, std::size_t requested) {
    LaidDescriptor out;
    const bool cut = requested <= data.size();
    Add(out.header, data, 0, 0, 4, "dwLength", Decimal);
    Add(out.header, data, 0, 4, 2, "bcdVersion", Bcd);
    Add(out.header, data, 0, 6, 2, "wIndex", Hex4);
    Add(out.header, data, 0, 8, 1, "bCount", Decimal);
    out.end = std::min(data.size(), kCompatHeader);
    if (!WholeHeader(out, data, kCompatHeader, cut)) {
        return out;
    }
    const std::size_t length = Le(data, 0, 4);
    const std::size_t count = data[8];
    if (length != kCompatHeader + kCompatFunction * count) {
        out.problems.push_back({0, "dwLength " + std::to_string(length) +
                                       " disagrees with bCount " + std::to_string(count)});
    }
    if (Le(data, 6, 2) != kCompatIdIndex) {
        out.problems.push_back({6, "wIndex " + Hex4(Le(data, 6, 2)) + " where 0x0004 is right"});
    }
    std::size_t at = kCompatHeader;
    for (std::size_t i = 0; i < count && at + kCompatFunction <= data.size(); ++i) {
        const auto f = data.subspan(at, kCompatFunction);
        LaidBlock b{"Function " + std::to_string(i), at, kCompatFunction, {}, 0, 0};
        Add(b.fields, f, at, 0, 1, "bFirstInterfaceNumber", Decimal);
        b.fields.push_back({"compatibleID", IdText(f.subspan(2, 8)), std::nullopt, at + 2, 8});
        b.fields.push_back({"subCompatibleID", IdText(f.subspan(10, 8)), std::nullopt, at + 10, 8});
        out.blocks.push_back(std::move(b));
        at += kCompatFunction;
    }
    out.end = at;
    const std::size_t want = kCompatHeader + kCompatFunction * count;
    if (at < want && !cut) {
        out.problems.push_back({at, "function " + std::to_string(out.blocks.size()) +
                                        " stops after " + std::to_string(data.size() - at) +
                                        " of 24 bytes"});
    }
    return out;
}

std::string MsCompatIdSummary(const LaidDescriptor& d) {
    std::string s;
    for (const LaidBlock& b : d.blocks) {
        std::string id;
        for (const LaidField& f : b.fields) {
            if (f.name == "compatibleID") {
                id = f.text;
            } else if (f.name == "subCompatibleID" && !f.text.empty()) {
                id += "/" + f.text;
            }
        }
        s += (s.empty() ? "" : ", ") + EscapeText(id);
    }
    return s;
}

std::optional<std::uint8_t> MsOs20VendorCode(std::span<const std::uint8_t> bos) {
    for (const LaidBlock& b : ParseBos(bos, bos.size()).blocks) {
        if (b.title != "Platform (Microsoft OS 2.0)") {
            continue;
        }
        for (const LaidField& f : b.fields) {
            if (f.name == "bMS_VendorCode" && f.number) {
                return static_cast<std::uint8_t>(*f.number);
            }
        }
    }
    return std::nullopt;
}

bool IsMsOs20SetRequest(const capture::SetupRequest& r, std::optional<std::uint8_t> vendorCode,
                        std::span<const std::uint8_t> data) {
    if (r.type() != 2 || !r.deviceToHost() || r.recipient() != 0 || r.index != kMsOs20SetIndex) {
        return false;
    }
    if (vendorCode) {
        return r.request == *vendorCode;
    }
    return data.size() >= kMsOs20SetHeader && Le(data, 0, 2) == kMsOs20SetHeader &&
           Le(data, 2, 2) == 0 && Le(data, 8, 2) >= kMsOs20SetHeader;
}

LaidDescriptor ParseMsOs20Set(std::span<const std::uint8_t> data, std::size_t requested) {
    LaidDescriptor out;
    const bool cut = requested <= data.size();
    Add(out.header, data, 0, 0, 2, "wLength", Decimal);
    Add(out.header, data, 0, 2, 2, "wDescriptorType", Hex4);
    Add(out.header, data, 0, 4, 4, "dwWindowsVersion", WindowsVersion);
    Add(out.header, data, 0, 8, 2, "wTotalLength", Decimal);
    out.end = std::min(data.size(), kMsOs20SetHeader);
    if (!WholeHeader(out, data, kMsOs20SetHeader, cut)) {
        return out;
    }
    if (Le(data, 0, 2) != kMsOs20SetHeader) {
        out.problems.push_back(
            {0, "wLength " + std::to_string(Le(data, 0, 2)) + " where 10 is right"});
    }
    if (Le(data, 2, 2) != 0) {
        out.problems.push_back(
            {2, "wDescriptorType " + Hex4(Le(data, 2, 2)) + " is not a descriptor set header"});
    }
    const std::size_t total = Le(data, 8, 2);
    std::size_t end = TotalLengthEnd(out, data, 8, kMsOs20SetHeader, cut);
    // The subsets open at each point: where each ends, and whether it is a configuration's.
    struct Open {
        std::size_t end;
        bool configuration;
    };
    std::vector<Open> open;
    std::size_t at = kMsOs20SetHeader;
    while (at < end) {
        const std::size_t left = end - at;
        if (left < 4) {
            if (!cut) {
                out.problems.push_back({at, std::to_string(left) + " bytes left over"});
            }
            break;
        }
        const std::size_t length = Le(data, at, 2);
        const std::uint32_t type = Le(data, at + 2, 2);
        if (length < 4) {
            out.problems.push_back(
                {at, "wLength " + std::to_string(length) + " is too small for a descriptor"});
            break;
        }
        while (!open.empty() && at >= open.back().end) {
            open.pop_back();
        }
        // A new configuration subset closes everything; a new function subset the one before.
        if (type == 0x01) {
            open.clear();
        } else if (type == 0x02 && !open.empty() && !open.back().configuration) {
            open.pop_back();
        }
        if (length > left && !(cut && total > data.size())) {
            out.problems.push_back({at, "wLength " + std::to_string(length) + " is past the end: " +
                                            std::to_string(left) + " bytes left"});
        }
        const std::size_t take = std::min(length, left);
        LaidBlock b = Ms20Descriptor(data.subspan(at, take), at, out.problems);
        b.depth = static_cast<std::uint8_t>(open.size());
        if ((type == 0x01 || type == 0x02) && take >= 8) {
            const std::size_t subset = Le(data, at + 6, 2);
            const std::size_t outer = open.empty() ? std::max(total, end) : open.back().end;
            if (subset < 8) {
                out.problems.push_back(
                    {at + 6, std::string(type == 1 ? "wTotalLength " : "wSubsetLength ") +
                                 std::to_string(subset) + " is too small"});
            } else if (at + subset > outer) {
                out.problems.push_back(
                    {at + 6, std::string(type == 1 ? "wTotalLength " : "wSubsetLength ") +
                                 std::to_string(subset) + " runs past what holds it"});
            }
            open.push_back({std::min(at + std::max<std::size_t>(subset, 8), outer), type == 1});
        }
        out.blocks.push_back(std::move(b));
        at += take;
    }
    out.end = at;
    return out;
}

std::string MsOs20Summary(const LaidDescriptor& d) {
    std::string s;
    for (const LaidBlock& b : d.blocks) {
        for (const LaidField& f : b.fields) {
            if (f.name == "CompatibleID" || f.name == "PropertyName") {
                s += (s.empty() ? "" : ", ") + EscapeText(f.text);
            } else if (f.name == "SubCompatibleID" && !f.text.empty()) {
                s += "/" + EscapeText(f.text);
            }
        }
    }
    return s.empty() ? "empty" : s;
}

bool IsMsExtendedPropertiesRequest(const capture::SetupRequest& r,
                                   std::optional<std::uint8_t> vendorCode,
                                   std::span<const std::uint8_t> data) {
    if (r.type() != 2 || !r.deviceToHost() || r.recipient() > 1 ||
        r.index != kExtendedPropertiesIndex) {
        return false;
    }
    if (vendorCode) {
        return r.request == *vendorCode;
    }
    return data.size() >= kPropertiesHeader && Le(data, 4, 2) == 0x0100 &&
           Le(data, 6, 2) == kExtendedPropertiesIndex && Le(data, 0, 4) >= kPropertiesHeader;
}

LaidDescriptor ParseMsExtendedProperties(std::span<const std::uint8_t> data,
                                         std::size_t requested) {
    LaidDescriptor out;
    const bool cut = requested <= data.size();
    Add(out.header, data, 0, 0, 4, "dwLength", Decimal);
    Add(out.header, data, 0, 4, 2, "bcdVersion", Bcd);
    Add(out.header, data, 0, 6, 2, "wIndex", Hex4);
    Add(out.header, data, 0, 8, 2, "wCount", Decimal);
    out.end = std::min(data.size(), kPropertiesHeader);
    if (!WholeHeader(out, data, kPropertiesHeader, cut)) {
        return out;
    }
    if (Le(data, 6, 2) != kExtendedPropertiesIndex) {
        out.problems.push_back({6, "wIndex " + Hex4(Le(data, 6, 2)) + " where 0x0005 is right"});
    }
    const std::size_t length = Le(data, 0, 4);
    std::size_t end = data.size();
    if (length < data.size()) {
        out.problems.push_back({0, "dwLength " + std::to_string(length) + " disagrees with the " +
                                       std::to_string(data.size()) + " bytes delivered"});
        end = std::max(length, kPropertiesHeader);
    } else if (length > data.size() && !cut) {
        out.problems.push_back({data.size(), "dwLength " + std::to_string(length) +
                                                 " disagrees with the " +
                                                 std::to_string(data.size()) + " bytes delivered"});
    }
    const std::size_t count = Le(data, 8, 2);
    std::size_t at = kPropertiesHeader;
    for (std::size_t i = 0; i < count && at < end; ++i) {
        const std::size_t left = end - at;
        if (left < 4) {
            break;
        }
        const std::size_t size = Le(data, at, 4);
        if (size < kPropertySectionFixed) {
            out.problems.push_back(
                {at, "dwSize " + std::to_string(size) + " is too small for a property"});
            break;
        }
        const std::size_t take = std::min(size, left);
        const auto c = data.subspan(at, take);
        LaidBlock b{"Property " + std::to_string(i), at, take, {}, 0, 0};
        Add(b.fields, c, at, 0, 4, "dwSize", Decimal);
        Add(b.fields, c, at, 4, 4, "dwPropertyDataType", PropertyType);
        Add(b.fields, c, at, 8, 2, "wPropertyNameLength", Decimal);
        std::size_t known = std::min<std::size_t>(10, take);
        if (take >= 10) {
            const std::size_t nameLength = Le(c, 8, 2);
            if (10 + nameLength + 4 <= take) {
                b.fields.push_back({"bPropertyName", Utf16Text(c.subspan(10, nameLength)),
                                    std::nullopt, at + 10, nameLength});
                Add(b.fields, c, at, 10 + nameLength, 4, "dwPropertyDataLength", Decimal);
                const std::size_t dataAt = 14 + nameLength;
                const std::size_t dataLength = Le(c, 10 + nameLength, 4);
                known = dataAt;
                if (dataLength <= take - dataAt) {
                    LaidField f =
                        PropertyData(Le(c, 4, 4), c.subspan(dataAt, dataLength), at + dataAt);
                    f.name = "bPropertyData";
                    b.fields.push_back(std::move(f));
                    known = dataAt + dataLength;
                    if (known != size) {
                        out.problems.push_back({at, "dwSize " + std::to_string(size) +
                                                        " where the property takes " +
                                                        std::to_string(known)});
                    }
                } else if (!cut) {
                    out.problems.push_back({at + 10 + nameLength, "dwPropertyDataLength " +
                                                                      std::to_string(dataLength) +
                                                                      " runs past the property"});
                }
            } else if (!cut) {
                out.problems.push_back({at + 8, "wPropertyNameLength " +
                                                    std::to_string(nameLength) +
                                                    " runs past the property"});
            }
        }
        if (take > known) {
            b.rawOffset = at + known;
            b.rawLength = take - known;
        }
        out.blocks.push_back(std::move(b));
        if (size > left && !cut) {
            out.problems.push_back({at, "dwSize " + std::to_string(size) + " is past the end: " +
                                            std::to_string(left) + " bytes left"});
        }
        at += take;
    }
    out.end = at;
    if (at >= end && out.blocks.size() < count && !cut) {
        out.problems.push_back({8, "wCount " + std::to_string(count) + " where " +
                                       std::to_string(out.blocks.size()) + " follow"});
    }
    return out;
}

std::string MsPropertiesSummary(const LaidDescriptor& d) {
    std::string s;
    for (const LaidBlock& b : d.blocks) {
        for (const LaidField& f : b.fields) {
            if (f.name == "bPropertyName" || f.name == "PropertyName") {
                s += (s.empty() ? "" : ", ") + EscapeText(f.text);
            }
        }
    }
    return s;
}

std::string BosSummary(const LaidDescriptor& d) {
    std::string s;
    for (const LaidBlock& b : d.blocks) {
        s += (s.empty() ? "" : ", ") + b.title;
    }
    return s;
}

} // namespace vintrace::protocol
