#pragma once

#include "capture/Command.h"
#include "capture/EndpointTable.h"

#include <QDialog>

#include <cstdint>
#include <optional>

class QComboBox;
class QLabel;
class QPushButton;

namespace vintrace::app {

/// A command the hide dialog chose, as the shared command record carries it: the code and,
/// where the command uses them, the address and endpoint (the other fields are left as the
/// previous sender left them).
struct HideRequest {
    std::uint8_t command = capture::CMD_RELOAD;
    std::optional<std::uint8_t> address;
    std::optional<std::uint8_t> endpoint;
    friend bool operator==(const HideRequest&, const HideRequest&) = default;
};

/// The hide dialog: gathers a hide choice and hands it, as a request, to whoever sends it to
/// the command hub (the main window). It stays open after Apply.
class TDefineHide : public QDialog {
    Q_OBJECT
public:
    explicit TDefineHide(QWidget* parent = nullptr);

    /// Offers the addresses of `table` ("Nothing" first); the table must outlive the dialog.
    void FillAddresses(const capture::EndpointTable& table);

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QComboBox* ComboBox1 = nullptr;
    QComboBox* ComboBox2 = nullptr;
    QComboBox* ComboBox3 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    QPushButton* Button3 = nullptr;

    /// What Apply sends for the choice the three boxes show; nothing for "Nothing" and for text
    /// that names no address or endpoint.
    std::optional<HideRequest> AppliedRequest() const;

signals:
    /// Apply or Show All chose a command.
    void requested(const vintrace::app::HideRequest& request);

public slots:
    void ComboBox2Change();
    void Button2Click(); // Apply
    void Button3Click(); // Show All
    void Button1Click(); // Close

private:
    void resetEndpoints();
    const capture::EndpointTable* table_ = nullptr;
};

} // namespace vintrace::app
