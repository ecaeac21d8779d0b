#include <unistd.h>

#include "writers/FileOutput.h"

namespace kestrel::writers {

unsigned long currentProcessId() { return static_cast<unsigned long>(::getpid()); }

}  // namespace kestrel::writers
