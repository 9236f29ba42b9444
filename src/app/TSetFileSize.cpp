#include "app/TSetFileSize.h"

#include "device/CaptureSize.h"
#include "display/Fonts.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

namespace vintrace::app {

namespace {
/// Whether a key press reaches the edit: the ASCII digits and backspace do, as do the keys
/// that type no character (arrows, Home, End, Delete) and the dialog's own keys. Every other
/// character is discarded: other scripts' digits, control and format characters, and the
/// characters of shortcuts such as Ctrl+V.
bool KeyReachesEdit(const QKeyEvent& key) {
    const QString text = key.text();
    if (text == QStringLiteral("\b") || (text.size() == 1 && text[0] >= u'0' && text[0] <= u'9')) {
        return true;
    }
    switch (key.key()) {
    case Qt::Key_Delete:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
        return true;
    default:
        return text.isEmpty();
    }
}
} // namespace

TSetFileSize::TSetFileSize(std::int32_t& captureSize, QWidget* parent)
    : QDialog(parent), captureSize_(captureSize) {
    setObjectName(QStringLiteral("SetFileSize"));
    setWindowTitle(QStringLiteral("SetFileSize"));
    setFont(display::ControlFont());
    resize(397, 117); // client area of a 405 x 151 dialog
    ShowError = [this](const QString& text) {
        QMessageBox::critical(this, QStringLiteral("Vintrace"), text);
    };

    Edit1 = new QLineEdit(this);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setGeometry(48, 32, 97, 21);
    Edit1->setText(QString::number(captureSize_ / 2));
    Edit1->installEventFilter(this);
    Label1 = new QLabel(QStringLiteral("MBytes"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->move(152, 32);
    Button2 = new QPushButton(QStringLiteral("Apply"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setGeometry(48, 80, 113, 25);
    Button2->setAutoDefault(false);
    Button1 = new QPushButton(QStringLiteral("Close"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(280, 80, 97, 25);
    Button1->setAutoDefault(false);
    connect(Button2, &QPushButton::clicked, this, &TSetFileSize::Button2Click);
    connect(Button1, &QPushButton::clicked, this, &TSetFileSize::Button1Click);
}

void TSetFileSize::Button2Click() {
    const QString text = Edit1->text();
    const std::optional<std::int32_t> n = device::ParseInt32(text.toStdString());
    if (!n) {
        ShowError(QStringLiteral("'%1' is not a valid integer value").arg(text));
        return;
    }
    if (const std::optional<std::int32_t> size = device::CaptureSizeFor(*n)) {
        captureSize_ = *size;
        Edit1->setText(QString::number(*n));
    } else {
        Edit1->setText(QString::number(captureSize_ / 2));
    }
}

void TSetFileSize::Button1Click() {
    close();
}

bool TSetFileSize::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Edit1 && event->type() == QEvent::KeyPress &&
        !KeyReachesEdit(*static_cast<QKeyEvent*>(event))) {
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace vintrace::app
