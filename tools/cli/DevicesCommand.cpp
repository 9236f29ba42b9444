#include "DevicesCommand.h"

#include "JsonText.h"
#include "OutputFile.h"
#include "capture/CaptureLoader.h"
#include "protocol/DeviceText.h"
#include "protocol/DeviceTree.h"
#include "protocol/Devices.h"
#include "protocol/HidReport.h"
#include "protocol/SafeText.h"
#include "protocol/UsbIds.h"
#include "session/CaptureSession.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace vintrace::cli {

namespace {

using protocol::ConfigurationDescription;
using protocol::Descriptor;
using protocol::DeviceInfo;
using protocol::InterfaceDescription;

struct DevicesOptions {
    std::string file;
    std::string usbIds;
    bool json = false;
};

/// Fields a JSON object leaves out: they say what the object is, not what it holds.
bool Framing(std::string_view name) {
    return name == "bLength" || name == "bDescriptorType";
}

std::string Format(const char* format, unsigned value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string JsonFields(const Descriptor& d) {
    std::string s;
    for (const protocol::DescriptorField& f : d.fields()) {
        if (Framing(f.name)) {
            continue;
        }
        if (const auto v = d.field(f.name)) {
            s += (s.empty() ? "" : ", ") + JsonQuote(f.name) + ": " + std::to_string(*v);
        }
    }
    return s;
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    for (std::uint8_t b : bytes) {
        s += Format("%02x", b);
    }
    return s;
}

/// Class-specific and other descriptors in delivery order: their type, kind, known fields and
/// every byte (so one no kind is known for is still all there).
std::string JsonDescriptors(const std::vector<Descriptor>& list) {
    std::string s;
    for (const Descriptor& d : list) {
        std::string fields = "\"type\": " + std::to_string(d.type()) +
                             ", \"kind\": " + JsonQuote(protocol::KindName(d.kind));
        if (d.kind != protocol::DescriptorKind::Other) {
            const std::string known = JsonFields(d);
            fields += known.empty() ? "" : ", " + known;
        }
        s += (s.empty() ? "{" : ", {") + fields + ", \"bytes\": \"" + HexBytes(d.bytes) + "\"}";
    }
    return "[" + s + "]";
}

/// `fields` then more members, as one object.
std::string JsonObject(const std::string& fields, const std::string& more) {
    if (fields.empty() || more.empty()) {
        return "{" + fields + more + "}";
    }
    return "{" + fields + ", " + more + "}";
}

/// The report descriptor's items with tshark's bType and bTag numbering.
std::string JsonReportItems(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    for (const protocol::HidItem& item : protocol::ParseReportDescriptor(bytes).items) {
        s += (s.empty() ? "" : ", ") + std::string("{\"type\": ") +
             std::to_string(
                 item.type == protocol::HidItemType::Long ? 3 : static_cast<int>(item.type)) +
             ", \"tag\": " +
             std::to_string(item.type == protocol::HidItemType::Long ? 15 : item.tag) +
             ", \"data\": " + std::to_string(item.data) + "}";
    }
    return "[" + s + "]";
}

std::string JsonConfiguration(const DeviceInfo& device, const ConfigurationDescription& c) {
    std::string interfaces;
    for (const InterfaceDescription& i : c.interfaces) {
        std::string endpoints;
        for (std::size_t e = 0; e < i.endpoints.size(); ++e) {
            const std::vector<Descriptor>& after = i.after(e);
            endpoints +=
                (endpoints.empty() ? "" : ", ") +
                JsonObject(JsonFields(i.endpoints[e]),
                           after.empty() ? "" : "\"descriptors\": " + JsonDescriptors(after));
        }
        std::string more = "\"endpoints\": [" + endpoints + "]";
        if (!i.extra.empty()) {
            more += ", \"descriptors\": " + JsonDescriptors(i.extra);
        }
        for (const Descriptor& d : i.extra) {
            if (d.kind == protocol::DescriptorKind::Hid) {
                more += ", \"hid\": " + JsonObject(JsonFields(d), "");
                const auto number = i.descriptor.field("bInterfaceNumber");
                const auto report =
                    number ? device.reportDescriptors.find(static_cast<std::uint8_t>(*number))
                           : device.reportDescriptors.end();
                if (report != device.reportDescriptors.end()) {
                    more += ", \"report_items\": " + JsonReportItems(report->second);
                }
            }
        }
        interfaces += (interfaces.empty() ? "" : ", ") + JsonObject(JsonFields(i.descriptor), more);
    }
    std::string more;
    if (!c.associations.empty()) {
        std::string associations;
        for (const Descriptor& a : c.associations) {
            associations += (associations.empty() ? "" : ", ") + JsonObject(JsonFields(a), "");
        }
        more += "\"associations\": [" + associations + "], ";
    }
    if (!c.extra.empty()) {
        more += "\"descriptors\": " + JsonDescriptors(c.extra) + ", ";
    }
    return JsonObject(JsonFields(c.descriptor), more + "\"interfaces\": [" + interfaces + "]");
}

std::string JsonDevice(const DeviceInfo& d, const protocol::UsbIds* ids) {
    std::string s = "{\"address\": " + std::to_string(d.address) +
                    ", \"first_address\": " + std::to_string(d.firstAddress) +
                    ", \"first\": " + std::to_string(d.first);
    if (d.device) {
        s += ", \"device\": " + JsonObject(JsonFields(*d.device), "");
        if (const auto name = protocol::VendorName(*d.device, ids)) {
            s += ", \"vendor_name\": " + JsonQuote(*name);
        }
        if (const auto name = protocol::ProductName(*d.device, ids)) {
            s += ", \"product_name\": " + JsonQuote(*name);
        }
    }
    if (d.qualifier) {
        s += ", \"device_qualifier\": " + JsonObject(JsonFields(*d.qualifier), "");
    }
    std::string strings;
    for (const auto& [index, text] : d.strings) {
        strings += (strings.empty() ? "" : ", ") + JsonQuote(std::to_string(index)) + ": " +
                   JsonQuote(text);
    }
    s += ", \"strings\": {" + strings + "}";
    if (!d.languages.empty()) {
        std::string languages;
        for (std::uint16_t l : d.languages) {
            languages += (languages.empty() ? "" : ", ") + std::to_string(l);
        }
        s += ", \"languages\": [" + languages + "]";
    }
    std::string configurations;
    for (const auto& [index, c] : d.configurations) {
        configurations += (configurations.empty() ? "" : ", ") + JsonConfiguration(d, c);
    }
    s += ", \"configurations\": [" + configurations + "]";
    if (!d.otherSpeed.empty()) {
        std::string other;
        for (const auto& [index, c] : d.otherSpeed) {
            other += (other.empty() ? "" : ", ") + JsonConfiguration(d, c);
        }
        s += ", \"other_speed_configurations\": [" + other + "]";
    }
    if (d.configuration) {
        s += ", \"configuration\": " + std::to_string(*d.configuration);
    }
    if (!d.problems.empty()) {
        std::string problems;
        for (const protocol::DeviceProblem& p : d.problems) {
            problems += (problems.empty() ? "" : ", ") + std::string("{\"first\": ") +
                        std::to_string(p.record) + ", \"what\": " + JsonQuote(p.what) + "}";
        }
        s += ", \"problems\": [" + problems + "]";
    }
    return s + "}";
}

int Run(const DevicesOptions& o) {
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
    // The same devices as the Devices window shows: the session groups and models them.
    session::CaptureSession session;
    const capture::LoadResult loaded = session.open(o.file);
    if (!loaded.ok()) {
        std::fprintf(stderr, "vintrace-cli: %s: %s\n", o.file.c_str(), loaded.reason.c_str());
        return kExitFileError;
    }
    // From the control transfers, grouping a window of the capture at a time: no transfer
    // list and no whole transaction index beside the capture.
    const protocol::DeviceModel& model = session.devices();
    const protocol::UsbIds* names = ids ? &*ids : nullptr;
    std::string out;
    if (o.json) {
        out = "{\"devices\": [";
        bool first = true;
        for (const DeviceInfo& d : model.devices()) {
            out += (first ? "\n" : ",\n") + JsonDevice(d, names);
            first = false;
        }
        out += "\n]}\n";
    } else {
        out = protocol::DeviceTreeText(protocol::BuildDeviceTree(model.devices(), names));
    }
    errno = 0;
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
        return ReportStdoutFailure(errno);
    }
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
    cmd->callback([options, &exitCode] { exitCode = Run(*options); });
}

} // namespace vintrace::cli
