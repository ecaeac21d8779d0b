// Outside Windows an executable carries no version resource; the banner is
// made from version information compiled into the program.
#include "driver/Banner.h"

#include "driver/BuildInfo.h"

namespace kestrel::driver {

namespace {
constexpr const char* kFileName = "kestrelmap";
constexpr const char* kLegalNotice = "Copyright (C) 2026 Kestrelmap developers";
}  // namespace

std::vector<std::string> bannerLines(const std::string& /*programPath*/) {
    return {bannerFirstLine(kFileName, static_cast<unsigned>(versionMajor()),
                            static_cast<unsigned>(versionMinor()), buildDate()),
            kLegalNotice};
}

}  // namespace kestrel::driver
