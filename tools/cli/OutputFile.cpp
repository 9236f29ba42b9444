#include "OutputFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace vintrace::cli {

namespace {
constexpr const char* kExistsHint = "already exists (use --force to replace it)";
constexpr const char* kNotRegular = "not a regular file (--force replaces only regular files)";
} // namespace

void ReportFileError(const std::string& file, const std::string& what) {
    std::fprintf(stderr, "vintrace-cli: %s: %s\n", file.c_str(), what.c_str());
}

int ReportStdoutFailure(const std::string& reason) {
    static bool reported = false;
    if (!reported) {
        reported = true;
        ReportFileError(kStdoutName, reason);
    }
    return kExitFileError;
}

int ReportStdoutFailure(int err) {
    return ReportStdoutFailure(std::strerror(err != 0 ? err : EIO));
}

void UseBinaryStdout() {
#ifdef _WIN32
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
}

bool FlushStdout() {
    errno = 0;
    std::cout.flush();
    const bool streamOk = !std::cout.fail();
    const int streamErrno = errno;
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    const int flushErrno = errno;
    if (flushed && streamOk && !std::ferror(stdout)) {
        return true;
    }
    ReportStdoutFailure(flushErrno != 0 ? flushErrno : streamErrno);
    return false;
}

bool CheckOutput(const std::string& input, const std::string& output, bool force) {
    using Status = capture::StagedFile::TargetStatus;
    if (capture::StagedFile::IsSameFile(input, output)) {
        ReportFileError(output, "is the input file; choose another output");
        return false;
    }
    switch (capture::StagedFile::CheckTarget(output, force)) {
    case Status::Writable:
        return true;
    case Status::Exists:
        ReportFileError(output, kExistsHint);
        return false;
    case Status::NotRegular:
        ReportFileError(output, kNotRegular);
        return false;
    }
    return false;
}

void ReportStagedFailure(const capture::StagedFile& staged, const std::string& output) {
    if (staged.targetExisted()) {
        ReportFileError(output, kExistsHint);
    } else if (staged.targetNotRegular()) {
        ReportFileError(output, kNotRegular);
    } else {
        ReportFileError(output, staged.error());
    }
}

} // namespace vintrace::cli
