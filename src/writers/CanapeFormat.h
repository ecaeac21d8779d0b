// The CANape database file: three header lines, then one VARIABLE line per
// signal with its address and its type row or bit-field limits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "expand/Expand.h"

namespace kestrel::writers {

using expand::SignalInfo;

// Appends the three header lines.
void appendCanapeHeader(std::string& out);

// Appends the line of one signal; `bitPosition` is read for bit fields only.
void appendCanapeLine(std::string& out, const SignalInfo& signal, std::string_view displayName,
                      std::uint32_t bitPosition);

}  // namespace kestrel::writers
