// The per-variable step of a run: every located variable of a model, in the
// order of locatedObjects, gets its name, its declaration's location text and
// its expansion type, is checked against the bounds of one variable and of
// the whole run, and is expanded into the sink.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "expand/Expand.h"
#include "model/DwarfModel.h"
#include "model/Report.h"

namespace kestrel::expand {

// Every distinct location text of a run, stored once; signals (and whatever
// keeps their location views) refer to these, so they must outlive them.
class LocationTexts {
public:
    std::string_view keep(const std::string& text);

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const noexcept {
            return std::hash<std::string_view>{}(text);
        }
    };
    std::unordered_set<std::string, Hash, std::equal_to<>> texts_;
};

// Where a variable is declared: "<file>(<line>)" from the line table of the
// declaring entry's compile unit, "unknown(<line>)" for a file number outside
// the table, and empty when the unit has no line table.
void locationText(std::string& out, const model::DwarfModel& model, const VariableInfo& variable);

// True for a located variable that has no name, neither its own nor that of
// the declaration it names (clang-based compilers describe string literals
// so). Such a variable is not listed: expandVariables passes over it without
// a message, and an account of what is not listed can ask this for the reason.
bool isNameless(const VariableInfo& variable);

// What became of one located variable in expandVariables: its outcome and,
// when it gave written (non-constant) signals, the addresses they span.
struct VariableRecord {
    const VariableInfo* variable = nullptr;
    std::uint32_t low = 0;   // lowest address of a written signal
    std::uint32_t high = 0;  // one past the last byte of the written signals
    model::VariableOutcome outcome = model::VariableOutcome::Listed;
};

// Expands the located variables of `model` into `sink`; messages about
// variables that are not (or not wholly) expanded go to `reporter`. When
// `records` is given, it receives one record per located variable, in order.
void expandVariables(const model::DwarfModel& model, SignalSink& sink, model::Reporter& reporter,
                     const ExpandLimits& limits, LocationTexts& locations,
                     std::vector<VariableRecord>* records = nullptr);

}  // namespace kestrel::expand
