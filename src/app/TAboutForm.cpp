#include "app/TAboutForm.h"

#include "app/Pictures.h"
#include "display/Fonts.h"

#include <QLabel>
#include <QPushButton>

namespace vintrace::app {

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(QStringLiteral("AboutForm"));
    setFixedSize(525, 196); // client area of a 533 x 230 dialog

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(16, 16, 265, 153);
    Image1->setAlignment(Qt::AlignCenter);
    Image1->setPixmap(AboutPicture());

    Label1 = new QLabel(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(304, 80, 197, 88);
    Label1->setFont(display::UiFont(15, QFont::Black));
    Label1->setText(QStringLiteral("Vintrace version 1.0\n"
                                   "USB 1.1 bus analysis\n"
                                   "by the Vintrace\n"
                                   "developers"));

    CloseDialog = new QPushButton(QStringLiteral("Close"), this);
    CloseDialog->setObjectName(QStringLiteral("CloseDialog"));
    CloseDialog->setGeometry(344, 32, 97, 25);
    connect(CloseDialog, &QPushButton::clicked, this, &TAboutForm::CloseDialogClick);
}

void TAboutForm::CloseDialogClick() {
    close();
}

} // namespace vintrace::app
