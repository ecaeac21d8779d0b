#include "writers/FileOutput.h"

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <system_error>

namespace Model {

namespace {

bool fail(const char* message, const std::string& fileName, const std::string& tempName) {
    std::error_code ignored;
    std::filesystem::remove(std::filesystem::path(tempName), ignored);
    std::cout << message << fileName << std::endl;
    return false;
}

}  // namespace

bool writeWholeFile(const std::string& fileName, std::string_view text) {
    const std::string tempName = fileName + ".tmp" + std::to_string(currentProcessId());
    const std::filesystem::path target = std::filesystem::path(fileName);
    const std::filesystem::path temp = std::filesystem::path(tempName);

    std::error_code ec;
    if (std::filesystem::is_directory(target, ec)) {
        std::cout << "Can not create file: " << fileName << std::endl;
        return false;
    }
#ifdef _WIN32
    std::FILE* file = ::_wfopen(temp.c_str(), L"wb");
#else
    std::FILE* file = std::fopen(temp.c_str(), "wb");
#endif
    if (file == nullptr) {
        std::cout << "Can not create file: " << fileName << std::endl;
        return false;
    }
    bool written = text.empty() || std::fwrite(text.data(), 1, text.size(), file) == text.size();
    written = (std::fflush(file) == 0) && written;
    written = (std::fclose(file) == 0) && written;
    if (!written) return fail("Can not write file: ", fileName, tempName);

    std::filesystem::rename(temp, target, ec);
    if (ec) return fail("Can not create file: ", fileName, tempName);
    return true;
}

}  // namespace Model
