// Removing the temporary files when Ctrl-C, Ctrl-Break or closing the console
// interrupts the program. The console handler runs on a thread of its own: it
// deletes the names of a fixed table filled beforehand (the files were opened
// for sharing deletion) and lets the default handler end the program.
#include <atomic>
#include <cwchar>
#include <filesystem>

#include <windows.h>

#include "writers/FileOutput.h"

namespace Model {

namespace {

// Enough for the files of every image that a folder run has open at once.
constexpr int kSlots = 64;
constexpr std::size_t kNameChars = 32768;  // the longest path the system takes

// A slot is claimed by compare-and-swap (images of a folder run register
// their files from several threads) and read by the handler only when held.
enum SlotState : int { kFree = 0, kFilling = 1, kHeld = 2 };
struct Slot {
    std::atomic<int> state{kFree};
    wchar_t name[kNameChars];
};
Slot slots[kSlots];

BOOL WINAPI removeTemporaries(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT ||
        event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        for (const Slot& slot : slots) {
            if (slot.state.load() == kHeld) DeleteFileW(slot.name);
        }
    }
    return FALSE;
}

void installHandler() {
    SetConsoleCtrlHandler(removeTemporaries, TRUE);
}

}  // namespace

int holdForCleanup(const std::string& name) {
    const std::wstring wide = filePath(name).wstring();
    if (wide.size() >= kNameChars) return -1;
    static const bool installed = (installHandler(), true);  // once, also across threads
    (void)installed;
    for (int k = 0; k < kSlots; ++k) {
        Slot& slot = slots[k];
        int expected = kFree;
        if (!slot.state.compare_exchange_strong(expected, kFilling)) continue;
        std::wmemcpy(slot.name, wide.c_str(), wide.size() + 1);
        slot.state.store(kHeld);
        return k;
    }
    return -1;
}

void releaseFromCleanup(int slot) {
    if (slot >= 0 && slot < kSlots) slots[slot].state.store(kFree);
}

}  // namespace Model
