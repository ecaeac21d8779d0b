// The output pass: the located variables of the model, expanded into signals
// (expand/Variables.h), become the memory map, the style-warnings log and the
// CANape database. The writers only format and stream.
#pragma once

#include <string>

#include "expand/Expand.h"
#include "model/DwarfModel.h"
#include "model/Report.h"
#include "writers/DisplayName.h"
#include "writers/DuplicateCheck.h"

namespace kestrel::writers {

// Returns false when any output file could not be created or written (the
// message has been reported); the other files are still written.
[[nodiscard]] bool writeOutputFiles(std::string mapFileName, std::string canapeFileName,
                                    const model::DwarfModel& model, model::Reporter& reporter,
                                    const expand::ExpandLimits& limits = expand::ExpandLimits());

}  // namespace kestrel::writers
