#include "app/TFollowStreamForm.h"

#include "app/WindowActions.h"
#include "capture/StagedFile.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace vintrace::app {

namespace {

using protocol::Direction;

QString EndpointName(std::optional<std::uint8_t> endpoint, Direction direction) {
    if (!endpoint) {
        return QStringLiteral("none");
    }
    const int address = *endpoint | (direction == Direction::In ? 0x80 : 0);
    return QStringLiteral("0x%1").arg(address, 2, 16, QLatin1Char('0'));
}

QString Styled(Direction direction) {
    return QStringLiteral("QLabel { color: %1; background: %2; padding: 2px 6px; }")
        .arg(display::StreamTextColour(direction).name(),
             display::StreamBandColour(direction).name());
}

} // namespace

TFollowStreamForm::TFollowStreamForm(SessionHub& hub, protocol::StreamPair pair, bool fold,
                                     QWidget* parent)
    : QWidget(parent, Qt::Window), session_(hub.session()), pair_(pair), fold_(fold) {
    setObjectName(QStringLiteral("FollowStreamForm"));
    setWindowTitle(
        QStringLiteral("Follow stream — address %1, OUT %2, IN %3")
            .arg(pair.address)
            .arg(EndpointName(pair.out, Direction::Out), EndpointName(pair.in, Direction::In)));
    resize(760, 560);

    OutLegend = new QLabel(this);
    OutLegend->setObjectName(QStringLiteral("OutLegend"));
    OutLegend->setStyleSheet(Styled(Direction::Out));
    InLegend = new QLabel(this);
    InLegend->setObjectName(QStringLiteral("InLegend"));
    InLegend->setStyleSheet(Styled(Direction::In));
    DirectionCombo = new QComboBox(this);
    DirectionCombo->setObjectName(QStringLiteral("DirectionCombo"));
    DirectionCombo->addItems({QStringLiteral("Both directions"), QStringLiteral("host → device"),
                              QStringLiteral("device → host")});
    ViewCombo = new QComboBox(this);
    ViewCombo->setObjectName(QStringLiteral("ViewCombo"));
    ViewCombo->addItems({QStringLiteral("Text"), QStringLiteral("Hex dump")});
    auto* showLabel = new QLabel(QStringLiteral("&Show:"), this);
    showLabel->setBuddy(DirectionCombo);
    auto* viewLabel = new QLabel(QStringLiteral("&View:"), this);
    viewLabel->setBuddy(ViewCombo);

    NoteLabel = new QLabel(this);
    NoteLabel->setObjectName(QStringLiteral("NoteLabel"));
    NoteLabel->setWordWrap(true);
    NoteLabel->hide();

    StreamList = new QListView(this);
    StreamList->setObjectName(QStringLiteral("StreamList"));
    // Same-height rows: the view places millions of lines without asking each one.
    StreamList->setUniformItemSizes(true);
    StreamList->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    StreamList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    StreamList->setModel(&model_);

    SaveButton = new QPushButton(QStringLiteral("Save &as..."), this);
    SaveButton->setObjectName(QStringLiteral("SaveButton"));

    auto* top = new QHBoxLayout;
    top->addWidget(OutLegend);
    top->addWidget(InLegend);
    top->addStretch();
    top->addWidget(showLabel);
    top->addWidget(DirectionCombo);
    top->addWidget(viewLabel);
    top->addWidget(ViewCombo);
    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    bottom->addWidget(SaveButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(NoteLabel);
    layout->addWidget(StreamList);
    layout->addLayout(bottom);

    connect(DirectionCombo, &QComboBox::currentIndexChanged, this,
            &TFollowStreamForm::showConversation);
    connect(ViewCombo, &QComboBox::currentIndexChanged, this, &TFollowStreamForm::showConversation);
    connect(SaveButton, &QPushButton::clicked, this, &TFollowStreamForm::save);
    connect(&hub, &SessionHub::storeChanged, this, [this] {
        changed_ = true;
        restart();
    });

    ChooseFile = SaveFileChooser(this, QStringLiteral("Save stream"),
                                 QStringLiteral("Binary (*.bin);;All files (*)"));
    ShowMessage = [this](const QString& title, const QString& text) {
        QMessageBox::warning(this, title, text);
    };

    timer_ = new QTimer(this);
    timer_->setInterval(0);
    connect(timer_, &QTimer::timeout, this, &TFollowStreamForm::step);
    updateLegend();
    restart();
}

bool TFollowStreamForm::Finished() const {
    return !timer_->isActive() && !changed_;
}

std::optional<Direction> TFollowStreamForm::chosenDirection() const {
    switch (DirectionCombo->currentIndex()) {
    case 1:
        return Direction::Out;
    case 2:
        return Direction::In;
    default:
        return std::nullopt;
    }
}

void TFollowStreamForm::restart() {
    builder_ = std::make_unique<protocol::ConversationBuilder>(pair_);
    NoteLabel->setText(changed_ ? QStringLiteral("The capture changed: reading the stream again...")
                                : QStringLiteral("Reading the stream..."));
    NoteLabel->show();
    SaveButton->setEnabled(conversation_ != nullptr);
    timer_->start();
}

void TFollowStreamForm::step() {
    const bool ready =
        session_.transfersReady(fold_) || session_.packets().size() < BackgroundRecords;
    if (!ready) {
        // A large capture is grouped on the session's worker; the window looks in again.
        session_.collectPrepared();
        if (!session_.transfersReady(fold_)) {
            // A build under way (the Transfers window's, maybe of the other fold) is left to
            // finish: starting another would throw it away.
            if (!session_.preparing()) {
                session_.prepareTransfers(fold_);
            }
            const double progress = session_.preparing().value_or(0.0);
            NoteLabel->setText(
                QStringLiteral("Grouping transfers %1%").arg(static_cast<int>(progress * 100)));
            timer_->setInterval(50);
            return;
        }
    }
    timer_->setInterval(0);
    const protocol::TransferList& items = session_.transferList(fold_);
    QElapsedTimer clock;
    clock.start();
    while (!builder_->Step(session_.packets(), session_.transactions(), session_.devices(), items,
                           StepItems)) {
        if (clock.elapsed() >= StepMilliseconds) {
            NoteLabel->setText(QStringLiteral("Reading the stream %1%")
                                   .arg(items.size() == 0 ? 100
                                                          : static_cast<int>(builder_->position() *
                                                                             100 / items.size())));
            return;
        }
    }
    timer_->stop();
    changed_ = false;
    conversation_ = std::make_shared<const protocol::Conversation>(builder_->take());
    builder_.reset();
    showConversation();
}

void TFollowStreamForm::showConversation() {
    const auto direction = chosenDirection();
    // One direction reads as one run, its lines unbroken where the other side spoke.
    std::shared_ptr<const protocol::Conversation> shown = conversation_;
    if (conversation_ && direction) {
        shown = std::make_shared<const protocol::Conversation>(conversation_->oneWay(*direction));
    }
    model_.Show(std::move(shown), ViewCombo->currentIndex() == 1 ? display::StreamView::Hex
                                                                 : display::StreamView::Text);
    updateLegend();
    if (!conversation_ || timer_->isActive()) {
        return;
    }
    SaveButton->setEnabled(true);
    const protocol::Conversation& c = *conversation_;
    QString note;
    if (c.transfers[0] + c.transfers[1] == 0) {
        note = QStringLiteral("The capture holds no bulk or interrupt transfers at this pair.");
    } else if (c.cut) {
        note = QStringLiteral("Only the first %1 bytes are shown and saved: the stream is "
                              "longer. vintrace-cli stream writes all of it.")
                   .arg(QLocale().toString(
                       static_cast<qulonglong>(protocol::ConversationBuilder::kDefaultKeep)));
    }
    NoteLabel->setText(note);
    NoteLabel->setVisible(!note.isEmpty());
}

void TFollowStreamForm::updateLegend() {
    const auto text = [this](Direction d, const QString& way,
                             std::optional<std::uint8_t> endpoint) {
        if (!endpoint) {
            return QStringLiteral("%1: no endpoint").arg(way);
        }
        if (!conversation_) {
            return way;
        }
        const std::uint64_t bytes = conversation_->bytes[d == Direction::In ? 1 : 0];
        return QStringLiteral("%1: %2 %3")
            .arg(way, QLocale().toString(static_cast<qulonglong>(bytes)),
                 bytes == 1 ? QStringLiteral("byte") : QStringLiteral("bytes"));
    };
    OutLegend->setText(text(Direction::Out, QStringLiteral("host → device"), pair_.out));
    InLegend->setText(text(Direction::In, QStringLiteral("device → host"), pair_.in));
}

void TFollowStreamForm::save() {
    if (!conversation_) {
        return;
    }
    const std::vector<std::uint8_t> bytes = conversation_->bytesOf(chosenDirection());
    const auto target = ChooseFile();
    if (!target) {
        return;
    }
    // Staged beside the target: a failed write never leaves half a file or harms the one it
    // would replace. The file dialog has asked before replacing one.
    if (const auto failed = capture::ReplaceFileWith(
            *target, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()))) {
        ShowMessage(QStringLiteral("Save stream"),
                    QStringLiteral("Cannot write %1: %2")
                        .arg(QString::fromStdString(*target), QString::fromStdString(*failed)));
    }
}

} // namespace vintrace::app
