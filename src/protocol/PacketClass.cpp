#include "protocol/PacketClass.h"

namespace vintrace::protocol {

bool IsPreamble(const capture::PacketList& packets, std::size_t i) {
    return packets.kind(i) == RecordKind::Unknown && packets[i].byteAt(0) == kPreamblePid;
}

} // namespace vintrace::protocol
