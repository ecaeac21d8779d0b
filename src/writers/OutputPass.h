// The output pass: turns every located variable of the model into signals and
// writes the memory map, the style-warnings log and the CANape database.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "expand/Expand.h"
#include "model/DwarfModel.h"

namespace Model {

// Returns false when any output file could not be created or written (the
// message has been printed); the other files are still written.
[[nodiscard]] bool writeOutputFiles(std::string mapFileName, std::string canapeFileName,
                                    const DwarfModel& model);

// Number of the first bit of a bit-field signal. Little-endian targets count
// from the least significant bit of the storage unit; a field that claims to
// reach beyond its unit (bitOffset + bitSize > size * 8) gets position 0.
std::uint32_t bitPosition(const SignalInfo& signal, bool littleEndian);

// Appends the display name: the signal's name, and for a bit field "_Bit:" or
// "_Bits:" with the numbers of its bits written one after another.
void appendDisplayName(std::string& out, const SignalInfo& signal, std::uint32_t position);

// The display name up to its first '@', '.' or ':'; empty when it starts with
// one of them or when a line break follows that part.
std::string_view baseName(std::string_view displayName);

struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
        return std::hash<std::string_view>{}(text);
    }
};

// The duplicate-name check and the style-warnings log it writes. Location
// texts are kept as views: they must outlive the check.
class DuplicateCheck {
public:
    void check(std::string_view displayName, std::string_view location);
    bool found() const { return found_; }
    const std::string& log() const { return log_; }

private:
    std::unordered_map<std::string, std::string_view, TextHash, std::equal_to<>> seen_;
    std::unordered_set<std::string_view> reported_;
    std::string log_;
    bool found_ = false;
};

}  // namespace Model
