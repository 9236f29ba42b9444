#pragma once

#include "capture/EndpointTable.h"

#include <ostream>

namespace vintrace::capture {

/// Shows an entry as "address 5 endpoints [0 1]" in test failures instead of raw bytes.
inline void PrintTo(const AddressEntry& e, std::ostream* os) {
    *os << "address " << int{e.address} << " endpoints [";
    for (std::size_t i = 0; i < e.endpointCount && i < e.endpoints.size(); ++i) {
        *os << (i ? " " : "") << int{e.endpoints[i]};
    }
    *os << "]";
}

} // namespace vintrace::capture
