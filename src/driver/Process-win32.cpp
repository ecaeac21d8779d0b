// Starting a helper program on Windows: CreateProcessW with a command line
// quoted for the C runtime's argument splitting (no command processor), and
// only the handles meant for the child inherited.
#include "driver/Process.h"

#include <windows.h>

#include <memory>
#include <type_traits>

namespace kestrel::driver {

namespace {

std::string errorText(DWORD error) {
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    std::string text = length != 0 && buffer != nullptr ? std::string(buffer, length)
                                                         : "error " + std::to_string(error);
    if (buffer != nullptr) LocalFree(buffer);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' ||
                             text.back() == '.')) {
        text.pop_back();
    }
    return text;
}

// Paths and arguments are UTF-8 inside the program (main converts the
// command line); the system takes them in UTF-16.
std::wstring widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

// The program name is split off by its own rule: up to the next blank, or
// between quotes, with backslashes taken literally.
void appendProgram(std::wstring& commandLine, const std::wstring& program) {
    if (!program.empty() && program.find_first_of(L" \t") == std::wstring::npos) {
        commandLine += program;
        return;
    }
    commandLine += L'"';
    commandLine += program;
    commandLine += L'"';
}

// Appends one argument quoted so that the C runtime of the child splits it
// back into exactly this text (backslashes only double before a quote).
void appendQuoted(std::wstring& commandLine, const std::wstring& argument) {
    commandLine += L' ';
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        commandLine += argument;
        return;
    }
    commandLine += L'"';
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') commandLine.append(backslashes * 2 + 1, L'\\');
        else commandLine.append(backslashes, L'\\');
        backslashes = 0;
        commandLine += c;
    }
    commandLine.append(backslashes * 2, L'\\');
    commandLine += L'"';
}

std::wstring commandLineOf(const std::string& program, const std::vector<std::string>& arguments) {
    std::wstring commandLine;
    appendProgram(commandLine, widen(program));
    for (const std::string& argument : arguments) appendQuoted(commandLine, widen(argument));
    return commandLine;
}

// Closes a handle at the end of a scope.
struct Handle {
    HANDLE h = nullptr;
    Handle() = default;
    explicit Handle(HANDLE handle) : h(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { close(); }
    void close() {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
        h = nullptr;
    }
};

// An inheritable copy of one of our standard handles for the child; null
// when we have none.
HANDLE inheritableCopy(DWORD which) {
    const HANDLE own = GetStdHandle(which);
    if (own == nullptr || own == INVALID_HANDLE_VALUE) return nullptr;
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

// Our environment block with LC_ALL=C (withCLocale), as CreateProcessW takes
// a Unicode one: entries, each ended by a NUL, and one NUL more.
std::wstring childEnvironment() {
    std::vector<std::wstring> entries;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* p = block; *p != L'\0'; p += entries.back().size() + 1) entries.emplace_back(p);
        FreeEnvironmentStringsW(block);
    }
    std::wstring result;
    for (const std::wstring& entry : withCLocale(std::move(entries), true)) {
        result += entry;
        result += L'\0';
    }
    result += L'\0';
    return result;
}

struct AttributeListDeleter {
    void operator()(LPPROC_THREAD_ATTRIBUTE_LIST list) const { DeleteProcThreadAttributeList(list); }
};

// Starts the child with `output` (inheritable) as its standard output and our
// standard input and error. Exactly these three handles are inherited, so
// that no other handle of ours (the read end of a pipe, an output file being
// written) stays open in the child.
bool startChild(const std::string& program, const std::vector<std::string>& arguments, HANDLE output,
                PROCESS_INFORMATION& process, std::string& failure) {
    Handle input(inheritableCopy(STD_INPUT_HANDLE));
    Handle error(inheritableCopy(STD_ERROR_HANDLE));
    HANDLE inherited[3];
    DWORD count = 0;
    inherited[count++] = output;
    if (input.h != nullptr) inherited[count++] = input.h;
    if (error.h != nullptr) inherited[count++] = error.h;

    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::unique_ptr<char[]> listMemory(new char[listSize]);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listMemory.get());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &listSize)) {
        failure = "can not start: " + errorText(GetLastError());
        return false;
    }
    std::unique_ptr<std::remove_pointer_t<LPPROC_THREAD_ATTRIBUTE_LIST>, AttributeListDeleter> listOwner(list);
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                   count * sizeof(HANDLE), nullptr, nullptr)) {
        failure = "can not start: " + errorText(GetLastError());
        return false;
    }

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.h;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = error.h;
    startup.lpAttributeList = list;

    std::wstring commandLine = commandLineOf(program, arguments);
    std::wstring environment = childEnvironment();
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                        EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT, environment.data(), nullptr,
                        &startup.StartupInfo, &process)) {
        failure = "can not start: " + errorText(GetLastError());
        return false;
    }
    return true;
}

// Waits for the child to end, closes its handles and reports its exit code.
ProcessResult waitFor(PROCESS_INFORMATION& process) {
    Handle thread(process.hThread);
    Handle child(process.hProcess);
    if (WaitForSingleObject(child.h, INFINITE) != WAIT_OBJECT_0) {
        return ProcessResult::failed("can not wait for it: " + errorText(GetLastError()));
    }
    DWORD exitCode = 1;
    if (!GetExitCodeProcess(child.h, &exitCode)) {
        return ProcessResult::failed("can not read its exit status: " + errorText(GetLastError()));
    }
    if (exitCode != 0) return ProcessResult::failed("exit status " + std::to_string(exitCode));
    return ProcessResult{true, std::string()};
}

}  // namespace

ProcessResult runWithOutputPipe(const std::string& program, const std::vector<std::string>& arguments,
                                const std::function<bool(std::string_view)>& onOutput,
                                const std::string& stopReason) {
    constexpr DWORD kBlock = 1u << 20;
    Handle readEnd;
    Handle writeEnd;
    if (!CreatePipe(&readEnd.h, &writeEnd.h, nullptr, kBlock)) {
        return ProcessResult::failed("can not create a pipe: " + errorText(GetLastError()));
    }
    // Only the write end goes to the child.
    if (!SetHandleInformation(writeEnd.h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
        return ProcessResult::failed("can not create a pipe: " + errorText(GetLastError()));
    }
    PROCESS_INFORMATION process{};
    std::string failure;
    const bool started = startChild(program, arguments, writeEnd.h, process, failure);
    // Our copy of the write end must go, or the pipe never reports its end.
    writeEnd.close();
    if (!started) return ProcessResult::failed(failure);

    std::unique_ptr<char[]> buffer(new char[kBlock]);
    bool stopped = false;
    std::string readError;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(readEnd.h, buffer.get(), kBlock, &got, nullptr)) {
            const DWORD error = GetLastError();
            if (error != ERROR_BROKEN_PIPE) {
                readError = errorText(error);
                TerminateProcess(process.hProcess, 1);
            }
            break;
        }
        if (got == 0) continue;  // a zero-length write of the child
        if (!onOutput(std::string_view(buffer.get(), got))) {
            stopped = true;
            TerminateProcess(process.hProcess, 1);
            break;
        }
    }
    readEnd.close();
    ProcessResult result = waitFor(process);
    if (stopped) return ProcessResult::failed(stopReason);
    if (!readError.empty()) return ProcessResult::failed("can not read its output: " + readError);
    return result;
}

}  // namespace kestrel::driver
