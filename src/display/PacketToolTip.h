#pragma once

#include "capture/CaptureCheck.h"
#include "capture/PacketList.h"
#include "display/OwnerDrawListBox.h"
#include "session/CaptureSession.h"

#include <QObject>

#include <optional>
#include <vector>

namespace vintrace::display {

/// Shows, in a tooltip on a line of a packet list, what the record is, what its transfer
/// carries (for a data packet, when watching a session) and what the checks found. The checks need
/// neighbouring records, so the whole capture is checked once, when the first tooltip asks, and
/// again after the list's items have been replaced.
class PacketToolTip : public QObject {
    Q_OBJECT
public:
    /// Watches `list`, whose line i shows record i of `packets`; both must outlive this.
    PacketToolTip(OwnerDrawListBox* list, const capture::PacketList& packets);
    /// Watches `list`, whose line i shows record i of the session's store; both must outlive
    /// this.
    PacketToolTip(OwnerDrawListBox* list, session::CaptureSession& session);

    /// The tooltip text of line `index` (empty when there is no such line).
    QString textFor(std::int64_t index);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    OwnerDrawListBox* list_;
    const capture::PacketList& packets_;
    session::CaptureSession* session_ = nullptr;
    std::optional<std::vector<capture::Findings>> findings_;
};

} // namespace vintrace::display
