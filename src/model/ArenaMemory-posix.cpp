#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "model/ArenaMemory.h"

namespace kestrel::model {

namespace {

constexpr std::size_t kHugePage = kHugePageBytes;

// Huge pages pay while they are made present at this many bytes per
// nanosecond of the thread's processor time or more (2 GB/s): warm ones come
// at ten times that, and a 4 KiB page fault costs 1 to 11 microseconds
// (0.4 to 4 GB/s) on the machines measured.
constexpr std::uint64_t kHugePagesPay = 2;
// The window over which one thread's rate is judged: two huge pages (each
// one's fault is the first batch made present in it), so that one page that
// comes late by chance decides nothing. Processor time, not wall time, so
// that a thread put aside meanwhile is not taken for a slow page. Huge pages
// that come slowly because the kernel has to compact memory for them are a
// reason for small pages as well.
constexpr std::size_t kWindowBytes = 2 * kHugePage;

std::atomic<bool> hugePagesSlow{false};

std::uint64_t threadNanoseconds() {
    timespec now{};
    if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) return 0;
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

// The huge parts made present on this thread since its window began.
struct HugeWindow {
    std::size_t bytes = 0;
    std::uint64_t nanoseconds = 0;

    void add(std::size_t madeBytes, std::uint64_t tookNanoseconds) {
        bytes += madeBytes;
        nanoseconds += tookNanoseconds;
        if (bytes < kWindowBytes) return;
        if (nanoseconds * kHugePagesPay > bytes) stopHugePages();
        bytes = 0;
        nanoseconds = 0;
    }
};
thread_local HugeWindow hugeWindow;

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
        if (size >= hugeFrom_) {
            // Only advice: ignored where unsupported.
            if (hugePagesPay()) {
#ifdef MADV_HUGEPAGE
                ::madvise(block, size, MADV_HUGEPAGE);
#endif
            } else {
                avoidHugePages(block, size);
            }
        }
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

bool makePresent(void* begin, std::size_t bytes, bool hugePart) {
#ifdef MADV_POPULATE_WRITE
    // Whole pages only: the first may hold bytes of the block before.
    const std::size_t page = pageSize();
    auto start = reinterpret_cast<std::uintptr_t>(begin) / page * page;
    const auto end = roundUp(reinterpret_cast<std::uintptr_t>(begin) + bytes, page);
    if (end <= start) return true;
    const bool timed = hugePart && hugePagesPay();
    const std::uint64_t before = timed ? threadNanoseconds() : 0;
    const bool made = ::madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE) == 0;
    if (timed && made) hugeWindow.add(end - start, threadNanoseconds() - before);
    return made;
#else
    (void)begin;
    (void)bytes;
    (void)hugePart;
    return false;
#endif
}

bool hugePagesPay() { return !hugePagesSlow.load(std::memory_order_relaxed); }

void stopHugePages() { hugePagesSlow.store(true, std::memory_order_relaxed); }

void avoidHugePages(void* begin, std::size_t bytes) {
#ifdef MADV_NOHUGEPAGE
    const auto start = roundUp(reinterpret_cast<std::uintptr_t>(begin), kHugePage);
    const auto end = (reinterpret_cast<std::uintptr_t>(begin) + bytes) / kHugePage * kHugePage;
    if (end > start) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_NOHUGEPAGE);
#else
    (void)begin;
    (void)bytes;
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
    // Every block of an arena has huge pages where the system has them and
    // they pay: a dump read in parts fills a dozen arenas of a few MiB each,
    // and where a small page's fault is dear their first touch costs more
    // than reading their entries.
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
