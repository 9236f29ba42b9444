#include "app/WindowActions.h"

#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QWidget>

namespace vintrace::app {

QAction* AddViewAction(QWidget* window, QWidget* view, const char* text, const char* name,
                       const QKeySequence& keys) {
    auto* a = new QAction(QString::fromLatin1(text), window);
    a->setObjectName(QString::fromLatin1(name));
    a->setShortcut(keys);
    a->setShortcutContext(Qt::WindowShortcut);
    window->addAction(a);
    view->addAction(a);
    return a;
}

std::function<std::optional<std::string>()> SaveFileChooser(QWidget* parent, const QString& title,
                                                            const QString& filter) {
    return [parent, title, filter]() -> std::optional<std::string> {
        const QString name = QFileDialog::getSaveFileName(parent, title, QString(), filter);
        if (name.isEmpty()) {
            return std::nullopt;
        }
        return name.toStdString();
    };
}

QString HexBytes(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    QString out;
    out.reserve(static_cast<qsizetype>(bytes.size() * 3));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) {
            out += QLatin1Char(' ');
        }
        out += QLatin1Char(kDigits[bytes[i] >> 4]);
        out += QLatin1Char(kDigits[bytes[i] & 0x0F]);
    }
    return out;
}

void ShowWindowState(QWidget& window, QLabel& label, const QString& what,
                     const std::string& fileName, const QString& loading, const QString& state) {
    const QString name = QFileInfo(QString::fromStdString(fileName)).fileName();
    window.setWindowTitle(name.isEmpty() ? what : QStringLiteral("%1 \u2014 %2").arg(what, name));
    // A load replaces whatever the window shows, so it says so before anything else.
    const QString text =
        loading.isEmpty()
            ? state
            : QStringLiteral("Loading %1\u2026 its %2 are shown here when it has loaded.")
                  .arg(loading, what.toLower());
    label.setText(text);
    label.setVisible(!text.isEmpty());
}

} // namespace vintrace::app
