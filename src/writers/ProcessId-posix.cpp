#include <unistd.h>

#include "writers/FileOutput.h"

namespace Model {

unsigned long currentProcessId() { return static_cast<unsigned long>(::getpid()); }

}  // namespace Model
