#include "capture/PacketClass.h"

namespace vintrace::capture {

bool IsPreamble(const PacketList& packets, std::size_t i) {
    return packets.kind(i) == RecordKind::Unknown && packets[i].byteAt(0) == kPreamblePid;
}

} // namespace vintrace::capture
