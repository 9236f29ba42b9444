#pragma once

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QTimer>

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

/// Clicks `index` in `view`, opens the context menu on it and chooses `entry` with Down and
/// Return, as a user does. False (with the menu closed again) when the menu has no such entry.
inline bool ChooseFromContextMenu(QAbstractItemView* view, const QModelIndex& index,
                                  const QString& entry) {
    view->scrollTo(index);
    const QPoint at = view->visualRect(index).center();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
    bool found = false;
    QTimer::singleShot(0, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr) {
            return;
        }
        for (qsizetype i = 0; i < menu->actions().size(); ++i) {
            QTest::keyClick(menu, Qt::Key_Down);
            if (menu->activeAction() != nullptr && menu->activeAction()->text() == entry) {
                found = true;
                break;
            }
        }
        QTest::keyClick(menu, found ? Qt::Key_Return : Qt::Key_Escape);
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, view->viewport()->mapToGlobal(at));
    QApplication::sendEvent(view->viewport(), &event);
    return found;
}

} // namespace vintrace::test
