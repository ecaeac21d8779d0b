#include "reader/LineSource.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
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

bool seekTo(std::FILE* f, std::uint64_t at) {
#ifdef _WIN32
    return _fseeki64(f, static_cast<__int64>(at), SEEK_SET) == 0;
#else
    return fseeko(f, static_cast<off_t>(at), SEEK_SET) == 0;
#endif
}

bool fileSize(const std::string& fileName, std::uint64_t& size) {
    std::FILE* f = openFile(fileName, false);
    if (f == nullptr) return false;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(f, &std::fclose);
#ifdef _WIN32
    if (_fseeki64(f, 0, SEEK_END) != 0) return false;
    const __int64 at = _ftelli64(f);
#else
    if (fseeko(f, 0, SEEK_END) != 0) return false;
    const off_t at = ftello(f);
#endif
    if (at < 0) return false;
    size = static_cast<std::uint64_t>(at);
    return true;
}

std::FILE* openForReading(const std::string& fileName) { return openFile(fileName, false); }
std::FILE* openForWriting(const std::string& fileName) { return openFile(fileName, true); }

bool readBlocks(const std::string& fileName, const std::function<bool(std::string_view)>& onBlock,
                std::string& error) {
    return readBlocks(fileName, 0, UINT64_MAX, onBlock, error);
}

bool readBlocks(const std::string& fileName, std::uint64_t begin, std::uint64_t end,
                const std::function<bool(std::string_view)>& onBlock, std::string& error) {
    std::FILE* f = openForReading(fileName);
    if (f == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(f, &std::fclose);
    if (begin > 0 && !seekTo(f, begin)) {
        error = std::strerror(errno);
        return false;
    }
    // Blocks small enough to stay in the cache while their lines are read.
    constexpr std::size_t kBlock = 256u << 10;
    std::vector<char> buffer(kBlock);
    for (std::uint64_t at = begin; at < end;) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - at));
        const std::size_t got = std::fread(buffer.data(), 1, want, f);
        at += got;
        if (got > 0 && !onBlock(std::string_view(buffer.data(), got))) break;
        if (got < want) break;
    }
    if (std::ferror(f)) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace kestrel::reader
