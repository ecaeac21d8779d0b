#include "driver/WindowsCommandLine.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdlib>

namespace kestrel::driver {

namespace {

std::string toUtf8(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return std::string();
    std::string utf8(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), length, nullptr, nullptr);
    utf8.pop_back();  // the terminating null
    return utf8;
}

}  // namespace

Utf8Arguments::Utf8Arguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide != nullptr) {
        texts_.reserve(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) texts_.push_back(toUtf8(wide[i]));
        LocalFree(wide);
    } else {
        for (int i = 0; i < argc; ++i) texts_.emplace_back(argv[i] != nullptr ? argv[i] : "");
    }
    pointers_.reserve(texts_.size() + 1);
    for (const std::string& text : texts_) pointers_.push_back(text.c_str());
    pointers_.push_back(nullptr);
}

void useUtf8Console() {
    // The console keeps its code page after the program ends; the previous one
    // is put back then.
    static UINT previous = 0;
    previous = GetConsoleOutputCP();
    if (previous == 0 || previous == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) return;
    std::atexit([] { SetConsoleOutputCP(previous); });
}

}  // namespace kestrel::driver
