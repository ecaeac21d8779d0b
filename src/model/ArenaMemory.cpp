#include "model/ArenaMemory.h"

#include <algorithm>
#include <cstdint>
#include <new>

namespace kestrel::model {

namespace {

char* alignUp(char* p, std::size_t alignment) {
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    return reinterpret_cast<char*>((at + alignment - 1) / alignment * alignment);
}

}  // namespace

ModelArena::~ModelArena() {
    for (auto it = blocks_.rbegin(); it != blocks_.rend(); ++it) upstream_->deallocate(it->start, it->size, it->alignment);
}

void ModelArena::newBlock(std::size_t bytes, std::size_t alignment) {
    const std::size_t size = std::max(nextSize_, bytes + alignment);
    if (size < bytes) throw std::bad_alloc();
    const std::size_t blockAlignment = std::max<std::size_t>(alignment, alignof(std::max_align_t));
    blocks_.reserve(blocks_.size() + 1);  // so that the push below cannot throw
    void* start = upstream_->allocate(size, blockAlignment);
    blocks_.push_back({start, size, blockAlignment});
    next_ = static_cast<char*>(start);
    end_ = next_ + size;
    ready_ = next_;
    nextSize_ = size + size / 2;
    hugeEnd_ = next_;
    if (upstream_ == largeBlocks() && size >= kHugePageBytes && hugePagesPay() &&
        reinterpret_cast<std::uintptr_t>(start) % kHugePageBytes == 0)
        hugeEnd_ = next_ + size / kHugePageBytes * kHugePageBytes;
}

void ModelArena::releaseUnused() {
    // Only blocks mapped for the arena alone: a block of another resource
    // may share its last page with memory of others.
    if (next_ == nullptr || upstream_ != largeBlocks()) return;
    if (!releasePages(next_, static_cast<std::size_t>(end_ - next_))) return;
    if (ready_ > next_) ready_ = next_;
}

void* ModelArena::do_allocate(std::size_t bytes, std::size_t alignment) {
    char* at = next_ != nullptr ? alignUp(next_, alignment) : nullptr;
    if (at == nullptr || at > end_ || static_cast<std::size_t>(end_ - at) < bytes) {
        newBlock(bytes, alignment);
        at = alignUp(next_, alignment);
    }
    next_ = at + bytes;
    if (next_ > ready_ && prefault_) {
        char* upTo = static_cast<std::size_t>(end_ - next_) > kBatch ? next_ + kBatch : end_;
        const bool hugePart = upTo <= hugeEnd_;
        prefault_ = makePresent(ready_, static_cast<std::size_t>(upTo - ready_), hugePart);
        ready_ = upTo;
        if (hugePart && !hugePagesPay()) {
            // The rest of the block takes small pages, from the next huge
            // page boundary on (the one being filled is present already).
            char* from = alignUp(ready_, kHugePageBytes);
            if (from < hugeEnd_) avoidHugePages(from, static_cast<std::size_t>(hugeEnd_ - from));
            hugeEnd_ = nullptr;
        }
    }
    return at;
}

}  // namespace kestrel::model
