#include "Version.h"

#include "VintraceVersion.h"

namespace vintrace {

const char* ProjectVersion() {
    return VINTRACE_VERSION;
}

const char* GitCommit() {
    return VINTRACE_GIT_COMMIT;
}

std::string VersionLine(const std::string& program) {
    std::string line = program + " " + ProjectVersion();
    if (GitCommit()[0] != '\0') {
        line += std::string(" (git ") + GitCommit() + ")";
    }
    return line;
}

} // namespace vintrace
