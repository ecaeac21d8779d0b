// The program driver: banner, usage text, derived file names, the objdump run,
// the model and output phases with their timing lines.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "driver/PathSplit.h"
#include "model/Report.h"

namespace kestrel::driver {

// Name of the objdump program and its options; the ELF path follows as a
// separate argument.
inline constexpr const char* kObjdumpProgram = "arm-none-eabi-objdump";
inline constexpr const char* kObjdumpOptions = "-WlLiaprmfFsoRt";
// The .debug_addr table as well, which the options above leave out: clang at
// DWARF 5 locates globals by an index into it (DW_OP_addrx). An image without
// that section gives the same dump as without this option.
inline constexpr const char* kObjdumpAddressOption = "--dwarf=addr";

// The console, or one image's block of it in folder mode: the messages of
// every layer of a run come here, each line flushed on its own.
class ConsoleReporter final : public model::Reporter {
public:
    explicit ConsoleReporter(std::ostream& out) : out_(out) {}
    void message(std::string_view text) override;

private:
    std::ostream& out_;
};

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

// The eleven lines printed when no input path is given, and for -h, --help
// and /?.
std::vector<std::string> usageLines();

// What the command line asks for. -h, --help, /? and --version are
// recognised only as the sole argument; any other first argument that starts
// with '-' (and is longer than "-") is an unknown option. Otherwise the
// arguments are joined into the input path; with none the usage text is asked for.
struct CommandLine {
    enum Request { Run, Usage, Version, UnknownOption };
    Request request = Run;
    std::string path;  // Run: the joined path; UnknownOption: the option
};
CommandLine readCommandLine(int argc, const char* const* argv);

// The two lines printed after an unknown option or a path that names no file.
std::vector<std::string> usageHint();

// The run on one input path, after the banner: the progress lines, objdump,
// the model and the output files. Returns the exit status; `signalsWritten`,
// when given, receives the number of signals the output pass wrote (0 when it
// did not run).
int runImage(const std::string& inputPath, std::ostream& out, std::size_t* signalsWritten);

// One run of the program; writes the console lines to `out` and returns the
// exit status: 0 for the usage text, the version and a successful run, 1 for
// an unknown option, a path that names no file (both with the usage hint), and
// when objdump, the dump file or an output file failed. A folder as the input
// path runs every ELF file in it (see FolderRun.h).
int runDriver(int argc, const char* const* argv, std::ostream& out);

}  // namespace kestrel::driver
