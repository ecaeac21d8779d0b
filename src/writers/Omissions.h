// The account of what the map does not list: every data object of the ELF
// symbol table that no written signal covers, with the reason, and every
// listed variable whose address and name disagree with the symbol table.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "expand/Variables.h"
#include "model/DwarfModel.h"
#include "reader/ElfSymbols.h"

namespace kestrel::writers {

// What the account found.
struct OmissionCounts {
    std::size_t variables = 0;   // variables listed (with at least one written signal)
    std::size_t omissions = 0;   // data objects not covered by any signal
    std::size_t mismatches = 0;  // listed variables whose address and name disagree with the symbols
};

// Appends the lines of the omissions log (CR LF; nothing when there is
// nothing to say) for the data objects `symbols` against the records of the
// per-variable loop, and returns the counts. A symbol is covered when its
// bytes overlap the written signals of a listed variable.
OmissionCounts appendOmissions(std::string& log, const std::vector<reader::ElfDataSymbol>& symbols,
                               const model::DwarfModel& model, const std::vector<expand::VariableRecord>& records);

// The first line of the log: the names of its tab-separated columns.
inline constexpr const char* kOmissionsHeader = "Symbol\tAddress\tSize\tSection\tReason\r\n";

// The number of records of listed variables.
std::size_t listedVariables(const std::vector<expand::VariableRecord>& records);

}  // namespace kestrel::writers
