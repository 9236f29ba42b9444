#include "CheckCommand.h"

#include "AssumeOption.h"
#include "JsonText.h"
#include "OutputFile.h"

#include "protocol/Diagnostics.h"
#include "session/CaptureSession.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace vintrace::cli {

namespace {

using protocol::Finding;
using protocol::Rule;

struct CheckOptions {
    std::string file;
    std::string failOn = "warning";
    bool json = false;
    bool list = false;
    std::vector<std::string> assume;
};

std::string Number(const std::optional<std::uint8_t>& v) {
    return v ? std::to_string(*v) : "-";
}

std::string TextLine(const Finding& f) {
    return std::string(protocol::SeverityName(f.severity)) + "\t" + std::string(f.rule) + "\t" +
           std::to_string(f.first) + "\t" + std::to_string(f.last) + "\t" + Number(f.address) +
           "\t" + Number(f.endpoint) + "\t" + f.message + "\t" + std::string(f.reference) + "\n";
}

std::string JsonLine(const Finding& f) {
    std::string s = "{\"rule\":" + JsonQuote(f.rule) +
                    ",\"severity\":" + JsonQuote(protocol::SeverityName(f.severity)) +
                    ",\"first\":" + std::to_string(f.first) + ",\"last\":" + std::to_string(f.last);
    if (f.address) {
        s += ",\"address\":" + std::to_string(*f.address);
    }
    if (f.endpoint) {
        s += ",\"endpoint\":" + std::to_string(*f.endpoint);
    }
    return s + ",\"message\":" + JsonQuote(f.message) + ",\"reference\":" + JsonQuote(f.reference) +
           "}";
}

/// Writes `text` to standard output; false (reported) when it did not arrive.
bool Write(const std::string& text) {
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
        ReportStdoutFailure(errno);
        return false;
    }
    return true;
}

int List(bool json) {
    std::string out = json ? "{\"rules\":[\n" : "";
    const auto rules = protocol::Rules();
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const Rule& r = rules[i];
        if (json) {
            out += "{\"rule\":" + JsonQuote(r.id) +
                   ",\"severity\":" + JsonQuote(protocol::SeverityName(r.severity)) +
                   ",\"summary\":" + JsonQuote(r.summary) +
                   ",\"reference\":" + JsonQuote(r.reference) + "}" +
                   (i + 1 < rules.size() ? ",\n" : "\n");
        } else {
            out += std::string(r.id) + "\t" + std::string(protocol::SeverityName(r.severity)) +
                   "\t" + std::string(r.reference) + "\t" + std::string(r.summary) + "\n";
        }
    }
    if (json) {
        out += "]}\n";
    }
    return Write(out) ? 0 : kExitFileError;
}

int Run(const CheckOptions& o) {
    if (o.list) {
        return List(o.json);
    }
    if (o.file.empty()) {
        std::fprintf(stderr, "vintrace-cli: check: a capture file is required (or --list)\n");
        return kExitCheckUsage;
    }
    session::CaptureSession session;
    if (!OpenAssuming(session, o.file, o.assume)) {
        return kExitFileError;
    }
    const std::vector<Finding>& findings = session.findings();
    ReportUnusedAssumptions(o.file, session.devices(), session.assumptions());
    std::string out = o.json ? "{\"findings\":[" : "";
    for (std::size_t i = 0; i < findings.size(); ++i) {
        out += o.json ? (i == 0 ? "\n" : ",\n") + JsonLine(findings[i]) : TextLine(findings[i]);
        if (out.size() >= (1u << 16)) {
            if (!Write(out)) {
                return kExitFileError;
            }
            out.clear();
        }
    }
    if (o.json) {
        out += findings.empty() ? "]}\n" : "\n]}\n";
    }
    if (!Write(out)) {
        return kExitFileError;
    }
    const auto threshold = protocol::SeverityFromName(o.failOn);
    return threshold && protocol::AnyAtLeast(findings, *threshold) ? 1 : 0;
}

} // namespace

void AddCheckCommand(CLI::App& app, int& exitCode) {
    auto options = std::make_shared<CheckOptions>();
    CLI::App* cmd = app.add_subcommand(
        "check",
        "Check a capture against the rules of USB and its classes (packets, transactions, "
        "control transfers, descriptors, the bus, mass storage, CDC, HID) and print each "
        "finding on a line: severity (error: a protocol violation, warning: a likely fault, "
        "info), rule id, first and last packet index (as dump numbers them), address and "
        "endpoint ('-' where they do not apply), a message with the values involved and the "
        "section it rests on, TAB-separated, in order of the first packet. Exit status: 0 "
        "when nothing at or above --fail-on was found, 1 when something was, 2 when the "
        "command line is wrong or the capture cannot be read. docs/checks.md describes each "
        "rule.");
    cmd->add_option("FILE", options->file, "Capture file");
    cmd->add_flag("--json", options->json,
                  "Print one JSON object {\"findings\":[{rule, severity, first, last, address, "
                  "endpoint, message, reference}, ...]}; address and endpoint are left out "
                  "where they do not apply");
    cmd->add_option("--fail-on", options->failOn, "Lowest severity that makes the exit status 1")
        ->check(CLI::IsMember({"error", "warning", "info"}))
        ->capture_default_str();
    cmd->add_flag("--list", options->list,
                  "List the rules instead (id, severity, reference, what it finds); with --json "
                  "as {\"rules\":[...]}");
    AddAssumeOption(*cmd, options->assume);
    cmd->callback([options, &exitCode] { exitCode = Run(*options); });
}

} // namespace vintrace::cli
