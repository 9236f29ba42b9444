#pragma once

#include "protocol/EndpointAssumptions.h"

#include <QDialog>

#include <cstdint>
#include <optional>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLabel;

namespace vintrace::app {

/// Decode As: says what one endpoint is when the capture does not (it began after
/// enumeration), or that nothing is assumed of it any more.
class TDecodeAs : public QDialog {
    Q_OBJECT
public:
    /// For endpoint address `endpoint` (with its direction bit) of device `address`, showing
    /// what is assumed of it now, if anything.
    TDecodeAs(std::uint8_t address, std::uint8_t endpoint, std::optional<protocol::Assumed> now,
              QWidget* parent = nullptr);

    QLabel* EndpointLabel = nullptr;
    /// "none", then the kinds.
    QComboBox* KindBox = nullptr;
    /// The choice wins over the capture's own descriptors too.
    QCheckBox* InsistCheckBox = nullptr;
    QDialogButtonBox* Buttons = nullptr;

    /// What was chosen: nothing for "none".
    std::optional<protocol::Assumed> choice() const;
};

} // namespace vintrace::app
