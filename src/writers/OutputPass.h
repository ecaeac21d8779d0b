// The output pass: turns every located variable of the model into signals and
// writes the memory map, the style-warnings log and the CANape database.
#pragma once

#include <string>

#include "model/DwarfModel.h"

namespace Model {

// Returns false when any output file could not be created or written (the
// message has been printed); the other files are still written.
[[nodiscard]] bool writeOutputFiles(std::string mapFileName, std::string canapeFileName,
                                    const DwarfModel& model);

}  // namespace Model
