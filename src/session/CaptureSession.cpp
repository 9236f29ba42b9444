#include "session/CaptureSession.h"

#include "platform/HeapPolicy.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

namespace vintrace::session {

CaptureSession::CaptureSession() {
    // A session lets go of gigabytes at each reload and hide; they must leave the process.
    platform::ReturnLargeBlocksToSystem();
}

capture::LoadResult CaptureSession::open(std::string file) {
    nameFile(std::move(file));
    return reload();
}

capture::LoadResult CaptureSession::reload() {
    cancelHide();
    stopBuild();
    recordsChanging();
    packets_.clear();
    endpoints_.clear();
    const capture::LoadResult result = capture::LoadCaptureFile(fileName_, packets_, endpoints_);
    storeChanged();
    return result;
}

void CaptureSession::nameFile(std::string file) {
    fileName_ = std::move(file);
}

std::size_t CaptureSession::hide(const capture::HidePass& pass, capture::Progress* progress) {
    cancelHide();
    stopBuild();
    recordsChanging();
    const std::size_t removed = capture::RunHidePass(packets_, pass, progress);
    storeChanged();
    return removed;
}

void CaptureSession::startHide(const capture::HidePass& pass) {
    cancelHide();
    hide_ = std::make_unique<BackgroundHide>(packets_, pass);
}

std::optional<std::size_t> CaptureSession::finishHide() {
    if (!hide_ || !hide_->finished()) {
        return std::nullopt;
    }
    std::optional<capture::PacketList::Headers> kept = hide_->take();
    // Its worker may still be winding down: joined aside.
    dispose(std::move(hide_));
    if (!kept) {
        return std::nullopt;
    }
    stopBuild();
    recordsChanging();
    const std::size_t removed = packets_.size() - kept->size();
    // The old order of records is as large as the new one: freed aside, as dropped indexes.
    dispose(packets_.swapHeaders(std::move(*kept)));
    storeChanged();
    return removed;
}

void CaptureSession::cancelHide() {
    if (hide_) {
        // Its worker must not read a store about to change; what it built may be as large as
        // the store's order of records, and is freed aside.
        hide_->stop();
        dispose(std::move(hide_));
    }
}

void CaptureSession::replaceStore(capture::PacketList packets, capture::EndpointTable endpoints,
                                  std::string file) {
    cancelHide();
    stopBuild();
    recordsChanging();
    // The old store may be gigabytes: freed on the disposal thread, not this one.
    if (!packets_.empty()) {
        dispose(std::move(packets_));
    }
    packets_ = std::move(packets);
    endpoints_ = std::move(endpoints);
    fileName_ = std::move(file);
    storeChanged();
}

void CaptureSession::clear() {
    cancelHide();
    stopBuild();
    recordsChanging();
    packets_.clear();
    endpoints_.clear();
    storeChanged();
}

namespace {
/// The file the name stands for, however it is written ("./a.dat", a full path), so that
/// opening the file again by another way finds what was assumed of it.
std::string FileKey(const std::string& name) {
    std::error_code error;
    const std::filesystem::path path = std::filesystem::weakly_canonical(name, error);
    return error ? name : path.string();
}
} // namespace

const protocol::EndpointAssumptions& CaptureSession::assumptions() const {
    static const protocol::EndpointAssumptions kNone;
    const auto found = assumed_.find(FileKey(fileName_));
    return found == assumed_.end() ? kNone : found->second;
}

void CaptureSession::assume(protocol::EndpointAssumptions assumptions) {
    if (assumptions == this->assumptions()) {
        return;
    }
    stopBuild();
    storeChanging();
    if (assumptions.empty()) {
        assumed_.erase(FileKey(fileName_));
    } else {
        assumed_[FileKey(fileName_)] = std::move(assumptions);
    }
    storeChanged();
}

void CaptureSession::startExport(std::string path, capture::UsbLinkType linkType) {
    cancelExport();
    // The user chose the name, and confirmed replacing what it names, in the save dialog.
    export_.job = std::make_unique<FileJob>(
        [this, path = std::move(path), linkType](capture::PcapProgress& progress) {
            return capture::ExportPcap(packets_, path, linkType, /*overwrite=*/true, &progress);
        },
        FileJob::Unit::Records, packets_.size());
}

std::optional<capture::PcapResult> CaptureSession::finishExport() {
    return finishJob(export_);
}

void CaptureSession::cancelExport() {
    cancelJob(export_);
}

capture::PcapResult CaptureSession::saveTransfers(const std::string& path, bool fold,
                                                  const protocol::TransferFilter& filter,
                                                  bool json) {
    return SaveTransferView(path, transferView(fold), filter, json);
}

void CaptureSession::startSaveTransfers(std::string path, bool fold,
                                        protocol::TransferFilter filter, bool json) {
    JobSlot& slot = saves_[static_cast<std::size_t>(SavedView::Transfers)];
    cancelJob(slot);
    const TransferView view = transferView(fold);
    slot.job = std::make_unique<FileJob>(
        [view, path = std::move(path), filter = std::move(filter),
         json](capture::PcapProgress& progress) {
            return SaveTransferView(path, view, filter, json, &progress);
        },
        FileJob::Unit::Records, view.items.size());
}

void CaptureSession::startSaveDevices(std::string path, const protocol::UsbIds* ids, bool json) {
    JobSlot& slot = saves_[static_cast<std::size_t>(SavedView::Devices)];
    cancelJob(slot);
    const std::vector<protocol::DeviceInfo>& all = devices().devices();
    slot.job = std::make_unique<FileJob>(
        [&all, ids, path = std::move(path), json](capture::PcapProgress& progress) {
            return SaveDeviceView(path, all, ids, json, &progress);
        },
        FileJob::Unit::Records, all.size());
}

std::optional<capture::PcapResult> CaptureSession::finishSave(SavedView view) {
    return finishJob(saves_[static_cast<std::size_t>(view)]);
}

void CaptureSession::cancelSave(SavedView view) {
    cancelJob(saves_[static_cast<std::size_t>(view)]);
}

TransferView CaptureSession::transferView(bool fold) {
    const protocol::TransferList& items = transferList(fold);
    if (!items.empty()) {
        decodedItem(items.size() - 1, fold); // decodes every item
    }
    std::optional<DecodedIndex>& decoded = fold ? foldedDecoded_ : unfoldedDecoded_;
    if (!decoded) {
        decoded.emplace(); // no item: nothing to decode
    }
    return TransferView{packets_, transactions(), items, *decoded, devices()};
}

std::optional<capture::PcapResult> CaptureSession::finishJob(JobSlot& slot) {
    if (!slot.job || !slot.job->finished()) {
        return std::nullopt;
    }
    capture::PcapResult result = slot.job->result();
    // Its worker may still be winding down: joined aside.
    dispose(std::move(slot.job));
    return result;
}

void CaptureSession::cancelJob(JobSlot& slot) {
    if (slot.job) {
        // Its worker must not read a store that may change next; it looks at the request
        // every 65,536 records, 4,096 items or 64 devices, so this returns within milliseconds.
        slot.job->stop();
        dispose(std::move(slot.job));
    }
}

void CaptureSession::recordsChanging() {
    if (export_.job) {
        // The worker must not read records about to change. The job stays, so that the
        // window learns the export stopped; the target is left as it was.
        export_.job->stop();
    }
    storeChanging();
}

void CaptureSession::storeChanging() {
    for (JobSlot& save : saves_) {
        if (save.job) {
            // It reads the indexes about to be dropped. The job stays, so that the window
            // learns the save stopped; the target is left as it was.
            save.job->stop();
        }
    }
    tellListeners([](SessionListener& l) { l.storeChanging(); });
}

namespace {
/// What a store change drops, freed together on the disposal thread.
struct DroppedIndexes {
    std::optional<protocol::Transactions> transactions;
    std::optional<protocol::FrameIndex> frames;
    std::optional<std::vector<protocol::TransferItem>> folded;
    std::optional<std::vector<protocol::TransferItem>> unfolded;
    std::optional<protocol::TransferList> foldedList;
    std::optional<protocol::TransferList> unfoldedList;
    std::optional<protocol::DeviceModel> devices;
    std::optional<std::vector<protocol::Finding>> findings;
    // After the indexes their decoders read, so destroyed before them.
    std::optional<DecodedIndex> foldedDecoded;
    std::optional<DecodedIndex> unfoldedDecoded;
    std::vector<std::uint32_t> foldedOwner;
    std::vector<std::uint32_t> unfoldedOwner;
};

/// Moves `from` into `to` and leaves `from` empty.
template <typename T> void MoveOut(std::optional<T>& from, std::optional<T>& to) {
    to = std::move(from);
    from.reset();
}
template <typename T> void MoveOut(std::vector<T>& from, std::vector<T>& to) {
    to.swap(from);
    // Released, not just emptied: a smaller capture should not keep a larger one's memory.
    std::vector<T>().swap(from);
}
} // namespace

void CaptureSession::stopBuild() {
    if (build_.build) {
        build_.build->stop();
        // What a stopped build made so far is as large as finished indexes.
        dispose(std::move(build_.build));
    }
}

void CaptureSession::storeChanged() {
    stopBuild();
    if (hasIndexes()) {
        // Indexes of a large capture take gigabytes, whose freeing would hold up the window.
        DroppedIndexes dropped;
        MoveOut(transactions_, dropped.transactions);
        MoveOut(frames_, dropped.frames);
        MoveOut(folded_, dropped.folded);
        MoveOut(unfolded_, dropped.unfolded);
        MoveOut(foldedList_, dropped.foldedList);
        MoveOut(unfoldedList_, dropped.unfoldedList);
        MoveOut(devices_, dropped.devices);
        MoveOut(findings_, dropped.findings);
        MoveOut(foldedDecoded_, dropped.foldedDecoded);
        MoveOut(unfoldedDecoded_, dropped.unfoldedDecoded);
        MoveOut(foldedOwner_, dropped.foldedOwner);
        MoveOut(unfoldedOwner_, dropped.unfoldedOwner);
        dispose(std::move(dropped));
    }
    cursor_.reset();
    resumePastEnd_ = false;
    tellListeners([](SessionListener& l) { l.storeChanged(); });
}

void CaptureSession::addListener(SessionListener& listener) {
    listeners_.push_back(&listener);
}

void CaptureSession::removeListener(SessionListener& listener) {
    for (SessionListener*& l : listeners_) {
        if (l == &listener) {
            l = nullptr;
        }
    }
    if (telling_ == 0) {
        std::erase(listeners_, nullptr);
    }
}

void CaptureSession::moveCursor(std::size_t record, CursorFrom from) {
    if (record >= packets_.size()) {
        return;
    }
    cursor_ = record;
    resumePastEnd_ = false;
    tellListeners([record, from](SessionListener& l) { l.cursorMoved(record, from); });
}

void CaptureSession::announceCursor(CursorFrom from) {
    if (const std::optional<std::size_t> record = cursor_) {
        tellListeners([record, from](SessionListener& l) { l.cursorMoved(*record, from); });
    }
}

void CaptureSession::dropCursor() {
    cursor_.reset();
    resumePastEnd_ = false;
}

std::size_t CaptureSession::searchStart() {
    if (!cursor_ && !packets_.empty()) {
        cursor_ = 0;
    }
    if (!cursor_) {
        return 0;
    }
    return resumePastEnd_ ? packets_.size() : *cursor_;
}

void CaptureSession::searchFound(std::size_t match) {
    if (match >= packets_.size()) {
        return;
    }
    // There is no line after the last one: the cursor stays on the match, and the next
    // search from it starts past it.
    resumePastEnd_ = match + 1 == packets_.size();
    cursor_ = resumePastEnd_ ? match : match + 1;
    const std::size_t record = *cursor_;
    tellListeners([record](SessionListener& l) { l.cursorMoved(record, CursorFrom::Search); });
}

const protocol::Transactions& CaptureSession::transactions() {
    if (!transactions_) {
        transactions_ = protocol::GroupTransactions(packets_);
    }
    return *transactions_;
}

const protocol::FrameIndex& CaptureSession::frames() {
    if (!frames_) {
        frames_ = protocol::FrameIndex::Build(packets_, transactions());
    }
    return *frames_;
}

const std::vector<protocol::TransferItem>& CaptureSession::transfers(bool fold) {
    std::optional<std::vector<protocol::TransferItem>>& cached = fold ? folded_ : unfolded_;
    if (!cached) {
        cached = assembleTransfers(fold).release();
    }
    return *cached;
}

const protocol::TransferList& CaptureSession::transferList(bool fold) {
    std::optional<protocol::TransferList>& cached = fold ? foldedList_ : unfoldedList_;
    if (!cached) {
        cached = assembleTransfers(fold);
    }
    return *cached;
}

protocol::TransferList CaptureSession::assembleTransfers(bool fold) {
    if (devices_) {
        // Folding changes no control transfer, so the devices either fold found describe both.
        return protocol::AssembleTransferListDescribedBy(packets_, transactions(), *devices_, fold);
    }
    protocol::DescribedTransferList described = protocol::AssembleDescribedTransferList(
        packets_, transactions(), fold, nullptr, &assumptions());
    devices_ = std::move(described.devices);
    return std::move(described.items);
}

const protocol::DeviceModel& CaptureSession::devices() {
    if (!devices_) {
        // Over the transactions when they are built already; else a window at a time, so
        // that finding a few devices costs no index of the whole capture.
        devices_ = transactions_
                       ? protocol::DeviceModel::FromControlTraffic(packets_, *transactions_)
                       : protocol::DeviceModel::FromControlTraffic(packets_);
        if (!assumptions().empty()) {
            devices_->assume(assumptions());
        }
    }
    return *devices_;
}

const std::vector<protocol::Finding>& CaptureSession::findings() {
    if (!findings_) {
        findings_ = protocol::Diagnose(packets_, transactions(), transfers(true), devices());
    }
    return *findings_;
}

std::optional<std::string> CaptureSession::decoded(std::size_t item, bool fold) {
    auto d = decodedItem(item, fold);
    return d ? std::optional(std::move(d->text)) : std::nullopt;
}

std::optional<protocol::Decoded> CaptureSession::decodedItem(std::size_t item, bool fold) {
    const protocol::TransferList& all = transferList(fold);
    if (item >= all.size()) {
        return std::nullopt;
    }
    std::optional<DecodedIndex>& index = fold ? foldedDecoded_ : unfoldedDecoded_;
    if (!index) {
        index.emplace();
        index->decoder =
            std::make_unique<protocol::ClassDecoder>(packets_, transactions(), devices());
    }
    DecodeUpTo(*index, all, item + 1);
    const auto at = std::lower_bound(index->items.begin(), index->items.end(), item);
    if (at == index->items.end() || *at != item) {
        return std::nullopt;
    }
    const auto n = static_cast<std::size_t>(at - index->items.begin());
    const std::size_t begin = n == 0 ? 0 : index->ends[n - 1];
    return protocol::Decoded{index->text.substr(begin, index->ends[n] - begin), index->uses[n]};
}

std::size_t CaptureSession::decodedCount(bool fold) const {
    const std::optional<DecodedIndex>& index = fold ? foldedDecoded_ : unfoldedDecoded_;
    return index ? index->done : 0;
}

std::optional<std::size_t> CaptureSession::itemOfRecord(std::size_t record, bool fold) {
    if (record >= packets_.size()) {
        return std::nullopt;
    }
    const protocol::Transactions& tx = transactions();
    const protocol::TransferList& all = transferList(fold);
    std::vector<std::uint32_t>& owner = fold ? foldedOwner_ : unfoldedOwner_;
    if (owner.empty() && !tx.empty()) {
        owner = ItemOfEachTransaction(tx, all);
    }
    const std::size_t t = tx.indexOfRecord(record);
    if (t >= owner.size() || owner[t] == UINT32_MAX) {
        return std::nullopt;
    }
    return owner[t];
}

std::optional<std::string> CaptureSession::meaningOfDataPacket(std::size_t record) {
    if (record >= packets_.size()) {
        return std::nullopt;
    }
    const capture::RecordKind kind = packets_.kind(record);
    if (kind != capture::RecordKind::Data0 && kind != capture::RecordKind::Data1) {
        return std::nullopt;
    }
    // Folding merges only SOFs and NAKs, so the folded list has every data item.
    const auto item = itemOfRecord(record, true);
    return item ? decoded(*item, true) : std::nullopt;
}

void CaptureSession::prepareTransfers(bool fold) {
    if (transfersReady(fold) || (build_.build && build_.build->scope() == BuildScope::Transfers &&
                                 build_.build->fold() == fold)) {
        return;
    }
    startBuild(fold, BuildScope::Transfers);
}

void CaptureSession::prepareDevices() {
    if (devices_ || build_.build) {
        return;
    }
    startBuild(true, BuildScope::Devices);
}

void CaptureSession::startBuild(bool fold, BuildScope scope) {
    stopBuild();
    // The indexes of the last store may still be being freed: the new ones wait for that on
    // the worker, or a large capture would briefly hold two sets.
    Disposal* disposal = disposal_.get();
    // What the other fold or an earlier reader built is read, not built again: it stays until
    // the store changes, and every change stops the build first.
    const KnownIndexes known{transactions_ ? &*transactions_ : nullptr,
                             frames_ ? &*frames_ : nullptr, devices_ ? &*devices_ : nullptr};
    build_.build = std::make_unique<IndexBuild>(
        packets_, fold,
        [disposal](const auto& stop) {
            if (disposal != nullptr) {
                disposal->wait(stop);
            }
        },
        assumptions(), known, scope);
}

bool CaptureSession::transfersReady(bool fold) const {
    const std::optional<protocol::TransferList>& list = fold ? foldedList_ : unfoldedList_;
    const std::optional<DecodedIndex>& decoded = fold ? foldedDecoded_ : unfoldedDecoded_;
    const std::vector<std::uint32_t>& owner = fold ? foldedOwner_ : unfoldedOwner_;
    return transactions_ && frames_ && list && decoded && decoded->done == list->size() &&
           (!owner.empty() || transactions_->empty());
}

std::optional<double> CaptureSession::preparing() const {
    return build_.build ? std::optional(build_.build->progress()) : std::nullopt;
}

bool CaptureSession::collectPrepared() {
    if (!build_.build) {
        return false;
    }
    if (!devices_) {
        // A Transfers build finds the devices long before it has decoded every item.
        if (std::unique_ptr<protocol::DeviceModel> found = build_.build->takeFoundDevices()) {
            devices_ = std::move(*found);
        }
    }
    if (!build_.build->finished()) {
        return false;
    }
    const bool fold = build_.build->fold();
    const BuildScope scope = build_.build->scope();
    std::unique_ptr<TransferIndexes> built = build_.build->take();
    // Its worker may still be winding down, and joining it would hold up the window.
    dispose(std::move(build_.build));
    if (!built) {
        return false;
    }
    if (scope == BuildScope::Devices) {
        if (!devices_) {
            devices_ = std::move(built->devices);
        }
        dispose(std::move(built));
        return true;
    }
    // Grouping is a function of the store: indexes built meanwhile on this thread are the
    // same, and the item numbers of either agree.
    if (!transactions_) {
        transactions_ = std::move(built->transactions);
    }
    if (!devices_) {
        devices_ = std::move(built->devices);
    }
    if (!frames_) {
        frames_ = std::move(built->frames);
    }
    (fold ? foldedList_ : unfoldedList_) = std::move(built->items);
    (fold ? foldedOwner_ : unfoldedOwner_) = std::move(built->owners);
    (fold ? foldedDecoded_ : unfoldedDecoded_) = std::move(built->decoded);
    // What was known already (the devices taken early, a reader's transactions) is a second
    // copy: tens of thousands of devices in a capture that enumerates them again and again.
    dispose(std::move(built));
    return true;
}

} // namespace vintrace::session
