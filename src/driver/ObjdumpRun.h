// The objdump step of an ELF run: objdump's output kept as the dump file and
// handed on as it arrives.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "model/Report.h"

namespace kestrel::driver {

// The most output accepted from objdump for an ELF file of `elfBytes` bytes.
// On real images the dump is 7 to 19 times the size of the ELF file and at
// most 22 times the size of its .debug_* sections (measured on C and C++
// images with newlib and libstdc++, -g, -g3, -O0 to -O2, DWARF 2 to 5); the
// bound allows 256 times the whole file, and 64 MB for any file. Only a
// damaged file makes objdump print more (endless entries from a few wrong
// bytes).
std::uint64_t dumpSizeBound(std::uint64_t elfBytes);

// Runs objdump on `elfPath`. Its output goes to a temporary file beside
// `dumpFile`, which replaces `dumpFile` only when objdump ended successfully
// and all of its output was written; and to `onOutput` as it arrives.
// On any failure reports the reason to `reporter`, leaves an earlier dump untouched
// and returns false: the ELF file cannot be read (`Can not open file: `, objdump
// is not started), the dump cannot be written, objdump fails, or its output
// passes dumpSizeBound (objdump is stopped). `onOutput` may refuse the
// output by returning false (objdump is stopped), and `accept`, asked once
// objdump ended successfully, may refuse it as a whole: then too the earlier
// dump stays untouched and false is returned, but nothing is reported (the
// caller knows why).
bool dumpElfFile(const std::string& elfPath, const std::string& dumpFile,
                 const std::function<bool(std::string_view)>& onOutput, const std::function<bool()>& accept,
                 model::Reporter& reporter);

}  // namespace kestrel::driver
