#pragma once

#include <cstddef>

namespace vintrace::platform {

/// The buffer a pipe is given by WidenOutputPipe: a megabyte, the most an unprivileged
/// process may ask for on a stock Linux system.
inline constexpr std::size_t kWidePipe = std::size_t{1} << 20;

/// The buffer size WidenOutputPipe asks for: kWidePipe, or the system's limit for an
/// unprivileged process if lower; 0 where pipes have no such setting (Windows).
std::size_t WidePipeSize();

/// Gives the pipe behind file descriptor `fd` a buffer of WidePipeSize() bytes when it has
/// less. A listing of hundreds of megabytes piped to another program otherwise crosses in
/// 64 KiB turns, each a wake-up of both processes: with the wider buffer the same bytes crossed
/// a pipe to `cat` in half the time. Returns the pipe's buffer size afterwards; 0 where `fd` is
/// no pipe (a file, a terminal) or the system has no such setting (Windows), which leaves it as
/// it was.
std::size_t WidenOutputPipe(int fd);

} // namespace vintrace::platform
