#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <new>

#include "model/ArenaMemory.h"

namespace kestrel::model {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t pageSize() {
    static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t roundUp(std::size_t n, std::size_t unit) { return (n + unit - 1) / unit * unit; }

// A block is mapped to the whole pages it needs; one of 2 MiB or more starts
// on a 2 MiB boundary (the surplus of a larger mapping is given back), so
// that each full 2 MiB of it can be one huge page. Its tail of less than
// 2 MiB keeps small pages: a huge page there would be resident without use.
// Blocks of `hugeFrom` bytes or more are marked for huge pages.
class LargeBlocks final : public std::pmr::memory_resource {
public:
    explicit LargeBlocks(std::size_t hugeFrom) : hugeFrom_(hugeFrom) {}

private:
    std::size_t hugeFrom_;

    void* do_allocate(std::size_t bytes, std::size_t alignment) override {
        const std::size_t page = pageSize();
        const std::size_t size = roundUp(bytes == 0 ? 1 : bytes, page);
        if (size < bytes) throw std::bad_alloc();
        const bool huge = size >= kHugePage;
        const std::size_t align = huge ? kHugePage : page;
        if (alignment > align) {
            // Never asked for by the arena; kept correct all the same.
            return ::operator new(bytes, std::align_val_t{alignment});
        }
        const std::size_t mapped = size + (align - page);
        if (mapped < size) throw std::bad_alloc();
        void* raw = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) throw std::bad_alloc();
        auto* start = static_cast<char*>(raw);
        auto* block = reinterpret_cast<char*>(roundUp(reinterpret_cast<std::uintptr_t>(start), align));
        if (block > start) ::munmap(start, static_cast<std::size_t>(block - start));
        char* end = start + mapped;
        if (end > block + size) ::munmap(block + size, static_cast<std::size_t>(end - (block + size)));
#ifdef MADV_HUGEPAGE
        if (size >= hugeFrom_) ::madvise(block, size, MADV_HUGEPAGE);  // only advice: ignored where unsupported
#endif
        return block;
    }

    void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override {
        const std::size_t page = pageSize();
        const std::size_t size = roundUp(bytes == 0 ? 1 : bytes, page);
        if (alignment > (size >= kHugePage ? kHugePage : page)) {
            ::operator delete(p, std::align_val_t{alignment});
            return;
        }
        ::munmap(p, size);
    }

    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
};

}  // namespace

bool makePresent(void* begin, std::size_t bytes) {
#ifdef MADV_POPULATE_WRITE
    // Whole pages only: the first may hold bytes of the block before.
    const std::size_t page = pageSize();
    auto start = reinterpret_cast<std::uintptr_t>(begin) / page * page;
    const auto end = roundUp(reinterpret_cast<std::uintptr_t>(begin) + bytes, page);
    if (end <= start) return true;
    return ::madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE) == 0;
#else
    (void)begin;
    (void)bytes;
    return false;
#endif
}

bool releasePages(void* begin, std::size_t bytes) {
    const std::size_t page = pageSize();
    const auto start = roundUp(reinterpret_cast<std::uintptr_t>(begin), page);
    const auto end = (reinterpret_cast<std::uintptr_t>(begin) + bytes) / page * page;
    if (end <= start) return true;
    return ::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED) == 0;
}

std::pmr::memory_resource* largeBlocks() {
    // Every block of an arena has huge pages where the system has them: a
    // dump read in parts fills a dozen arenas of a few MiB each, and with
    // small pages their first touch costs more than reading their entries.
    // The unused part of the huge page an arena is filling when its model is
    // complete is given back then (ModelArena::releaseUnused).
    static LargeBlocks blocks(std::size_t{2} << 20);
    return &blocks;
}

std::pmr::memory_resource* hugePageBlocks() {
    static LargeBlocks blocks(kHugePage);
    return &blocks;
}

}  // namespace kestrel::model
