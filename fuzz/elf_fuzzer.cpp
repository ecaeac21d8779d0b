// libFuzzer target over the ELF symbol-table reader: any input must give a
// clean result or a clean error; a failed check ends the run like a crash.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "elf_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem =
        kestrel::fuzzing::checkElfImage(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!problem.empty()) {
        std::fprintf(stderr, "ELF reader check failed: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
