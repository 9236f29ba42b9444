#pragma once

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QTest>

namespace vintrace::test {

/// Opens the menu `title` of `bar` with a click on its title, as a user does; nullptr if the
/// bar has no such menu.
inline QMenu* OpenMenu(QMenuBar* bar, const QString& title) {
    for (QAction* entry : bar->actions()) {
        if (entry->text() == title && entry->menu() != nullptr) {
            QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(entry).center());
            return entry->menu();
        }
    }
    return nullptr;
}

/// Chooses `item` of the menu `title` with the keyboard: Down until it is the active item,
/// then Return. False (with the menu closed again) when it cannot be reached.
inline bool ChooseMenuItem(QMenuBar* bar, const QString& title, const QString& item) {
    QMenu* menu = OpenMenu(bar, title);
    if (menu == nullptr) {
        return false;
    }
    for (qsizetype i = 0; i < menu->actions().size(); ++i) {
        QTest::keyClick(menu, Qt::Key_Down);
        if (menu->activeAction() != nullptr && menu->activeAction()->text() == item) {
            QTest::keyClick(menu, Qt::Key_Return);
            return true;
        }
    }
    QTest::keyClick(menu, Qt::Key_Escape);
    return false;
}

} // namespace vintrace::test
