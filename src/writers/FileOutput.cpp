#include "writers/FileOutput.h"

#include <filesystem>
#include <system_error>

namespace kestrel::writers {

namespace {

// File names are UTF-8 on every platform; on Windows a path made from a plain
// string would read them in the ANSI code page.
std::filesystem::path pathOf(const std::string& name) {
#ifdef _WIN32
    return std::filesystem::path(std::u8string(name.begin(), name.end()));
#else
    return std::filesystem::path(name);
#endif
}

void removeQuietly(const std::string& name) {
    std::error_code ignored;
    std::filesystem::remove(pathOf(name), ignored);
}

}  // namespace

StreamedFile::StreamedFile(std::string fileName, model::Reporter& reporter, std::string_view tempTag)
    : fileName_(std::move(fileName)), reporter_(reporter) {
    tempName_ = fileName_ + ".tmp" + std::to_string(currentProcessId());
    tempName_ += tempTag;
    std::error_code ec;
    if (std::filesystem::is_directory(pathOf(fileName_), ec)) {
        createFailed_ = true;
        return;
    }
    const std::filesystem::path temp = pathOf(tempName_);
#ifdef _WIN32
    file_ = ::_wfopen(temp.c_str(), L"wb");
#else
    file_ = std::fopen(temp.c_str(), "wb");
#endif
    if (file_ == nullptr) createFailed_ = true;
}

StreamedFile::~StreamedFile() {
    if (file_ != nullptr) {
        std::fclose(file_);
        removeQuietly(tempName_);
    }
}

void StreamedFile::write(std::string_view text) {
    if (file_ == nullptr || writeFailed_ || text.empty()) return;
    // Space is reserved ahead in steps that grow with the file (8 to 64 MB);
    // what is left over is cut off in finish().
    if (reserving_ && written_ + text.size() > reserved_) {
        constexpr std::uint64_t kMinStep = std::uint64_t{8} << 20;
        constexpr std::uint64_t kMaxStep = std::uint64_t{64} << 20;
        const std::uint64_t step = written_ < kMinStep ? kMinStep : written_ > kMaxStep ? kMaxStep : written_;
        const std::uint64_t end = written_ + text.size() + step;
        if (reserveFileSpace(file_, reserved_, end - reserved_))
            reserved_ = end;
        else
            reserving_ = false;
    }
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) writeFailed_ = true;
    written_ += text.size();
}

bool StreamedFile::finish() {
    if (createFailed_ || file_ == nullptr) {
        reporter_.message("Can not create file: " + fileName_);
        return false;
    }
    std::FILE* file = file_;
    file_ = nullptr;
    bool written = !writeFailed_;
    written = (std::fflush(file) == 0) && written;
    if (written && reserved_ > written_) written = truncateFile(file, written_);
    written = (std::fclose(file) == 0) && written;
    const char* message = nullptr;
    if (!written) {
        message = "Can not write file: ";
    } else {
        std::error_code ec;
        std::filesystem::rename(pathOf(tempName_), pathOf(fileName_), ec);
        if (ec) message = "Can not create file: ";
    }
    if (message == nullptr) return true;
    removeQuietly(tempName_);
    reporter_.message(message + fileName_);
    return false;
}

bool writeWholeFile(const std::string& fileName, std::string_view text, model::Reporter& reporter) {
    StreamedFile file(fileName, reporter);
    file.write(text);
    return file.finish();
}

}  // namespace kestrel::writers
