#pragma once

#include <QDialog>

#include <cstdint>
#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace vintrace::app {

/// The capture size dialog: the download's progress scale, entered as half its value.
class TSetFileSize : public QDialog {
    Q_OBJECT
public:
    /// `captureSize` must outlive the dialog.
    explicit TSetFileSize(std::int32_t& captureSize, QWidget* parent = nullptr);

    QLineEdit* Edit1 = nullptr;
    QLabel* Label1 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;

    /// Shows a conversion error; replaceable so that tests need no message box.
    std::function<void(const QString&)> ShowError;

public slots:
    void Button2Click(); // Apply
    void Button1Click(); // Close

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::int32_t& captureSize_;
};

} // namespace vintrace::app
