#pragma once

#include "protocol/JsonText.h"

namespace vintrace::cli {

using protocol::JsonQuote;

} // namespace vintrace::cli
