#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace vintrace::device {
class Analyzer;
}

namespace vintrace::app {

/// The status dialog: the analyzer's firmware version and the speed of its PC port, read
/// once when the dialog is made.
class TUSBStatus : public QDialog {
    Q_OBJECT
public:
    explicit TUSBStatus(QWidget* parent = nullptr);

    /// Reads version and port speed from `analyzer` and fills the labels.
    void ReadStatus(device::Analyzer& analyzer);

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QPushButton* Button1 = nullptr;

public slots:
    void Button1Click();

protected:
    void resizeEvent(QResizeEvent* event) override;
};

} // namespace vintrace::app
