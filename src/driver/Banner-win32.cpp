// On Windows the banner is read from the version resource of the running
// executable: the fixed file version and two strings of the U.S. English /
// Unicode string block (040904b0).
#include "driver/Banner.h"

#include <windows.h>
#include <winver.h>

#include <string>
#include <vector>

#include "driver/BuildInfo.h"

namespace kestrel::driver {

namespace {

// The full path of the running executable. The program name on the command
// line is whatever the caller typed ("Kestrelmap", without folder or ".exe"),
// which the version functions would look up as a library.
std::wstring ownExecutablePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        if (path.size() >= 32768) return std::wstring();
        path.resize(path.size() * 2);
    }
}

// The path in the ANSI code page, or empty when one of its characters has no
// ANSI form there (the version functions then take the wide path).
std::string ansiPath(const std::wstring& path) {
    BOOL lossy = FALSE;
    const int size = static_cast<int>(path.size());
    const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.data(), size, nullptr, 0,
                                           nullptr, &lossy);
    if (length <= 0 || lossy) return std::string();
    std::string ansi(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.data(), size, ansi.data(), length, nullptr,
                        &lossy);
    return lossy ? std::string() : ansi;
}

// The whole version-information block of `path`; empty when it has none.
std::vector<char> versionBlock(const std::wstring& path) {
    std::vector<char> block;
    const std::string ansi = ansiPath(path);
    DWORD handle = 0;
    if (!ansi.empty()) {
        const DWORD size = GetFileVersionInfoSizeA(ansi.c_str(), &handle);
        if (size == 0) return block;
        block.resize(size);
        if (!GetFileVersionInfoA(ansi.c_str(), 0, size, block.data())) block.clear();
    } else {
        const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
        if (size == 0) return block;
        block.resize(size);
        if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) block.clear();
    }
    return block;
}

// A string of the version block; empty text when it is missing.
std::string versionString(std::vector<char>& block, const char* key) {
    char* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), key, reinterpret_cast<LPVOID*>(&value), &length) ||
        value == nullptr || length == 0) {
        return std::string();
    }
    std::string text(value, length);
    const auto end = text.find('\0');
    if (end != std::string::npos) text.resize(end);
    return text;
}

}  // namespace

std::vector<std::string> bannerLines(const std::string& /*programPath*/) {
    const std::wstring path = ownExecutablePath();
    if (path.empty()) return {};
    std::vector<char> block = versionBlock(path);
    if (block.empty()) return {};

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedLength = 0;
    if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<LPVOID*>(&fixed), &fixedLength) ||
        fixed == nullptr || fixedLength < sizeof(VS_FIXEDFILEINFO)) {
        return {};
    }
    const unsigned major = HIWORD(fixed->dwFileVersionMS);
    const unsigned minor = LOWORD(fixed->dwFileVersionMS);
    return {bannerFirstLine(versionString(block, "\\StringFileInfo\\040904b0\\OriginalFilename"),
                            major, minor, buildDate()),
            versionString(block, "\\StringFileInfo\\040904b0\\LegalCopyright")};
}

}  // namespace kestrel::driver
