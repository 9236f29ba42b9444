#include "app/TUSBStatus.h"

#include "device/Analyzer.h"
#include "display/AnchorGeometry.h"
#include "display/Fonts.h"

#include <QLabel>
#include <QPushButton>

#include <algorithm>
#include <utility>

namespace vintrace::app {

namespace {
constexpr int kClientWidth = 455; // client area of a 463 x 228 dialog
constexpr int kClientHeight = 194;
constexpr display::Box kLabel1{24, 16, 409, 22};
constexpr display::Box kLabel2{32, 56, 393, 81};
constexpr unsigned kLabelAnchors = display::AnchorLeft | display::AnchorTop | display::AnchorRight;

void Place(QWidget* w, const display::Box& b) {
    w->setGeometry(b.left, b.top, b.width, b.height);
}
} // namespace

TUSBStatus::TUSBStatus(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("USBStatus"));
    setWindowTitle(QStringLiteral("USB Status"));
    setFont(display::ControlFont());
    resize(kClientWidth, kClientHeight);
    auto label = [this](const char* name, const display::Box& design) {
        auto* l = new QLabel(this);
        l->setObjectName(QString::fromLatin1(name));
        Place(l, design);
        l->setWordWrap(true);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        l->setFont(display::UiFont(15, QFont::Black));
        return l;
    };
    Label1 = label("Label1", kLabel1);
    Label2 = label("Label2", kLabel2);
    Button1 = new QPushButton(QStringLiteral("Close"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(344, 144, 81, 33);
    connect(Button1, &QPushButton::clicked, this, &TUSBStatus::Button1Click);
}

void TUSBStatus::ReadStatus(device::Analyzer& analyzer) {
    std::array<std::uint8_t, 13> version{};
    if (!analyzer.ReadFirmwareVersion(version)) {
        Label1->setText(QStringLiteral("Vintrace is unconnected"));
        return;
    }
    // At most 13 characters: a NUL among them ends the text earlier.
    const auto end = std::find(version.begin(), version.end(), std::uint8_t{0});
    const QString text = QString::fromLatin1(reinterpret_cast<const char*>(version.data()),
                                             static_cast<qsizetype>(end - version.begin()));
    Label1->setText(QStringLiteral("Firmware Version : %1").arg(text));
    std::uint8_t speed = 0;
    if (!analyzer.ReadPortSpeed(speed)) {
        Label1->setText(QStringLiteral("Vintrace is unconnected"));
        return;
    }
    Label2->setText(
        speed == 0 ? QStringLiteral("Vintrace is connected to a Full speed port and working Good")
                   : QStringLiteral("Vintrace is connected to High Speed port and working Good"));
}

void TUSBStatus::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    // The two labels widen and narrow with the dialog.
    for (const auto& [label, design] : {std::pair{Label1, kLabel1}, std::pair{Label2, kLabel2}}) {
        Place(label, display::AnchoredBox(design, kLabelAnchors, kClientWidth, kClientHeight,
                                          width(), height()));
    }
}

void TUSBStatus::Button1Click() {
    close();
}

} // namespace vintrace::app
