#pragma once

// Whether a directory is private enough to hold device sockets: anyone who can write to it
// could put a socket there that impersonates a device, or replace one.

#ifndef _WIN32

#include <optional>
#include <string>

namespace vintrace::platform {

/// What makes `path` unfit to hold device sockets, or nothing when it is fit: it must be a
/// directory itself (not a symbolic link to one), owned by the effective user, with no
/// permissions for group or others. A trailing "/" or "/." does not make a link pass, and a
/// path through ".." is refused. The text names the fault without the path, e.g.
/// "owned by uid 1000, not you" or "mode 0777, must be private".
std::optional<std::string> PrivateDirectoryProblem(const std::string& path);

} // namespace vintrace::platform

#endif
