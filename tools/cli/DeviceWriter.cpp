#include "DeviceWriter.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace vintrace::cli {

bool WriteText(std::FILE* out, const std::string& text, int& error) {
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), out) != text.size()) {
        error = errno;
        return false;
    }
    return true;
}

bool WriteFormatted(std::FILE* out, std::size_t count,
                    const std::function<void(std::size_t, std::string&)>& format, unsigned threads,
                    std::size_t batch, int& error) {
    error = 0;
    batch = std::max<std::size_t>(1, batch);
    const std::size_t batches = (count + batch - 1) / batch;
    const auto formatBatch = [&](std::size_t b, std::string& text) {
        text.clear();
        for (std::size_t i = b * batch; i < std::min(count, (b + 1) * batch); ++i) {
            format(i, text);
        }
    };
    if (threads == 0) {
        threads = std::max(1u, std::thread::hardware_concurrency());
    }
    std::string text;
    if (threads == 1 || batches < 2) {
        for (std::size_t b = 0; b < batches; ++b) {
            formatBatch(b, text);
            if (!WriteText(out, text, error)) {
                return false;
            }
        }
        return true;
    }
    // The worker formats the odd batches into two buffers in turn; the caller writes each
    // once it is ready and hands its buffer back.
    std::mutex mutex;
    std::condition_variable changed;
    std::array<std::string, 2> ahead;
    std::size_t formatted = 0; // odd batches the worker finished
    std::size_t written = 0;   // odd batches the caller wrote
    bool stop = false;
    std::thread worker([&] {
        for (std::size_t k = 0; 2 * k + 1 < batches; ++k) {
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return stop || written + 2 > k; });
                if (stop) {
                    return;
                }
            }
            formatBatch(2 * k + 1, ahead[k % 2]);
            const std::lock_guard lock(mutex);
            formatted = k + 1;
            changed.notify_all();
        }
    });
    bool ok = true;
    for (std::size_t b = 0; b < batches && ok; ++b) {
        if (b % 2 == 0) {
            formatBatch(b, text);
            ok = WriteText(out, text, error);
            continue;
        }
        const std::size_t k = b / 2;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return formatted > k; });
        }
        ok = WriteText(out, ahead[k % 2], error);
        const std::lock_guard lock(mutex);
        written = k + 1;
        changed.notify_all();
    }
    {
        // After a failed write the worker may wait for a buffer: let it go.
        const std::lock_guard lock(mutex);
        stop = true;
        changed.notify_all();
    }
    worker.join();
    return ok;
}

} // namespace vintrace::cli
