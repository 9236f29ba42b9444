#include "app/CommandLine.h"

#include "Version.h"

#include <cstring>

namespace vintrace::app {

std::string HelpText() {
    return "Usage: vintrace [OPTIONS] [FILE]\n"
           "Vintrace: record, decode and browse the traffic of a low- or full-speed USB bus.\n"
           "\n"
           "FILE is the capture to open (instead of usbdata.dat in the working directory); a\n"
           ".pcap or .pcapng file is imported as File > Import pcap does.\n"
           "\n"
           "Options:\n"
           "  -h,--help                   Print this help message and exit\n"
           "  --version                   Display program version information and exit\n"
           "\n"
           "Qt's own options (-platform, -style, ...) are also taken.\n";
}

std::optional<int> AnswerInfoOption(int argc, char** argv, std::FILE* out) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            break; // what follows is a file name, whatever it looks like
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(HelpText().c_str(), out);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::fprintf(out, "%s\n", VersionLine("vintrace").c_str());
            return 0;
        }
    }
    return std::nullopt;
}

StartupArguments ParseStartupArguments(const std::vector<std::string>& args) {
    StartupArguments result;
    bool filesOnly = false;
    for (const std::string& arg : args) {
        if (!filesOnly && arg == "--") {
            filesOnly = true;
            continue;
        }
        if (!filesOnly && arg.size() > 1 && arg[0] == '-') {
            result.error = "unknown option: " + arg;
            return result;
        }
        if (result.file) {
            result.error = "one capture file only: " + *result.file + " and " + arg;
            return result;
        }
        result.file = arg;
    }
    return result;
}

} // namespace vintrace::app
