// The version banner printed at program start. Where the version information
// comes from depends on the platform (Banner-posix.cpp, Banner-win32.cpp).
#pragma once

#include <string>
#include <vector>

namespace kestrel::driver {

// The banner lines of the running program (started as `programPath`): the
// file name, version and build date, then the legal notice. Empty when no
// version information can be read. On Windows they come from the running
// executable's own version resource, whatever path it was started by.
std::vector<std::string> bannerLines(const std::string& programPath);

// The first banner line: "<file> version <major>.<minor> from <build date>".
inline std::string bannerFirstLine(const std::string& fileName, unsigned major,
                                   unsigned minor, const std::string& date) {
    return fileName + " version " + std::to_string(major) + "." + std::to_string(minor) +
           " from " + date;
}

}  // namespace kestrel::driver
