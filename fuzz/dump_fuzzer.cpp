// libFuzzer target over the whole program path: dump text -> model ->
// expansion -> memory map, CANape database and style-warnings log. Any check
// of the pipeline that fails ends the run like a crash, so that the fuzzer
// keeps the input.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "pipeline.h"

namespace {

// One scratch folder per process (fuzzing jobs may run side by side), in
// memory when /dev/shm is there; removed when the process ends. The name is
// kept in a plain array, which outlives every exit handler.
char scratchName[4096];

void removeScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(scratchName), ignored);
}

const char* scratchFolder() {
    if (scratchName[0] == '\0') {
        std::error_code ec;
        std::filesystem::path base = "/dev/shm";
        if (!std::filesystem::is_directory(base, ec)) base = std::filesystem::temp_directory_path();
        const std::string made = (base / ("kestrel-fuzz-" + std::to_string(::getpid()))).string();
        std::filesystem::create_directories(made, ec);
        std::snprintf(scratchName, sizeof scratchName, "%s", made.c_str());
        std::atexit(removeScratch);
    }
    return scratchName;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const kestrel::fuzzing::PipelineOutcome outcome = kestrel::fuzzing::runPipeline(text, scratchFolder());
    if (!outcome.problem.empty()) {
        std::fprintf(stderr, "pipeline check failed: %s\n", outcome.problem.c_str());
        std::abort();
    }
    return 0;
}
