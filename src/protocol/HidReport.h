#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace vintrace::protocol {

class UsbIds;

/// Item types of a report descriptor (bType).
enum class HidItemType : std::uint8_t { Main = 0, Global = 1, Local = 2, Reserved = 3, Long = 4 };

/// One item of a report descriptor.
struct HidItem {
    std::size_t offset = 0; // of the prefix byte
    HidItemType type = HidItemType::Main;
    std::uint8_t tag = 0;
    std::uint8_t size = 0;  // data bytes
    std::uint32_t data = 0; // little-endian, unsigned; long items keep 0

    /// The data as a signed number (sign taken from the item's top data bit).
    std::int32_t signedData() const;

    friend bool operator==(const HidItem&, const HidItem&) = default;
};

/// Which report a field belongs to.
enum class HidReportKind : std::uint8_t { Input, Output, Feature };

/// One value of a report as the descriptor lays it out.
struct HidField {
    HidReportKind kind = HidReportKind::Input;
    std::uint8_t reportId = 0;   // 0 when the descriptor uses no report IDs
    std::uint32_t bitOffset = 0; // after the report ID byte
    std::uint32_t bitSize = 0;
    std::uint16_t usagePage = 0;
    /// Variable fields: their usage. Array fields: the first usage of the range they select.
    std::uint32_t usage = 0;
    std::uint32_t usageMaximum = 0; // arrays: last usage they may select
    std::int32_t logicalMinimum = 0;
    std::int32_t logicalMaximum = 0;
    bool constant = false;
    bool variable = false;
    bool relative = false;
};

struct HidReportDescriptor {
    std::vector<HidItem> items;
    std::vector<HidField> fields;
    bool usesReportIds = false;
    /// Faults with their byte offset: an item's data past the end, unbalanced collections,
    /// a Pop without a Push, sizes too large to lay out.
    std::vector<std::pair<std::size_t, std::string>> problems;

    /// Bits of a report (the ID byte not counted); 0 when the descriptor defines none.
    std::uint32_t reportBits(HidReportKind kind, std::uint8_t reportId) const;
};

/// Splits a report descriptor into items and lays out its reports; never reads past `data`.
HidReportDescriptor ParseReportDescriptor(std::span<const std::uint8_t> data);

/// Items listed, levels indented, problems listed: the rest is counted ("K more items").
inline constexpr std::size_t kListedItems = 4096;
inline constexpr std::size_t kIndentedDepth = 32;
inline constexpr std::size_t kListedProblems = 64;

/// The items as an indented listing, one per line: "Usage Page (Generic Desktop)",
/// "  Collection (Application)", "    Logical Minimum (-127)", ...; items nested deeper than
/// kIndentedDepth start "[depth N] ". Then the problems ("! byte 4: ..."). At most
/// kListedItems items and kListedProblems problems, each followed by a count of the rest, so
/// the listing costs time and memory linear in the descriptor.
/// Usages and pages the decoder does not name itself are named from `ids` when given.
std::vector<std::string> ReportDescriptorListingLines(const HidReportDescriptor& d,
                                                      const UsbIds* ids = nullptr);
/// The same lines, each ended by '\n'.
std::string ReportDescriptorListing(const HidReportDescriptor& d);

/// One value a report carries, where its bits lie in the report (the ID byte counted).
struct HidValue {
    /// The usage: "X", "Button 1"; for an array field, the usage it selects.
    std::string name;
    /// "+3", "1"; empty for an array field's selection.
    std::string value;
    std::uint32_t bitOffset = 0;
    std::uint32_t bitSize = 0;
    bool selected = false;

    friend bool operator==(const HidValue&, const HidValue&) = default;
};

/// The values of one report in descriptor order (constant fields and empty array slots left
/// out; fields the report stops before too). Nothing when no report matches.
std::optional<std::vector<HidValue>> ReportValues(const HidReportDescriptor& d, HidReportKind kind,
                                                  std::span<const std::uint8_t> report);

/// One report's fields decoded by the descriptor: "Button 1: 1, Button 2: 0, X: +3, Y: -2".
/// With report IDs the first byte selects the report (the caller names it). Nothing when no
/// report matches.
std::optional<std::string> DecodeReport(const HidReportDescriptor& d, HidReportKind kind,
                                        std::span<const std::uint8_t> report);

/// DecodeReport for the many reports of one descriptor: what depends on the descriptor alone
/// (the names of its variable fields, each report's length) is worked out once.
class HidReportReader {
public:
    explicit HidReportReader(HidReportDescriptor descriptor);

    const HidReportDescriptor& descriptor() const { return d_; }
    /// descriptor().reportBits(kind, reportId), looked up.
    std::uint32_t reportBits(HidReportKind kind, std::uint8_t reportId) const {
        const std::uint16_t key = ReportKey(kind, reportId);
        const auto at = std::lower_bound(bits_.begin(), bits_.end(), std::pair(key, 0u));
        return at != bits_.end() && at->first == key ? at->second : 0;
    }
    /// The same text as DecodeReport(descriptor(), kind, report).
    std::optional<std::string> decode(HidReportKind kind,
                                      std::span<const std::uint8_t> report) const;

private:
    HidReportDescriptor d_;
    /// By field: a variable field's usage name (empty for others).
    std::vector<std::string> names_;
    static std::uint16_t ReportKey(HidReportKind kind, std::uint8_t reportId) {
        return static_cast<std::uint16_t>(static_cast<unsigned>(kind) << 8 | reportId);
    }
    /// Each report's length in bits, ordered by kind and report ID.
    std::vector<std::pair<std::uint16_t, std::uint32_t>> bits_;
};

/// Reports without a descriptor, in the boot protocol's fixed layouts.
std::optional<std::string> DecodeBootMouse(std::span<const std::uint8_t> report);
std::optional<std::string> DecodeBootKeyboard(std::span<const std::uint8_t> report);

/// "X", "Button 3", "Left Control", "a", "Usage 0x1234" ... Usages this decoder does not
/// name itself come from `ids`' HID usage tables when given.
std::string UsageName(std::uint16_t page, std::uint32_t usage, const UsbIds* ids = nullptr);
/// "Generic Desktop", "Button", ...; then `ids`' name for the page; "Page 0xNNNN" otherwise.
std::string UsagePageName(std::uint16_t page, const UsbIds* ids = nullptr);

} // namespace vintrace::protocol
