// Facts fixed when the program is built.
#pragma once

#include <string>

namespace kestrel::driver {

// The build date as "Mmm dd yyyy" ("Apr 14 2021", "Apr 04 2021").
const std::string& buildDate();

// Major and minor version of the program ("2" and "0" for 2.0).
int versionMajor();
int versionMinor();

}  // namespace kestrel::driver
