// libFuzzer target over the whole program path: dump text -> model ->
// expansion -> memory map, CANape database and style-warnings log. Any check
// of the pipeline that fails ends the run like a crash, so that the fuzzer
// keeps the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "pipeline.h"
#include "scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const kestrel::fuzzing::PipelineOutcome outcome =
        kestrel::fuzzing::runPipeline(text, kestrel::fuzzing::scratchFolder());
    if (!outcome.problem.empty()) {
        std::fprintf(stderr, "pipeline check failed: %s\n", outcome.problem.c_str());
        std::abort();
    }
    return 0;
}
