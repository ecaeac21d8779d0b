// One scratch folder per fuzzing process (jobs may run side by side), in
// memory when /dev/shm is there; removed when the process ends. The name is
// kept in a plain array, which outlives every exit handler.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace kestrel::fuzzing {

namespace detail {

inline char scratchName[4096];

inline void removeScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(scratchName), ignored);
}

}  // namespace detail

inline const char* scratchFolder() {
    char* name = detail::scratchName;
    if (name[0] == '\0') {
        std::error_code ec;
        std::filesystem::path base = "/dev/shm";
        if (!std::filesystem::is_directory(base, ec)) base = std::filesystem::temp_directory_path();
        const std::string made = (base / ("kestrel-fuzz-" + std::to_string(::getpid()))).string();
        std::filesystem::create_directories(made, ec);
        std::snprintf(name, sizeof detail::scratchName, "%s", made.c_str());
        std::atexit(detail::removeScratch);
    }
    return name;
}

}  // namespace kestrel::fuzzing
