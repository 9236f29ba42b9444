#pragma once

#include "protocol/Devices.h"
#include "protocol/UsbIds.h"

#include <cstddef>
#include <string>
#include <vector>

namespace vintrace::protocol {

/// One row of the devices tree: what it says, the store index of the first record of the
/// transfer that delivered it, and the rows under it.
struct DeviceTreeRow {
    std::string text;
    std::size_t record = 0;
    std::vector<DeviceTreeRow> children;

    friend bool operator==(const DeviceTreeRow&, const DeviceTreeRow&) = default;
};

/// The devices as a tree: each device (address, IDs with their names) over its strings, class,
/// configurations, interfaces (HID ones with their report descriptor's items) and endpoints,
/// then what was wrong with what it delivered. Only what the capture holds is shown.
/// `ids` may be null (numbers only).
std::vector<DeviceTreeRow> BuildDeviceTree(const std::vector<DeviceInfo>& devices,
                                           const UsbIds* ids);

} // namespace vintrace::protocol
