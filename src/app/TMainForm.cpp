#include "app/TMainForm.h"

#include "app/AnchorGeometry.h"
#include "app/Pictures.h"
#include "app/TAboutForm.h"
#include "capture/CaptureLoader.h"
#include "device/Analyzer.h"
#include "display/Fonts.h"
#include "display/PacketLineDelegate.h"
#include "display/PacketListModel.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QListView>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

namespace vintrace::app {

namespace {

using display::UiFont;

constexpr unsigned kLeftTop = AnchorLeft | AnchorTop;
constexpr unsigned kAll = AnchorLeft | AnchorTop | AnchorRight | AnchorBottom;
constexpr unsigned kRightBottom = AnchorRight | AnchorBottom;

QAction* AddItem(QMenu* menu, const char* caption, const char* name, bool checkable = false,
                 bool checked = false) {
    QAction* action = menu->addAction(QString::fromLatin1(caption));
    action->setObjectName(QString::fromLatin1(name));
    action->setCheckable(checkable);
    action->setChecked(checked);
    return action;
}

} // namespace

TMainForm::TMainForm(device::Analyzer& analyzer, QWidget* parent)
    : QMainWindow(parent), analyzer_(analyzer) {
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Vintrace"));
    setWindowIcon(WindowIcon());
    setFont(UiFont(11));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    setPalette(pal);

    client_ = new QWidget(this);
    client_->setObjectName(QStringLiteral("ClientArea"));
    setCentralWidget(client_);
    buildControls(client_);
    buildMenus();
    client_->installEventFilter(this);
    GroupBox1->installEventFilter(this);

    resize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());
    FormCreate();
}

TMainForm::~TMainForm() = default;

void TMainForm::buildControls(QWidget* client) {
    auto place = [this](QWidget* w, const char* name, int l, int t, int wd, int h,
                        unsigned anchors) {
        w->setObjectName(QString::fromLatin1(name));
        w->setGeometry(l, t, wd, h);
        placements_.push_back({w, l, t, wd, h, anchors});
    };

    model_ = new display::PacketListModel(PacketList, this);

    ListBox1 = new QListView(client);
    place(ListBox1, "ListBox1", 0, 0, 389, 370, kAll);
    ListBox1->setFont(UiFont(13));
    ListBox1->setModel(model_);
    ListBox1->setItemDelegate(new display::PacketLineDelegate(ListBox1));
    ListBox1->setUniformItemSizes(true);
    ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListBox1->setCursor(Qt::ArrowCursor);

    ProgressBar1 = new QProgressBar(client);
    place(ProgressBar1, "ProgressBar1", 8, 382, 268, 16, AnchorLeft | AnchorRight | AnchorBottom);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setMaximumHeight(16);

    Label1 = new QLabel(client);
    place(Label1, "Label1", 276, 382, 0, 17, kRightBottom);
    Label1->setFont(UiFont(12, QFont::Black));
    Label1->setMaximumHeight(17);

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
    Button4 = new QPushButton(QStringLiteral("Stop"), GroupBox2);
    place(Button4, "Button4", 16, 64, 177, 25, kLeftTop);
    Button4->setEnabled(false);

    GroupBox1 = new QGroupBox(QStringLiteral("Data Navigation"), client);
    place(GroupBox1, "GroupBox1", 405, 120, 217, 281, AnchorTop | AnchorRight | AnchorBottom);
    Button2 = new QPushButton(QStringLiteral("Define Search"), GroupBox1);
    place(Button2, "Button2", 40, 24, 153, 25, kLeftTop);
    Button1 = new QPushButton(QStringLiteral("Search"), GroupBox1);
    place(Button1, "Button1", 40, 56, 153, 25, kLeftTop);
    RadioButton1 = new QRadioButton(QStringLiteral("From Start"), GroupBox1);
    place(RadioButton1, "RadioButton1", 16, 96, 81, 17, kLeftTop);
    RadioButton1->setChecked(true);
    RadioButton2 = new QRadioButton(QStringLiteral("From Cursor"), GroupBox1);
    place(RadioButton2, "RadioButton2", 112, 96, 81, 17, kLeftTop);
    Label2 = new QLabel(QStringLiteral("Shrink View"), GroupBox1);
    place(Label2, "Label2", 16, 128, 44, 32, kLeftTop);
    Label2->setFont(UiFont(13, QFont::Bold));
    Label2->setWordWrap(true);

    ListBox2 = new QListView(GroupBox1);
    place(ListBox2, "ListBox2", 72, 128, 129, 142, kAll);
    ListBox2->setModel(model_);
    ListBox2->setItemDelegate(new display::ShrinkLineDelegate(ListBox2));
    ListBox2->setUniformItemSizes(true);
    ListBox2->setSelectionMode(QAbstractItemView::SingleSelection);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(500);
    Timer1->start();
}

void TMainForm::buildMenus() {
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu1"));

    QMenu* file = bar->addMenu(QStringLiteral("File"));
    Open1 = AddItem(file, "Open", "Open1");
    SaveAs1 = AddItem(file, "Save As", "SaveAs1");
    Close1 = AddItem(file, "Close", "Close1");
    connect(Close1, &QAction::triggered, this, &TMainForm::Close1Click);

    QMenu* setup = bar->addMenu(QStringLiteral("Setup"));
    FullSpeed1 = AddItem(setup, "Full Speed", "FullSpeed1", true, true);
    LowSpeed1 = AddItem(setup, "Low Speed", "LowSpeed1", true, false);

    QMenu* trigger = bar->addMenu(QStringLiteral("Trigger"));
    DefineTrigger1 = AddItem(trigger, "Define Trigger", "DefineTrigger1");
    ArmTrigger1 = AddItem(trigger, "Start Acquire", "ArmTrigger1");
    StopAcquire1 = AddItem(trigger, "Stop Acquire", "StopAcquire1");

    QMenu* display = bar->addMenu(QStringLiteral("Display"));
    ShowAll1 = AddItem(display, "Show All", "ShowAll1");
    HideDefine1 = AddItem(display, "Define Hide", "HideDefine1");

    QMenu* search = bar->addMenu(QStringLiteral("Search"));
    DefineSearch1 = AddItem(search, "Define Search", "DefineSearch1");
    SearchNext1 = AddItem(search, "Search from Cursor", "SearchNext1");
    SearchfromTop1 = AddItem(search, "Search from Top", "SearchfromTop1");

    QMenu* view = bar->addMenu(QStringLiteral("View"));
    NoWrap1 = AddItem(view, "No Wrap", "NoWrap1", true, true);
    Wrap16 = AddItem(view, "Wrap at 16", "Wrap16", true, false);
    Wrap32 = AddItem(view, "Wrap at 32", "Wrap32", true, false);

    QMenu* about = bar->addMenu(QStringLiteral("About"));
    Status1 = AddItem(about, "Status", "Status1");
    About2 = AddItem(about, "About", "About2");
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
            // The status label grows with its text, leftwards from its right anchor.
            width = Label1->sizeHint().width();
        }
        const Box b = AnchoredBox({p.left, p.top, width, p.height}, p.anchors, designW, designH,
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
    CaptureFileName = "usbdata.dat";
    PacketList.clear();
    EndpointTable.clear();
    LoadCaptureFile();
}

bool TMainForm::LoadCaptureFile(std::string* reason) {
    ListBox1->setVisible(false);
    model_->beginRefresh();
    const capture::LoadResult result =
        capture::LoadCaptureFile(CaptureFileName, PacketList, EndpointTable);
    model_->endRefresh();
    ListBox1->setVisible(true);
    if (reason != nullptr) {
        *reason = result.reason;
    }
    return result.ok();
}

void TMainForm::FormClose() {
    model_->beginRefresh();
    PacketList.clear();
    EndpointTable.clear();
    model_->endRefresh();
}

void TMainForm::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
}

void TMainForm::Close1Click() { close(); }

void TMainForm::About2Click() {
    TAboutForm about(this);
    about.exec();
}

} // namespace vintrace::app
