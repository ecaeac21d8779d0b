#include "model/ArenaMemory.h"

namespace kestrel::model {

// Large pages need a privilege that a user's process does not have: the
// blocks come from the global operator new.
bool makePresent(void*, std::size_t, bool) { return false; }
bool hugePagesPay() { return false; }
void stopHugePages() {}
void avoidHugePages(void*, std::size_t) {}
bool releasePages(void*, std::size_t) { return false; }

std::pmr::memory_resource* largeBlocks() { return std::pmr::new_delete_resource(); }
std::pmr::memory_resource* hugePageBlocks() { return std::pmr::new_delete_resource(); }

}  // namespace kestrel::model
