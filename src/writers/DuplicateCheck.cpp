#include "writers/DuplicateCheck.h"

#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <new>

#include "model/ArenaMemory.h"
#include "writers/DisplayName.h"

namespace kestrel::writers {

namespace {

// A hash of the whole name, eight bytes at a time, with a final mix so that
// names that differ only in their last characters (array indices) spread over
// the whole table.
std::uint64_t hashName(std::string_view text) {
    constexpr std::uint64_t kMul1 = 0x87c37b91114253d5ull;
    constexpr std::uint64_t kMul2 = 0x4cf5ad432745937full;
    const char* p = text.data();
    std::size_t n = text.size();
    std::uint64_t h = 0x9e3779b97f4a7c15ull ^ (n * kMul2);
    auto mixIn = [&h](std::uint64_t word) {
        word *= kMul1;
        word = (word << 31) | (word >> 33);
        word *= kMul2;
        h ^= word;
        h = ((h << 27) | (h >> 37)) * 5 + 0x52dce729;
    };
    while (n >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        mixIn(word);
        p += 8;
        n -= 8;
    }
    if (n > 0) {
        std::uint64_t word = 0;
        std::memcpy(&word, p, n);
        mixIn(word);
    }
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    return h;
}

// Blocks of a huge page each (see FreeSlots).
constexpr std::size_t kBlockBytes = std::size_t{2} << 20;
constexpr std::size_t kFirstSlots = 1024;  // a power of two

}  // namespace

constexpr unsigned kUnitBits = 18;  // 8-byte units in a block of kBlockBytes
static_assert((std::size_t{8} << kUnitBits) == kBlockBytes);

std::uint32_t DuplicateCheck::locationRef(std::string_view location) {
    if (location.empty()) return kNoLocation;
    const std::string_view last = locations_.empty() ? std::string_view{} : locations_.back();
    if (last.data() != location.data() || last.size() != location.size()) {
        if (locations_.size() >= kNoLocation) throw std::bad_alloc();
        locations_.push_back(location);
    }
    return static_cast<std::uint32_t>(locations_.size() - 1);
}

std::uint32_t DuplicateCheck::store(std::string_view displayName, std::string_view location) {
    // Records start at multiples of 8 bytes.
    static_assert(alignof(Record) <= 8);
    const std::size_t bytes = (sizeof(Record) + displayName.size() + 7) / 8 * 8;
    if (bytes > blockLeft_) {
        // A record larger than a block gets a block of its own.
        if (blocks_.size() >= (std::size_t{1} << (32 - kUnitBits)) - 1) throw std::bad_alloc();
        const std::size_t size = bytes > kBlockBytes ? bytes : kBlockBytes;
        blocks_.push_back(Block(static_cast<char*>(model::hugePageBlocks()->allocate(size, 8)), FreeBlock{size}));
        blockNext_ = blocks_.back().get();
        blockLeft_ = size;
    }
    const std::size_t unit = static_cast<std::size_t>(blockNext_ - blocks_.back().get()) / 8;
    new (blockNext_) Record{locationRef(location), static_cast<std::uint32_t>(displayName.size())};
    if (!displayName.empty()) std::memcpy(blockNext_ + sizeof(Record), displayName.data(), displayName.size());
    blockNext_ += bytes;
    blockLeft_ -= bytes;
    return static_cast<std::uint32_t>(((blocks_.size() - 1) << kUnitBits | unit) + 1);
}

DuplicateCheck::Record* DuplicateCheck::recordAt(std::uint32_t reference) const {
    const std::uint32_t at = reference - 1;
    return reinterpret_cast<Record*>(blocks_[at >> kUnitBits].get() + std::size_t{at & ((1u << kUnitBits) - 1)} * 8);
}

void DuplicateCheck::FreeBlock::operator()(char* block) const { model::hugePageBlocks()->deallocate(block, bytes, 8); }

void DuplicateCheck::FreeSlots::operator()(Slot* slots) const {
    model::hugePageBlocks()->deallocate(slots, bytes, alignof(Slot));
}

void DuplicateCheck::grow() {
    static_assert(std::is_trivially_copyable_v<Slot>);
    const std::size_t oldCount = slotCount_;
    const std::size_t count = oldCount == 0 ? kFirstSlots : oldCount * 2;
    if (count > (std::size_t{1} << 32)) throw std::bad_alloc();  // slots hold 32 bits of the hash
    // All-zero bytes are a free slot (hash 0, no record).
    const std::size_t bytes = count * sizeof(Slot);
    std::unique_ptr<Slot[], FreeSlots> slots(static_cast<Slot*>(model::hugePageBlocks()->allocate(bytes, alignof(Slot))),
                                             FreeSlots{bytes});
    std::memset(static_cast<void*>(slots.get()), 0, bytes);
    const std::size_t mask = count - 1;
    for (std::size_t k = 0; k < oldCount; ++k) {
        const Slot& slot = slots_[k];
        if (slot.record == 0) continue;
        std::size_t i = slot.hash & mask;
        while (slots[i].record != 0) i = (i + 1) & mask;
        slots[i] = slot;
    }
    slots_ = std::move(slots);
    slotCount_ = count;
}

std::uint64_t DuplicateCheck::prepare(std::string_view displayName) const {
    const std::uint64_t hash = hashName(displayName);
    if (slotCount_ != 0) {
        const Slot* slot = &slots_[static_cast<std::uint32_t>(hash) & (slotCount_ - 1)];
#if defined(__GNUC__) || defined(__clang__)
        __builtin_prefetch(slot);
#else
        (void)slot;
#endif
    }
    return hash;
}

void DuplicateCheck::check(std::string_view displayName, std::string_view location, std::uint64_t hash) {
    // At most three quarters of the slots are taken.
    if ((count_ + 1) * 4 > slotCount_ * 3) grow();
    const std::size_t mask = slotCount_ - 1;
    const auto hash32 = static_cast<std::uint32_t>(hash);
    std::size_t i = hash32 & mask;
    Record* seen = nullptr;
    for (;; i = (i + 1) & mask) {
        Slot& slot = slots_[i];
        if (slot.record == 0) {
            slot.record = store(displayName, location);
            slot.hash = hash32;
            ++count_;
            return;
        }
        if (slot.hash == hash32 && recordAt(slot.record)->name() == displayName) {
            seen = recordAt(slot.record);
            break;
        }
    }
    found_ = true;
    if (reported_.insert(location).second) {
        log_ += "Warning - Duplicate Static VariableName: ";
        log_ += baseName(displayName);
        log_ += "\r\n  Location File: ";
        log_ += location;
        log_ += "\r\n";
        if (seen->location != kNoLocation) {
            log_ += "  Location File: ";
            log_ += locations_[seen->location];
            log_ += "\r\n";
        }
    }
    seen->location = kNoLocation;
}

}  // namespace kestrel::writers
