// Removing the temporary files when a signal interrupts the program. The
// handler does nothing but unlink(2) the names of a fixed table filled
// beforehand, then lets the signal end the program as it would have.
#include <cerrno>
#include <csignal>

#include <signal.h>
#include <unistd.h>

#include "writers/CleanupTable.h"
#include "writers/FileOutput.h"

namespace kestrel::writers {

namespace {

// Enough for the files of every image that a folder run has open at once.
constexpr int kSlots = 64;
constexpr std::size_t kNameBytes = 4096;

CleanupTable<char, kSlots, kNameBytes> table;

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void removeTemporaries(int signalNumber) {
    const int savedErrno = errno;
    table.forEachHeld([](const char* name) { ::unlink(name); });
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
    static const bool installed = (installHandlers(), true);  // once, also across threads
    (void)installed;
    return table.hold(name.c_str(), name.size());
}

void releaseFromCleanup(int slot) { table.release(slot); }

}  // namespace kestrel::writers
