// The fixed table of temporary-file names that an interruption removes, shared
// by the platform parts (Interrupt-posix.cpp, Interrupt-win32.cpp). A slot is
// claimed by compare-and-swap (images of a folder run register their files
// from several threads) and read by the handler only when held; nothing here
// allocates, so the handler may walk the table.
#pragma once

#include <atomic>
#include <cstddef>

namespace kestrel::writers {

template <typename Char, int Slots, std::size_t NameChars>
class CleanupTable {
public:
    static_assert(std::atomic<int>::is_always_lock_free, "the handler reads the states");

    // Copies `name` (`length` characters and the terminating zero) into a
    // free slot; returns the slot, or -1 when the table is full or the name
    // too long.
    int hold(const Char* name, std::size_t length) {
        if (length >= NameChars) return -1;
        for (int k = 0; k < Slots; ++k) {
            Slot& slot = slots_[k];
            int expected = kFree;
            if (!slot.state.compare_exchange_strong(expected, kFilling)) continue;
            for (std::size_t i = 0; i <= length; ++i) slot.name[i] = name[i];
            slot.state.store(kHeld);
            return k;
        }
        return -1;
    }

    // Frees slot `slot` (-1: nothing).
    void release(int slot) {
        if (slot >= 0 && slot < Slots) slots_[slot].state.store(kFree);
    }

    // Calls `remove` with every name held.
    template <typename Remove>
    void forEachHeld(Remove&& remove) const {
        for (const Slot& slot : slots_) {
            if (slot.state.load() == kHeld) remove(slot.name);
        }
    }

private:
    enum SlotState : int { kFree = 0, kFilling = 1, kHeld = 2 };
    struct Slot {
        std::atomic<int> state{kFree};
        Char name[NameChars];
    };
    Slot slots_[Slots];
};

}  // namespace kestrel::writers
