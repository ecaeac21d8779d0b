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

constexpr int kSlots = 8;
constexpr std::size_t kNameBytes = 4096;

struct Slot {
    volatile std::sig_atomic_t used;
    char name[kNameBytes];
};
Slot slots[kSlots];

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void removeTemporaries(int signalNumber) {
    const int savedErrno = errno;
    for (const Slot& slot : slots) {
        if (slot.used != 0) ::unlink(slot.name);
    }
    // SA_RESETHAND has restored the default action: the signal, raised again,
    // ends the program as soon as the handler returns.
    ::raise(signalNumber);
    errno = savedErrno;
}

void installHandlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
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
    installHandlers();
    for (int k = 0; k < kSlots; ++k) {
        Slot& slot = slots[k];
        if (slot.used != 0) continue;
        std::memcpy(slot.name, name.c_str(), name.size() + 1);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        slot.used = 1;
        return k;
    }
    return -1;
}

void releaseFromCleanup(int slot) {
    if (slot < 0 || slot >= kSlots) return;
    slots[slot].used = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

}  // namespace Model
