// Removing the temporary files when a signal interrupts the program. The
// handler does nothing but unlink(2) the names of a fixed table filled
// beforehand, then lets the signal end the program as it would have.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <signal.h>
#include <unistd.h>

#include "writers/FileOutput.h"

namespace Model {

namespace {

// Enough for the files of every image that a folder run has open at once.
constexpr int kSlots = 64;
constexpr std::size_t kNameBytes = 4096;

// A slot is claimed by compare-and-swap (images of a folder run register
// their files from several threads) and read by the handler only when held.
enum SlotState : int { kFree = 0, kFilling = 1, kHeld = 2 };
struct Slot {
    std::atomic<int> state{kFree};
    char name[kNameBytes];
};
static_assert(std::atomic<int>::is_always_lock_free, "the handler reads the states");
Slot slots[kSlots];

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void removeTemporaries(int signalNumber) {
    const int savedErrno = errno;
    for (const Slot& slot : slots) {
        if (slot.state.load() == kHeld) ::unlink(slot.name);
    }
    // SA_RESETHAND has restored the default action: the signal, raised again,
    // ends the program as soon as the handler returns.
    ::raise(signalNumber);
    errno = savedErrno;
}

void installHandlers() {
    for (const int signalNumber : kSignals) {
        struct sigaction previous {};
        if (::sigaction(signalNumber, nullptr, &previous) != 0) continue;
        // A signal ignored by whoever started the program stays ignored.
        if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = removeTemporaries;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        for (const int other : kSignals) sigaddset(&action.sa_mask, other);
        ::sigaction(signalNumber, &action, nullptr);
    }
}

}  // namespace

int holdForCleanup(const std::string& name) {
    if (name.size() >= kNameBytes) return -1;
    static const bool installed = (installHandlers(), true);  // once, also across threads
    (void)installed;
    for (int k = 0; k < kSlots; ++k) {
        Slot& slot = slots[k];
        int expected = kFree;
        if (!slot.state.compare_exchange_strong(expected, kFilling)) continue;
        std::memcpy(slot.name, name.c_str(), name.size() + 1);
        slot.state.store(kHeld);
        return k;
    }
    return -1;
}

void releaseFromCleanup(int slot) {
    if (slot < 0 || slot >= kSlots) return;
    slots[slot].state.store(kFree);
}

}  // namespace Model
