// libFuzzer target over the dump-file path: the input is written to a file
// and loaded through the loading module; the model must equal the one read
// from the same text in memory. A failed check ends the run like a crash.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "dump_file_check.h"
#include "scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = kestrel::fuzzing::checkDumpFile(
        std::string_view(reinterpret_cast<const char*>(data), size), kestrel::fuzzing::scratchFolder());
    if (!problem.empty()) {
        std::fprintf(stderr, "dump file check failed: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
