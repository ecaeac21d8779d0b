// On Windows the banner is read from the executable's version resource:
// the fixed file version and two strings of the U.S. English / Unicode block.
#include "driver/Banner.h"

#include <windows.h>

#include <vector>

#include "driver/BuildInfo.h"

namespace kestrel {

namespace {

std::string versionString(const std::vector<char>& block, const char* key) {
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

std::vector<std::string> bannerLines(const std::string& programPath) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(programPath.c_str(), &handle);
    if (size == 0) return {};
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(programPath.c_str(), 0, size, block.data())) return {};

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

}  // namespace kestrel
