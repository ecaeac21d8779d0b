#include <process.h>

#include "writers/FileOutput.h"

namespace kestrel::writers {

unsigned long currentProcessId() { return static_cast<unsigned long>(::_getpid()); }

}  // namespace kestrel::writers
