// The memory map file: one line per signal with address, type keyword, name.
#pragma once

#include <string>
#include <string_view>

#include "expand/Expand.h"

namespace kestrel::writers {

using expand::SignalInfo;

// Appends the map line of a signal (ending in CR LF).
void appendMapLine(std::string& out, const SignalInfo& signal, std::string_view displayName);

}  // namespace kestrel::writers
