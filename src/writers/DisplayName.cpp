#include "writers/DisplayName.h"

#include "writers/NumberText.h"

namespace kestrel::writers {

std::uint32_t bitPosition(const SignalInfo& signal, bool /*littleEndian*/) {
    const std::int64_t end = std::int64_t{signal.bitOffset} + signal.bitSize;
    if (end > std::int64_t{signal.size} * 8) return 0;
    return signal.size * 8u - static_cast<std::uint32_t>(signal.bitOffset) -
           static_cast<std::uint32_t>(signal.bitSize);
}

void appendDisplayName(std::string& out, const SignalInfo& signal, std::uint32_t position) {
    out += signal.name;
    if (signal.bitSize == 0) return;
    out += signal.bitSize == 1 ? "_Bit:" : "_Bits:";
    // No real bit field is wider than 64 bits; a malformed width must not
    // make names of unbounded length.
    constexpr std::int32_t kMaxListedBits = 128;
    const std::int32_t bits = signal.bitSize < kMaxListedBits ? signal.bitSize : kMaxListedBits;
    for (std::int32_t k = 0; k < bits; ++k) appendDecimal(out, position + static_cast<std::uint32_t>(k));
}

std::string_view baseName(std::string_view displayName) {
    const std::size_t end = displayName.find_first_of("@.:");
    if (end == 0) return {};
    if (end == std::string_view::npos) return displayName;
    if (displayName.find_first_of("\r\n", end) != std::string_view::npos) return {};
    return displayName.substr(0, end);
}

}  // namespace kestrel::writers
