#include "DevicesCommand.h"

#include "AssumeOption.h"
#include "DeviceWriter.h"
#include "OutputFile.h"
#include "PhaseClock.h"
#include "capture/CaptureLoader.h"
#include "protocol/DeviceJson.h"
#include "protocol/DeviceTree.h"
#include "protocol/Devices.h"
#include "protocol/UsbIds.h"
#include "session/CaptureSession.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vintrace::cli {

namespace {

struct DevicesOptions {
    std::string file;
    std::string usbIds;
    bool json = false;
    std::vector<std::string> assume;
};

int Run(const DevicesOptions& o) {
    PhaseClock clock;
    std::optional<protocol::UsbIds> ids;
    if (!o.usbIds.empty()) {
        std::string reason;
        ids = protocol::UsbIds::Load(o.usbIds, &reason);
        if (!ids) {
            ReportFileError(o.usbIds, reason);
            return kExitFileError;
        }
    } else {
        ids = protocol::UsbIds::LoadSystem();
    }
    clock.lap("usb.ids");
    // The same devices as the Devices window shows: the session groups and models them.
    auto session = std::make_unique<session::CaptureSession>();
    if (!OpenAssuming(*session, o.file, o.assume)) {
        return kExitFileError;
    }
    clock.lap("load");
    // From the control transfers, grouping a window of the capture at a time: no transfer
    // list and no whole transaction index beside the capture.
    const protocol::DeviceModel& model = session->devices();
    clock.lap("devices");
    ReportUnusedAssumptions(o.file, model, session->assumptions());
    const protocol::UsbIds* names = ids ? &*ids : nullptr;
    // Written a batch of devices at a time: a capture of thousands of re-enumerations would
    // otherwise hold the tree (or text) of every device at once beside the capture. Their
    // trees are formatted on two threads.
    constexpr std::size_t kBatch = 64;
    const std::vector<protocol::DeviceInfo>& devices = model.devices();
    int error = 0;
    if (o.json && !WriteText(stdout, protocol::DevicesJsonOpening(), error)) {
        return ReportStdoutFailure(error);
    }
    const auto format = [&](std::size_t d, std::string& out) {
        if (o.json) {
            protocol::AppendDeviceJson(devices[d], d == 0, names, out);
        } else {
            protocol::AppendDeviceTreeText(protocol::BuildDeviceRow(devices[d], names, false), 0,
                                           out);
            out += '\n';
        }
    };
    if (!WriteFormatted(stdout, devices.size(), format, 0, kBatch, error) ||
        (o.json && !WriteText(stdout, protocol::DevicesJsonClosing(), error))) {
        return ReportStdoutFailure(error);
    }
    errno = 0;
    if (std::fflush(stdout) != 0) {
        return ReportStdoutFailure(errno);
    }
    clock.lap("write");
    session.reset();
    clock.lap("free");
    return 0;
}

} // namespace

void AddDevicesCommand(CLI::App& app, int& exitCode) {
    auto options = std::make_shared<DevicesOptions>();
    CLI::App* cmd = app.add_subcommand(
        "devices",
        "List every device the capture shows, followed through SET_ADDRESS, with the "
        "descriptors and strings it delivered, in the manner of lsusb -v. Vendor and product "
        "names come from the system's usb.ids (package hwdata) when it is installed.");
    cmd->add_option("FILE", options->file, "Capture file")->required();
    cmd->add_flag("--json", options->json,
                  "One JSON object {\"devices\": [...]}: address, first (packet of the first "
                  "transfer), device (descriptor fields), strings, vendor_name, product_name, "
                  "configurations with interfaces and endpoints; fields the capture does not "
                  "hold are absent");
    cmd->add_option("--usb-ids", options->usbIds,
                    "Read names from this usb.ids file instead of the system's");
    AddAssumeOption(*cmd, options->assume);
    cmd->callback([options, &exitCode] { exitCode = Run(*options); });
}

} // namespace vintrace::cli
