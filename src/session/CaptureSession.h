#pragma once

#include "capture/CaptureLoader.h"
#include "capture/EndpointTable.h"
#include "capture/HidePasses.h"
#include "capture/PacketList.h"
#include "capture/Progress.h"
#include "protocol/ClassDecoder.h"
#include "protocol/Devices.h"
#include "protocol/Diagnostics.h"
#include "protocol/EndpointAssumptions.h"
#include "protocol/Frames.h"
#include "protocol/Transactions.h"
#include "protocol/Transfers.h"
#include "session/BackgroundHide.h"
#include "session/Disposal.h"
#include "session/FileJob.h"
#include "session/IndexBuild.h"
#include "session/ViewSave.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vintrace::session {

/// Who put the cursor where it stands: a view that moved it does not follow itself, and the
/// packet list positions itself for what it and the search did.
enum class CursorFrom { PacketList, Search, Transfers, Devices, Problems };

/// Told what changed in a session, at once and on the thread that changed it. Each function
/// does nothing unless overridden.
class SessionListener {
public:
    virtual ~SessionListener() = default;
    /// The store is about to be changed or replaced: a worker that reads it must let go
    /// before this returns.
    virtual void storeChanging() {}
    /// The store was changed or replaced: what was read from it before is stale, and the
    /// cursor is gone.
    virtual void storeChanged() {}
    /// The cursor stands on `record` (or was shown again there).
    virtual void cursorMoved(std::size_t /*record*/, CursorFrom /*from*/) {}
    /// `file` began loading in the background; the open capture stays until it completes.
    virtual void loadStarted(const std::string& /*file*/) {}
    /// `done` of `total` bytes of the background load are decoded.
    virtual void loadProgress(std::uint64_t /*done*/, std::uint64_t /*total*/) {}
    /// The background load ended: `Loaded` (its store replaces the open one right after:
    /// storeChanged follows), a failure, or `Cancelled`.
    virtual void loadFinished(const capture::LoadResult& /*result*/) {}
};

/// The open capture: its file name, its records and endpoint table, the cursor, and what is
/// derived from the records. The windows, their companion windows and the command line all
/// read the capture through one session, and only its methods change it. Every change of the
/// store drops the derived indexes, which are built again on first use, and tells the
/// listeners.
class CaptureSession {
public:
    CaptureSession();
    CaptureSession(CaptureSession&&) = default;
    CaptureSession& operator=(CaptureSession&&) = default;

    /// The file the store was loaded from, or is loaded from next.
    const std::string& fileName() const { return fileName_; }
    /// The records, hidden ones removed.
    const capture::PacketList& packets() const { return packets_; }
    /// The addresses and endpoints the capture holds (hiding leaves it as loaded).
    const capture::EndpointTable& endpoints() const { return endpoints_; }

    /// Names `file` as the capture and loads it; see reload().
    capture::LoadResult open(std::string file);
    /// Empties the store and loads the named file into it again, so whatever was hidden comes
    /// back. A file that cannot be read leaves the store empty; the result says why.
    capture::LoadResult reload();
    /// Names the file the capture is kept in and loaded from next (it was moved, or the next
    /// download writes it); the store stays as it is.
    void nameFile(std::string file);
    /// Removes what `pass` hides from the store; returns how many records went. `progress`
    /// (may be null) receives the pass's steps.
    std::size_t hide(const capture::HidePass& pass, capture::Progress* progress = nullptr);
    /// Starts `pass` on a worker (BackgroundHide), stopping one already running. The store,
    /// its indexes and the windows stay as they are until finishHide(); any other change of
    /// the store stops the hide first.
    void startHide(const capture::HidePass& pass);
    /// The hide running on a worker, if any: its pass and progress.
    const BackgroundHide* backgroundHide() const { return hide_.get(); }
    /// Once the worker has finished: its records replace the store's, the listeners hear of it
    /// as of hide(), and the result is how many records went. Nothing while it runs; a
    /// cancelled hide is dropped and leaves the store as it was.
    std::optional<std::size_t> finishHide();
    /// Stops the hide running on a worker; the store stays as it was.
    void cancelHide();
    /// Starts writing the store as a pcap to `path` on a worker (a FileJob counting records),
    /// stopping one already running. Any change of the records stops it first, leaving the target
    /// as it was; finishExport() then says so. Decode As changes no record and lets it run.
    void startExport(std::string path, capture::UsbLinkType linkType);
    /// The export started last, running or ended, until finishExport() collects it.
    const FileJob* backgroundExport() const { return export_.job.get(); }
    /// Once the worker has ended: how the export went (PcapStatus::Stopped when the store
    /// changed under it), and the job is dropped. Nothing while it runs or when none was
    /// started.
    std::optional<capture::PcapResult> finishExport();
    /// Stops the export running on a worker and drops it; the target stays as it was.
    void cancelExport();
    /// Writes the items of transferList(fold) that `filter` passes to `path`, as `vintrace-cli
    /// transfers` (`json`: `--json`) prints them (SaveTransferView), building and decoding
    /// what is not at hand first.
    capture::PcapResult saveTransfers(const std::string& path, bool fold,
                                      const protocol::TransferFilter& filter, bool json);
    /// The same on a worker (a FileJob counting items), stopping one already running; what it
    /// reads must be at hand (transfersReady(fold)), or it is built here first. Any change of
    /// the store, Decode As included, stops it first and leaves the target as it was;
    /// finishSave() then says so.
    void startSaveTransfers(std::string path, bool fold, protocol::TransferFilter filter,
                            bool json);
    /// devices() saved as `vintrace-cli devices` (`json`: `--json`) prints them, with the
    /// names `ids` gives (SaveDeviceView), on a worker counting devices, stopped as a save of
    /// the transfers is. `ids` (may be null) must stay until it ends or is cancelled.
    void startSaveDevices(std::string path, const protocol::UsbIds* ids, bool json);
    /// The views saved on a worker: one of each at a time.
    enum class SavedView { Transfers, Devices };
    /// The save of `view` started last, running or ended, until finishSave() collects it.
    const FileJob* backgroundSave(SavedView view) const {
        return saves_[static_cast<std::size_t>(view)].job.get();
    }
    /// Once the worker has ended: how the save went, and the job is dropped. Nothing while it
    /// runs or when none was started.
    std::optional<capture::PcapResult> finishSave(SavedView view);
    /// Stops the save of `view` running on a worker and drops it; the target stays as it was.
    void cancelSave(SavedView view);
    /// Replaces the store by one loaded elsewhere, from `file`, which the session names.
    void replaceStore(capture::PacketList packets, capture::EndpointTable endpoints,
                      std::string file);
    /// Empties the store; the name stays.
    void clear();

    /// What the user said endpoints of the named file are (Decode As); empty unless set for
    /// it. Kept by file name for as long as the session lives: reopening the file keeps them.
    const protocol::EndpointAssumptions& assumptions() const;
    /// Sets what endpoints of the named file are. Unless nothing changes, the indexes are
    /// dropped and built again with them, and the listeners are told as for a change of the
    /// store (the records stay as they are).
    void assume(protocol::EndpointAssumptions assumptions);

    /// Registers `listener`, which must stay alive until it is removed.
    void addListener(SessionListener& listener);
    /// Unregisters `listener`; it is told nothing more, even from within a notification.
    void removeListener(SessionListener& listener);

    /// The record the cursor stands on; nothing before one is chosen and after every change
    /// of the store.
    std::optional<std::size_t> cursor() const { return cursor_; }
    /// Sets the cursor on `record` (a record past the end is ignored) and tells the listeners.
    /// Setting it ends a search's resumption after the last record, even on the same record.
    void moveCursor(std::size_t record, CursorFrom from);
    /// Tells the listeners again where the cursor stands (nothing without a cursor), for a
    /// view that opens or a list that was clicked without moving it.
    void announceCursor(CursorFrom from);
    /// Forgets the cursor without telling anyone: the packet list was rebuilt over the same
    /// store and selects nothing.
    void dropCursor();
    /// Where a search from the cursor begins: at the cursor, or past the last record while the
    /// cursor still stands on a match found there. Without a cursor the cursor goes to the
    /// first record first; the listeners learn of it when the search ends.
    std::size_t searchStart();
    /// Puts the cursor after a match, on the next record; a match on the last record keeps the
    /// cursor on it and the next search from the cursor resumes past it. Tells the listeners.
    void searchFound(std::size_t match);

    /// Every record in one transaction, in capture order; built on first use.
    const protocol::Transactions& transactions();
    /// The transfer list, runs of SOFs and NAKed polls folded into one item each or not, with
    /// bulk and interrupt grouped by the capture's own endpoint descriptors; built on first use.
    const std::vector<protocol::TransferItem>& transfers(bool fold = true);
    /// The same list in its compact form (16 bytes an item), which the views, the decoded
    /// texts and the item of each record go by; built on first use and kept apart from
    /// transfers().
    const protocol::TransferList& transferList(bool fold = true);
    /// The frame of each transaction, counted from the SOFs; built on first use.
    const protocol::FrameIndex& frames();
    /// The devices the capture's control transfers describe; built on first use, from the
    /// control traffic alone unless a transfer list has found them already.
    const protocol::DeviceModel& devices();
    /// What the capture does against USB's and its classes' rules, over the folded transfer
    /// list and the device model; built on first use.
    const std::vector<protocol::Finding>& findings();

    /// What ClassDecoder says item `item` of transferList(fold) carries; nothing when it adds
    /// nothing (or there is no such item). The decoder reads the items in capture order (a
    /// mass-storage data stage is read by the command before it), so the items up to this one
    /// are decoded on first use, once; later ones are left for later.
    std::optional<std::string> decoded(std::size_t item, bool fold = true);
    /// The same with how its headline goes with the item's summary (for TransferTitle).
    std::optional<protocol::Decoded> decodedItem(std::size_t item, bool fold = true);
    /// How many items of transferList(fold) have been decoded so far.
    std::size_t decodedCount(bool fold = true) const;
    /// The item of transferList(fold) that holds record `record`; nothing when none does (a
    /// record that fits no transaction of an item, or past the store's end).
    std::optional<std::size_t> itemOfRecord(std::size_t record, bool fold = true);
    /// The decoded meaning of the transfer that data packet (DATA0/DATA1) `record` belongs
    /// to; nothing for other records and for transfers the decoders say nothing about.
    std::optional<std::string> meaningOfDataPacket(std::size_t record);

    /// Starts grouping and decoding what transferList(fold), decoded() and itemOfRecord()
    /// read on a worker, unless they are at hand or that build runs already (a build for the
    /// other fold is stopped). The store does not change meanwhile: every change stops it.
    void prepareTransfers(bool fold = true);
    /// True when transferList(fold), its decoded texts and the item of each record are at
    /// hand: reading them builds nothing.
    bool transfersReady(bool fold = true) const;
    /// Starts finding what devices() reads on a worker, from the control traffic alone, unless
    /// it is at hand or a build runs already (the Transfers window's finds the devices too).
    /// The store does not change meanwhile: every change stops it.
    void prepareDevices();
    /// True when devices() is at hand: reading it builds nothing.
    bool devicesReady() const { return devices_.has_value(); }
    /// Stops the build prepareTransfers() or prepareDevices() started, if one runs; what it
    /// made so far is dropped.
    void stopPreparing() { stopBuild(); }
    /// How far the build that prepareTransfers() or prepareDevices() started has come (0 to
    /// 1); nothing when none runs.
    std::optional<double> preparing() const;
    /// Takes in what a finished build made; true when it did. The devices a running Transfers
    /// build has found are taken in as soon as they are found (devicesReady()). Call it from
    /// the thread that owns the session (a timer's poll).
    bool collectPrepared();

    /// Hands `garbage` to the disposal thread, started on first use: what the session or a
    /// listener of it lets go of may be gigabytes, or a worker still winding down, and the
    /// window must not wait for either.
    template <typename T> void dispose(T&& garbage) {
        if (!disposal_) {
            disposal_ = std::make_unique<Disposal>();
        }
        disposal_->free(std::forward<T>(garbage));
    }

    /// Waits until the indexes and records the session let go of are freed (for tests and
    /// benchmarks; nothing needs it otherwise).
    void waitForDisposal() {
        if (disposal_) {
            disposal_->wait();
        }
    }

    /// True while an index is held (for tests of the invalidation).
    bool hasIndexes() const {
        return transactions_.has_value() || frames_.has_value() || folded_ || unfolded_ ||
               foldedList_ || unfoldedList_ || devices_ || findings_ || foldedDecoded_ ||
               unfoldedDecoded_ || !foldedOwner_.empty() || !unfoldedOwner_.empty();
    }

private:
    /// The background loads tell the listeners of their progress through the session.
    friend class CaptureOpen;

    /// The worker of prepareTransfers(), stopped and joined before the store changes, the
    /// session moves or goes.
    class BuildSlot {
    public:
        BuildSlot() = default;
        BuildSlot(BuildSlot&& other) noexcept { other.build.reset(); }
        BuildSlot& operator=(BuildSlot&& other) noexcept {
            build.reset();
            other.build.reset();
            return *this;
        }
        std::unique_ptr<IndexBuild> build;
    };

    /// The worker of startExport() or startSaveTransfers(), stopped and joined before the
    /// session moves: it reads the store (and its indexes) by reference.
    class JobSlot {
    public:
        JobSlot() = default;
        JobSlot(JobSlot&& other) noexcept { other.job.reset(); }
        JobSlot& operator=(JobSlot&& other) noexcept {
            job.reset();
            other.job.reset();
            return *this;
        }
        std::unique_ptr<FileJob> job;
    };

    /// Stops the worker of prepareTransfers() or prepareDevices(), if one runs, and frees
    /// what it made on the disposal thread.
    void stopBuild();
    /// Starts the worker of prepareTransfers() or prepareDevices(), replacing any other.
    void startBuild(bool fold, BuildScope scope);
    /// The transfer list of the store, with the devices found once for both folds.
    protocol::TransferList assembleTransfers(bool fold);
    /// What a save of the fold's items reads, all of it built and decoded.
    TransferView transferView(bool fold);
    /// Ends a finished FileJob: its result, and the job freed aside.
    std::optional<capture::PcapResult> finishJob(JobSlot& slot);
    /// Stops a FileJob and frees it aside.
    void cancelJob(JobSlot& slot);
    /// Stops a save, which reads the indexes, then tells the listeners the store is about to
    /// change.
    void storeChanging();
    /// Stops what reads the records on a worker (an export), then as storeChanging(): the
    /// records are about to change, not only what is derived from them.
    void recordsChanging();
    /// Drops what was derived from the store and the cursor, and tells the listeners.
    void storeChanged();
    /// Calls `tell` for each listener registered when it is reached.
    template <typename Tell> void tellListeners(const Tell& tell);

    std::string fileName_;
    /// Decode As, by the file a name stands for.
    std::map<std::string, protocol::EndpointAssumptions> assumed_;
    capture::PacketList packets_;
    capture::EndpointTable endpoints_;

    std::vector<SessionListener*> listeners_;
    /// Notifications under way; removed listeners are only nulled meanwhile.
    int telling_ = 0;

    std::optional<std::size_t> cursor_;
    /// Set while the cursor stands on a match on the last record.
    bool resumePastEnd_ = false;

    std::optional<protocol::Transactions> transactions_;
    std::optional<protocol::FrameIndex> frames_;
    std::optional<std::vector<protocol::TransferItem>> folded_;
    std::optional<std::vector<protocol::TransferItem>> unfolded_;
    std::optional<protocol::TransferList> foldedList_;
    std::optional<protocol::TransferList> unfoldedList_;
    std::optional<protocol::DeviceModel> devices_;
    std::optional<std::vector<protocol::Finding>> findings_;
    std::optional<DecodedIndex> foldedDecoded_;
    std::optional<DecodedIndex> unfoldedDecoded_;
    /// The item holding each transaction (UINT32_MAX for none), built on first look-up.
    std::vector<std::uint32_t> foldedOwner_;
    std::vector<std::uint32_t> unfoldedOwner_;
    /// Frees dropped indexes and replaced stores; null until the first is dropped.
    std::unique_ptr<Disposal> disposal_;
    /// After packets_, so that it is destroyed (and its worker stopped) before the store.
    std::unique_ptr<BackgroundHide> hide_;
    /// After packets_ and the indexes, so that their workers are stopped before those go.
    JobSlot export_;
    std::array<JobSlot, 2> saves_;
    /// Last: destroyed first, while the store it reads is still there.
    BuildSlot build_;
};

template <typename Tell> void CaptureSession::tellListeners(const Tell& tell) {
    // By index: a listener may add or remove listeners while it is told.
    ++telling_;
    for (std::size_t i = 0; i < listeners_.size(); ++i) {
        if (SessionListener* l = listeners_[i]) {
            tell(*l);
        }
    }
    if (--telling_ == 0) {
        std::erase(listeners_, nullptr);
    }
}

} // namespace vintrace::session
