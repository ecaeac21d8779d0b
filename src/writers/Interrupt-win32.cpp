// Removing the temporary files when Ctrl-C, Ctrl-Break or closing the console
// interrupts the program. The console handler runs on a thread of its own: it
// deletes the names of a fixed table filled beforehand (the files were opened
// for sharing deletion) and lets the default handler end the program.
#include <filesystem>

#include <windows.h>

#include "writers/CleanupTable.h"
#include "writers/FileOutput.h"

namespace kestrel::writers {

namespace {

// Enough for the files of every image that a folder run has open at once.
constexpr int kSlots = 64;
constexpr std::size_t kNameChars = 32768;  // the longest path the system takes

CleanupTable<wchar_t, kSlots, kNameChars> table;

BOOL WINAPI removeTemporaries(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT ||
        event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        table.forEachHeld([](const wchar_t* name) { DeleteFileW(name); });
    }
    return FALSE;
}

void installHandler() {
    SetConsoleCtrlHandler(removeTemporaries, TRUE);
}

}  // namespace

int holdForCleanup(const std::string& name) {
    const std::wstring wide = filePath(name).wstring();
    static const bool installed = (installHandler(), true);  // once, also across threads
    (void)installed;
    return table.hold(wide.c_str(), wide.size());
}

void releaseFromCleanup(int slot) { table.release(slot); }

}  // namespace kestrel::writers
