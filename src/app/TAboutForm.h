#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace vintrace::app {

/// The About box: a picture, the product name and version, the credits.
class TAboutForm : public QDialog {
    Q_OBJECT
public:
    explicit TAboutForm(QWidget* parent = nullptr);

    QLabel* Image1 = nullptr;
    QLabel* Label1 = nullptr;
    QPushButton* CloseDialog = nullptr;

public slots:
    void CloseDialogClick();
};

} // namespace vintrace::app
