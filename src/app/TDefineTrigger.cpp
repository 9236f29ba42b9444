#include "app/TDefineTrigger.h"

#include "device/Analyzer.h"
#include "display/Fonts.h"

#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

namespace vintrace::app {

namespace {
struct TriggerRow {
    const char* name;
    const char* caption;
    int top;
    std::uint8_t code; // the 4-bit PID of the packet kind; 15 triggers on arming
    const char* success;
    const char* failure; // the capitals differ from row to row
};

constexpr std::array<TriggerRow, 10> kRows = {{
    {"RadioButton1", "SETUP", 32, 13, "Set Trigger to SETUP", "Set Trigger unsuccessful"},
    {"RadioButton2", "IN", 64, 9, "Set Trigger to IN", "Set Trigger unsuccessful"},
    {"RadioButton7", "OUT", 96, 1, "Set Trigger to OUT", "Set Trigger Unsuccessful"},
    {"RadioButton3", "DATA0", 136, 3, "Set Trigger to DATA0", "Set Trigger Unsuccessful"},
    {"RadioButton4", "DATA1", 168, 11, "Set Trigger to DATA1", "Set Trigger Unsuccessful"},
    {"RadioButton5", "NAK", 200, 10, "Set Trigger to NAK", "Set Trigger Unsuccessful"},
    {"RadioButton6", "ACK", 232, 2, "Set Trigger to ACK", "Set Trigger Unsuccessful"},
    {"RadioButton8", "SOF", 264, 5, "Set Trigger to SOF", "Set Trigger Unsuccessful"},
    {"RadioButton9", "STALL", 296, 14, "Set Trigger to STALL", "Set Trigger Unsuccessful"},
    {"RadioButton10", "Trigger on Arm", 328, 15, "Set Trigger to Manual",
     "Set Trigger UNsuccessful"},
}};
} // namespace

TDefineTrigger::TDefineTrigger(device::Analyzer& analyzer, QWidget* parent)
    : QDialog(parent), analyzer_(analyzer) {
    setObjectName(QStringLiteral("DefineTrigger"));
    setWindowTitle(QStringLiteral("Define Trigger"));
    setFont(display::UiFont(11));
    resize(280, 402); // client area of a 288 x 436 dialog

    Button1 = new QPushButton(QStringLiteral("Close"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(144, 32, 97, 33);
    Button1->setAutoDefault(false);
    connect(Button1, &QPushButton::clicked, this, &TDefineTrigger::Button1Click);

    QRadioButton** named[] = {&RadioButton1, &RadioButton2, &RadioButton7, &RadioButton3,
                              &RadioButton4, &RadioButton5, &RadioButton6, &RadioButton8,
                              &RadioButton9, &RadioButton10};
    QWidget* previous = Button1;
    for (std::size_t i = 0; i < kRows.size(); ++i) {
        auto* button = new QRadioButton(QString::fromLatin1(kRows[i].caption), this);
        button->setObjectName(QString::fromLatin1(kRows[i].name));
        button->move(32, kRows[i].top);
        button->adjustSize();
        *named[i] = button;
        rows_[i] = button;
    }
    // Tab order: Close, then the buttons by their number.
    for (QRadioButton* b :
         {RadioButton1, RadioButton2, RadioButton3, RadioButton4, RadioButton5, RadioButton6,
          RadioButton7, RadioButton8, RadioButton9, RadioButton10}) {
        setTabOrder(previous, b);
        previous = b;
    }

    Label1 = new QLabel(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(120, 136, 145, 121);
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label1->setFont(display::UiFont(13, QFont::Black));

    RadioButton10->setChecked(true);
    sendTrigger(kRows.size() - 1);
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        // Only a button that becomes checked sends; clicking the checked one sends nothing.
        connect(rows_[i], &QRadioButton::toggled, this, [this, i](bool checked) {
            if (checked) {
                sendTrigger(i);
            }
        });
    }
}

void TDefineTrigger::sendTrigger(std::size_t row) {
    const bool sent = analyzer_.SetTrigger(kRows[row].code);
    Label1->setText(QString::fromLatin1(sent ? kRows[row].success : kRows[row].failure));
}

void TDefineTrigger::Button1Click() {
    close();
}

} // namespace vintrace::app
