#include "driver/ObjdumpRun.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "driver/Driver.h"
#include "driver/Process.h"
#include "reader/LineSource.h"
#include "writers/FileOutput.h"

namespace kestrel::driver {

namespace {

// The size of the ELF file when it is a file that can be read; false when not.
bool readableSize(const std::string& elfPath, std::uint64_t& size) {
    std::error_code ec;
    const std::filesystem::path path = writers::filePath(elfPath);
    if (!std::filesystem::is_regular_file(path, ec)) return false;
    size = std::filesystem::file_size(path, ec);
    if (ec) return false;
    std::FILE* file = reader::openForReading(elfPath);
    if (file == nullptr) return false;
    std::fgetc(file);
    const bool readable = std::ferror(file) == 0;
    std::fclose(file);
    return readable;
}

// Completes the failed dump (which removes its temporary file) and reports why.
bool reportDumpProblem(writers::StreamedFile& dump, model::Reporter& reporter) {
    if (dump.problem().empty()) dump.complete();
    reporter.message(dump.problem());
    return false;
}

}  // namespace

std::uint64_t dumpSizeBound(std::uint64_t elfBytes) {
    constexpr std::uint64_t kFactor = 256;
    constexpr std::uint64_t kFloor = std::uint64_t{64} << 20;
    constexpr std::uint64_t kMax = ~std::uint64_t{0};
    return elfBytes > (kMax - kFloor) / kFactor ? kMax : kFloor + kFactor * elfBytes;
}

bool dumpElfFile(const std::string& elfPath, const std::string& dumpFile,
                 const std::function<bool(std::string_view)>& onOutput, const std::function<bool()>& accept,
                 model::Reporter& reporter) {
    std::uint64_t elfBytes = 0;
    if (!readableSize(elfPath, elfBytes)) {
        reporter.message("Can not open file: " + elfPath);
        return false;
    }
    writers::StreamedFile dump(dumpFile);
    if (dump.failed()) return reportDumpProblem(dump, reporter);
    const std::uint64_t bound = dumpSizeBound(elfBytes);
    std::uint64_t received = 0;
    bool refused = false;
    const std::string tooLong = "stopped after " + std::to_string(bound) +
                                " bytes of output, more than the debugging information of a " +
                                std::to_string(elfBytes) + "-byte ELF file gives (the file may be damaged)";
    const ProcessResult objdump = runWithOutputPipe(
        kObjdumpProgram, {kObjdumpOptions, elfPath},
        [&](std::string_view bytes) {
            received += bytes.size();
            if (received > bound) return false;
            dump.write(bytes);
            if (dump.failed()) return false;
            refused = !onOutput(bytes);
            return !refused;
        },
        tooLong);
    // A dump that could not be written is reported as such, whatever objdump did.
    if (dump.failed()) return reportDumpProblem(dump, reporter);
    if (refused) return false;
    if (!objdump.ok) {
        reporter.message(std::string(kObjdumpProgram) + " failed on " + elfPath + ": " + objdump.failure);
        return false;
    }
    if (!accept()) return false;
    if (!dump.complete() || !dump.commit()) return reportDumpProblem(dump, reporter);
    return true;
}

}  // namespace kestrel::driver
