// The output pass: turns every located variable of the model into signals and
// writes the memory map, the style-warnings log and the CANape database.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "expand/Expand.h"
#include "model/DwarfModel.h"

namespace Model {

// The files replace those of an earlier run as one set: only when all of them
// were written completely, and a log of an earlier run goes when this run has
// none. Returns false when any output file could not be created or written
// (the messages have been printed); all earlier files then stay as they were.
// `signalsWritten`, when given, receives the number of signals (map lines).
[[nodiscard]] bool writeOutputFiles(std::string mapFileName, std::string canapeFileName,
                                    const DwarfModel& model, std::size_t* signalsWritten = nullptr);
// The same with other bounds of the expansion (tests, fuzzing).
[[nodiscard]] bool writeOutputFiles(std::string mapFileName, std::string canapeFileName,
                                    const DwarfModel& model, const ExpandLimits& limits,
                                    std::size_t* signalsWritten = nullptr);

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

struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
        return std::hash<std::string_view>{}(text);
    }
};

// The duplicate-name check and the style-warnings log it writes. Location
// texts are kept as views: they must outlive the check.
//
// The seen names are one open-addressing table over records in a few large
// blocks: a record holds the location text of the name and the name's bytes,
// a slot the name's hash and its record. A signal costs one hash, a probe or
// two and, for a new name, one copy of its bytes; nothing is allocated per
// name.
class DuplicateCheck {
public:
    DuplicateCheck() = default;
    DuplicateCheck(const DuplicateCheck&) = delete;
    DuplicateCheck& operator=(const DuplicateCheck&) = delete;

    void check(std::string_view displayName, std::string_view location) {
        check(displayName, location, prepare(displayName));
    }
    // The check in two steps: prepare() hashes the name and starts loading
    // its slot, so that other work can be done while the slot arrives; check()
    // with the same name and that hash then does the check.
    std::uint64_t prepare(std::string_view displayName) const;
    void check(std::string_view displayName, std::string_view location, std::uint64_t hash);

    bool found() const { return found_; }
    const std::string& log() const { return log_; }
    std::size_t names() const { return count_; }

private:
    struct Record {
        const char* location;  // the value: empty once the name repeated
        std::uint32_t locationLength;
        std::uint32_t length;  // of the name, whose bytes follow the record
        std::string_view name() const {
            return {reinterpret_cast<const char*>(this + 1), length};
        }
    };
    struct Slot {
        std::uint64_t hash = 0;
        Record* record = nullptr;  // null: free
    };

    Record* store(std::string_view displayName, std::string_view location);
    void grow();

    std::vector<Slot> slots_;
    std::size_t count_ = 0;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* blockNext_ = nullptr;
    std::size_t blockLeft_ = 0;
    std::unordered_set<std::string_view> reported_;
    std::string log_;
    bool found_ = false;
};

}  // namespace Model
