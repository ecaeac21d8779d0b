#include "reader/LineSource.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace kestrel {

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

bool readLines(const std::string& fileName, const std::function<void(std::string_view)>& onLine,
               std::string& error, std::uint64_t* bytes) {
    std::FILE* f = openForReading(fileName);
    if (f == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(f, &std::fclose);

    constexpr std::size_t kBlock = 4u << 20;
    std::vector<char> buffer(kBlock);
    std::size_t kept = 0;  // bytes of an unfinished line at the buffer's start
    std::uint64_t total = 0;
    for (;;) {
        if (buffer.size() - kept < kBlock / 2) buffer.resize(buffer.size() * 2);  // a very long line
        std::size_t got = std::fread(buffer.data() + kept, 1, buffer.size() - kept, f);
        if (got == 0) {
            if (std::ferror(f)) {
                error = "read error";
                return false;
            }
            break;
        }
        total += got;
        std::string_view chunk(buffer.data(), kept + got);
        std::size_t lastLf = chunk.rfind('\n');
        if (lastLf == std::string_view::npos) {
            kept += got;
            continue;
        }
        forEachLine(chunk.substr(0, lastLf + 1), onLine);
        std::size_t rest = chunk.size() - (lastLf + 1);
        std::memmove(buffer.data(), buffer.data() + lastLf + 1, rest);
        kept = rest;
        if (buffer.size() > kBlock && kept < kBlock / 2) {
            buffer.resize(kBlock);
            buffer.shrink_to_fit();
        }
    }
    if (kept > 0) forEachLine(std::string_view(buffer.data(), kept), onLine);
    if (bytes != nullptr) *bytes = total;
    return true;
}

}  // namespace kestrel
