#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QMenu;

namespace vintrace::app {

/// File > Recent: the captures opened last, newest first, kept across runs with QSettings.
inline constexpr int kRecentCaptureCount = 5;

/// The list as stored; names that are not absolute are dropped.
QStringList LoadRecentCaptures();
/// Puts `file` (made absolute) first, drops its older entry and anything past the fifth,
/// stores the list and returns it.
QStringList RememberRecentCapture(const QString& file);

/// Makes `menu` offer `files`, each opened by `open` when chosen; disabled when empty.
void FillRecentMenu(QMenu* menu, const QStringList& files,
                    const std::function<void(const QString&)>& open);

/// True when `file` names a pcap or pcapng file (by its extension, in any case), which is
/// imported rather than opened.
bool IsPcapName(const QString& file);

} // namespace vintrace::app
