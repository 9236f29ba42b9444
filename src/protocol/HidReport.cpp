#include "protocol/HidReport.h"

#include "capture/HexText.h"
#include "protocol/SafeText.h"
#include "protocol/UsbIds.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <map>
#include <utility>

namespace vintrace::protocol {

namespace {

// Main item tags.
constexpr std::uint8_t kInput = 8;
constexpr std::uint8_t kOutput = 9;
constexpr std::uint8_t kCollection = 10;
constexpr std::uint8_t kFeature = 11;
constexpr std::uint8_t kEndCollection = 12;
// Global item tags.
constexpr std::uint8_t kUsagePage = 0;
constexpr std::uint8_t kLogicalMinimum = 1;
constexpr std::uint8_t kLogicalMaximum = 2;
constexpr std::uint8_t kReportSize = 7;
constexpr std::uint8_t kReportId = 8;
constexpr std::uint8_t kReportCount = 9;
constexpr std::uint8_t kPush = 10;
constexpr std::uint8_t kPop = 11;
// Local item tags.
constexpr std::uint8_t kUsage = 0;
constexpr std::uint8_t kUsageMinimum = 1;
constexpr std::uint8_t kUsageMaximum = 2;

// Bounds on what a descriptor may make us lay out: enough for any real device, small enough
// that a hostile descriptor cannot make us allocate without end.
constexpr std::size_t kMaxFields = 4096;
constexpr std::uint32_t kMaxReportBits = 0xFFFF * 8;
constexpr std::size_t kMaxStack = 32;

struct Globals {
    std::uint16_t usagePage = 0;
    std::int32_t logicalMinimum = 0;
    std::int32_t logicalMaximum = 0;
    std::uint32_t logicalMaximumRaw = 0;
    std::uint8_t logicalMaximumSize = 0;
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint8_t reportId = 0;
};

struct Locals {
    std::vector<std::pair<std::uint16_t, std::uint32_t>> usages; // page, usage
    std::optional<std::uint32_t> minimum;
    std::optional<std::uint32_t> maximum;
    std::uint16_t rangePage = 0;
};

/// True when a main item names usages, or carries data, without a usage page to read them in.
bool Pageless(const HidItem& item, const Globals& globals, const Locals& locals) {
    const bool usages = !locals.usages.empty() || locals.minimum.has_value();
    const bool pageless = std::any_of(locals.usages.begin(), locals.usages.end(),
                                      [](const auto& u) { return u.first == 0; }) ||
                          (locals.minimum && locals.rangePage == 0);
    if (item.tag == kCollection) {
        return pageless;
    }
    if (item.tag != kInput && item.tag != kOutput && item.tag != kFeature) {
        return false;
    }
    const bool constant = (item.data & 1) != 0;
    return usages ? pageless : !constant && globals.usagePage == 0;
}

std::string MainItemName(std::uint8_t tag) {
    switch (tag) {
    case kInput:
        return "Input";
    case kOutput:
        return "Output";
    case kFeature:
        return "Feature";
    default:
        return "Collection";
    }
}

std::uint32_t ItemKey(HidReportKind kind, std::uint8_t id) {
    return static_cast<std::uint32_t>(kind) << 8 | id;
}

} // namespace

std::int32_t HidItem::signedData() const {
    switch (size) {
    case 1:
        return static_cast<std::int8_t>(data & 0xFF);
    case 2:
        return static_cast<std::int16_t>(data & 0xFFFF);
    case 4:
        return static_cast<std::int32_t>(data);
    default:
        return 0;
    }
}

std::uint32_t HidReportDescriptor::reportBits(HidReportKind kind, std::uint8_t reportId) const {
    std::uint32_t end = 0;
    for (const HidField& f : fields) {
        if (f.kind == kind && f.reportId == reportId) {
            end = std::max(end, f.bitOffset + f.bitSize);
        }
    }
    return end;
}

HidReportDescriptor ParseReportDescriptor(std::span<const std::uint8_t> data) {
    HidReportDescriptor out;
    std::size_t at = 0;
    Globals globals;
    std::vector<Globals> stack;
    Locals locals;
    std::map<std::uint32_t, std::uint32_t> offsets; // (kind, report ID) -> next bit
    int depth = 0;
    bool tooMany = false;
    bool pagelessReported = false;
    // Usages are read within a usage page; without one they mean nothing. Said once.
    auto notePageless = [&](const HidItem& item) {
        if (!pagelessReported && Pageless(item, globals, locals)) {
            out.problems.emplace_back(item.offset,
                                      MainItemName(item.tag) + " item without a Usage Page");
            pagelessReported = true;
        }
    };
    while (at < data.size()) {
        HidItem item;
        item.offset = at;
        const std::uint8_t prefix = data[at];
        if (prefix == 0xFE) { // long item: size, tag, data
            if (data.size() - at < 3) {
                out.problems.emplace_back(at, "long item header past the end");
                break;
            }
            const std::size_t size = data[at + 1];
            item.type = HidItemType::Long;
            item.tag = data[at + 2];
            item.size = static_cast<std::uint8_t>(size);
            if (data.size() - at - 3 < size) {
                out.problems.emplace_back(at, "long item data past the end");
                break;
            }
            out.items.push_back(item);
            at += 3 + size;
            continue;
        }
        static constexpr std::array<std::uint8_t, 4> kSizes = {0, 1, 2, 4};
        item.size = kSizes[prefix & 3];
        item.type = static_cast<HidItemType>(prefix >> 2 & 3);
        item.tag = static_cast<std::uint8_t>(prefix >> 4);
        if (data.size() - at - 1 < item.size) {
            out.problems.emplace_back(at, "item data past the end: " + std::to_string(item.size) +
                                              " bytes, " + std::to_string(data.size() - at - 1) +
                                              " left");
            break;
        }
        for (std::uint8_t i = 0; i < item.size; ++i) {
            item.data |= static_cast<std::uint32_t>(data[at + 1 + i]) << (8 * i);
        }
        at += 1 + item.size;
        out.items.push_back(item);

        switch (item.type) {
        case HidItemType::Global:
            switch (item.tag) {
            case kUsagePage:
                globals.usagePage = static_cast<std::uint16_t>(item.data & 0xFFFF);
                break;
            case kLogicalMinimum:
                globals.logicalMinimum = item.signedData();
                break;
            case kLogicalMaximum:
                globals.logicalMaximumRaw = item.data;
                globals.logicalMaximumSize = item.size;
                globals.logicalMaximum = item.signedData();
                break;
            case kReportSize:
                globals.reportSize = item.data;
                break;
            case kReportCount:
                globals.reportCount = item.data;
                break;
            case kReportId:
                globals.reportId = static_cast<std::uint8_t>(item.data & 0xFF);
                out.usesReportIds = true;
                if (item.data == 0 || item.data > 0xFF) {
                    out.problems.emplace_back(
                        item.offset, "Report ID " + std::to_string(item.data) + " is out of range");
                }
                break;
            case kPush:
                if (stack.size() < kMaxStack) {
                    stack.push_back(globals);
                } else {
                    out.problems.emplace_back(item.offset, "Push nested too deep");
                }
                break;
            case kPop:
                if (stack.empty()) {
                    out.problems.emplace_back(item.offset, "Pop without Push");
                } else {
                    globals = stack.back();
                    stack.pop_back();
                }
                break;
            default:
                break;
            }
            break;
        case HidItemType::Local: {
            // A four-byte usage carries its own page in the high half.
            const std::uint16_t page =
                item.size == 4 ? static_cast<std::uint16_t>(item.data >> 16) : globals.usagePage;
            const std::uint32_t usage = item.size == 4 ? item.data & 0xFFFF : item.data;
            if (item.tag == kUsage && locals.usages.size() < kMaxFields) {
                locals.usages.emplace_back(page, usage);
            } else if (item.tag == kUsageMinimum) {
                locals.minimum = usage;
                locals.rangePage = page;
            } else if (item.tag == kUsageMaximum) {
                locals.maximum = usage;
            }
            break;
        }
        case HidItemType::Main:
            if (item.tag == kCollection) {
                notePageless(item);
                ++depth;
            } else if (item.tag == kEndCollection) {
                if (depth == 0) {
                    out.problems.emplace_back(item.offset, "End Collection without Collection");
                } else {
                    --depth;
                }
            } else if (item.tag == kInput || item.tag == kOutput || item.tag == kFeature) {
                const HidReportKind kind = item.tag == kInput    ? HidReportKind::Input
                                           : item.tag == kOutput ? HidReportKind::Output
                                                                 : HidReportKind::Feature;
                std::uint32_t& offset = offsets[ItemKey(kind, globals.reportId)];
                const std::uint64_t bits = std::uint64_t{globals.reportSize} * globals.reportCount;
                if (offset + bits > kMaxReportBits ||
                    out.fields.size() + globals.reportCount > kMaxFields) {
                    if (!tooMany) {
                        out.problems.emplace_back(
                            item.offset, "Report Size " + std::to_string(globals.reportSize) +
                                             " x Report Count " +
                                             std::to_string(globals.reportCount) +
                                             " is too large to lay out");
                    }
                    tooMany = true;
                    locals = Locals{};
                    break;
                }
                notePageless(item);
                HidField f;
                f.kind = kind;
                f.reportId = globals.reportId;
                f.bitSize = globals.reportSize;
                f.usagePage = globals.usagePage;
                f.logicalMinimum = globals.logicalMinimum;
                // A maximum whose top bit is set is unsigned when the minimum is not negative.
                f.logicalMaximum = globals.logicalMinimum >= 0 && globals.logicalMaximumSize < 4
                                       ? static_cast<std::int32_t>(globals.logicalMaximumRaw)
                                       : globals.logicalMaximum;
                f.constant = (item.data & 1) != 0;
                f.variable = (item.data & 2) != 0;
                f.relative = (item.data & 4) != 0;
                for (std::uint32_t i = 0; i < globals.reportCount && f.bitSize != 0; ++i) {
                    f.bitOffset = offset;
                    offset += f.bitSize;
                    if (locals.minimum) {
                        f.usagePage = locals.rangePage;
                        const std::uint32_t maximum = locals.maximum.value_or(*locals.minimum);
                        f.usage =
                            f.variable ? std::min(*locals.minimum + i, maximum) : *locals.minimum;
                        f.usageMaximum = maximum;
                    } else if (!locals.usages.empty()) {
                        const auto& u =
                            f.variable
                                ? locals.usages[std::min<std::size_t>(i, locals.usages.size() - 1)]
                                : locals.usages.front();
                        f.usagePage = u.first;
                        f.usage = u.second;
                        f.usageMaximum = locals.usages.back().second;
                    }
                    out.fields.push_back(f);
                }
            }
            locals = Locals{}; // local items apply to the next main item only
            break;
        default:
            break;
        }
    }
    if (depth != 0) {
        out.problems.emplace_back(data.size(),
                                  std::to_string(depth) + " Collection(s) without End Collection");
    }
    return out;
}

namespace {

std::string MainFlags(const HidItem& item) {
    static constexpr std::array<std::pair<const char*, const char*>, 9> kBits = {{
        {"Data", "Constant"},
        {"Array", "Variable"},
        {"Absolute", "Relative"},
        {"No Wrap", "Wrap"},
        {"Linear", "Non Linear"},
        {"Preferred State", "No Preferred"},
        {"No Null Position", "Null State"},
        {"Non Volatile", "Volatile"},
        {"Bit Field", "Buffered Bytes"},
    }};
    std::string s;
    for (std::size_t bit = 0; bit < kBits.size(); ++bit) {
        const bool set = (item.data >> bit & 1) != 0;
        if (bit < 3 || set) {
            s += (s.empty() ? "" : ", ") + std::string(set ? kBits[bit].second : kBits[bit].first);
        }
    }
    return s;
}

std::string CollectionName(std::uint32_t v) {
    static constexpr std::array<const char*, 7> kNames = {
        "Physical",    "Application",  "Logical",       "Report",
        "Named Array", "Usage Switch", "Usage Modifier"};
    if (v < kNames.size()) {
        return kNames[v];
    }
    return v >= 0x80 ? "Vendor " + capture::HexText(v, 2) : capture::HexText(v, 2);
}

/// `minimum` is the Logical Minimum in force: a maximum above a non-negative minimum reads as
/// unsigned, as the layout reads it.
std::string ItemText(const HidItem& item, std::uint16_t page, std::int32_t minimum,
                     const UsbIds* ids) {
    const std::string value = std::to_string(item.data);
    const std::string signedValue = std::to_string(item.signedData());
    switch (item.type) {
    case HidItemType::Main:
        switch (item.tag) {
        case kInput:
            return "Input (" + MainFlags(item) + ")";
        case kOutput:
            return "Output (" + MainFlags(item) + ")";
        case kFeature:
            return "Feature (" + MainFlags(item) + ")";
        case kCollection:
            return "Collection (" + CollectionName(item.data) + ")";
        case kEndCollection:
            return "End Collection";
        default:
            break;
        }
        break;
    case HidItemType::Global: {
        static constexpr std::array<const char*, 12> kNames = {"Usage Page",
                                                               "Logical Minimum",
                                                               "Logical Maximum",
                                                               "Physical Minimum",
                                                               "Physical Maximum",
                                                               "Unit Exponent",
                                                               "Unit",
                                                               "Report Size",
                                                               "Report ID",
                                                               "Report Count",
                                                               "Push",
                                                               "Pop"};
        if (item.tag == kUsagePage) {
            return "Usage Page (" + UsagePageName(static_cast<std::uint16_t>(item.data), ids) + ")";
        }
        if (item.tag == kPush || item.tag == kPop) {
            return kNames[item.tag];
        }
        if (item.tag == 6) {
            return "Unit (" + capture::HexText(item.data, 2 * std::max<int>(item.size, 1)) + ")";
        }
        if (item.tag < kNames.size()) {
            const bool isSigned = item.tag >= 1 && item.tag <= 5 &&
                                  !(item.tag == kLogicalMaximum && minimum >= 0 && item.size < 4);
            return std::string(kNames[item.tag]) + " (" + (isSigned ? signedValue : value) + ")";
        }
        break;
    }
    case HidItemType::Local: {
        const std::uint16_t p = item.size == 4 ? static_cast<std::uint16_t>(item.data >> 16) : page;
        const std::uint32_t u = item.size == 4 ? item.data & 0xFFFF : item.data;
        switch (item.tag) {
        case kUsage:
            return "Usage (" + UsageName(p, u, ids) + ")";
        case kUsageMinimum:
            return "Usage Minimum (" + UsageName(p, u, ids) + ")";
        case kUsageMaximum:
            return "Usage Maximum (" + UsageName(p, u, ids) + ")";
        case 3:
            return "Designator Index (" + value + ")";
        case 7:
            return "String Index (" + value + ")";
        case 10:
            return "Delimiter (" + value + ")";
        default:
            break;
        }
        break;
    }
    case HidItemType::Long:
        return "Long Item (tag " + capture::HexText(item.tag, 2) + ", " +
               std::to_string(item.size) + " bytes)";
    case HidItemType::Reserved:
        break;
    }
    static constexpr std::array<const char*, 5> kTypes = {"Main", "Global", "Local", "Reserved",
                                                          "Long"};
    return std::string(kTypes[static_cast<std::size_t>(item.type)]) + " item " +
           capture::HexText(item.tag, 1) + " (" + value + ")";
}

/// `bits` bits from `bit` on, least significant first; nothing when they are not all there.
std::optional<std::uint32_t> Bits(std::span<const std::uint8_t> data, std::uint32_t bit,
                                  std::uint32_t bits) {
    if (bits == 0 || bits > 32 || std::uint64_t{bit} + bits > std::uint64_t{data.size()} * 8) {
        return std::nullopt;
    }
    std::uint32_t v = 0;
    for (std::uint32_t i = 0; i < bits; ++i) {
        const std::uint32_t b = bit + i;
        v |= static_cast<std::uint32_t>(data[b / 8] >> (b % 8) & 1) << i;
    }
    return v;
}

/// Field `f`'s value in a report body, sign-extended where its logical range is signed;
/// nothing when the body is too short for it.
std::optional<std::int64_t> FieldValue(std::span<const std::uint8_t> body, const HidField& f) {
    const auto raw = Bits(body, f.bitOffset, f.bitSize);
    if (!raw) {
        return std::nullopt;
    }
    std::int64_t v = *raw;
    if (f.logicalMinimum < 0 && f.bitSize < 32 && (*raw >> (f.bitSize - 1) & 1) != 0) {
        v -= std::int64_t{1} << f.bitSize;
    } else if (f.logicalMinimum < 0 && f.bitSize == 32) {
        v = static_cast<std::int32_t>(*raw);
    }
    return v;
}

/// The report ID and the body after it; nothing when the descriptor uses IDs and the report
/// is empty.
std::optional<std::pair<std::uint8_t, std::span<const std::uint8_t>>>
SplitReportId(const HidReportDescriptor& d, std::span<const std::uint8_t> report) {
    if (!d.usesReportIds) {
        return std::pair{std::uint8_t{0}, report};
    }
    if (report.empty()) {
        return std::nullopt;
    }
    return std::pair{report[0], report.subspan(1)};
}

/// Calls `variable(i, f, value)` for each variable field i of report `id` of `kind` that
/// `body` holds, and `array(i, f, usage)` for each array field that selects a usage; 0 (below
/// the logical range) selects nothing. Constant fields are padding and skipped.
template <typename Variable, typename Array>
void ForEachFieldValue(const HidReportDescriptor& d, HidReportKind kind, std::uint8_t id,
                       std::span<const std::uint8_t> body, Variable&& variable, Array&& array) {
    for (std::size_t i = 0; i < d.fields.size(); ++i) {
        const HidField& f = d.fields[i];
        if (f.kind != kind || f.reportId != id || f.constant) {
            continue;
        }
        const auto value = FieldValue(body, f);
        if (!value) {
            continue;
        }
        const std::int64_t v = *value;
        if (f.variable) {
            variable(i, f, v);
        } else if (v >= f.logicalMinimum && v <= f.logicalMaximum &&
                   !(v == 0 && f.logicalMinimum == 0)) {
            array(i, f, f.usage + static_cast<std::uint32_t>(v - f.logicalMinimum));
        }
    }
}

std::string Signed(std::int64_t v, bool relative) {
    std::string s = std::to_string(v);
    if (relative && v > 0) {
        s.insert(s.begin(), '+');
    }
    return s;
}

} // namespace

std::vector<std::string> ReportDescriptorListingLines(const HidReportDescriptor& d,
                                                      const UsbIds* ids) {
    std::vector<std::string> lines;
    std::uint16_t page = 0;
    std::int32_t minimum = 0;
    std::vector<std::uint16_t> pages;
    std::size_t depth = 0;
    const std::size_t listed = std::min(d.items.size(), kListedItems);
    lines.reserve(listed + 2 + std::min(d.problems.size(), kListedProblems));
    for (std::size_t i = 0; i < d.items.size(); ++i) {
        const HidItem& item = d.items[i];
        if (item.type == HidItemType::Main && item.tag == kEndCollection && depth > 0) {
            --depth;
        }
        if (i < listed) {
            // Indentation stops at kIndentedDepth levels, so a line costs no more than its item;
            // deeper lines say their depth instead.
            std::string line(std::min(depth, kIndentedDepth) * 2, ' ');
            if (depth > kIndentedDepth) {
                line += "[depth " + std::to_string(depth) + "] ";
            }
            line += ItemText(item, page, minimum, ids);
            lines.push_back(std::move(line));
        }
        if (item.type == HidItemType::Global && item.tag == kUsagePage) {
            page = static_cast<std::uint16_t>(item.data & 0xFFFF);
        } else if (item.type == HidItemType::Global && item.tag == kLogicalMinimum) {
            minimum = item.signedData();
        } else if (item.type == HidItemType::Global && item.tag == kPush) {
            pages.push_back(page);
        } else if (item.type == HidItemType::Global && item.tag == kPop && !pages.empty()) {
            page = pages.back();
            pages.pop_back();
        } else if (item.type == HidItemType::Main && item.tag == kCollection) {
            ++depth;
        }
    }
    if (d.items.size() > listed) {
        lines.push_back(std::to_string(d.items.size() - listed) + " more items");
    }
    const std::size_t faults = std::min(d.problems.size(), kListedProblems);
    for (std::size_t i = 0; i < faults; ++i) {
        lines.push_back("! byte " + std::to_string(d.problems[i].first) + ": " +
                        d.problems[i].second);
    }
    if (d.problems.size() > faults) {
        lines.push_back("! " + std::to_string(d.problems.size() - faults) + " more problems");
    }
    return lines;
}

std::string ReportDescriptorListing(const HidReportDescriptor& d) {
    std::string out;
    for (const std::string& line : ReportDescriptorListingLines(d)) {
        out += line;
        out += '\n';
    }
    return out;
}

std::optional<std::vector<HidValue>> ReportValues(const HidReportDescriptor& d, HidReportKind kind,
                                                  std::span<const std::uint8_t> report) {
    const auto split = SplitReportId(d, report);
    if (!split || d.reportBits(kind, split->first) == 0) {
        return std::nullopt;
    }
    const auto [id, body] = *split;
    const std::uint32_t idBits = d.usesReportIds ? 8 : 0;
    std::vector<HidValue> values;
    ForEachFieldValue(
        d, kind, id, body,
        [&](std::size_t, const HidField& f, std::int64_t v) {
            values.push_back({UsageName(f.usagePage, f.usage), Signed(v, f.relative),
                              idBits + f.bitOffset, f.bitSize, false});
        },
        [&](std::size_t, const HidField& f, std::uint32_t usage) {
            // An array field names the usage it selects.
            values.push_back(
                {UsageName(f.usagePage, usage), {}, idBits + f.bitOffset, f.bitSize, true});
        });
    return values;
}

std::optional<std::string> DecodeReport(const HidReportDescriptor& d, HidReportKind kind,
                                        std::span<const std::uint8_t> report) {
    const auto values = ReportValues(d, kind, report);
    if (!values) {
        return std::nullopt;
    }
    std::string parts;
    std::string selected;
    for (const HidValue& v : *values) {
        if (v.selected) {
            selected += (selected.empty() ? "" : ", ") + v.name;
        } else {
            parts += (parts.empty() ? "" : ", ") + v.name + ": " + v.value;
        }
    }
    if (!selected.empty()) {
        parts += (parts.empty() ? "" : ", ") + std::string("Selected: ") + selected;
    }
    const std::uint8_t id = d.usesReportIds ? report[0] : 0;
    const std::size_t bodySize = report.size() - (d.usesReportIds ? 1 : 0);
    const std::uint32_t bits = d.reportBits(kind, id);
    if (std::uint64_t{bodySize} * 8 < bits) {
        parts += (parts.empty() ? "" : ", ") + std::string("short report: ") +
                 std::to_string(bodySize) + " of " + std::to_string((bits + 7) / 8) + " bytes";
    }
    return parts;
}

HidReportReader::HidReportReader(HidReportDescriptor descriptor) : d_(std::move(descriptor)) {
    names_.resize(d_.fields.size());
    for (std::size_t i = 0; i < d_.fields.size(); ++i) {
        const HidField& f = d_.fields[i];
        if (f.variable && !f.constant) {
            names_[i] = UsageName(f.usagePage, f.usage);
        }
        bits_.emplace_back(ReportKey(f.kind, f.reportId), f.bitOffset + f.bitSize);
    }
    // Sorted, the last entry of each report is its end.
    std::sort(bits_.begin(), bits_.end());
    std::size_t kept = 0;
    for (std::size_t i = 0; i < bits_.size(); ++i) {
        if (i + 1 == bits_.size() || bits_[i + 1].first != bits_[i].first) {
            bits_[kept++] = bits_[i];
        }
    }
    bits_.resize(kept);
}

std::optional<std::string> HidReportReader::decode(HidReportKind kind,
                                                   std::span<const std::uint8_t> report) const {
    // DecodeReport's text, appended in place rather than gathered as values first.
    const auto split = SplitReportId(d_, report);
    if (!split) {
        return std::nullopt;
    }
    const auto [id, body] = *split;
    const std::uint32_t bits = reportBits(kind, id);
    if (bits == 0) {
        return std::nullopt;
    }
    std::string parts;
    std::string selected;
    ForEachFieldValue(
        d_, kind, id, body,
        [&](std::size_t i, const HidField& f, std::int64_t v) {
            if (!parts.empty()) {
                parts += ", ";
            }
            parts += names_[i];
            parts += ": ";
            if (f.relative && v > 0) {
                parts += '+';
            }
            char digits[24];
            parts.append(digits, std::to_chars(digits, digits + sizeof digits, v).ptr);
        },
        [&](std::size_t, const HidField& f, std::uint32_t usage) {
            if (!selected.empty()) {
                selected += ", ";
            }
            selected += UsageName(f.usagePage, usage);
        });
    if (!selected.empty()) {
        parts += parts.empty() ? "Selected: " : ", Selected: ";
        parts += selected;
    }
    const std::size_t bodySize = body.size();
    if (std::uint64_t{bodySize} * 8 < bits) {
        parts += parts.empty() ? "short report: " : ", short report: ";
        parts += std::to_string(bodySize);
        parts += " of ";
        parts += std::to_string((bits + 7) / 8);
        parts += " bytes";
    }
    return parts;
}

std::optional<std::string> DecodeBootMouse(std::span<const std::uint8_t> report) {
    if (report.size() < 3) {
        return std::nullopt;
    }
    std::string s;
    for (int b = 0; b < 3; ++b) {
        s += "Button " + std::to_string(b + 1) + ": " + std::to_string(report[0] >> b & 1) + ", ";
    }
    s += "X: " + Signed(static_cast<std::int8_t>(report[1]), true) +
         ", Y: " + Signed(static_cast<std::int8_t>(report[2]), true);
    if (report.size() > 3) {
        s += ", Wheel: " + Signed(static_cast<std::int8_t>(report[3]), true);
    }
    return s;
}

std::optional<std::string> DecodeBootKeyboard(std::span<const std::uint8_t> report) {
    if (report.size() < 8) {
        return std::nullopt;
    }
    std::string keys;
    for (int b = 0; b < 8; ++b) {
        if ((report[0] >> b & 1) != 0) {
            keys += (keys.empty() ? "" : ", ") + UsageName(0x07, 0xE0u + b);
        }
    }
    for (std::size_t i = 2; i < 8; ++i) {
        if (report[i] != 0) {
            keys += (keys.empty() ? "" : ", ") + UsageName(0x07, report[i]);
        }
    }
    return "Keys: " + (keys.empty() ? std::string("none") : keys);
}

std::string UsagePageName(std::uint16_t page, const UsbIds* ids) {
    switch (page) {
    case 0x01:
        return "Generic Desktop";
    case 0x02:
        return "Simulation Controls";
    case 0x05:
        return "Game Controls";
    case 0x06:
        return "Generic Device Controls";
    case 0x07:
        return "Keyboard/Keypad";
    case 0x08:
        return "LED";
    case 0x09:
        return "Button";
    case 0x0C:
        return "Consumer";
    case 0x0D:
        return "Digitizers";
    default:
        break;
    }
    if (page >= 0xFF00) {
        return "Vendor " + capture::HexText(page, 4);
    }
    if (ids != nullptr) {
        if (const auto name = ids->usagePage(page)) {
            return EscapeText(*name);
        }
    }
    return "Page " + capture::HexText(page, 4);
}

namespace {
/// The names this decoder knows itself (short, as a listing wants them); nothing otherwise.
std::optional<std::string> BuiltInUsageName(std::uint16_t page, std::uint32_t usage) {
    if (page == 0x09) {
        return "Button " + std::to_string(usage);
    }
    if (page == 0x01) {
        static const std::map<std::uint32_t, const char*> kDesktop = {{0x01, "Pointer"},
                                                                      {0x02, "Mouse"},
                                                                      {0x04, "Joystick"},
                                                                      {0x05, "Game Pad"},
                                                                      {0x06, "Keyboard"},
                                                                      {0x07, "Keypad"},
                                                                      {0x30, "X"},
                                                                      {0x31, "Y"},
                                                                      {0x32, "Z"},
                                                                      {0x33, "Rx"},
                                                                      {0x34, "Ry"},
                                                                      {0x35, "Rz"},
                                                                      {0x36, "Slider"},
                                                                      {0x37, "Dial"},
                                                                      {0x38, "Wheel"},
                                                                      {0x39, "Hat Switch"},
                                                                      {0x80, "System Control"}};
        const auto found = kDesktop.find(usage);
        if (found != kDesktop.end()) {
            return found->second;
        }
    }
    if (page == 0x07) {
        if (usage >= 0x04 && usage <= 0x1D) {
            return std::string(1, static_cast<char>('a' + (usage - 0x04)));
        }
        if (usage >= 0x1E && usage <= 0x26) {
            return std::string(1, static_cast<char>('1' + (usage - 0x1E)));
        }
        // HID Usage Tables 1.12, 10 (Keyboard/Keypad page). Punctuation by name: a lone "," in a
        // list of keys would read as a separator.
        static const std::map<std::uint32_t, const char*> kKeys = {{0x01, "ErrorRollOver"},
                                                                   {0x02, "POSTFail"},
                                                                   {0x03, "ErrorUndefined"},
                                                                   {0x27, "0"},
                                                                   {0x28, "Enter"},
                                                                   {0x29, "Escape"},
                                                                   {0x2A, "Backspace"},
                                                                   {0x2B, "Tab"},
                                                                   {0x2C, "Space"},
                                                                   {0x2D, "Minus"},
                                                                   {0x2E, "Equals"},
                                                                   {0x2F, "Left Bracket"},
                                                                   {0x30, "Right Bracket"},
                                                                   {0x31, "Backslash"},
                                                                   {0x32, "Non-US #"},
                                                                   {0x33, "Semicolon"},
                                                                   {0x34, "Quote"},
                                                                   {0x35, "Grave Accent"},
                                                                   {0x36, "Comma"},
                                                                   {0x37, "Period"},
                                                                   {0x38, "Slash"},
                                                                   {0x39, "Caps Lock"},
                                                                   {0x46, "Print Screen"},
                                                                   {0x47, "Scroll Lock"},
                                                                   {0x48, "Pause"},
                                                                   {0x49, "Insert"},
                                                                   {0x4A, "Home"},
                                                                   {0x4B, "Page Up"},
                                                                   {0x4C, "Delete"},
                                                                   {0x4D, "End"},
                                                                   {0x4E, "Page Down"},
                                                                   {0x4F, "Right Arrow"},
                                                                   {0x50, "Left Arrow"},
                                                                   {0x51, "Down Arrow"},
                                                                   {0x52, "Up Arrow"},
                                                                   {0x53, "Num Lock"},
                                                                   {0x54, "Keypad /"},
                                                                   {0x55, "Keypad *"},
                                                                   {0x56, "Keypad -"},
                                                                   {0x57, "Keypad +"},
                                                                   {0x58, "Keypad Enter"},
                                                                   {0x62, "Keypad 0"},
                                                                   {0x63, "Keypad ."},
                                                                   {0x64, "Non-US Backslash"},
                                                                   {0x65, "Application"},
                                                                   {0x66, "Power"},
                                                                   {0x67, "Keypad ="},
                                                                   {0x74, "Execute"},
                                                                   {0x75, "Help"},
                                                                   {0x76, "Menu"},
                                                                   {0x77, "Select"},
                                                                   {0x78, "Stop"},
                                                                   {0x79, "Again"},
                                                                   {0x7A, "Undo"},
                                                                   {0x7B, "Cut"},
                                                                   {0x7C, "Copy"},
                                                                   {0x7D, "Paste"},
                                                                   {0x7E, "Find"},
                                                                   {0x7F, "Mute"},
                                                                   {0x80, "Volume Up"},
                                                                   {0x81, "Volume Down"},
                                                                   {0x82, "Locking Caps Lock"},
                                                                   {0x83, "Locking Num Lock"},
                                                                   {0x84, "Locking Scroll Lock"},
                                                                   {0x85, "Keypad Comma"},
                                                                   {0x86, "Keypad Equal Sign"},
                                                                   {0x99, "Alternate Erase"},
                                                                   {0x9A, "SysReq"},
                                                                   {0x9B, "Cancel"},
                                                                   {0x9C, "Clear"},
                                                                   {0x9D, "Prior"},
                                                                   {0x9E, "Return"},
                                                                   {0x9F, "Separator"},
                                                                   {0xA0, "Out"},
                                                                   {0xA1, "Oper"},
                                                                   {0xA2, "Clear/Again"},
                                                                   {0xA3, "CrSel/Props"},
                                                                   {0xA4, "ExSel"},
                                                                   {0xE0, "Left Control"},
                                                                   {0xE1, "Left Shift"},
                                                                   {0xE2, "Left Alt"},
                                                                   {0xE3, "Left GUI"},
                                                                   {0xE4, "Right Control"},
                                                                   {0xE5, "Right Shift"},
                                                                   {0xE6, "Right Alt"},
                                                                   {0xE7, "Right GUI"}};
        // The numbered runs: F1-F12, F13-F24, keypad 1-9, International1-9 and LANG1-9.
        struct Run {
            std::uint32_t first;
            std::uint32_t last;
            const char* prefix;
            std::uint32_t number;
        };
        static constexpr std::array<Run, 5> kRuns = {{{0x3A, 0x45, "F", 1},
                                                      {0x68, 0x73, "F", 13},
                                                      {0x59, 0x61, "Keypad ", 1},
                                                      {0x87, 0x8F, "International", 1},
                                                      {0x90, 0x98, "LANG", 1}}};
        for (const Run& run : kRuns) {
            if (usage >= run.first && usage <= run.last) {
                std::string name = run.prefix;
                name += std::to_string(run.number + (usage - run.first));
                return name;
            }
        }
        const auto found = kKeys.find(usage);
        if (found != kKeys.end()) {
            return found->second;
        }
        return std::nullopt;
    }
    if (page == 0x08) {
        static constexpr std::array<const char*, 6> kLeds = {
            "", "Num Lock", "Caps Lock", "Scroll Lock", "Compose", "Kana"};
        if (usage >= 1 && usage < kLeds.size()) {
            return kLeds[usage];
        }
    }
    if (page == 0x0C) {
        static const std::map<std::uint32_t, const char*> kConsumer = {{0x01, "Consumer Control"},
                                                                       {0xE2, "Mute"},
                                                                       {0xE9, "Volume Increment"},
                                                                       {0xEA, "Volume Decrement"},
                                                                       {0x238, "AC Pan"}};
        const auto found = kConsumer.find(usage);
        if (found != kConsumer.end()) {
            return found->second;
        }
    }
    return std::nullopt;
}
} // namespace

std::string UsageName(std::uint16_t page, std::uint32_t usage, const UsbIds* ids) {
    if (auto name = BuiltInUsageName(page, usage)) {
        return std::move(*name);
    }
    // The HID usage tables in usb.ids, where hwdata has them (HUT 1.12 and later pages).
    if (ids != nullptr && usage <= 0xFFFF) {
        if (const auto name = ids->usage(page, static_cast<std::uint16_t>(usage))) {
            return EscapeText(*name);
        }
    }
    return (page == 0x07 ? "Key " : "Usage ") + capture::HexText(usage, 2);
}

} // namespace vintrace::protocol
