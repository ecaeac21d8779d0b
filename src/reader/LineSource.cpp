#include "reader/LineSource.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace kestrel::reader {

namespace {

std::FILE* openFile(const std::string& fileName, bool write) {
#ifdef _WIN32
    int n = MultiByteToWideChar(CP_UTF8, 0, fileName.data(), static_cast<int>(fileName.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, fileName.data(), static_cast<int>(fileName.size()), wide.data(), n);
    return _wfopen(wide.c_str(), write ? L"wb" : L"rb");
#else
    return std::fopen(fileName.c_str(), write ? "wb" : "rb");
#endif
}

}  // namespace

std::FILE* openForReading(const std::string& fileName) { return openFile(fileName, false); }
std::FILE* openForWriting(const std::string& fileName) { return openFile(fileName, true); }

bool readBlocks(const std::string& fileName, const std::function<bool(std::string_view)>& onBlock,
                std::string& error) {
    std::FILE* f = openForReading(fileName);
    if (f == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(f, &std::fclose);
    // Blocks small enough to stay in the cache while their lines are read.
    constexpr std::size_t kBlock = 256u << 10;
    std::vector<char> buffer(kBlock);
    for (;;) {
        const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), f);
        if (got > 0 && !onBlock(std::string_view(buffer.data(), got))) break;
        if (got < buffer.size()) break;
    }
    if (std::ferror(f)) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace kestrel::reader
