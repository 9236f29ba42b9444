#include "app/TDecodeAs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

#include <cstddef>

namespace vintrace::app {

TDecodeAs::TDecodeAs(std::uint8_t address, std::uint8_t endpoint,
                     std::optional<protocol::Assumed> now, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("DecodeAs"));
    setWindowTitle(QStringLiteral("Decode As"));
    auto* layout = new QVBoxLayout(this);
    EndpointLabel =
        new QLabel(QStringLiteral("Decode endpoint %1.0x%2 %3 as:")
                       .arg(address)
                       .arg(endpoint, 2, 16, QLatin1Char('0'))
                       .arg((endpoint & 0x80) != 0 ? QStringLiteral("IN") : QStringLiteral("OUT")),
                   this);
    layout->addWidget(EndpointLabel);
    KindBox = new QComboBox(this);
    KindBox->setObjectName(QStringLiteral("KindBox"));
    KindBox->addItem(QStringLiteral("none"));
    for (const protocol::AssumedKind kind : protocol::AssumedKinds()) {
        KindBox->addItem(
            QString::fromUtf8(protocol::AssumedKindName(kind).data(),
                              static_cast<qsizetype>(protocol::AssumedKindName(kind).size())),
            static_cast<int>(kind));
        if (now && now->kind == kind) {
            KindBox->setCurrentIndex(KindBox->count() - 1);
        }
    }
    EndpointLabel->setBuddy(KindBox);
    layout->addWidget(KindBox);
    InsistCheckBox = new QCheckBox(
        QStringLiteral("&Even where the capture's own descriptors describe it"), this);
    InsistCheckBox->setObjectName(QStringLiteral("InsistCheckBox"));
    InsistCheckBox->setChecked(now && now->insisted);
    layout->addWidget(InsistCheckBox);
    Buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(Buttons);
    connect(Buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(Buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // Insisting means nothing without a kind.
    const auto update = [this] { InsistCheckBox->setEnabled(KindBox->currentIndex() > 0); };
    connect(KindBox, &QComboBox::currentIndexChanged, this, update);
    update();
    KindBox->setFocus();
}

std::optional<protocol::Assumed> TDecodeAs::choice() const {
    if (KindBox->currentIndex() <= 0) {
        return std::nullopt;
    }
    return protocol::Assumed{static_cast<protocol::AssumedKind>(KindBox->currentData().toInt()),
                             InsistCheckBox->isChecked()};
}

} // namespace vintrace::app
