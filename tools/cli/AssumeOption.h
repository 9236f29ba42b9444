#pragma once

#include "protocol/Devices.h"
#include "protocol/EndpointAssumptions.h"
#include "session/CaptureSession.h"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace vintrace::cli {

/// Adds --assume ADDRESS.ENDPOINT=KIND (repeatable) to `cmd`, each text checked as it is read
/// so that a wrong one is a usage error naming the kinds.
void AddAssumeOption(CLI::App& cmd, std::vector<std::string>& texts);

/// The assumptions the texts name, later ones replacing earlier ones for an endpoint.
protocol::EndpointAssumptions ReadAssumptions(const std::vector<std::string>& texts);

/// Notes on standard error each assumption that decides nothing: no device held its address,
/// or the capture's own descriptors describe the endpoint and it does not insist.
void ReportUnusedAssumptions(const std::string& file, const protocol::DeviceModel& devices,
                             const protocol::EndpointAssumptions& assumptions);

/// Opens `file` in `session` and applies the assumptions the texts name; false, with the
/// reason on standard error, when the file cannot be read.
bool OpenAssuming(session::CaptureSession& session, const std::string& file,
                  const std::vector<std::string>& texts);

} // namespace vintrace::cli
