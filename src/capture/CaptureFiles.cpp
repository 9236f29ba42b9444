#include "capture/CaptureFiles.h"

#include "platform/Win32Api.h"

namespace vintrace::capture {

using namespace vintrace::platform;

namespace {
std::string Describe(DWORD error) {
    switch (error) {
    case ERROR_ALREADY_EXISTS:
    case 80: // ERROR_FILE_EXISTS
        return "a file of that name already exists";
    case ERROR_FILE_NOT_FOUND:
        return "the capture file does not exist";
    case ERROR_PATH_NOT_FOUND:
        return "the folder does not exist";
    case ERROR_ACCESS_DENIED:
        return "access is denied";
    case 17: // ERROR_NOT_SAME_DEVICE
        return "the file cannot be moved to another drive";
    default:
        return "system error " + std::to_string(error);
    }
}
} // namespace

MoveFailure MoveCaptureFile(const std::string& from, const std::string& to) {
    Win32Api& api = Api();
    if (api.MoveFileA(from.c_str(), to.c_str())) {
        return {};
    }
    return {Describe(api.GetLastError())};
}

} // namespace vintrace::capture
