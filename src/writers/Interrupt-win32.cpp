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

constexpr int kSlots = 8;
constexpr std::size_t kNameChars = 32768;  // the longest path the system takes

struct Slot {
    std::atomic<bool> used{false};
    wchar_t name[kNameChars];
};
Slot slots[kSlots];

BOOL WINAPI removeTemporaries(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT ||
        event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        for (const Slot& slot : slots) {
            if (slot.used.load()) DeleteFileW(slot.name);
        }
    }
    return FALSE;
}

void installHandler() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    SetConsoleCtrlHandler(removeTemporaries, TRUE);
}

}  // namespace

int holdForCleanup(const std::string& name) {
    const std::wstring wide = filePath(name).wstring();
    if (wide.size() >= kNameChars) return -1;
    installHandler();
    for (int k = 0; k < kSlots; ++k) {
        Slot& slot = slots[k];
        if (slot.used.load()) continue;
        std::wmemcpy(slot.name, wide.c_str(), wide.size() + 1);
        slot.used.store(true);
        return k;
    }
    return -1;
}

void releaseFromCleanup(int slot) {
    if (slot >= 0 && slot < kSlots) slots[slot].used.store(false);
}

}  // namespace Model
