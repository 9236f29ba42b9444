#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

namespace vintrace::cli {

/// Writes `count` entries (devices), formatted by `format(i, out)` appending entry i to `out`,
/// to `out` in order, `batch` entries at a time. `threads` 1 formats on the calling thread;
/// any other number (0: one per core) adds a worker that formats every other batch while the
/// caller formats and writes the others: a capture of thousands of re-enumerations has as many
/// device trees to format. `format` must be safe to call from two threads at once. False when
/// a write failed, with the errno it left in `error` (0 when the stream set none); what
/// followed the failure is not written.
bool WriteFormatted(std::FILE* out, std::size_t count,
                    const std::function<void(std::size_t, std::string&)>& format, unsigned threads,
                    std::size_t batch, int& error);

/// Writes `text` to `out`; false when that failed, with its errno in `error`.
bool WriteText(std::FILE* out, const std::string& text, int& error);

} // namespace vintrace::cli
