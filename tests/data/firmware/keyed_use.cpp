// Objects of the classes of keyed.h, defined in a unit that has none of
// their key functions.
#include "keyed.h"

namespace plant {
__attribute__((used)) keyed::Sensor inlet;
__attribute__((used)) keyed::Sensor probes[2];
__attribute__((used)) keyed::bus::Node nodes[3];
__attribute__((used)) keyed::Sensor::Window spareWindow;
}  // namespace plant

extern "C" int32_t Plant_Read(void)
{
    return plant::inlet.read() + plant::nodes[1].address() + plant::probes[1].raw;
}
