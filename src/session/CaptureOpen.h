#pragma once

#include "capture/PcapFile.h"
#include "session/BackgroundLoad.h"
#include "session/CaptureSession.h"
#include "session/FileJob.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vintrace::session {

/// How the user came to ask for a capture.
enum class OpenKind {
    Opened,   // File > Open, Recent, a dropped file, the command line
    Imported, // a pcap converted into a capture file beside it
};

/// What became of a capture the user asked for, once its load has ended.
struct OpenOutcome {
    OpenKind kind = OpenKind::Opened;
    std::string file;
    /// Why it did not load; empty when it did.
    std::string failure;
    /// The session names `file` now. A background load that did not complete gives the
    /// capture on screen its name back.
    bool named = false;
    friend bool operator==(const OpenOutcome&, const OpenOutcome&) = default;
};

/// What one step of CaptureOpen asks of the window; unset fields leave it as it is.
struct OpenEffects {
    /// Load the named file at once: the window readies its lists and calls LoadNow().
    bool loadNow = false;
    /// A load runs in the background: call Poll() every few tens of milliseconds.
    bool poll = false;
    /// Nothing is left to poll for: no load runs and every stopped worker has ended.
    bool idle = false;
    /// Tell the user why the capture did not load, or remember it.
    std::optional<OpenOutcome> outcome;
    friend bool operator==(const OpenEffects&, const OpenEffects&) = default;
};

/// Opening, reloading and importing the session's capture. A file below the background size
/// loads at once; a larger one loads on a worker while the open capture stays on screen, and
/// only a load that completes replaces it. Whatever does not complete leaves the capture on
/// screen under the name it had. Like device::Acquisition it is Qt-free and each step returns
/// the effects the window applies; the session's listeners hear of the background load.
class CaptureOpen {
public:
    /// `session` must outlive the object.
    explicit CaptureOpen(CaptureSession& session) : session_(session) {}
    /// Stops every load (see Stop()).
    ~CaptureOpen();
    CaptureOpen(const CaptureOpen&) = delete;
    CaptureOpen& operator=(const CaptureOpen&) = delete;

    /// True while a capture loads in the background.
    bool loading() const { return load_ != nullptr; }
    /// Why the last load failed; empty when it completed.
    const std::string& lastFailure() const { return lastFailure_; }

    /// Names `file` as the capture for the reload that follows; should that reload not
    /// complete in the background, the name from before comes back.
    void Name(std::string file);
    /// Converts `pcap` into the capture file `dat`, or beside it under a free numbered name
    /// when `dat` holds another capture; one that already holds this import is opened as it
    /// is (capture::ImportPcapBeside). Never replaces a file. Names the result's `target` as
    /// Name() does; on failure nothing is named and the result says why.
    capture::PcapResult Import(const std::string& pcap, const std::string& dat);
    /// Starts Import() on a worker (a FileJob counting bytes of the pcap): the capture on
    /// screen stays, and nothing is named until FinishImport(). One already running is stopped.
    void StartImport(std::string pcap, std::string dat);
    /// The import started last, running or ended, until FinishImport() collects it.
    const FileJob* importing() const { return import_.get(); }
    /// Once the worker has ended: what Import() returns, the capture named as Import() names
    /// it. Nothing while it runs or when none was started.
    std::optional<capture::PcapResult> FinishImport();
    /// Stops the import on the worker; nothing of it is left and nothing is named.
    void CancelImport();
    /// The hub's reload: loads the named file again. A load running in the background is
    /// stopped and replaced. A regular file of at least `backgroundBytes` loads in the
    /// background, anything else at once (`loadNow`).
    OpenEffects Reload(std::uint64_t backgroundBytes);
    /// The load at once that Reload() asked for.
    void LoadNow();
    /// Says what became of `file` once the reload just asked for has ended: at once, or in the
    /// Poll() that ends its background load (nothing when that load is stopped).
    OpenEffects Report(OpenKind kind, std::string file);
    /// Tells the listeners how far the background load has come; once it has ended, its store
    /// replaces the open one if it completed, and the outcome asked for is reported.
    OpenEffects Poll();
    /// Stops the background load (Cancel, Escape); the open capture stays, under its name. The
    /// worker winds down on its own: keep polling until `idle`.
    void Cancel();
    /// Stops every load and import and waits for the workers, each for a bounded time (the
    /// window closes).
    void Stop();

private:
    void start(std::string previousName);
    void stop();
    OpenOutcome outcome(OpenKind kind, std::string file) const;

    CaptureSession& session_;
    /// The capture loading in the background, if any.
    std::unique_ptr<BackgroundLoad> load_;
    /// Stopped loads whose workers have not yet ended; dropped by Poll() once they have.
    std::vector<std::unique_ptr<BackgroundLoad>> stopping_;
    /// The name the session had before the running load named its file.
    std::string nameBeforeLoad_;
    /// Set by Name() for the reload that follows: the name to give back on a failed load.
    std::optional<std::string> nameBeforeReload_;
    /// What to report once the background load has ended.
    std::optional<std::pair<OpenKind, std::string>> pending_;
    std::string lastFailure_;
    std::unique_ptr<FileJob> import_;
};

} // namespace vintrace::session
