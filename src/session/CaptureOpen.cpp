#include "session/CaptureOpen.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

namespace vintrace::session {

CaptureOpen::~CaptureOpen() {
    Stop();
}

void CaptureOpen::Name(std::string file) {
    nameBeforeReload_ = session_.fileName();
    session_.nameFile(std::move(file));
}

capture::PcapResult CaptureOpen::Import(const std::string& pcap, const std::string& dat) {
    capture::PcapResult result = capture::ImportPcapBeside(pcap, dat);
    if (result.ok()) {
        Name(result.target);
    }
    return result;
}

void CaptureOpen::StartImport(std::string pcap, std::string dat) {
    CancelImport();
    std::error_code unknown;
    const std::uintmax_t size = std::filesystem::file_size(pcap, unknown);
    import_ = std::make_unique<FileJob>(
        [pcap = std::move(pcap), dat = std::move(dat)](capture::PcapProgress& progress) {
            return capture::ImportPcapBeside(pcap, dat, &progress);
        },
        FileJob::Unit::Bytes, unknown ? 0 : static_cast<std::uint64_t>(size));
}

std::optional<capture::PcapResult> CaptureOpen::FinishImport() {
    if (!import_ || !import_->finished()) {
        return std::nullopt;
    }
    capture::PcapResult result = import_->result();
    import_.reset(); // its worker has returned: the join is immediate
    if (result.ok()) {
        Name(result.target);
    }
    return result;
}

void CaptureOpen::CancelImport() {
    // The conversion looks at the request at every megabyte it writes.
    import_.reset();
}

OpenEffects CaptureOpen::Reload(std::uint64_t backgroundBytes) {
    std::string previousName = nameBeforeReload_.value_or(session_.fileName());
    nameBeforeReload_.reset();
    if (load_) {
        // A reload asked for while one runs (a finished download, the hide dialog's Show All)
        // replaces it; should it fail, the name from before both comes back.
        previousName = nameBeforeLoad_;
        std::string file = session_.fileName();
        stop();
        session_.nameFile(std::move(file));
    }
    if (LoadsInBackground(session_.fileName(), backgroundBytes)) {
        start(std::move(previousName));
        OpenEffects effects;
        effects.poll = true;
        return effects;
    }
    OpenEffects effects;
    effects.loadNow = true;
    return effects;
}

void CaptureOpen::LoadNow() {
    lastFailure_ = session_.reload().reason;
}

OpenEffects CaptureOpen::Report(OpenKind kind, std::string file) {
    if (load_) {
        pending_.emplace(kind, std::move(file));
        return {};
    }
    OpenEffects effects;
    effects.outcome = outcome(kind, std::move(file));
    return effects;
}

OpenEffects CaptureOpen::Poll() {
    std::erase_if(stopping_, [](const std::unique_ptr<BackgroundLoad>& stopped) {
        return stopped->finished();
    });
    OpenEffects effects;
    if (load_) {
        if (const std::uint64_t total = load_->bytesTotal(); total > 0) {
            const std::uint64_t done = std::min(load_->bytesDone(), total);
            session_.tellListeners([&](SessionListener& l) { l.loadProgress(done, total); });
        }
        if (load_->finished()) {
            const std::unique_ptr<BackgroundLoad> load = std::move(load_);
            const capture::LoadResult& result = load->result();
            session_.tellListeners([&](SessionListener& l) { l.loadFinished(result); });
            if (!load->commit(session_)) {
                // The capture on screen stays, under the name it had.
                session_.nameFile(nameBeforeLoad_);
            }
            lastFailure_ = result.reason;
            if (pending_) {
                auto [kind, file] = std::move(*pending_);
                pending_.reset();
                effects.outcome = outcome(kind, std::move(file));
            }
        }
    }
    effects.idle = !load_ && stopping_.empty();
    return effects;
}

void CaptureOpen::Cancel() {
    stop();
}

void CaptureOpen::Stop() {
    // Every worker is told to stop first, so the bounded waits that follow overlap.
    stop();
    if (import_) {
        import_->cancel();
    }
    stopping_.clear();
    CancelImport();
}

void CaptureOpen::start(std::string previousName) {
    nameBeforeLoad_ = std::move(previousName);
    pending_.reset();
    load_ = std::make_unique<BackgroundLoad>(session_.fileName());
    const std::string& file = load_->path();
    session_.tellListeners([&](SessionListener& l) { l.loadStarted(file); });
}

void CaptureOpen::stop() {
    if (!load_) {
        return;
    }
    load_->cancel();
    stopping_.push_back(std::move(load_));
    pending_.reset();
    session_.nameFile(nameBeforeLoad_);
    const capture::LoadResult cancelled{capture::LoadStatus::Cancelled, {}};
    session_.tellListeners([&](SessionListener& l) { l.loadFinished(cancelled); });
}

OpenOutcome CaptureOpen::outcome(OpenKind kind, std::string file) const {
    const bool named = session_.fileName() == file;
    return {kind, std::move(file), lastFailure_, named};
}

} // namespace vintrace::session
