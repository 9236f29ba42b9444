#include "protocol/DeviceText.h"

#include "protocol/AudioClass.h"
#include "protocol/HidReport.h"
#include "protocol/SafeText.h"

#include <cstdio>

namespace vintrace::protocol {

namespace {

std::string Format(const char* format, unsigned value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace

std::string DescriptorFieldText(const DeviceInfo& device, std::string_view name, std::uint16_t v,
                                const UsbIds* ids) {
    if (name.starts_with("bcd")) {
        return Format("%2x.", v >> 8) + Format("%02x", v & 0xFF);
    }
    if (name == "idVendor" || name == "idProduct") {
        std::string s = Format("0x%04x", v);
        std::optional<std::string> known;
        if (ids && name == "idVendor") {
            known = ids->vendor(v);
        } else if (ids && device.device) {
            if (const auto vendor = device.device->field("idVendor")) {
                known = ids->product(*vendor, v);
            }
        }
        return known ? s + " " + EscapeText(*known) : s;
    }
    if (name == "bEndpointAddress") {
        return Format("0x%02x", v) + "  " + EndpointName(static_cast<std::uint8_t>(v));
    }
    if (name == "bmAttributes" || name == "wMaxPacketSize" || name == "wTotalLength") {
        return Format(name.starts_with('w') ? "0x%04x" : "0x%02x", v);
    }
    if (name == "wDetachTimeOut") {
        return std::to_string(v) + " ms";
    }
    if (name == "wTransferSize") {
        return std::to_string(v) + " bytes";
    }
    if (name == "bMaxPower") {
        return std::to_string(v * 2) + "mA";
    }
    if (name.size() > 1 && name[0] == 'i' && name[1] >= 'A' && name[1] <= 'Z') {
        const auto found = device.strings.find(static_cast<std::uint8_t>(v));
        std::string s = std::to_string(v);
        return v != 0 && found != device.strings.end() ? s + " " + EscapeText(found->second) : s;
    }
    if (name == "bDeviceClass" || name == "bInterfaceClass" || name == "bFunctionClass") {
        const std::string_view cls = ClassName(static_cast<std::uint8_t>(v));
        std::string s = std::to_string(v);
        if (!cls.empty()) {
            s += ' ';
            s += cls;
        }
        return s;
    }
    return std::to_string(v);
}

std::string DescriptorFieldText(const DeviceInfo& device, const Descriptor& d,
                                std::string_view name, std::uint16_t value, const UsbIds* ids) {
    if (auto text = AudioFieldText(d, name, value)) {
        return std::move(*text);
    }
    return DescriptorFieldText(device, name, value, ids);
}

std::string LaidFieldText(const DeviceInfo& device, const LaidField& f, const UsbIds* ids) {
    const bool index = f.name.size() > 1 && f.name[0] == 'i' && f.name[1] >= 'A' &&
                       f.name[1] <= 'Z' && f.number && *f.number <= 0xFF;
    return index ? DescriptorFieldText(device, f.name, static_cast<std::uint16_t>(*f.number), ids)
                 : f.text;
}

std::string DescriptorTitle(const Descriptor& d) {
    if (IsAudioKind(d.kind)) {
        return AudioDescriptorTitle(d);
    }
    switch (d.kind) {
    case DescriptorKind::Hid:
        return "HID Device Descriptor";
    case DescriptorKind::CdcFunctional:
        return "CDC Functional Descriptor";
    case DescriptorKind::DfuFunctional:
        return "DFU Functional Descriptor";
    default:
        return "Descriptor of type " + Format("0x%02x", d.type());
    }
}

std::string DescriptorHeading(const Descriptor& d) {
    switch (d.kind) {
    case DescriptorKind::Device:
        return "Device Descriptor";
    case DescriptorKind::Configuration:
        return "Configuration Descriptor";
    case DescriptorKind::OtherSpeedConfiguration:
        return "Other Speed Configuration Descriptor";
    case DescriptorKind::String:
        return "String Descriptor";
    case DescriptorKind::Interface:
        return "Interface Descriptor";
    case DescriptorKind::Endpoint:
        return "Endpoint Descriptor";
    case DescriptorKind::DeviceQualifier:
        return "Device Qualifier";
    case DescriptorKind::InterfaceAssociation:
        return "Interface Association";
    default:
        return DescriptorTitle(d);
    }
}

std::string DfuAttributesText(std::uint8_t bmAttributes) {
    static constexpr const char* kBits[] = {"can download", "can upload", "manifestation tolerant",
                                            "will detach"};
    std::string s;
    for (unsigned bit = 0; bit < 4; ++bit) {
        if ((bmAttributes >> bit & 1) != 0) {
            s += (s.empty() ? "" : ", ") + std::string(kBits[bit]);
        }
    }
    return s.empty() ? "none" : s;
}

std::string EndpointName(std::uint8_t address) {
    return "EP " + std::to_string(address & 0x0F) + ((address & 0x80) != 0 ? " IN" : " OUT");
}

std::optional<std::string> VendorName(const Descriptor& device, const UsbIds* ids) {
    const auto vendor = device.field("idVendor");
    if (ids == nullptr || !vendor) {
        return std::nullopt;
    }
    return ids->vendor(*vendor);
}

std::optional<std::string> ProductName(const Descriptor& device, const UsbIds* ids) {
    const auto vendor = device.field("idVendor");
    const auto product = device.field("idProduct");
    if (ids == nullptr || !vendor || !product) {
        return std::nullopt;
    }
    return ids->product(*vendor, *product);
}

std::vector<std::string> ReportDescriptorLines(std::span<const std::uint8_t> bytes,
                                               const UsbIds* ids) {
    return ReportDescriptorListingLines(ParseReportDescriptor(bytes), ids);
}

} // namespace vintrace::protocol
