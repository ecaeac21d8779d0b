#include "writers/FileOutput.h"

#include <atomic>
#include <chrono>
#include <system_error>

namespace kestrel::writers {

namespace {

void removeQuietly(const std::string& name) {
    std::error_code ignored;
    std::filesystem::remove(filePath(name), ignored);
}

// Sixteen hex digits from the system's random source; should it give none,
// from the clock, the process id and a counter, well mixed.
std::string unpredictableSuffix() {
    std::uint64_t value = 0;
    if (!unpredictableBytes(&value, sizeof value)) {
        static std::atomic<std::uint64_t> counter{0};
        value = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                (std::uint64_t{currentProcessId()} << 32) ^ (++counter * 0x9e3779b97f4a7c15ull);
        value ^= value >> 31;
        value *= 0xbf58476d1ce4e5b9ull;
        value ^= value >> 29;
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text(16, '0');
    for (char& digit : text) {
        digit = kDigits[value & 15];
        value >>= 4;
    }
    return text;
}

// Another process (or a planted link) that takes one of these names in
// between is passed by; so many collisions in a row mean something else.
constexpr int kCreateAttempts = 32;

}  // namespace

std::filesystem::path filePath(const std::string& name) {
#ifdef _WIN32
    // A path made from a plain string would read the name in the ANSI code page.
    return std::filesystem::path(std::u8string(name.begin(), name.end()));
#else
    return std::filesystem::path(name);
#endif
}

std::string temporaryName(const std::string& fileName, std::string_view suffix) {
    constexpr std::size_t kMaxNameBytes = 255;
    constexpr std::string_view kTag = ".tmp";
    const char* separators = std::filesystem::path::preferred_separator == '\\' ? "/\\" : "/";
    const std::size_t slash = fileName.find_last_of(separators);
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t room = kMaxNameBytes - kTag.size() - suffix.size();
    std::size_t end = fileName.size();
    if (end - start > room) {
        end = start + room;
        // Not inside a UTF-8 sequence: its continuation bytes are 10xxxxxx.
        while (end > start && (static_cast<unsigned char>(fileName[end]) & 0xc0) == 0x80) --end;
    }
    std::string name = fileName.substr(0, end);
    name += kTag;
    name += suffix;
    return name;
}

StreamedFile::StreamedFile(std::string fileName) : fileName_(std::move(fileName)) {
    std::error_code ec;
    if (std::filesystem::is_directory(filePath(fileName_), ec)) {
        createFailed_ = true;
        return;
    }
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        tempName_ = temporaryName(fileName_, unpredictableSuffix());
        // The name is held before the file exists: an interruption in between
        // then finds nothing to remove, never a file left behind.
        cleanupSlot_ = holdForCleanup(tempName_);
        const CreateResult result = createExclusive(tempName_, file_);
        if (result == CreateResult::created) {
            tempExists_ = true;
            return;
        }
        releaseFromCleanup(cleanupSlot_);
        cleanupSlot_ = -1;
        if (result == CreateResult::failed) break;
    }
    file_ = nullptr;
    createFailed_ = true;
}

StreamedFile::~StreamedFile() { discard(); }

void StreamedFile::discard() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (tempExists_) removeQuietly(tempName_);
    tempExists_ = false;
    releaseFromCleanup(cleanupSlot_);
    cleanupSlot_ = -1;
}

void StreamedFile::write(std::string_view text) {
    if (file_ == nullptr || writeFailed_ || text.empty()) return;
    // Space is reserved ahead in steps that grow with the file (8 to 64 MB);
    // what is left over is cut off in complete().
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

bool StreamedFile::complete() {
    if (createFailed_ || file_ == nullptr) {
        problem_ = "Can not create file: ";
        discard();
        return false;
    }
    std::FILE* file = file_;
    file_ = nullptr;
    bool written = !writeFailed_;
    written = (std::fflush(file) == 0) && written;
    if (written && reserved_ > written_) written = truncateFile(file, written_);
    written = (std::fclose(file) == 0) && written;
    if (written) return true;
    problem_ = "Can not write file: ";
    discard();
    return false;
}

bool StreamedFile::commit() {
    if (problem_ != nullptr || !tempExists_ || file_ != nullptr) {
        if (problem_ == nullptr) problem_ = "Can not create file: ";
        return false;
    }
    // Released first: an interruption during the rename must not remove the
    // file that has just taken the target's name.
    releaseFromCleanup(cleanupSlot_);
    cleanupSlot_ = -1;
    tempExists_ = false;
    if (replaceFile(tempName_, fileName_)) return true;
    removeQuietly(tempName_);
    problem_ = "Can not create file: ";
    return false;
}

std::string StreamedFile::problem() const {
    return problem_ != nullptr ? problem_ + fileName_ : std::string();
}

void reportProblem(const StreamedFile& file, model::Reporter& reporter) {
    const std::string problem = file.problem();
    if (!problem.empty()) reporter.message(problem);
}

bool writeWholeFile(const std::string& fileName, std::string_view text, model::Reporter& reporter) {
    StreamedFile file(fileName);
    file.write(text);
    const bool ok = file.complete() && file.commit();
    reportProblem(file, reporter);
    return ok;
}

}  // namespace kestrel::writers
