#pragma once

#include "app/SessionHub.h"
#include "display/StreamLineModel.h"
#include "protocol/EndpointStream.h"

#include <QWidget>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QComboBox;
class QLabel;
class QListView;
class QPushButton;
class QTimer;

namespace vintrace::app {

/// One endpoint pair's conversation, both directions in capture order and coloured by who
/// sent them, as text or as a hex dump; it saves the raw bytes of either direction or both.
/// The conversation is read from the transfer list a stretch at a time on the user interface
/// thread, so the window never waits long; a change of the store reads it again.
class TFollowStreamForm : public QWidget {
    Q_OBJECT
public:
    /// Follows `pair` over the session's transfer list (`fold` as the Transfers window
    /// shows it).
    TFollowStreamForm(SessionHub& hub, protocol::StreamPair pair, bool fold,
                      QWidget* parent = nullptr);

    /// "host → device: n bytes" and "device → host: n bytes", each in its direction's colour.
    QLabel* OutLegend = nullptr;
    QLabel* InLegend = nullptr;
    /// Both directions, host → device only, device → host only: what is shown and saved.
    QComboBox* DirectionCombo = nullptr;
    /// Text or hex dump.
    QComboBox* ViewCombo = nullptr;
    QListView* StreamList = nullptr;
    /// Progress, a capture that changed, or a stream cut at the limit; hidden otherwise.
    QLabel* NoteLabel = nullptr;
    QPushButton* SaveButton = nullptr;

    /// Items read per look at the clock, and how long one turn of the event loop may read.
    std::size_t StepItems = 4096;
    int StepMilliseconds = 25;
    /// Captures of at least this many records wait for the session's worker to group them.
    std::size_t BackgroundRecords = std::size_t{500'000};

    /// Asks for the file Save as writes (nothing: cancelled); a file dialog by default.
    std::function<std::optional<std::string>()> ChooseFile;
    /// Shows a failure; a message box by default.
    std::function<void(const QString& title, const QString& text)> ShowMessage;

    const protocol::StreamPair& pair() const { return pair_; }
    /// True once the conversation shown is the one of the store as it is now.
    bool Finished() const;

private:
    /// Reads the conversation again from the first item.
    void restart();
    /// One turn of reading; shows the conversation once it is read.
    void step();
    /// Shows the conversation read last in the chosen view and direction.
    void showConversation();
    void updateLegend();
    void save();
    std::optional<protocol::Direction> chosenDirection() const;

    session::CaptureSession& session_;
    protocol::StreamPair pair_;
    bool fold_;
    display::StreamLineModel model_;
    std::unique_ptr<protocol::ConversationBuilder> builder_;
    /// What is shown; kept while a changed store is read again.
    std::shared_ptr<const protocol::Conversation> conversation_;
    QTimer* timer_ = nullptr;
    /// The store changed since the conversation shown was read.
    bool changed_ = false;
};

} // namespace vintrace::app
