#include <cstdio>

#include "writers/FileOutput.h"

namespace kestrel::writers {

// Space is not reserved ahead on this platform; nothing is ever to be cut.
bool reserveFileSpace(std::FILE*, std::uint64_t, std::uint64_t) { return false; }

bool truncateFile(std::FILE*, std::uint64_t) { return false; }

}  // namespace kestrel::writers
