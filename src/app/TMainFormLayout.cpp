// The main window's controls and menus, placed as the layout gives them, and their anchored
// resizing. The handlers they call are in TMainForm.cpp.

#include "app/Pictures.h"
#include "app/RecentCaptures.h"
#include "app/TMainForm.h"
#include "display/AnchorGeometry.h"
#include "display/Fonts.h"
#include "display/PacketToolTip.h"

#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QTimer>

#include <algorithm>

namespace vintrace::app {

namespace {

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
    hidePoll_ = new QTimer(this);
    hidePoll_->setInterval(kLoadPollMs);
    connect(hidePoll_, &QTimer::timeout, this, &TMainForm::pollHide);
    exportPoll_ = new QTimer(this);
    exportPoll_->setInterval(kLoadPollMs);
    connect(exportPoll_, &QTimer::timeout, this, &TMainForm::pollExport);
    importPoll_ = new QTimer(this);
    importPoll_->setInterval(kLoadPollMs);
    connect(importPoll_, &QTimer::timeout, this, &TMainForm::pollImport);
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
    // The keys every search-capable program uses: Ctrl+F to say what, F3 to find the next.
    DefineSearch1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
    SearchNext1->setShortcut(QKeySequence(Qt::Key_F3));
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
    Problems1 = AddItem(view, "Problems...", "Problems1");
    connect(Problems1, &QAction::triggered, this, &TMainForm::Problems1Click);
    NextProblem1 = AddItem(view, "Next Problem", "NextProblem1");
    NextProblem1->setShortcut(QKeySequence(Qt::Key_F8));
    connect(NextProblem1, &QAction::triggered, this, &TMainForm::NextProblem1Click);
    PreviousProblem1 = AddItem(view, "Previous Problem", "PreviousProblem1");
    PreviousProblem1->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F8));
    connect(PreviousProblem1, &QAction::triggered, this, &TMainForm::PreviousProblem1Click);

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

} // namespace vintrace::app
