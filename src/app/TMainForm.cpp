#include "app/TMainForm.h"

#include "app/CommandEvent.h"
#include "app/FileChoosers.h"
#include "app/Pictures.h"
#include "app/RecentCaptures.h"
#include "app/StatusText.h"
#include "app/TAboutForm.h"
#include "app/TDefineHide.h"
#include "app/TDefineSearch.h"
#include "app/TDefineTrigger.h"
#include "app/TDevicesForm.h"
#include "app/TProblemsForm.h"
#include "app/TSetFileSize.h"
#include "app/TTransfersForm.h"
#include "app/TUSBStatus.h"
#include "capture/BusSpeedSigns.h"
#include "capture/CaptureFiles.h"
#include "capture/PcapFile.h"
#include "device/Analyzer.h"
#include "device/CaptureSize.h"
#include "display/Fonts.h"
#include "display/KindStyle.h"
#include "display/PacketLinePainter.h"
#include "search/PacketSearch.h"

#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QStatusBar>
#include <QTimer>

#include <utility>

namespace vintrace::app {

using capture::HidePass;

TMainForm::TMainForm(device::Analyzer& analyzer, QWidget* parent, bool loadDefaultCapture)
    : QMainWindow(parent), loadDefaultCapture_(loadDefaultCapture), analyzer_(analyzer) {
    setAcceptDrops(true);
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Vintrace"));
    setWindowIcon(WindowIcon());
    setFont(display::ControlFont());
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    setPalette(pal);

    ChooseCaptureFile = [this] { return AskCaptureToOpen(this); };
    ChooseSaveName = [this] { return AskCaptureSaveName(this); };
    ChoosePcapToImport = [this] { return AskPcapToImport(this); };
    ChoosePcapToExport = [this] { return AskPcapToExport(this); };
    ShowMessage = [this](const QString& title, const QString& text) {
        QMessageBox::warning(this, title, text);
    };

    client_ = new QWidget(this);
    client_->setObjectName(QStringLiteral("ClientArea"));
    setCentralWidget(client_);
    buildControls(client_);
    buildMenus();
    SearchCriteria.pidEnabled = false;
    SearchCriteria.addressWithEndpoint = false;
    SearchCriteria.addressAnyEndpoint = false;
    SearchCriteria.dataEnabled = false;
    client_->installEventFilter(this);
    GroupBox1->installEventFilter(this);
    connect(&hub_, &SessionHub::storeChanged, this, &TMainForm::storeChanged);
    connect(&hub_, &SessionHub::cursorMoved, this, &TMainForm::cursorMoved);
    connect(&hub_, &SessionHub::loadStarted, this, &TMainForm::loadStarted);
    connect(&hub_, &SessionHub::loadProgress, this, &TMainForm::loadProgress);
    connect(&hub_, &SessionHub::loadFinished, this, &TMainForm::loadFinished);
    connect(&hub_, &SessionHub::findingsReady, this, [this] {
        markTransfers();
        if (const std::optional<bool> forward = std::exchange(pendingProblemStep_, std::nullopt)) {
            stepProblem(*forward);
        }
    });
    // Says where F8 went; the client area keeps its size above it.
    statusBar()->setObjectName(QStringLiteral("StatusBar"));
    statusBar()->setSizeGripEnabled(false);

    resize(kClientWidth,
           kClientHeight + menuBar()->sizeHint().height() + statusBar()->sizeHint().height());
    FormCreate();
}

TMainForm::~TMainForm() {
    // While the widgets that show the load are still there.
    open_.Stop();
    // The companion windows go with the base class, after the hub and its findings: nothing
    // of theirs may point into those meanwhile.
    if (transfersForm_) {
        transfersForm_->model().setFindings(nullptr);
    }
    // Its worker reads the session's indexes, which go before the companion windows do.
    if (devicesForm_) {
        devicesForm_->model().stopRebuild();
    }
    delete problemsForm_;
}

void TMainForm::FormCreate() {
    // Trigger on arm, so an analyzer starts from a known trigger; without one this fails
    // silently and start-up goes on.
    analyzer_.SetTrigger(15);
    Session.nameFile("usbdata.dat");
    Session.clear();
    if (loadDefaultCapture_) {
        const session::OpenEffects effects = open_.Reload(BackgroundLoadBytes);
        if (effects.loadNow) {
            LoadCaptureFile();
        } else {
            apply(effects);
        }
    }
    CaptureSize = device::kDefaultCaptureSize;
}

void TMainForm::LoadCaptureFile() {
    ListBox1->setVisible(false);
    open_.LoadNow();
    ListBox1->setVisible(true);
}

bool TMainForm::event(QEvent* event) {
    if (event->type() == CommandEvent::Type()) {
        auto* command = static_cast<CommandEvent*>(event);
        if (command->message().Msg == capture::UM_COMMAND) {
            HandleCommand(command->message());
        }
        return true;
    }
    return QMainWindow::event(event);
}

void TMainForm::HandleCommand(capture::CommandMessage& message) {
    using namespace capture;
    const std::uint8_t command = message.command();
    // A hide or a search would walk the capture that is about to be replaced.
    if ((command <= CMD_HIDE_ADDRESS || command == CMD_SEARCH) &&
        refuseWhileLoading(QStringLiteral("Vintrace"))) {
        return;
    }
    switch (command) {
    case CMD_START_DOWNLOAD:
        acquisition_.StartDownload();
        break;
    case CMD_HIDE_SOF:
        hide(HidePass::Sof());
        break;
    case CMD_HIDE_NAK:
        hide(HidePass::Nak());
        break;
    case CMD_HIDE_ENDPOINT:
        hide(HidePass::Transactions(message.address(), message.endpoint()));
        break;
    case CMD_HIDE_ADDRESS:
        hide(HidePass::Transactions(message.address(), std::nullopt));
        break;
    case CMD_RELOAD:
        reload();
        break;
    case CMD_SEARCH:
        runSearch(message);
        break;
    default:
        break; // not a command
    }
}

void TMainForm::reload() {
    // The file comes back whole: what a running hide would remove is moot.
    cancelHide();
    apply(open_.Reload(BackgroundLoadBytes));
}

void TMainForm::apply(const session::OpenEffects& e) {
    if (e.loadNow) {
        // Every record is released, one step each, then the file is decoded anew.
        progress_.setRange(PacketList.size());
        progress_.setPosition(PacketList.size());
        ListBox1->setCount(0);
        ListBox2->setCount(0);
        LoadCaptureFile();
        progress_.setPosition(0);
    }
    if (e.poll) {
        loadPoll_->start();
    }
    if (e.idle) {
        loadPoll_->stop();
    }
    if (e.outcome) {
        report(*e.outcome);
    }
}

void TMainForm::beginRefresh() {
    progress_.setRange(PacketList.size());
    ListBox1->setVisible(false);
    ListBox2->setVisible(false);
    ListBox1->setCount(0);
    ListBox2->setCount(0);
}

void TMainForm::endRefresh() {
    // The lists were refilled when the store changed.
    ListBox1->setVisible(true);
    ListBox2->setVisible(true);
    progress_.setPosition(0);
}

void TMainForm::hide(const capture::HidePass& pass) {
    if (PacketList.size() >= BackgroundHideRecords) {
        Session.startHide(pass);
        showBackgroundProgress(QStringLiteral("Hiding %p%"));
        hidePoll_->start();
        return;
    }
    beginRefresh();
    Session.hide(pass, &progress_);
    endRefresh();
}

void TMainForm::pollHide() {
    const session::BackgroundHide* job = Session.backgroundHide();
    if (job != nullptr && !job->finished()) {
        loadProgress(job->done(), job->total());
        return;
    }
    hidePoll_->stop();
    if (job != nullptr) {
        // The lists are refilled when the store changes.
        Session.finishHide();
    }
    loadFinished();
}

void TMainForm::cancelHide() {
    if (Session.backgroundHide() == nullptr) {
        return;
    }
    Session.cancelHide();
    hidePoll_->stop();
    loadFinished();
}

void TMainForm::loadStarted() {
    // The open capture stays on screen, and scrollable, until the new one is complete.
    showBackgroundProgress(QStringLiteral("Loading %p%"));
}

void TMainForm::showBackgroundProgress(const QString& format) {
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setFormat(format);
    ProgressBar1->setTextVisible(true);
    Label1->hide();
    CancelLoad->show();
    cancelShortcut_->setEnabled(true);
}

void TMainForm::loadProgress(std::uint64_t done, std::uint64_t total) {
    if (total > 0) {
        ProgressBar1->setValue(static_cast<int>(std::min(done, total) * 100 / total));
    }
}

void TMainForm::loadFinished() {
    ProgressBar1->setTextVisible(false);
    ProgressBar1->resetFormat();
    ProgressBar1->setValue(0);
    cancelShortcut_->setEnabled(false);
    CancelLoad->hide();
    Label1->show();
}

void TMainForm::CancelLoadClick() {
    if (Session.backgroundHide() != nullptr) {
        cancelHide();
        return;
    }
    // A load that a finished download started during an export or import is what the bar
    // shows, so that is what stops.
    if (!open_.loading() && Session.backgroundExport() != nullptr) {
        cancelExport();
        return;
    }
    if (!open_.loading() && open_.importing() != nullptr) {
        cancelImport();
        return;
    }
    open_.Cancel();
}

void TMainForm::reloadAs(const std::string& file) {
    open_.Name(file);
    sendCommand(capture::CMD_RELOAD);
}

bool TMainForm::refuseWhileLoading(const QString& title) {
    if (Session.backgroundHide() != nullptr) {
        ShowMessage(title, QStringLiteral("Records are still being hidden. Wait for it to "
                                          "finish, or press Escape to stop it."));
        return true;
    }
    if (Session.backgroundExport() != nullptr) {
        ShowMessage(title, QStringLiteral("A pcap is still being exported. Wait for it to "
                                          "finish, or press Escape to stop it."));
        return true;
    }
    if (open_.importing() != nullptr) {
        ShowMessage(title, QStringLiteral("A pcap is still being imported. Wait for it to "
                                          "finish, or press Escape to stop it."));
        return true;
    }
    if (!open_.loading()) {
        return false;
    }
    ShowMessage(title, QStringLiteral("A capture is still loading. Wait for it to finish, or "
                                      "press Escape to stop it."));
    return true;
}

void TMainForm::sendCommand(std::uint8_t command) {
    SharedCommand().setCommand(command);
    SendCommand(this);
}

void TMainForm::Open1Click() {
    if (refuseWhileLoading(QStringLiteral("Open"))) {
        return;
    }
    const std::optional<std::string> chosen = ChooseCaptureFile();
    if (!chosen) {
        // Reloads all the same, so a cancelled Open also shows all again.
        sendCommand(capture::CMD_RELOAD);
        return;
    }
    reloadAs(*chosen);
    apply(open_.Report(session::OpenKind::Opened, *chosen));
}

void TMainForm::OpenCaptureFile(const std::string& file) {
    if (refuseWhileLoading(QStringLiteral("Open"))) {
        return;
    }
    if (IsPcapName(QString::fromStdString(file))) {
        importPcap(file);
        return;
    }
    reloadAs(file);
    apply(open_.Report(session::OpenKind::Opened, file));
}

void TMainForm::report(const session::OpenOutcome& outcome) {
    // A load that did not complete gave the capture on screen its name back: it still is the
    // one the download's status text speaks of.
    if (outcome.named) {
        clearDownloadStatus();
    }
    if (outcome.kind == session::OpenKind::Opened && !outcome.failure.empty()) {
        ShowMessage(QStringLiteral("Open"), QStringLiteral("Cannot open \"%1\": %2")
                                                .arg(QString::fromStdString(outcome.file),
                                                     QString::fromStdString(outcome.failure)));
        return;
    }
    rememberCapture(outcome.file);
}

void TMainForm::rememberCapture(const std::string& file) {
    const QString name = QString::fromStdString(file);
    // The menu shows the file at once; the settings are written on the writer's thread.
    fillRecentMenu(PutRecentFirst(recent_, name));
    recentWriter_.remember(name);
}

void TMainForm::fillRecentMenu(const QStringList& files) {
    recent_ = files;
    FillRecentMenu(Recent1, files,
                   [this](const QString& file) { OpenCaptureFile(file.toStdString()); });
}

void TMainForm::dragEnterEvent(QDragEnterEvent* event) {
    if (DraggedFile(event->mimeData())) {
        event->acceptProposedAction();
    }
}

void TMainForm::dropEvent(QDropEvent* event) {
    if (const std::optional<QString> file = DraggedFile(event->mimeData())) {
        event->acceptProposedAction();
        OpenCaptureFile(file->toStdString());
    }
}

void TMainForm::SaveAs1Click() {
    // The file being loaded would move under its reader.
    if (refuseWhileLoading(QStringLiteral("Save As"))) {
        return;
    }
    const std::optional<std::string> chosen = ChooseSaveName();
    if (!chosen) {
        return;
    }
    const capture::MoveFailure failure = capture::MoveCaptureFile(CaptureFileName, *chosen);
    if (!failure.reason.empty()) {
        // The capture stays where it was, and under its old name for the next Start, so a
        // capture the user believes kept is never overwritten.
        ShowMessage(QStringLiteral("Save As"), QStringLiteral("Cannot save \"%1\" as \"%2\": %3")
                                                   .arg(QString::fromStdString(CaptureFileName),
                                                        QString::fromStdString(*chosen),
                                                        QString::fromStdString(failure.reason)));
        return;
    }
    Session.nameFile(*chosen);
    if (devicesForm_) {
        devicesForm_->UpdateState(); // its title names the file
    }
}

namespace {
QString PcapFailure(const capture::PcapResult& r) {
    QString text = QString::fromStdString(r.file);
    if (r.offset) {
        text += QStringLiteral(", offset %1").arg(*r.offset);
    }
    return text + QStringLiteral(": ") + QString::fromStdString(r.reason);
}
} // namespace

void TMainForm::ImportPcap1Click() {
    if (refuseWhileLoading(QStringLiteral("Import pcap"))) {
        return;
    }
    if (const std::optional<std::string> pcap = ChoosePcapToImport()) {
        importPcap(*pcap);
    }
}

void TMainForm::importPcap(const std::string& pcap) {
    // The capture goes beside the pcap, under its name (or a numbered one when that is taken
    // by another capture); an existing file is never replaced.
    const QFileInfo info(QString::fromStdString(pcap));
    const std::string dat =
        info.dir().filePath(info.completeBaseName() + QStringLiteral(".dat")).toStdString();
    if (static_cast<std::uint64_t>(info.size()) >= BackgroundImportBytes) {
        importing_ = pcap;
        open_.StartImport(pcap, dat);
        showBackgroundProgress(QStringLiteral("Importing %p%"));
        importPoll_->start();
        return;
    }
    imported(pcap, open_.Import(pcap, dat));
}

void TMainForm::pollImport() {
    const session::FileJob* job = open_.importing();
    if (job != nullptr && !job->finished()) {
        if (!open_.loading()) {
            loadProgress(job->done(), job->total());
        }
        return;
    }
    importPoll_->stop();
    jobFinished();
    if (std::optional<capture::PcapResult> result = open_.FinishImport()) {
        imported(importing_, *result);
    }
}

void TMainForm::cancelImport() {
    if (open_.importing() == nullptr) {
        return;
    }
    open_.CancelImport();
    importPoll_->stop();
    loadFinished();
}

void TMainForm::imported(const std::string& pcap, const capture::PcapResult& result) {
    if (!result.ok()) {
        ShowMessage(QStringLiteral("Import pcap"), PcapFailure(result));
        return;
    }
    if (result.cutRecords != 0) {
        // Imported all the same: the file keeps every byte, the list shows what records hold.
        ShowMessage(
            QStringLiteral("Import pcap"),
            QStringLiteral("Cut on loading: %1 of \"%2\" longer than a capture "
                           "keeps, to 66 bytes after the PID (2 for tokens, handshakes "
                           "and SOFs)%3. The longest has %4 bytes.")
                .arg(result.cutRecords == 1 ? QStringLiteral("1 packet")
                                            : QStringLiteral("%1 packets").arg(result.cutRecords))
                .arg(QString::fromStdString(pcap))
                .arg(result.longestCut > 256 ? QStringLiteral(", their length counted modulo 256")
                                             : QString())
                .arg(result.longestCut));
    }
    if (result.highSpeed) {
        // Imported all the same: the warning says why much of it will not decode.
        const std::string_view warning = capture::kHighSpeedWarning;
        ShowMessage(
            QStringLiteral("Import pcap"),
            QStringLiteral("\"%1\" was imported, but %2.")
                .arg(QString::fromStdString(pcap),
                     QString::fromUtf8(warning.data(), static_cast<qsizetype>(warning.size()))));
    }
    sendCommand(capture::CMD_RELOAD);
    apply(open_.Report(session::OpenKind::Imported, result.target));
}

void TMainForm::ExportPcap1Click() {
    if (refuseWhileLoading(QStringLiteral("Export pcap"))) {
        return;
    }
    const std::optional<std::string> pcap = ChoosePcapToExport();
    if (!pcap) {
        return;
    }
    // What the list shows, hidden packets left out; the bus speed chosen in the Setup menu.
    const auto linkType =
        lowSpeed_ ? capture::UsbLinkType::LowSpeed : capture::UsbLinkType::FullSpeed;
    if (PacketList.size() >= BackgroundExportRecords) {
        Session.startExport(*pcap, linkType);
        showBackgroundProgress(QStringLiteral("Exporting %p%"));
        exportPoll_->start();
        return;
    }
    const capture::PcapResult result =
        capture::ExportPcap(PacketList, *pcap, linkType, /*overwrite=*/true);
    if (!result.ok()) {
        ShowMessage(QStringLiteral("Export pcap"), PcapFailure(result));
    }
}

void TMainForm::pollExport() {
    const session::FileJob* job = Session.backgroundExport();
    if (job != nullptr && !job->finished()) {
        if (!open_.loading()) {
            loadProgress(job->done(), job->total());
        }
        return;
    }
    exportPoll_->stop();
    jobFinished();
    const std::optional<capture::PcapResult> result = Session.finishExport();
    if (!result || result->ok()) {
        return;
    }
    if (result->status == capture::PcapStatus::Stopped) {
        // Only a change of the capture stops an export the user did not cancel.
        ShowMessage(QStringLiteral("Export pcap"),
                    QStringLiteral("\"%1\" was not written: the capture changed while it was "
                                   "being exported.")
                        .arg(QString::fromStdString(result->file)));
        return;
    }
    ShowMessage(QStringLiteral("Export pcap"), PcapFailure(*result));
}

void TMainForm::jobFinished() {
    // A load a download started meanwhile (which stops an export) shows its own progress.
    if (!open_.loading() && Session.backgroundHide() == nullptr) {
        loadFinished();
    }
}

void TMainForm::cancelExport() {
    if (Session.backgroundExport() == nullptr) {
        return;
    }
    Session.cancelExport();
    exportPoll_->stop();
    loadFinished();
}

void TMainForm::ShowAll1Click() {
    if (refuseWhileLoading(QStringLiteral("Show All"))) {
        return;
    }
    sendCommand(capture::CMD_RELOAD);
}

void TMainForm::HideDefine1Click() {
    if (refuseWhileLoading(QStringLiteral("Define Hide"))) {
        return;
    }
    TDefineHide dialog(this);
    dialog.FillAddresses(EndpointTable);
    connect(&dialog, &TDefineHide::requested, this, &TMainForm::SendHideRequest);
    dialog.exec();
}

void TMainForm::SendHideRequest(const HideRequest& request) {
    capture::CommandMessage& message = SharedCommand();
    message.setCommand(request.command);
    if (request.address) {
        message.setAddress(*request.address);
    }
    if (request.endpoint) {
        message.setEndpoint(*request.endpoint);
    }
    BroadcastCommand();
}

void TMainForm::runSearch(const capture::CommandMessage& message) {
    const std::size_t count = PacketList.size();
    progress_.setRange(count);
    std::size_t start = 0;
    if (!searchFromStart_) {
        start = Session.searchStart();
        // A search from no cursor puts it on the first line.
        ListBox1->setItemIndex(Session.cursor() ? static_cast<std::int64_t>(*Session.cursor())
                                                : -1);
    }
    progress_.setPosition(start < count ? start : 0);
    const search::WantedValues wanted{message.address(), message.endpoint()};
    const std::optional<std::size_t> match =
        search::FindNext(PacketList, SearchCriteria, wanted, start, &progress_);
    if (match) {
        const auto i = static_cast<std::int64_t>(*match);
        const std::int64_t top = i - search::LinesBack(PacketList.kind(*match));
        ListBox1->setTopIndex(std::max<std::int64_t>(0, top));
        Session.searchFound(*match);
        ListBox1->setItemIndex(static_cast<std::int64_t>(*Session.cursor()));
        ListBox2->setTopIndex(std::max<std::int64_t>(0, ListBox1->topIndex() - 50));
        ListBox2->viewport()->repaint();
    } else {
        ShowMessage(QStringLiteral("Vintrace"), QStringLiteral("Not found"));
    }
    progress_.setPosition(0);
    setSearchFromStart(false);
    if (!match) {
        Session.announceCursor(session::CursorFrom::Search);
    }
}

void TMainForm::Button2Click() {
    if (refuseWhileLoading(QStringLiteral("Define Search"))) {
        return;
    }
    TDefineSearch dialog(SearchCriteria, EndpointTable, this);
    dialog.Load();
    dialog.exec();
}

void TMainForm::DefineSearch1Click() {
    Button2Click();
}

void TMainForm::Button1Click() {
    if (refuseWhileLoading(QStringLiteral("Search"))) {
        return;
    }
    const search::WantedValues wanted = search::ResolveWanted(SearchCriteria, EndpointTable);
    capture::CommandMessage& message = SharedCommand();
    message.setCommand(capture::CMD_SEARCH);
    message.setAddress(wanted.address);
    message.setEndpoint(wanted.endpoint);
    SendCommand(this);
}

void TMainForm::SearchNext1Click() {
    if (refuseWhileLoading(QStringLiteral("Search"))) {
        return;
    }
    setSearchFromStart(false);
    Button1Click();
}

void TMainForm::SearchfromTop1Click() {
    if (refuseWhileLoading(QStringLiteral("Search"))) {
        return;
    }
    setSearchFromStart(true);
    Button1Click();
}

void TMainForm::RadioButton1Click() {
    setSearchFromStart(true);
}

void TMainForm::RadioButton2Click() {
    setSearchFromStart(false);
}

void TMainForm::setSearchFromStart(bool fromStart) {
    searchFromStart_ = fromStart;
    RadioButton1->setChecked(fromStart);
    RadioButton2->setChecked(!fromStart);
}

void TMainForm::Button3Click() {
    // The download would be reloaded over a capture still loading.
    if (refuseWhileLoading(QStringLiteral("Start"))) {
        return;
    }
    Session.nameFile("usbdata.dat");
    // The download writes the file named now, whatever is opened or saved meanwhile.
    const std::string target =
        QDir::current().absoluteFilePath(QStringLiteral("usbdata.dat")).toStdString();
    apply(acquisition_.Start(target));
}

void TMainForm::Button4Click() {
    apply(acquisition_.Stop());
}

void TMainForm::Timer1Timer() {
    apply(acquisition_.Tick(Image2->isVisible(), CaptureSize));
    // A tick that waited for an analyzer that does not answer has used up its interval: the
    // next tick, already due, would replace what this one showed before it was painted (the
    // red lamp would never be seen) and keep the window from its events. The interval starts
    // again when the tick ends, so what it shows stays in view for a whole one.
    if (Timer1->isActive()) {
        Timer1->start();
    }
}

void TMainForm::showStatusToolTip() {
    Label1->setToolTip(StatusToolTip(shownStatus_, acquisition_, !PacketList.empty()));
}

void TMainForm::clearDownloadStatus() {
    if (!SpeaksOfLastDownload(shownStatus_)) {
        return;
    }
    shownStatus_ = device::Status::Empty;
    Label1->clear();
    showStatusToolTip();
    layoutChildren(client_);
}

void TMainForm::apply(const device::AcquisitionEffects& e) {
    if (e.status) {
        shownStatus_ = *e.status;
        Label1->setText(StatusText(*e.status));
        showStatusToolTip();
        layoutChildren(client_); // the label grows with its text
    }
    if (e.lamp) {
        QLabel* shown = Image1;
        switch (*e.lamp) {
        case device::Lamp::Unlit:
            shown = Image1;
            break;
        case device::Lamp::Green:
            shown = Image2;
            break;
        case device::Lamp::Red:
            shown = Image3;
            break;
        case device::Lamp::Yellow:
            shown = Image4;
            break;
        }
        for (QLabel* lamp : {Image1, Image2, Image3, Image4}) {
            lamp->setVisible(lamp == shown);
        }
    }
    // While a capture loads, the progress bar is the load's.
    if (e.progressMax && !open_.loading()) {
        ProgressBar1->setRange(0, *e.progressMax);
    }
    if (e.progressValue && !open_.loading()) {
        ProgressBar1->setValue(*e.progressValue);
    }
    if (e.newCapture) {
        open_.Name(*e.newCapture);
    }
    if (e.startDownload) {
        sendCommand(capture::CMD_START_DOWNLOAD);
    }
    if (e.reload) {
        sendCommand(capture::CMD_RELOAD);
    }
    // After the commands: Start comes back only once a finished download has been reloaded.
    if (e.startEnabled) {
        Button3->setEnabled(*e.startEnabled);
    }
    if (e.stopEnabled) {
        Button4->setEnabled(*e.stopEnabled);
    }
}

void TMainForm::DefineTrigger1Click() {
    TDefineTrigger dialog(analyzer_, this);
    dialog.exec();
}

void TMainForm::Status1Click() {
    TUSBStatus dialog(this);
    dialog.ReadStatus(analyzer_);
    dialog.exec();
}

void TMainForm::setBusSpeed(QAction* chosen, std::uint8_t speed) {
    // The check mark moves whether or not an analyzer takes the speed.
    lowSpeed_ = chosen == LowSpeed1;
    FullSpeed1->setChecked(chosen == FullSpeed1);
    LowSpeed1->setChecked(chosen == LowSpeed1);
    analyzer_.SetBusSpeed(speed);
}

void TMainForm::FullSpeed1Click() {
    setBusSpeed(FullSpeed1, 1);
}

void TMainForm::LowSpeed1Click() {
    setBusSpeed(LowSpeed1, 0);
}

void TMainForm::SetCaptureLength1Click() {
    TSetFileSize dialog(CaptureSize, this);
    dialog.exec();
}

void TMainForm::storeChanged() {
    // Connected before any companion window: the marks go before the tree reads the new store.
    markTransfers();
    // The status label's account of the capture may be out of date now.
    showStatusToolTip();
    const auto count = static_cast<std::int64_t>(PacketList.size());
    ListBox1->setCount(count);
    ListBox2->setCount(count);
}

void TMainForm::FormClose() {
    Session.clear();
}

int TMainForm::ListBox1MeasureItem(std::int64_t index) const {
    return display::LineHeight(PacketList[static_cast<std::size_t>(index)], wrapMode());
}

void TMainForm::ListBox1DrawItem(QPainter& painter, std::int64_t index, const QRect& rect,
                                 display::OwnerDrawListBox::ItemState state) const {
    // The line paints itself white, so selection shows only through the focus rectangle;
    // just an undeciphered kind keeps the list's own text colour.
    const QColor toolkitText =
        ListBox1->palette().color(state.selected ? QPalette::HighlightedText : QPalette::Text);
    display::PaintPacketLine(painter, rect, PacketList[static_cast<std::size_t>(index)], wrapMode(),
                             toolkitText);
}

int TMainForm::ListBox2MeasureItem(std::int64_t) const {
    return 1;
}

void TMainForm::ListBox2DrawItem(QPainter& painter, std::int64_t index, const QRect& rect) const {
    painter.fillRect(rect, Qt::white);
    const display::Rgb stroke =
        display::KindColour(PacketList.kind(static_cast<std::size_t>(index)));
    painter.fillRect(QRect(0, rect.top(), 20, 1), QColor(stroke.r, stroke.g, stroke.b));
    if (index == ListBox1->itemIndex()) {
        painter.fillRect(rect, QColor(255, 0, 0));
    }
}

void TMainForm::setWrapMode(display::WrapMode mode) {
    wrapMode_ = mode;
    NoWrap1->setChecked(mode == display::WrapMode::NoWrap);
    Wrap16->setChecked(mode == display::WrapMode::Wrap16);
    Wrap32->setChecked(mode == display::WrapMode::Wrap32);
    // Every line is measured anew; the list starts again at the top with nothing selected.
    Session.dropCursor();
    ListBox1->setCount(static_cast<std::int64_t>(PacketList.size()));
    ListBox2->viewport()->update();
}

void TMainForm::NoWrap1Click() {
    setWrapMode(display::WrapMode::NoWrap);
}
void TMainForm::Wrap16Click() {
    setWrapMode(display::WrapMode::Wrap16);
}
void TMainForm::Wrap32Click() {
    setWrapMode(display::WrapMode::Wrap32);
}

void TMainForm::Transfers1Click() {
    // Opens during a background load too: the window says so and fills when it ends.
    if (!transfersForm_) {
        transfersForm_ = new TTransfersForm(hub_, this);
        // Its items carry the checker's marks, and F8 visits them there too.
        auto* next = new QShortcut(QKeySequence(Qt::Key_F8), transfersForm_);
        auto* previous = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F8), transfersForm_);
        connect(next, &QShortcut::activated, this, &TMainForm::NextProblem1Click);
        connect(previous, &QShortcut::activated, this, &TMainForm::PreviousProblem1Click);
        hub_.findings().watch();
        markTransfers();
    }
    if (open_.loading()) {
        transfersForm_->ShowLoading(QString::fromStdString(CaptureFileName));
    }
    transfersForm_->show();
    transfersForm_->raise();
    transfersForm_->activateWindow();
    Session.announceCursor(session::CursorFrom::PacketList);
}

TTransfersForm* TMainForm::transfersForm() const {
    return transfersForm_;
}

void TMainForm::Devices1Click() {
    // Opens during a background load too: the window says so and fills when it ends.
    if (!devicesForm_) {
        devicesForm_ = new TDevicesForm(hub_, this);
        connect(devicesForm_, &TDevicesForm::FilterTransfers, this, [this](const QString& filter) {
            Transfers1Click();
            if (transfersForm_) {
                transfersForm_->FilterEdit->setText(filter);
            }
        });
    }
    if (open_.loading()) {
        devicesForm_->ShowLoading(QString::fromStdString(CaptureFileName));
    }
    devicesForm_->show();
    devicesForm_->raise();
    devicesForm_->activateWindow();
    Session.announceCursor(session::CursorFrom::PacketList);
}

TDevicesForm* TMainForm::devicesForm() const {
    return devicesForm_;
}

void TMainForm::Problems1Click() {
    if (refuseWhileLoading(QStringLiteral("Problems"))) {
        return;
    }
    if (!problemsForm_) {
        problemsForm_ = new TProblemsForm(hub_, this);
    }
    problemsForm_->show();
    problemsForm_->raise();
    problemsForm_->activateWindow();
}

TProblemsForm* TMainForm::problemsForm() const {
    return problemsForm_;
}

void TMainForm::NextProblem1Click() {
    stepProblem(true);
}

void TMainForm::PreviousProblem1Click() {
    stepProblem(false);
}

void TMainForm::markTransfers() {
    if (transfersForm_) {
        session::FindingsJob& job = hub_.findings();
        transfersForm_->model().setFindings(job.current() ? job.findings() : nullptr);
    }
}

void TMainForm::stepProblem(bool forward) {
    QString message;
    StepProblem(hub_, forward, message);
    if (!hub_.findings().current()) {
        pendingProblemStep_ = forward;
    }
    statusBar()->showMessage(message);
}

void TMainForm::cursorMoved(std::size_t record, session::CursorFrom from) {
    // The list and the search place the list themselves.
    if (from != session::CursorFrom::Transfers && from != session::CursorFrom::Devices &&
        from != session::CursorFrom::Problems) {
        return;
    }
    const auto i = static_cast<std::int64_t>(record);
    ListBox1->setTopIndex(i);
    ListBox1->setItemIndex(i);
    // Keep the marker in sight, with some context above it, as Search does.
    ListBox2->setTopIndex(std::max<std::int64_t>(0, i - 50));
    ListBox2->viewport()->repaint();
}

void TMainForm::ListBox1MouseDown(Qt::MouseButton, const QPoint& position) {
    ListBox2->viewport()->repaint();
    // A click on a line sets the cursor, even on the line it stood on: a search from the
    // cursor examines that line again.
    if (const std::int64_t line = ListBox1->itemAt(position); line >= 0) {
        Session.moveCursor(static_cast<std::size_t>(line), session::CursorFrom::PacketList);
    } else {
        Session.announceCursor(session::CursorFrom::PacketList);
    }
}

void TMainForm::ListBox1KeyDown(int key, Qt::KeyboardModifiers) {
    ListBox2->viewport()->repaint();
    switch (key) {
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Home:
    case Qt::Key_End:
        // The keys that set the cursor (on a non-empty list), as a click does.
        if (ListBox1->itemIndex() >= 0) {
            Session.moveCursor(static_cast<std::size_t>(ListBox1->itemIndex()),
                               session::CursorFrom::PacketList);
            return;
        }
        break;
    default:
        break;
    }
    Session.announceCursor(session::CursorFrom::PacketList);
}

void TMainForm::ListBox2MouseDown() {
    const std::int64_t row = ListBox2->itemIndex();
    if (row >= 0) {
        ListBox1->setTopIndex(row);
    }
}

void TMainForm::closeEvent(QCloseEvent* event) {
    // A running download stops at its next block and leaves the previous capture in place;
    // the window's end then waits for no more than that block.
    acquisition_.CancelDownload();
    // A load in the background stops at its next stretch; each wait for it is bounded.
    open_.Stop();
    loadPoll_->stop();
    cancelHide();
    // An export or import left unfinished leaves nothing behind.
    cancelExport();
    cancelImport();
    FormClose();
    event->accept();
}

void TMainForm::Close1Click() {
    close();
}

void TMainForm::About2Click() {
    TAboutForm about(this);
    about.exec();
}

} // namespace vintrace::app
