#pragma once

#include "protocol/Devices.h"
#include "protocol/FieldTree.h"
#include "protocol/UsbIds.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vintrace::protocol {

/// One row of the devices tree: what it says, the store index of the first record of the
/// transfer that delivered it, the rows under it, and what a descriptor's row holds.
struct DeviceTreeRow {
    DeviceTreeRow() = default;
    DeviceTreeRow(std::string text, std::size_t record, std::vector<DeviceTreeRow> children = {})
        : text(std::move(text)), record(record), children(std::move(children)) {}

    std::string text;
    std::size_t record = 0;
    std::vector<DeviceTreeRow> children;
    /// The device's address, on its row and every row under it.
    std::optional<std::uint8_t> address;
    /// An endpoint descriptor's row and the rows under it: its bEndpointAddress.
    std::optional<std::uint8_t> endpoint;
    /// A descriptor's bytes as delivered and its fields, for a detail pane: on a descriptor's
    /// title row, a string's or the languages' row, a report descriptor's row, and a device's
    /// row (its device descriptor). Rows within one (its fields) have none of their own.
    std::optional<FieldTree> detail = std::nullopt;
    /// A row within one that has a detail (a descriptor's field, a report descriptor's item):
    /// the place of its field in that detail's fields, depth first from 0. Rows with the same
    /// text (an item repeated) have their own places.
    std::optional<std::size_t> field;

    friend bool operator==(const DeviceTreeRow&, const DeviceTreeRow&) = default;
};

/// The devices as a tree, in the manner of lsusb -v: each device (address, IDs with their
/// names) over its descriptors field by field (class-specific ones under what they follow),
/// the configuration and alternates set, languages, strings, report descriptors item by item,
/// then what was wrong with what it delivered. Only what the capture holds is shown. The
/// Devices window shows these rows and `vintrace-cli devices` prints them (DeviceTreeText), so
/// the two cannot differ. `ids` may be null (numbers only).
std::vector<DeviceTreeRow> BuildDeviceTree(const std::vector<DeviceInfo>& devices,
                                           const UsbIds* ids);

/// One device's row of BuildDeviceTree, with everything under it (a reader that prints the
/// devices one at a time holds no tree of all of them). Without `details` the rows hold no
/// detail and no field place, only what their text needs: a listing builds no field trees.
DeviceTreeRow BuildDeviceRow(const DeviceInfo& device, const UsbIds* ids, bool details = true);

/// `rows` as text: one line per row, two spaces of indent per level, a blank line after each
/// top-level row.
std::string DeviceTreeText(const std::vector<DeviceTreeRow>& rows);

/// One row and everything under it, as DeviceTreeText prints it at `depth`.
void AppendDeviceTreeText(const DeviceTreeRow& row, int depth, std::string& out);

} // namespace vintrace::protocol
