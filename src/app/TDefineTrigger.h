#pragma once

#include <QDialog>

#include <array>

class QLabel;
class QPushButton;
class QRadioButton;

namespace vintrace::device {
class Analyzer;
}

namespace vintrace::app {

/// The trigger dialog: each choice is sent to the analyzer at once and confirmed in Label1.
/// Constructing it sends "Trigger on Arm" (code 15).
class TDefineTrigger : public QDialog {
    Q_OBJECT
public:
    explicit TDefineTrigger(device::Analyzer& analyzer, QWidget* parent = nullptr);

    QRadioButton* RadioButton1 = nullptr;
    QRadioButton* RadioButton2 = nullptr;
    QRadioButton* RadioButton3 = nullptr;
    QRadioButton* RadioButton4 = nullptr;
    QRadioButton* RadioButton5 = nullptr;
    QRadioButton* RadioButton6 = nullptr;
    QRadioButton* RadioButton7 = nullptr;
    QRadioButton* RadioButton8 = nullptr;
    QRadioButton* RadioButton9 = nullptr;
    QRadioButton* RadioButton10 = nullptr;
    QLabel* Label1 = nullptr;
    QPushButton* Button1 = nullptr;

public slots:
    void Button1Click();

private:
    /// Sends the trigger of button `row` (in screen order) and shows the outcome.
    void sendTrigger(std::size_t row);

    device::Analyzer& analyzer_;
    std::array<QRadioButton*, 10> rows_{};
};

} // namespace vintrace::app
