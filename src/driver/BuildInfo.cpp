#include "driver/BuildInfo.h"

#ifndef KESTREL_VERSION_MAJOR
#error "KESTREL_VERSION_MAJOR must be defined by the build"
#endif
#ifndef KESTREL_VERSION_MINOR
#error "KESTREL_VERSION_MINOR must be defined by the build"
#endif

namespace kestrel::driver {

const std::string& buildDate() {
    // __DATE__ pads a one-digit day with a blank ("Apr  4 2021"); the banner
    // and the usage text show it with a zero.
    static const std::string date = [] {
        std::string d = __DATE__;
        if (d.size() > 4 && d[4] == ' ') d[4] = '0';
        return d;
    }();
    return date;
}

int versionMajor() { return KESTREL_VERSION_MAJOR; }
int versionMinor() { return KESTREL_VERSION_MINOR; }

}  // namespace kestrel::driver
