#include "capture/CaptureRecord.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace vintrace::capture {

bool operator==(const CaptureRecord& a, const CaptureRecord& b) {
    return a.kind == b.kind && a.length == b.length && a.address == b.address &&
           a.endpoint == b.endpoint && std::ranges::equal(a.bytes, b.bytes);
}

std::string ToString(const CaptureRecord& r) {
    std::string s(KindName(r.kind));
    s += " len=" + std::to_string(r.length);
    if (IsToken(r.kind)) {
        s += " addr=" + std::to_string(r.address) + " ep=" + std::to_string(r.endpoint);
    }
    s += " [";
    char hex[4];
    for (std::size_t i = 0; i < r.bytes.size(); ++i) {
        std::snprintf(hex, sizeof hex, i ? " %02X" : "%02X", r.bytes[i]);
        s += hex;
    }
    s += "]";
    return s;
}

std::ostream& operator<<(std::ostream& os, const CaptureRecord& r) {
    return os << ToString(r);
}

} // namespace vintrace::capture
