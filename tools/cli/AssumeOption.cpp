#include "AssumeOption.h"

#include "OutputFile.h"

#include <cstdio>

namespace vintrace::cli {

void AddAssumeOption(CLI::App& cmd, std::vector<std::string>& texts) {
    const CLI::Validator assumption(
        [](std::string& text) -> std::string {
            const protocol::AssumptionParse parsed = protocol::ParseAssumption(text);
            return parsed.assumed ? std::string() : parsed.error;
        },
        "ADDRESS.ENDPOINT=KIND");
    cmd.add_option("--assume", texts,
                   "Decode an endpoint as KIND where the capture does not say what it is (it "
                   "began after enumeration): ADDRESS.ENDPOINT=KIND, KIND one of " +
                       protocol::AssumedKindList() +
                       ". A plain endpoint number means both directions, 0x81 IN only. The "
                       "capture's own descriptors win unless KIND ends in '!'. Repeatable")
        ->check(assumption)
        // One text per --assume, so that the capture file after it is not taken for another.
        ->allow_extra_args(false);
}

protocol::EndpointAssumptions ReadAssumptions(const std::vector<std::string>& texts) {
    std::string error;
    // The option's check has refused any text that is no assumption.
    auto read = protocol::EndpointAssumptions::Parse(texts, error);
    return read ? std::move(*read) : protocol::EndpointAssumptions{};
}

void ReportUnusedAssumptions(const std::string& file, const protocol::DeviceModel& devices,
                             const protocol::EndpointAssumptions& assumptions) {
    for (const auto& [key, assumed] : assumptions.all()) {
        bool held = false;
        bool used = false;
        for (const protocol::DeviceInfo& d : devices.devices()) {
            if (d.address != key.first && d.firstAddress != key.first) {
                continue;
            }
            const protocol::AssumedEndpoint* a = d.assumedEndpoint(key.second);
            if (a != nullptr) {
                held = true;
                used = used || a->used();
            }
        }
        const std::string text = protocol::AssumptionText(key.first, key.second, assumed);
        if (!held) {
            std::fprintf(stderr, "vintrace-cli: %s: %s: no device at address %u\n", file.c_str(),
                         text.c_str(), static_cast<unsigned>(key.first));
        } else if (!used) {
            std::fprintf(stderr,
                         "vintrace-cli: %s: %s not used: the capture's own descriptors describe "
                         "that endpoint (end the kind in '!' to insist)\n",
                         file.c_str(), text.c_str());
        }
    }
}

bool OpenAssuming(session::CaptureSession& session, const std::string& file,
                  const std::vector<std::string>& texts) {
    const capture::LoadResult loaded = session.open(file);
    if (!loaded.ok()) {
        ReportFileError(file, loaded.reason);
        return false;
    }
    session.assume(ReadAssumptions(texts));
    return true;
}

} // namespace vintrace::cli
