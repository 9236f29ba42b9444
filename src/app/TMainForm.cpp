#include "app/TMainForm.h"

#include "app/CommandEvent.h"
#include "app/Pictures.h"
#include "app/RecentCaptures.h"
#include "app/TAboutForm.h"
#include "app/TDefineHide.h"
#include "app/TDefineSearch.h"
#include "app/TDefineTrigger.h"
#include "app/TDevicesForm.h"
#include "app/TSetFileSize.h"
#include "app/TTransfersForm.h"
#include "app/TUSBStatus.h"
#include "capture/CaptureFiles.h"
#include "capture/CaptureLoader.h"
#include "capture/HidePasses.h"
#include "capture/PcapFile.h"
#include "device/Analyzer.h"
#include "device/CaptureSize.h"
#include "display/AnchorGeometry.h"
#include "display/Fonts.h"
#include "display/KindStyle.h"
#include "display/PacketLinePainter.h"
#include "display/PacketToolTip.h"
#include "search/PacketSearch.h"

#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QTimer>

#include <climits>
#include <utility>

namespace vintrace::app {

namespace {

using capture::HidePass;
using display::AnchorBottom;
using display::AnchorLeft;
using display::AnchorRight;
using display::AnchorTop;
using display::UiFont;

constexpr unsigned kLeftTop = AnchorLeft | AnchorTop;
constexpr unsigned kAll = AnchorLeft | AnchorTop | AnchorRight | AnchorBottom;
constexpr unsigned kRightBottom = AnchorRight | AnchorBottom;
/// Where the status lamps begin; the status label ends there.
constexpr int kLampsLeft = 365;
/// How often the progress of a background load is shown, and its end noticed.
constexpr int kLoadPollMs = 50;

QAction* AddItem(QMenu* menu, const char* caption, const char* name, bool checkable = false,
                 bool checked = false) {
    QAction* action = menu->addAction(QString::fromLatin1(caption));
    action->setObjectName(QString::fromLatin1(name));
    action->setCheckable(checkable);
    action->setChecked(checked);
    return action;
}

} // namespace

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

    ChooseCaptureFile = [this]() -> std::optional<std::string> {
        const QString chosen =
            QFileDialog::getOpenFileName(this, QString(), QString(), QStringLiteral("*.dat"));
        if (chosen.isEmpty()) {
            return std::nullopt;
        }
        return chosen.toStdString();
    };
    ChooseSaveName = [this]() -> std::optional<std::string> {
        // A new name may be typed; an existing one is refused by the move itself, never
        // overwritten.
        const QString chosen =
            QFileDialog::getSaveFileName(this, QString(), QString(), QStringLiteral("*.dat"),
                                         nullptr, QFileDialog::DontConfirmOverwrite);
        if (chosen.isEmpty()) {
            return std::nullopt;
        }
        return chosen.toStdString();
    };
    ChoosePcapToImport = [this]() -> std::optional<std::string> {
        const QString chosen = QFileDialog::getOpenFileName(
            this, QString(), QString(), QStringLiteral("USB captures (*.pcap *.pcapng)"));
        return chosen.isEmpty() ? std::nullopt : std::optional(chosen.toStdString());
    };
    ChoosePcapToExport = [this]() -> std::optional<std::string> {
        const QString chosen =
            QFileDialog::getSaveFileName(this, QString(), QString(), QStringLiteral("*.pcap"));
        return chosen.isEmpty() ? std::nullopt : std::optional(chosen.toStdString());
    };
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

    resize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());
    FormCreate();
}

TMainForm::~TMainForm() {
    // While the widgets that show the load are still there.
    open_.Stop();
}

void TMainForm::buildControls(QWidget* client) {
    auto place = [this](QWidget* w, const char* name, int l, int t, int wd, int h,
                        unsigned anchors) {
        w->setObjectName(QString::fromLatin1(name));
        w->setGeometry(l, t, wd, h);
        placements_.push_back({w, l, t, wd, h, anchors});
    };

    ListBox1 = new display::OwnerDrawListBox(client);
    place(ListBox1, "ListBox1", 0, 0, 389, 370, kAll);
    ListBox1->setFont(UiFont(13));
    ListBox1->viewport()->setCursor(Qt::ArrowCursor);
    ListBox1->setMeasureItem([this](std::int64_t i) { return ListBox1MeasureItem(i); });
    ListBox1->setDrawItem(
        [this](QPainter& p, std::int64_t i, const QRect& r,
               display::OwnerDrawListBox::ItemState state) { ListBox1DrawItem(p, i, r, state); });
    connect(ListBox1, &display::OwnerDrawListBox::mousePressed, this,
            &TMainForm::ListBox1MouseDown);
    connect(ListBox1, &display::OwnerDrawListBox::keyPressed, this, &TMainForm::ListBox1KeyDown);
    // A line's tooltip: what its record is, what its transfer carries and what the checks found.
    new display::PacketToolTip(ListBox1, Session);

    ProgressBar1 = new QProgressBar(client);
    place(ProgressBar1, "ProgressBar1", 8, 382, 268, 16, AnchorLeft | AnchorRight | AnchorBottom);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setMaximumHeight(16);

    Label1 = new QLabel(client);
    place(Label1, "Label1", 276, 382, 0, 17, kRightBottom);
    Label1->setFont(display::StatusFont());
    Label1->setMaximumHeight(17);

    // In the status label's place, which a load hides; it shows only while a capture loads.
    CancelLoad = new QPushButton(QStringLiteral("Cancel"), client);
    place(CancelLoad, "CancelLoad", 276, 379, 85, 22, kRightBottom);
    CancelLoad->hide();
    connect(CancelLoad, &QPushButton::clicked, this, &TMainForm::CancelLoadClick);

    // The lamps share one spot; the one created last lies on top.
    const struct {
        QLabel** label;
        const char* name;
        int left, top;
        Lamp lamp;
    } lamps[] = {{&Image1, "Image1", 365, 374, Lamp::Unlit},
                 {&Image2, "Image2", 366, 374, Lamp::Green},
                 {&Image3, "Image3", 365, 373, Lamp::Red},
                 {&Image4, "Image4", 365, 373, Lamp::Yellow}};
    for (const auto& l : lamps) {
        *l.label = new QLabel(client);
        place(*l.label, l.name, l.left, l.top, 25, 30, kRightBottom);
        (*l.label)->setAlignment(Qt::AlignCenter);
        (*l.label)->setPixmap(LampPicture(l.lamp));
    }
    Image4->hide();

    GroupBox2 = new QGroupBox(QStringLiteral("Acquisition Control"), client);
    place(GroupBox2, "GroupBox2", 405, 0, 217, 105, AnchorTop | AnchorRight);
    Button3 = new QPushButton(QStringLiteral("Start"), GroupBox2);
    place(Button3, "Button3", 16, 24, 177, 25, kLeftTop);
    connect(Button3, &QPushButton::clicked, this, &TMainForm::Button3Click);
    Button4 = new QPushButton(QStringLiteral("Stop"), GroupBox2);
    place(Button4, "Button4", 16, 64, 177, 25, kLeftTop);
    Button4->setEnabled(false);
    connect(Button4, &QPushButton::clicked, this, &TMainForm::Button4Click);

    GroupBox1 = new QGroupBox(QStringLiteral("Data Navigation"), client);
    place(GroupBox1, "GroupBox1", 405, 120, 217, 281, AnchorTop | AnchorRight | AnchorBottom);
    Button2 = new QPushButton(QStringLiteral("Define Search"), GroupBox1);
    place(Button2, "Button2", 40, 24, 153, 25, kLeftTop);
    connect(Button2, &QPushButton::clicked, this, &TMainForm::Button2Click);
    Button1 = new QPushButton(QStringLiteral("Search"), GroupBox1);
    place(Button1, "Button1", 40, 56, 153, 25, kLeftTop);
    connect(Button1, &QPushButton::clicked, this, &TMainForm::Button1Click);
    RadioButton1 = new QRadioButton(QStringLiteral("From Start"), GroupBox1);
    place(RadioButton1, "RadioButton1", 16, 96, 81, 17, kLeftTop);
    RadioButton1->setChecked(true);
    connect(RadioButton1, &QRadioButton::clicked, this, &TMainForm::RadioButton1Click);
    RadioButton2 = new QRadioButton(QStringLiteral("From Cursor"), GroupBox1);
    place(RadioButton2, "RadioButton2", 112, 96, 81, 17, kLeftTop);
    connect(RadioButton2, &QRadioButton::clicked, this, &TMainForm::RadioButton2Click);
    Label2 = new QLabel(QStringLiteral("Shrink View"), GroupBox1);
    place(Label2, "Label2", 16, 128, 44, 32, kLeftTop);
    Label2->setFont(UiFont(13, QFont::Bold));
    Label2->setWordWrap(true);

    ListBox2 = new display::OwnerDrawListBox(GroupBox1);
    place(ListBox2, "ListBox2", 72, 128, 129, 142, kAll);
    ListBox2->setMeasureItem([this](std::int64_t i) { return ListBox2MeasureItem(i); });
    ListBox2->setDrawItem(
        [this](QPainter& p, std::int64_t i, const QRect& r, display::OwnerDrawListBox::ItemState) {
            ListBox2DrawItem(p, i, r);
        });
    connect(ListBox2, &display::OwnerDrawListBox::mousePressed, this,
            &TMainForm::ListBox2MouseDown);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(500);
    connect(Timer1, &QTimer::timeout, this, &TMainForm::Timer1Timer);
    Timer1->start();

    loadPoll_ = new QTimer(this);
    loadPoll_->setInterval(kLoadPollMs);
    connect(loadPoll_, &QTimer::timeout, this, [this] { apply(open_.Poll()); });
    cancelShortcut_ = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    cancelShortcut_->setEnabled(false);
    connect(cancelShortcut_, &QShortcut::activated, this, &TMainForm::CancelLoadClick);
}

void TMainForm::buildMenus() {
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu1"));

    QMenu* file = bar->addMenu(QStringLiteral("File"));
    // Open, Save As and Close stay together, in that order; the additions follow them.
    Open1 = AddItem(file, "Open", "Open1");
    SaveAs1 = AddItem(file, "Save As", "SaveAs1");
    Close1 = AddItem(file, "Close", "Close1");
    file->addSeparator();
    Recent1 = file->addMenu(QStringLiteral("Recent"));
    Recent1->setObjectName(QStringLiteral("Recent1"));
    Recent1->menuAction()->setObjectName(QStringLiteral("Recent1"));
    fillRecentMenu(LoadRecentCaptures());
    file->addSeparator();
    ImportPcap1 = AddItem(file, "Import pcap...", "ImportPcap1");
    ExportPcap1 = AddItem(file, "Export pcap...", "ExportPcap1");
    connect(ImportPcap1, &QAction::triggered, this, &TMainForm::ImportPcap1Click);
    connect(ExportPcap1, &QAction::triggered, this, &TMainForm::ExportPcap1Click);
    connect(Open1, &QAction::triggered, this, &TMainForm::Open1Click);
    connect(SaveAs1, &QAction::triggered, this, &TMainForm::SaveAs1Click);
    connect(Close1, &QAction::triggered, this, &TMainForm::Close1Click);

    QMenu* setup = bar->addMenu(QStringLiteral("Setup"));
    FullSpeed1 = AddItem(setup, "Full Speed", "FullSpeed1", true, true);
    LowSpeed1 = AddItem(setup, "Low Speed", "LowSpeed1", true, false);
    connect(FullSpeed1, &QAction::triggered, this, &TMainForm::FullSpeed1Click);
    connect(LowSpeed1, &QAction::triggered, this, &TMainForm::LowSpeed1Click);
    setup->addSeparator();
    SetCaptureLength1 = AddItem(setup, "Capture Size...", "SetCaptureLength1");
    connect(SetCaptureLength1, &QAction::triggered, this, &TMainForm::SetCaptureLength1Click);

    QMenu* trigger = bar->addMenu(QStringLiteral("Trigger"));
    DefineTrigger1 = AddItem(trigger, "Define Trigger", "DefineTrigger1");
    connect(DefineTrigger1, &QAction::triggered, this, &TMainForm::DefineTrigger1Click);
    ArmTrigger1 = AddItem(trigger, "Start Acquire", "ArmTrigger1");
    StopAcquire1 = AddItem(trigger, "Stop Acquire", "StopAcquire1");

    QMenu* display = bar->addMenu(QStringLiteral("Display"));
    ShowAll1 = AddItem(display, "Show All", "ShowAll1");
    HideDefine1 = AddItem(display, "Define Hide", "HideDefine1");
    connect(ShowAll1, &QAction::triggered, this, &TMainForm::ShowAll1Click);
    connect(HideDefine1, &QAction::triggered, this, &TMainForm::HideDefine1Click);

    QMenu* search = bar->addMenu(QStringLiteral("Search"));
    DefineSearch1 = AddItem(search, "Define Search", "DefineSearch1");
    SearchNext1 = AddItem(search, "Search from Cursor", "SearchNext1");
    SearchfromTop1 = AddItem(search, "Search from Top", "SearchfromTop1");
    connect(DefineSearch1, &QAction::triggered, this, &TMainForm::DefineSearch1Click);
    connect(SearchNext1, &QAction::triggered, this, &TMainForm::SearchNext1Click);
    connect(SearchfromTop1, &QAction::triggered, this, &TMainForm::SearchfromTop1Click);

    QMenu* view = bar->addMenu(QStringLiteral("View"));
    NoWrap1 = AddItem(view, "No Wrap", "NoWrap1", true, true);
    Wrap16 = AddItem(view, "Wrap at 16", "Wrap16", true, false);
    Wrap32 = AddItem(view, "Wrap at 32", "Wrap32", true, false);
    connect(NoWrap1, &QAction::triggered, this, &TMainForm::NoWrap1Click);
    connect(Wrap16, &QAction::triggered, this, &TMainForm::Wrap16Click);
    connect(Wrap32, &QAction::triggered, this, &TMainForm::Wrap32Click);
    view->addSeparator();
    Transfers1 = AddItem(view, "Transfers...", "Transfers1");
    connect(Transfers1, &QAction::triggered, this, &TMainForm::Transfers1Click);
    Devices1 = AddItem(view, "Devices...", "Devices1");
    connect(Devices1, &QAction::triggered, this, &TMainForm::Devices1Click);

    QMenu* about = bar->addMenu(QStringLiteral("About"));
    Status1 = AddItem(about, "Status", "Status1");
    About2 = AddItem(about, "About", "About2");
    connect(Status1, &QAction::triggered, this, &TMainForm::Status1Click);
    connect(About2, &QAction::triggered, this, &TMainForm::About2Click);
}

void TMainForm::layoutChildren(QWidget* parent) {
    const int designW = parent == client_ ? kClientWidth : 217;
    const int designH = parent == client_ ? kClientHeight : 281;
    for (const Placement& p : placements_) {
        if (p.widget->parentWidget() != parent) {
            continue;
        }
        int width = p.width;
        if (p.widget == Label1) {
            // The status label grows with its text, but never under the lamps.
            width = std::min(Label1->sizeHint().width(), kLampsLeft - p.left);
        }
        const display::Box b =
            display::AnchoredBox({p.left, p.top, width, p.height}, p.anchors, designW, designH,
                                 parent->width(), parent->height());
        p.widget->setGeometry(b.left, b.top, b.width, b.height);
    }
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize && (watched == client_ || watched == GroupBox1)) {
        layoutChildren(static_cast<QWidget*>(watched));
    }
    return QMainWindow::eventFilter(watched, event);
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
    beginRefresh();
    Session.hide(pass, &progress_);
    endRefresh();
}

void TMainForm::loadStarted() {
    // The open capture stays on screen, and scrollable, until the new one is complete.
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setFormat(QStringLiteral("Loading %p%"));
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
    open_.Cancel();
}

void TMainForm::reloadAs(const std::string& file) {
    open_.Name(file);
    sendCommand(capture::CMD_RELOAD);
}

bool TMainForm::refuseWhileLoading(const QString& title) {
    if (!open_.loading()) {
        return false;
    }
    ShowMessage(title, QStringLiteral("A capture is still loading. Wait for it to finish, or "
                                      "press Escape to stop it."));
    return true;
}

void TMainForm::ProgressBarSink::setRange(std::size_t max) {
    // Qt draws 0..0 as a busy bar that never stops; an empty store shows an empty bar instead.
    bar_->setRange(0, static_cast<int>(std::clamp<std::size_t>(max, 1, INT_MAX)));
    bar_->setValue(0);
}

void TMainForm::ProgressBarSink::setPosition(std::size_t position) {
    bar_->setValue(static_cast<int>(std::min<std::size_t>(position, INT_MAX)));
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
    fillRecentMenu(RememberRecentCapture(QString::fromStdString(file)));
}

void TMainForm::fillRecentMenu(const QStringList& files) {
    // Opening from this menu refills it: the old items go once their signals have returned.
    for (QAction* old : Recent1->actions()) {
        Recent1->removeAction(old);
        old->deleteLater();
    }
    for (const QString& file : files) {
        QAction* item = Recent1->addAction(file);
        connect(item, &QAction::triggered, this,
                [this, file] { OpenCaptureFile(file.toStdString()); });
    }
    Recent1->setEnabled(!files.isEmpty());
}

namespace {
/// The one local file a drag carries, or nothing.
std::optional<QString> DraggedFile(const QMimeData* data) {
    if (data == nullptr || !data->hasUrls() || data->urls().size() != 1 ||
        !data->urls().first().isLocalFile()) {
        return std::nullopt;
    }
    return data->urls().first().toLocalFile();
}
} // namespace

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

bool TMainForm::importPcap(const std::string& pcap) {
    // The capture goes beside the pcap, under its name; an existing file is never replaced.
    const QFileInfo info(QString::fromStdString(pcap));
    const std::string dat =
        info.dir().filePath(info.completeBaseName() + QStringLiteral(".dat")).toStdString();
    const capture::PcapResult result = open_.Import(pcap, dat);
    if (!result.ok()) {
        ShowMessage(QStringLiteral("Import pcap"), PcapFailure(result));
        return false;
    }
    sendCommand(capture::CMD_RELOAD);
    apply(open_.Report(session::OpenKind::Imported, dat));
    return true;
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
    const capture::PcapResult result =
        capture::ExportPcap(PacketList, *pcap, linkType, /*overwrite=*/true);
    if (!result.ok()) {
        ShowMessage(QStringLiteral("Export pcap"), PcapFailure(result));
    }
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

QString TMainForm::statusText(device::Status status) const {
    using device::Status;
    switch (status) {
    case Status::Empty:
        return {};
    case Status::Armed:
        return QStringLiteral("Armed");
    case Status::WaitingForTrigger:
        return QStringLiteral("Waiting for Trigger");
    case Status::Triggered:
        return QStringLiteral("Triggered");
    case Status::WaitForFifoFull:
        return QStringLiteral("Wait For FIFO Full");
    case Status::Downloading:
        return QStringLiteral("Downloading");
    case Status::ReadFailed:
        return QStringLiteral("Read Failed");
    case Status::Stopped:
        return QStringLiteral("Stopped");
    // The label has room for a few words only: the tooltip tells the rest.
    case Status::NothingReceived:
        return QStringLiteral("Nothing received");
    case Status::CannotWrite:
        return QStringLiteral("Cannot write file");
    case Status::AnalyzerBusy:
        return QStringLiteral("Analyzer busy");
    case Status::Incomplete:
        return QStringLiteral("Incomplete");
    }
    return {};
}

QString TMainForm::statusDetail(device::Status status) const {
    using device::Status;
    // Only a capture on screen can have been kept.
    const QString kept =
        PacketList.empty() ? QString() : QStringLiteral("; the previous capture is kept");
    switch (status) {
    case Status::NothingReceived:
        return QStringLiteral("Nothing was downloaded") + kept;
    case Status::CannotWrite:
        return QStringLiteral("Cannot write %1 (%2)")
                   .arg(QFileInfo(QString::fromStdString(acquisition_.target())).fileName(),
                        QString::fromStdString(acquisition_.lastDownload().reason)) +
               kept;
    case Status::AnalyzerBusy:
        return QStringLiteral("another acquisition is using this analyzer");
    case Status::Incomplete:
        return QStringLiteral("Download incomplete: %1 bytes")
            .arg(static_cast<qulonglong>(acquisition_.lastDownload().bytes));
    default:
        return {};
    }
}

void TMainForm::showStatusToolTip() {
    QString tip = statusDetail(shownStatus_);
    if (const std::string& problem = acquisition_.lockProblem(); !problem.empty()) {
        if (!tip.isEmpty()) {
            tip += QLatin1Char('\n');
        }
        tip += QStringLiteral("Not locked against other acquisitions (%1)")
                   .arg(QString::fromStdString(problem));
    }
    Label1->setToolTip(tip);
}

void TMainForm::clearDownloadStatus() {
    using device::Status;
    if (shownStatus_ != Status::NothingReceived && shownStatus_ != Status::CannotWrite &&
        shownStatus_ != Status::Incomplete) {
        return;
    }
    shownStatus_ = Status::Empty;
    Label1->clear();
    showStatusToolTip();
    layoutChildren(client_);
}

void TMainForm::apply(const device::AcquisitionEffects& e) {
    if (e.status) {
        shownStatus_ = *e.status;
        Label1->setText(statusText(*e.status));
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
    // Its indexes would be built from the capture that is about to be replaced.
    if (refuseWhileLoading(QStringLiteral("Transfers"))) {
        return;
    }
    if (!transfersForm_) {
        transfersForm_ = new TTransfersForm(hub_, this);
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
    if (refuseWhileLoading(QStringLiteral("Devices"))) {
        return;
    }
    if (!devicesForm_) {
        devicesForm_ = new TDevicesForm(hub_, this);
    }
    devicesForm_->show();
    devicesForm_->raise();
    devicesForm_->activateWindow();
    Session.announceCursor(session::CursorFrom::PacketList);
}

TDevicesForm* TMainForm::devicesForm() const {
    return devicesForm_;
}

void TMainForm::cursorMoved(std::size_t record, session::CursorFrom from) {
    // The list and the search place the list themselves.
    if (from != session::CursorFrom::Transfers && from != session::CursorFrom::Devices) {
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
