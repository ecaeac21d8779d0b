// The output pass: the located variables of the model, expanded into signals
// (expand/Variables.h), become the memory map, the style-warnings log and the
// CANape database. The writers only format and stream.
#pragma once

#include <cstddef>
#include <string>

#include "expand/Expand.h"
#include "model/DwarfModel.h"
#include "model/Report.h"
#include "writers/DisplayName.h"
#include "writers/DuplicateCheck.h"
#include "writers/Omissions.h"

namespace kestrel::writers {

// The files replace those of an earlier run as one set: only when all of them
// were written completely, and a log of an earlier run goes when this run has
// none. Returns false when any output file could not be created or written
// (the messages have been reported); all earlier files then stay as they were.
// `signalsWritten`, when given, receives the number of signals (map lines).
//
// With `account` given, the data objects of `account->symbols` are checked
// against the signals and the omissions log (map name + "_Omissions.log") is
// part of the set when it has lines; `account->counts` receives what it found.
// Without it no omissions log is written, and one of an earlier run is left
// as it is.
struct OmissionAccount {
    const std::vector<reader::ElfDataSymbol>* symbols = nullptr;  // null: not checked
    OmissionCounts counts;
};
[[nodiscard]] bool writeOutputFiles(std::string mapFileName, std::string canapeFileName,
                                    const model::DwarfModel& model, model::Reporter& reporter,
                                    const expand::ExpandLimits& limits = expand::ExpandLimits(),
                                    std::size_t* signalsWritten = nullptr, OmissionAccount* account = nullptr);

}  // namespace kestrel::writers
