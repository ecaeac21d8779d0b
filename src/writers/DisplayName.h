// The display name of a signal, as the map, the CANape database and the
// duplicate check write it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "expand/Expand.h"

namespace kestrel::writers {

using expand::SignalInfo;

// Number of the first bit of a bit-field signal, counted from the least
// significant bit of the storage unit's value on targets of either byte order
// (bitOffset counts from its most significant bit); a field that claims to
// reach beyond its unit (bitOffset + bitSize > size * 8) gets position 0.
std::uint32_t bitPosition(const SignalInfo& signal, bool littleEndian);

// Appends the display name: the signal's name, and for a bit field "_Bit:" or
// "_Bits:" with the numbers of its bits written one after another.
void appendDisplayName(std::string& out, const SignalInfo& signal, std::uint32_t position);

// The display name up to its first '@', '.' or ':'; empty when it starts with
// one of them or when a line break follows that part.
std::string_view baseName(std::string_view displayName);

}  // namespace kestrel::writers
