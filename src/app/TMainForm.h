#pragma once

#include "app/ProgressBarSink.h"
#include "app/RecentCaptures.h"
#include "app/SessionHub.h"
#include "app/TDefineHide.h"
#include "capture/Command.h"
#include "capture/EndpointTable.h"
#include "capture/PacketList.h"
#include "capture/Progress.h"
#include "device/Acquisition.h"
#include "display/OwnerDrawListBox.h"
#include "display/PacketLinePlan.h"
#include "search/SearchCriteria.h"
#include "session/BackgroundLoad.h"
#include "session/CaptureOpen.h"
#include "session/CaptureSession.h"

#include <QMainWindow>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QDragEnterEvent;
class QDropEvent;
class QMenu;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QShortcut;
class QTimer;

namespace vintrace::device {
class Analyzer;
}

namespace vintrace::app {

class TDevicesForm;
class TProblemsForm;
class TTransfersForm;

/// The main window: menus, the packet list and its shrink view, the acquisition and
/// navigation controls, the status label and lamps. It owns the capture session, shows it and
/// follows it through the session's signals.
class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    /// Builds the window and runs FormCreate; `analyzer` must outlive the window. Without
    /// `loadDefaultCapture` nothing is loaded at start (the caller opens a capture of its own).
    explicit TMainForm(device::Analyzer& analyzer, QWidget* parent = nullptr,
                       bool loadDefaultCapture = true);

    /// The analyzer the window talks to.
    device::Analyzer& analyzer() const { return analyzer_; }
    /// The acquisition the Start and Stop buttons and the status timer drive.
    device::Acquisition& acquisition() { return acquisition_; }
    ~TMainForm() override;

    /// Size of the client area below the menu bar that the layout is designed for.
    static constexpr int kClientWidth = 630;
    static constexpr int kClientHeight = 404;

    /// The open capture, its indexes and its cursor, shared with the companion windows. Only
    /// the user interface thread touches it.
    session::CaptureSession Session;
    // The open capture by the names the window has always used; only Session changes it.
    const std::string& CaptureFileName = Session.fileName();
    const capture::PacketList& PacketList = Session.packets();
    const capture::EndpointTable& EndpointTable = Session.endpoints();
    /// What Search looks for, edited by Define Search; kept for the whole run.
    search::SearchCriteria SearchCriteria;
    /// The progress bar's maximum during a download.
    std::int32_t CaptureSize = 0;

    // Controls, by their names in the layout.
    display::OwnerDrawListBox* ListBox1 = nullptr;
    display::OwnerDrawListBox* ListBox2 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Image2 = nullptr;
    QLabel* Image3 = nullptr;
    QLabel* Image4 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    QPushButton* Button3 = nullptr;
    QPushButton* Button4 = nullptr;
    QRadioButton* RadioButton1 = nullptr;
    QRadioButton* RadioButton2 = nullptr;
    QLabel* Label2 = nullptr;
    QTimer* Timer1 = nullptr;
    /// Stops a capture that is loading in the background; shown only then, where the status
    /// label is.
    QPushButton* CancelLoad = nullptr;

    /// Captures of at least this many bytes load in the background; smaller ones at once.
    /// Tests lower it to load small files in the background.
    std::uint64_t BackgroundLoadBytes = session::kBackgroundLoadBytes;
    /// Captures of at least this many records hide on a worker, the capture staying on
    /// screen until the rest is ready; smaller ones at once. Tests lower it.
    std::size_t BackgroundHideRecords = session::kBackgroundHideRecords;
    /// Captures of at least this many records export on a worker, the window staying live;
    /// smaller ones at once. Tests lower it.
    std::size_t BackgroundExportRecords = session::kBackgroundExportRecords;
    /// pcap files of at least this many bytes import on a worker; smaller ones at once. Tests
    /// lower it.
    std::uint64_t BackgroundImportBytes = session::kBackgroundImportBytes;
    /// True while a capture loads, hides, exports or imports in the background: the open capture
    /// stays on screen and the commands that would touch the store are refused until that ends.
    bool loading() const {
        return open_.loading() || Session.backgroundHide() != nullptr ||
               Session.backgroundExport() != nullptr || open_.importing() != nullptr;
    }
    /// What the session tells, as Qt signals; the companion windows connect to it.
    SessionHub& hub() { return hub_; }
    /// Stores File > Recent off the window's thread.
    RecentCaptureWriter& recentWriter() { return recentWriter_; }

    // Menu items.
    QAction* Open1 = nullptr;
    QMenu* Recent1 = nullptr; // the last captures opened, newest first
    QAction* SaveAs1 = nullptr;
    QAction* ImportPcap1 = nullptr;
    QAction* ExportPcap1 = nullptr;
    QAction* Close1 = nullptr;
    QAction* FullSpeed1 = nullptr;
    QAction* LowSpeed1 = nullptr;
    QAction* SetCaptureLength1 = nullptr;
    QAction* DefineTrigger1 = nullptr;
    QAction* ArmTrigger1 = nullptr;
    QAction* StopAcquire1 = nullptr;
    QAction* ShowAll1 = nullptr;
    QAction* HideDefine1 = nullptr;
    QAction* DefineSearch1 = nullptr;
    QAction* SearchNext1 = nullptr;
    QAction* SearchfromTop1 = nullptr;
    QAction* NoWrap1 = nullptr;
    QAction* Wrap16 = nullptr;
    QAction* Wrap32 = nullptr;
    QAction* Transfers1 = nullptr;
    QAction* Devices1 = nullptr;
    QAction* Problems1 = nullptr;
    QAction* NextProblem1 = nullptr;     // F8
    QAction* PreviousProblem1 = nullptr; // Shift+F8
    QAction* Status1 = nullptr;
    QAction* About2 = nullptr;

    /// The wrap mode, which the View menu's check marks show.
    display::WrapMode wrapMode() const { return wrapMode_; }
    /// True when Search starts at the first record, false when at the cursor; the radio
    /// buttons show it.
    bool searchFromStart() const { return searchFromStart_; }
    /// The Transfers window, once opened (nothing before or after it is closed).
    TTransfersForm* transfersForm() const;
    /// The Devices window, once opened (nothing before or after it is closed).
    TDevicesForm* devicesForm() const;
    /// The Problems window, once opened (nothing before or after it is closed).
    TProblemsForm* problemsForm() const;

    /// Opens `file` as the capture, as Open does; a .pcap or .pcapng is imported first, as
    /// Import pcap does. A failure is shown. For the command line, dropped files and Recent.
    void OpenCaptureFile(const std::string& file);

    /// Runs one command of the shared record: codes 7, 0, 1, 2, 3, 5, 6 in that order of
    /// test; any other code is ignored. While a capture loads in the background, hides and
    /// searches are refused and a reload takes the running load's place.
    void HandleCommand(capture::CommandMessage& message);
    /// Sends what the hide dialog chose through the shared record, offered to every window
    /// in turn as the dialog's commands always are.
    void SendHideRequest(const HideRequest& request);

    /// Asks the user for a capture file ("*.dat"); nothing when cancelled. Replaceable so
    /// that tests need no dialog.
    std::function<std::optional<std::string>()> ChooseCaptureFile;
    /// Asks the user for the name to keep the capture under; nothing when cancelled.
    std::function<std::optional<std::string>()> ChooseSaveName;
    /// Asks for a pcap or pcapng file to import; nothing when cancelled.
    std::function<std::optional<std::string>()> ChoosePcapToImport;
    /// Asks for the pcap file to export to (the dialog confirms replacing one).
    std::function<std::optional<std::string>()> ChoosePcapToExport;
    /// Shows a message to the user. Replaceable so that tests need no message box.
    std::function<void(const QString& title, const QString& text)> ShowMessage;

    // Owner-drawn lists: heights and painting come from the records.
    int ListBox1MeasureItem(std::int64_t index) const;
    void ListBox1DrawItem(QPainter& painter, std::int64_t index, const QRect& rect,
                          display::OwnerDrawListBox::ItemState state) const;
    int ListBox2MeasureItem(std::int64_t index) const;
    void ListBox2DrawItem(QPainter& painter, std::int64_t index, const QRect& rect) const;

public slots:
    void Open1Click();
    void SaveAs1Click();
    void ImportPcap1Click();
    void ExportPcap1Click();
    void ShowAll1Click();
    void HideDefine1Click();
    void Button2Click(); // Define Search
    void DefineSearch1Click();
    void Button1Click(); // Search
    void SearchNext1Click();
    void SearchfromTop1Click();
    void RadioButton1Click();
    void RadioButton2Click();
    void DefineTrigger1Click();
    void Status1Click();
    void FullSpeed1Click();
    void LowSpeed1Click();
    void SetCaptureLength1Click();
    void Button3Click(); // Start
    void Button4Click(); // Stop
    void Timer1Timer();
    void Close1Click();
    void About2Click();
    void NoWrap1Click();
    void Wrap16Click();
    void Wrap32Click();
    void Transfers1Click();
    void Devices1Click();
    void Problems1Click();
    /// F8 and Shift+F8: the cursor goes to the next or previous finding of the checker.
    void NextProblem1Click();
    void PreviousProblem1Click();
    void ListBox1MouseDown(Qt::MouseButton button, const QPoint& position);
    void ListBox1KeyDown(int key, Qt::KeyboardModifiers modifiers);
    void ListBox2MouseDown();
    /// Stops the background load (the Cancel button, Escape); the open capture stays.
    void CancelLoadClick();

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void buildControls(QWidget* client);
    void buildMenus();
    void layoutChildren(QWidget* parent);
    void FormCreate();
    void FormClose();
    void setWrapMode(display::WrapMode mode);
    void setSearchFromStart(bool fromStart);
    void sendCommand(std::uint8_t command);
    /// Decodes CaptureFileName into the store at once; ListBox1 is hidden meanwhile.
    void LoadCaptureFile();
    /// The reload of the hub (CMD_RELOAD): at once, or in the background for a large file.
    void reload();
    /// Imports `pcap` beside itself and opens the result, saying why on failure; a large pcap
    /// on a worker.
    void importPcap(const std::string& pcap);
    /// Puts `file` first in File > Recent.
    void rememberCapture(const std::string& file);
    void fillRecentMenu(const QStringList& files);
    void runSearch(const capture::CommandMessage& message);
    void beginRefresh();
    void endRefresh();
    /// Runs one hide pass as a hide command does: lists hidden and refilled, progress shown.
    /// A large capture hides on a worker instead, as a background load does.
    void hide(const capture::HidePass& pass);
    /// Shows how far the hide on the worker has come; swaps its result in once it is done.
    void pollHide();
    /// Stops a hide on the worker, if one runs, and puts the status label back.
    void cancelHide();
    /// Shows how far the export on the worker has come; says how it ended once it has.
    void pollExport();
    /// Stops an export on the worker, if one runs; its target stays as it was.
    void cancelExport();
    /// Shows how far the import on the worker has come; goes on as imported() once it ends.
    void pollImport();
    /// Stops an import on the worker, if one runs; nothing of it is left.
    void cancelImport();
    /// Puts the status label back once an export or import has ended, unless a load or hide
    /// shows its progress there.
    void jobFinished();
    /// Tells what became of the import of `pcap` and loads the capture it made.
    void imported(const std::string& pcap, const capture::PcapResult& result);

    /// Names `file` as the capture and reloads it; a background load that does not complete
    /// gives the previous name back.
    void reloadAs(const std::string& file);
    /// Applies what a step of opening or reloading asks for.
    void apply(const session::OpenEffects& effects);
    /// Once a capture the user asked for has loaded, or not: says why it did not, or puts it
    /// in File > Recent.
    void report(const session::OpenOutcome& outcome);

    // What the session tells, through the hub.
    /// The store changed: both lists show it anew.
    void storeChanged();
    /// The cursor moved: a companion window moved it, so the list shows it as a click would.
    void cursorMoved(std::size_t record, session::CursorFrom from);
    /// A background load began: its progress and the way to stop it take the status label's
    /// place, and the capture on screen stays.
    void loadStarted();
    /// Puts a progress bar with `format` ("Loading %p%") and Cancel in the status label's place.
    void showBackgroundProgress(const QString& format);
    void loadProgress(std::uint64_t done, std::uint64_t total);
    /// Puts the progress bar and the status label back.
    void loadFinished();
    /// Takes away a status text that speaks of the last download's capture ("Nothing
    /// received", "Incomplete", "Cannot write file") once another capture has replaced it.
    void clearDownloadStatus();
    /// Sets the status label's tooltip from its status, the store as it is now and the
    /// running acquisition.
    void showStatusToolTip();
    /// True (after telling the user) while a capture loads in the background.
    bool refuseWhileLoading(const QString& title);

    /// Shows a pass's progress on ProgressBar1.
    ProgressBarSink progress_{ProgressBar1};
    display::WrapMode wrapMode_ = display::WrapMode::NoWrap;
    bool searchFromStart_ = true;
    /// The bus speed chosen in the Setup menu, which its check marks show.
    bool lowSpeed_ = false;
    QPointer<TTransfersForm> transfersForm_;
    QPointer<TDevicesForm> devicesForm_;
    QPointer<TProblemsForm> problemsForm_;
    /// A step to a finding asked for while the capture was being checked; made once it is.
    std::optional<bool> pendingProblemStep_;
    void stepProblem(bool forward);
    /// Gives the Transfers window the findings of the store as it is now to mark, or none.
    void markTransfers();
    bool loadDefaultCapture_ = true;
    /// What File > Recent shows.
    QStringList recent_;
    RecentCaptureWriter recentWriter_{this, [this](const QStringList& stored) {
                                          if (stored != recent_) {
                                              fillRecentMenu(stored);
                                          }
                                      }};

    /// Opening and reloading, at once or in the background.
    session::CaptureOpen open_{Session};
    SessionHub hub_{Session};
    QTimer* loadPoll_ = nullptr;
    QTimer* hidePoll_ = nullptr;
    QTimer* exportPoll_ = nullptr;
    QTimer* importPoll_ = nullptr;
    /// The pcap the import on the worker reads.
    std::string importing_;
    QShortcut* cancelShortcut_ = nullptr;

    void setBusSpeed(QAction* chosen, std::uint8_t speed);

    void apply(const device::AcquisitionEffects& effects);
    /// What the status label shows.
    device::Status shownStatus_ = device::Status::Empty;

    device::Analyzer& analyzer_;
    device::Acquisition acquisition_{analyzer_};

    struct Placement {
        QWidget* widget;
        int left, top, width, height;
        unsigned anchors;
    };
    /// Design geometry of every control, per parent, for the anchored layout.
    std::vector<Placement> placements_;
    QWidget* client_ = nullptr;
};

} // namespace vintrace::app
