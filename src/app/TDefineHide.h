#pragma once

#include "capture/EndpointTable.h"

#include <QDialog>

class QComboBox;
class QLabel;
class QPushButton;

namespace vintrace::app {

/// The hide dialog: gathers a hide choice and sends it to the command hub.
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
