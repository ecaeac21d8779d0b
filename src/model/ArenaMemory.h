// Where the model's arena takes its blocks from. The arena asks for few,
// large, growing blocks and gives them all back only when the model ends, so
// they are taken from the system directly: on Linux as anonymous mappings
// aligned to 2 MiB and marked for transparent huge pages while these pay
// (hugePagesPay), which spares most of the page faults of a first touch of
// the model; elsewhere from the global operator new.
#pragma once

#include <cstddef>
#include <memory_resource>
#include <vector>

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

// Makes the pages of [begin, end) present and writable at once, where the
// system can (Linux: MADV_POPULATE_WRITE), so that filling them takes no page
// fault per page; false once the system declined (nothing is changed then).
// With `hugePart`, the range lies where a block of largeBlocks() has huge
// pages, and the processor time it takes counts towards hugePagesPay().
bool makePresent(void* begin, std::size_t bytes, bool hugePart = false);

// Whether blocks still get huge pages. On some virtual machines the host
// hands a huge page's memory to the guest only as it is first touched, and
// then a huge page costs far more than the small pages it replaces (seen:
// 0.3 to 1.6 GB/s against 3 GB/s with small pages, where warm huge pages
// come at 20 GB/s and more). Once two huge pages made present by an arena
// came at less than 2 GB/s of its thread's processor time, the process
// takes small pages for every block from then on (the arena's current block
// included, from its next huge page on).
bool hugePagesPay();
// Small pages for every block from now on: what a slow huge page decides.
void stopHugePages();
// Asks for small pages for the whole huge pages inside [begin, begin + bytes).
void avoidHugePages(void* begin, std::size_t bytes);
constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
// Gives the whole pages inside [begin, begin + bytes) back to the system,
// where it can (Linux: MADV_DONTNEED); they read as zeros when touched again.
// False when the system declined (nothing is changed then).
bool releasePages(void* begin, std::size_t bytes);

// A model's arena: objects are placed one after the other in blocks that grow
// by half (the first of `firstBlock` bytes, a huge page by default), and all
// of them are given back when the arena ends (deallocate does nothing). The
// pages ahead of the fill point are made present in batches (makePresent),
// which spares a page fault per page; at most one batch lies ready beyond
// what was taken.
class ModelArena final : public std::pmr::memory_resource {
public:
    explicit ModelArena(std::pmr::memory_resource* upstream, std::size_t firstBlock = std::size_t{2} << 20)
        : upstream_(upstream), nextSize_(firstBlock) {}
    ~ModelArena() override;
    ModelArena(const ModelArena&) = delete;
    ModelArena& operator=(const ModelArena&) = delete;

    // Gives the pages past the fill point of the current block back to the
    // system, for a model that is complete: the huge page the arena was
    // filling holds up to 2 MiB that nothing uses. Should the arena grow
    // on, the pages are taken again.
    void releaseUnused();

private:
    static constexpr std::size_t kBatch = std::size_t{256} << 10;

    void* do_allocate(std::size_t bytes, std::size_t alignment) override;
    void do_deallocate(void*, std::size_t, std::size_t) override {}
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
    void newBlock(std::size_t bytes, std::size_t alignment);

    struct Block {
        void* start;
        std::size_t size;
        std::size_t alignment;
    };
    std::pmr::memory_resource* upstream_;
    std::vector<Block> blocks_;
    char* next_ = nullptr;
    char* end_ = nullptr;
    char* ready_ = nullptr;  // the pages below are present
    std::size_t nextSize_;
    bool prefault_ = true;
    // Where the current block's whole huge pages end: those of a block of
    // largeBlocks() taken while they paid (null once they no longer do).
    char* hugeEnd_ = nullptr;
};

}  // namespace kestrel::model
