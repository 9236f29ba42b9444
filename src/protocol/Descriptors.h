#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vintrace::protocol {

/// What a descriptor is. Class-specific interface descriptors (0x24) are CDC functional
/// descriptors only inside a communications interface and audio or MIDI ones only inside an
/// audio interface of that subclass; 0x21 is HID only inside a HID interface and DFU
/// functional only inside a DFU interface; class-specific endpoint descriptors (0x25) are
/// read only after an endpoint of an audio streaming or MIDI streaming interface. Elsewhere
/// they stay `Other`.
enum class DescriptorKind : std::uint8_t {
    Device,
    Configuration,
    String,
    Interface,
    Endpoint,
    DeviceQualifier,
    OtherSpeedConfiguration,
    InterfaceAssociation,
    Hid,
    CdcFunctional,
    DfuFunctional,
    AudioControl,   // 0x24 in an audio control interface (subclass 1)
    AudioStreaming, // 0x24 in an audio streaming interface (subclass 2)
    MidiStreaming,  // 0x24 in a MIDI streaming interface (subclass 3)
    AudioEndpoint,  // 0x25 after an audio streaming endpoint
    MidiEndpoint,   // 0x25 after a MIDI streaming endpoint
    Other
};

/// A fixed field of a descriptor: its USB name, byte offset and size (1 or 2 bytes,
/// little-endian).
struct DescriptorField {
    std::string_view name;
    std::uint8_t offset = 0;
    std::uint8_t size = 1;
};

/// One descriptor as delivered: at most bLength bytes, fewer when the transfer stopped short.
struct Descriptor {
    DescriptorKind kind = DescriptorKind::Other;
    std::vector<std::uint8_t> bytes;

    /// bDescriptorType, or 0 when the bytes stop before it.
    std::uint8_t type() const { return bytes.size() > 1 ? bytes[1] : 0; }
    /// The fixed fields this kind carries (for CDC functional ones, by bDescriptorSubtype).
    std::span<const DescriptorField> fields() const;
    /// Where the fixed fields end: the bytes after it are the kind's own (class-specific
    /// fields, a HID descriptor's further pairs).
    std::size_t fixedSize() const;
    /// The value of a field by USB name; nothing when the bytes stop before it or the kind
    /// has no such field.
    std::optional<std::uint16_t> field(std::string_view name) const;

    friend bool operator==(const Descriptor&, const Descriptor&) = default;
};

/// Something wrong with descriptor bytes, at a byte offset into them.
struct DescriptorProblem {
    std::size_t offset = 0;
    std::string what;

    friend bool operator==(const DescriptorProblem&, const DescriptorProblem&) = default;
};

struct InterfaceDescription {
    Descriptor descriptor;
    /// Class-specific and other descriptors between the interface and its first endpoint, in
    /// order (HID, CDC functional, DFU functional, vendor, ...).
    std::vector<Descriptor> extra;
    std::vector<Descriptor> endpoints;
    /// The descriptors that follow each endpoint until the next endpoint or interface, by the
    /// endpoint's position (an audio or MIDI streaming endpoint's class-specific 0x25).
    std::vector<std::vector<Descriptor>> endpointExtra;

    /// What followed endpoint `position`; empty when nothing did.
    const std::vector<Descriptor>& after(std::size_t position) const;

    friend bool operator==(const InterfaceDescription&, const InterfaceDescription&) = default;
};

/// Where one descriptor lay in the data it was parsed from, and what it was taken for.
struct DescriptorPlace {
    std::size_t offset = 0;
    std::size_t length = 0;
    DescriptorKind kind = DescriptorKind::Other;

    friend bool operator==(const DescriptorPlace&, const DescriptorPlace&) = default;
};

/// A configuration (or other-speed configuration) with everything its transfer carried.
struct ConfigurationDescription {
    Descriptor descriptor;
    std::vector<Descriptor> associations;
    std::vector<InterfaceDescription> interfaces;
    /// Descriptors before the first interface other than associations.
    std::vector<Descriptor> extra;
    /// True when all of wTotalLength was delivered.
    bool complete = false;
    std::vector<DescriptorProblem> problems;
    /// Every descriptor taken, the configuration's own first, in delivery order: a view of
    /// the bytes reads each by the kind the parse gave it.
    std::vector<DescriptorPlace> places;

    friend bool operator==(const ConfigurationDescription&,
                           const ConfigurationDescription&) = default;
};

/// The bytes of a configuration that were delivered and parsed, all its descriptors together.
std::size_t DeliveredSize(const ConfigurationDescription& c);

/// A single descriptor (device, device qualifier, ...) with what is wrong with it.
struct ParsedDescriptor {
    Descriptor descriptor;
    std::vector<DescriptorProblem> problems;
};

/// The fixed-size descriptors: the bytes up to bLength (fewer when the data stops short).
/// `expected` is the kind the request asked for; a different bDescriptorType is a problem.
/// `requested` is the request's wLength: data cut by it is partial, not faulty.
ParsedDescriptor ParseDescriptor(std::span<const std::uint8_t> data, DescriptorKind expected,
                                 std::size_t requested);

/// A configuration or other-speed configuration with its interfaces, endpoints and the rest.
/// `requested` is the request's wLength: data shorter than both it and wTotalLength is
/// reported, data cut by a small wLength is only incomplete.
ConfigurationDescription ParseConfiguration(std::span<const std::uint8_t> data,
                                            std::size_t requested);

/// A string descriptor's text, UTF-16LE turned into UTF-8 (unpaired surrogates become U+FFFD).
struct ParsedString {
    std::string text;
    std::vector<DescriptorProblem> problems;
    /// Byte offset of the first surrogate without its partner (shown as U+FFFD), when there
    /// is one that the end of the delivered data does not explain.
    std::optional<std::size_t> unpairedSurrogate;
};
/// `requested` is the request's wLength: a string cut by it is partial, not faulty (USB 2.0
/// 9.3.5: the device returns the first wLength bytes).
ParsedString ParseString(std::span<const std::uint8_t> data,
                         std::size_t requested = static_cast<std::size_t>(-1));

/// String descriptor 0: the language IDs the device offers.
struct ParsedLanguages {
    std::vector<std::uint16_t> languages;
    std::vector<DescriptorProblem> problems;
};
ParsedLanguages ParseLanguages(std::span<const std::uint8_t> data,
                               std::size_t requested = static_cast<std::size_t>(-1));

/// The kind a GET_DESCRIPTOR's descriptor type (high byte of wValue) asks for.
DescriptorKind KindOfRequestedType(std::uint8_t type);
/// "device", "configuration", "string", "interface", "endpoint", "device qualifier",
/// "other-speed configuration", "interface association", "HID", "CDC functional",
/// "DFU functional", "audio control", "audio streaming", "MIDI streaming", "audio endpoint",
/// "MIDI endpoint", "other".
std::string_view KindName(DescriptorKind k);
/// Base class name ("Human Interface Device", "Communications", ...); empty when unknown.
std::string_view ClassName(std::uint8_t code);
/// "control", "isochronous", "bulk", "interrupt" from bmAttributes bits 1..0.
std::string_view EndpointTypeName(std::uint8_t bmAttributes);

/// Test-failure form: "endpoint 07058103080001".
std::string ToString(const Descriptor& d);
std::ostream& operator<<(std::ostream& os, const Descriptor& d);
std::ostream& operator<<(std::ostream& os, const DescriptorProblem& p);

} // namespace vintrace::protocol
