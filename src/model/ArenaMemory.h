// Where the model's arena takes its blocks from. The arena asks for few,
// large, growing blocks and gives them all back only when the model ends, so
// they are taken from the system directly: on Linux as anonymous mappings
// aligned to 2 MiB and, from 8 MiB on, marked for transparent huge pages,
// which spares most of the page faults of a first touch of a large model;
// elsewhere from the global operator new.
#pragma once

#include <memory_resource>

namespace kestrel::model {

// The process-wide resource of large blocks. It keeps no state between calls
// (any thread may use it) and equals only itself.
std::pmr::memory_resource* largeBlocks();
// The same, with huge pages for every block of 2 MiB or more: for tables and
// blocks that are filled soon after they are taken.
std::pmr::memory_resource* hugePageBlocks();

// What a model's arena draws on: the large blocks, unless the program has
// made a resource of its own the default one (tests that run out of memory
// on purpose do).
inline std::pmr::memory_resource* arenaBlocks() {
    std::pmr::memory_resource* chosen = std::pmr::get_default_resource();
    return chosen == std::pmr::new_delete_resource() ? largeBlocks() : chosen;
}

}  // namespace kestrel::model
