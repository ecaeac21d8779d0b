// The program driver: banner, usage text, derived file names, the objdump run,
// the model and output phases with their timing lines.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "driver/PathSplit.h"

namespace kestrel::driver {

// Name of the objdump program and its options; the ELF path follows as a
// separate argument.
inline constexpr const char* kObjdumpProgram = "arm-none-eabi-objdump";
inline constexpr const char* kObjdumpOptions = "-WlLiaprmfFsoRt";
// The .debug_addr table as well, which the options above leave out: clang at
// DWARF 5 locates globals by an index into it (DW_OP_addrx). An image without
// that section gives the same dump as without this option.
inline constexpr const char* kObjdumpAddressOption = "--dwarf=addr";

// The files of one run, all derived from the input path.
struct RunFiles {
    PathParts parts;
    std::string dumpFile;    // directory + name + "_ObjDump.txt"
    std::string mapFile;     // directory + name + "_Mox.m51"
    std::string canapeFile;  // directory + name + "_CANape.db"
    bool elfInput = false;   // the extension names an ELF file

    // The path handed to objdump: directory + name + extension.
    std::string elfPath() const { return parts.directory + parts.name + parts.extension; }
};

RunFiles deriveRunFiles(std::string_view inputPath);

// The arguments after the program name, joined with nothing between them.
std::string joinArguments(int argc, const char* const* argv);

// The eleven lines printed when no input path is given.
std::vector<std::string> usageLines();

// One run of the program; writes the console lines to `out` and returns the
// exit status: 0 for the usage text and a successful run, 1 when objdump, the
// dump file or an output file failed.
int runDriver(int argc, const char* const* argv, std::ostream& out);

}  // namespace kestrel::driver
