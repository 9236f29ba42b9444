#pragma once

#include "capture/SetupRequest.h"
#include "protocol/Descriptors.h"
#include "protocol/DeviceCapabilities.h"
#include "protocol/Devices.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vintrace::protocol {

/// Whether a descriptor kind is one of the audio or MIDI class-specific ones.
bool IsAudioKind(DescriptorKind kind);

/// The parts of an audio or MIDI class-specific descriptor that its fixed table cannot hold:
/// lists whose length another field gives (baInterfaceNr, baSourceID, bmaControls, sample
/// rates, jack sources and associations) and the fields after them. Offsets are into the
/// descriptor; only fields it holds whole, within bLength, are listed.
struct AudioLayout {
    std::vector<LaidField> fields;
    /// Where the listed fields end (at least the fixed fields' end): later bytes are raw.
    std::size_t end = 0;
    /// bLength too short for what the counts in the descriptor say it holds.
    std::vector<DescriptorProblem> problems;
};
AudioLayout LayAudioDescriptor(const Descriptor& d);

/// A fixed field of an audio or MIDI descriptor in words ("0x0301 Speaker", "1 embedded",
/// "2 (INPUT_TERMINAL)"); nothing when the field reads as a plain number.
std::optional<std::string> AudioFieldText(const Descriptor& d, std::string_view name,
                                          std::uint16_t value);

/// "Input Terminal Descriptor", "MIDI OUT Jack Descriptor", ...; empty for other kinds.
std::string AudioDescriptorTitle(const Descriptor& d);

/// One line on what the descriptor says: "Input Terminal 1: USB streaming, 2 channels",
/// "MIDI OUT Jack 3, external, from jack 1", "48000 Hz, 2 channels, 16 bits".
std::string AudioDescriptorSummary(const Descriptor& d);

/// The name of a terminal type (USB Audio Terminal Types 1.0): "USB streaming", "Speaker",
/// "Microphone"; empty when unknown.
std::string_view TerminalTypeName(std::uint16_t type);

/// The controls a feature unit's bmaControls sets (Audio 1.0 4.3.2.5): "Mute, Volume";
/// "none" when it sets none.
std::string FeatureControlsText(std::uint32_t bits);

/// An entity of an audio control interface by its ID: "Feature Unit 2", "Input Terminal 1";
/// "entity 5" when the device's descriptors do not hold it.
std::string AudioEntityName(const InterfaceDescription* control, std::uint8_t id);

/// An audio class request (Audio 1.0 5.2) to an interface's entity or to an endpoint:
/// "SET_CUR Volume ch 1, Feature Unit 2: -12.50 dB", "GET_CUR Sampling Frequency, endpoint
/// 0x81: 48000 Hz". `interface` is the interface addressed (or that owns the endpoint) and may
/// be null; `data` is the data stage.
std::string DescribeAudioRequest(const capture::SetupRequest& r, std::span<const std::uint8_t> data,
                                 const InterfaceDescription* interface);

/// The control an audio request reads or sets and its value, for a data stage: {"Volume",
/// "-12.50 dB"}; nothing when the request names no known control.
struct AudioControlValue {
    std::string control;
    std::string value;
};
std::optional<AudioControlValue> AudioRequestValue(const capture::SetupRequest& r,
                                                   std::span<const std::uint8_t> data,
                                                   const InterfaceDescription* interface);

/// A volume in 1/256 dB steps (Audio 1.0 5.2.2.4.3.2): "-12.50 dB"; 0x8000 is silence,
/// "-inf dB".
std::string VolumeText(std::int16_t value);

/// "C4" for note 60, "F#2", "C-1" for 0.
std::string NoteName(std::uint8_t note);

/// Common controller names: "Volume" for 7, "Sustain" for 64; empty for the rest.
std::string_view ControllerName(std::uint8_t controller);

/// One USB-MIDI event packet (MIDI 1.0 4): "Note On ch 1 C4 vel 100", "CC ch 1 7 Volume 100",
/// "SysEx start F0 7E 7F", with "cable 1: " before it when the cable is not 0. `packet` must
/// hold 4 bytes.
std::string DescribeMidiEvent(std::span<const std::uint8_t> packet);

/// Whether an event packet is all zero: padding some devices send to fill a packet.
bool IsMidiPadding(std::span<const std::uint8_t> packet);

/// The events of a MIDI streaming transfer, one line each (a bounded number, then a count of
/// the rest): the first as the headline with "(n events)" when there are more, padding and
/// bytes left over counted at the end. Nothing for no data.
std::optional<std::string> DescribeMidiPackets(std::span<const std::uint8_t> data);

/// The name of a code index number (MIDI 1.0 table 4-1): "Note-on", "SysEx starts or
/// continues", ...
std::string_view CodeIndexName(std::uint8_t cin);

} // namespace vintrace::protocol
