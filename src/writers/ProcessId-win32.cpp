#include <process.h>

#include "writers/FileOutput.h"

namespace Model {

unsigned long currentProcessId() { return static_cast<unsigned long>(::_getpid()); }

}  // namespace Model
