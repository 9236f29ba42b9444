#pragma once

#include "protocol/Devices.h"
#include "protocol/UsbIds.h"

#include <string>
#include <vector>

namespace vintrace::protocol {

/// The devices as one JSON object, `{"devices": [...]}` with a device a line: address, first
/// (packet of the first transfer), device (descriptor fields), names, strings, languages,
/// configurations with their interfaces and endpoints, problems; fields the capture does not
/// hold are absent. `vintrace-cli devices --json` prints it and the Devices window saves it.
/// `ids` may be null (no names).
std::string DevicesJson(const std::vector<DeviceInfo>& devices, const UsbIds* ids);

/// The same text in pieces, for a writer that holds one device's at a time: the opening, each
/// device (`first` for the first one), the closing.
std::string DevicesJsonOpening();
void AppendDeviceJson(const DeviceInfo& device, bool first, const UsbIds* ids, std::string& out);
std::string DevicesJsonClosing();

} // namespace vintrace::protocol
