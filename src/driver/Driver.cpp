#include "driver/Driver.h"

#include <ctime>
#include <filesystem>
#include <future>
#include <string>
#include <system_error>
#include <exception>
#include <memory>
#include <utility>

#include "driver/Banner.h"
#include "driver/BuildInfo.h"
#include "driver/FolderRun.h"
#include "driver/ObjdumpRun.h"
#include "model/DwarfModel.h"
#include "model/Report.h"
#include "reader/ElfSymbols.h"
#include "reader/ModelLoader.h"
#include "writers/FileOutput.h"
#include "writers/OutputPass.h"

namespace kestrel::driver {

namespace {

// Every console line is flushed on its own, so that progress shows while
// objdump or a long parse runs.
void printLine(std::ostream& out, std::string_view text) {
    out << text << '\n';
    out.flush();
}

// Seconds since `start`, written as the stream writes a double by default
// (0, 1, 12).
void printTiming(std::ostream& out, std::string_view prefix, std::time_t start) {
    const double seconds = std::difftime(std::time(nullptr), start);
    out << prefix << " -> Seconds Since Start: " << seconds << '\n';
    out.flush();
}

}  // namespace

void ConsoleReporter::message(std::string_view text) { printLine(out_, text); }

RunFiles deriveRunFiles(std::string_view inputPath) {
    RunFiles files;
    files.parts = splitPath(inputPath);
    const std::string stem = files.parts.directory + files.parts.name;
    files.dumpFile = stem + "_ObjDump.txt";
    files.mapFile = stem + "_Mox.m51";
    files.canapeFile = stem + "_CANape.db";
    files.elfInput = isElfExtension(files.parts.extension);
    return files;
}

std::string joinArguments(int argc, const char* const* argv) {
    std::string joined;
    for (int i = 1; i < argc; ++i) {
        if (argv[i] != nullptr) joined += argv[i];
    }
    return joined;
}

std::vector<std::string> usageLines() {
    return {
        "ELF TO KEIL M51 MEMORY MAP FILE GENERATOR",
        "BUILD: " + buildDate(),
        "Call: program \"elf_file.elf\"",
        "       -  generates map file from elf file",
        "Call: program \"objDumpOutput.txt\"",
        "       -  generates map file from objDumpFile",
        "Call: Kestrelmap \"directory\"",
        "       -  generate map file from elf files found in directory",
        "",
        "Generated files will have the same name as used input filename + _ObjDump.txt + "
        "_Mox.m51 + _CANape.db",
        "Internal ObjDump Call will be \"arm-none-eabi-objdump -WlLiaprmfFsoRt  inputFile.elf > "
        "inputFile.txt\"",
    };
}

CommandLine readCommandLine(int argc, const char* const* argv) {
    const std::string_view first = argc >= 2 && argv[1] != nullptr ? argv[1] : "";
    const bool alone = argc == 2;
    if (alone && (first == "-h" || first == "--help" || first == "/?")) return {CommandLine::Usage, {}};
    if (alone && first == "--version") return {CommandLine::Version, {}};
    // Any other first argument of the form -x is an option this program does
    // not know; a file of such a name is given as ./-x.elf.
    if (first.size() > 1 && first[0] == '-') return {CommandLine::UnknownOption, std::string(first)};
    std::string path = joinArguments(argc, argv);
    return {path.empty() ? CommandLine::Usage : CommandLine::Run, std::move(path)};
}

std::vector<std::string> usageHint() {
    return {"Usage: kestrelmap PATH  (an ELF file, a folder of them, or a name beside its earlier _ObjDump.txt);",
            "       kestrelmap --help prints the usage text, kestrelmap --version the version."};
}

namespace {

// The path as one console line: line breaks and other control characters as
// \n, \r or \xNN.
std::string printable(std::string_view path) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') text += "\\n";
        else if (c == '\r') text += "\\r";
        else if (byte < 0x20 || byte == 0x7f) text += {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
        else text += c;
    }
    return text;
}

// The last line of a run: "Variables: 120, signals: 765, omissions: 3", with
// ", mismatches: N" when listed variables disagree with the symbol table, and
// "omissions: not checked" without a symbol table to check against.
std::string countLine(std::size_t variables, std::size_t signals, const writers::OmissionCounts* counts) {
    std::string line = "Variables: " + std::to_string(variables) + ", signals: " + std::to_string(signals);
    if (counts == nullptr) return line + ", omissions: not checked";
    line += ", omissions: " + std::to_string(counts->omissions);
    if (counts->mismatches > 0) line += ", mismatches: " + std::to_string(counts->mismatches);
    return line;
}

// A command line that names no run: the reason, then the usage hint; status 1.
int refuse(std::ostream& out, const std::string& reason) {
    printLine(out, reason);
    for (const std::string& line : usageHint()) printLine(out, line);
    return 1;
}

// The ELF file beside a dump: directory + name + an extension that the ELF
// test accepts (".elf" in any case); empty when there is none.
std::string elfBesideDump(const RunFiles& files) {
    std::error_code ec;
    const std::filesystem::path folder =
        files.parts.directory.empty() ? std::filesystem::path(".") : writers::filePath(files.parts.directory);
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::filesystem::path& path = it->path();
        const std::u8string stem = path.stem().u8string();
        const std::u8string extension = path.extension().u8string();
        if (std::string(stem.begin(), stem.end()) != files.parts.name) continue;
        const std::string ext(extension.begin(), extension.end());
        if (!isElfExtension(ext) || !it->is_regular_file(ec)) continue;
        return files.parts.directory + files.parts.name + ext;
    }
    return {};
}

// The data objects of the image's symbol table, for the omissions log, or
// the line that tells why the check cannot be made.
struct ImageSymbols {
    std::unique_ptr<reader::ElfSymbols> symbols;  // null when the check cannot be made
    std::string problem;
};

ImageSymbols symbolsFor(const RunFiles& files) {
    ImageSymbols result;
    const std::string elfPath = files.elfInput ? files.elfPath() : elfBesideDump(files);
    if (elfPath.empty()) {
        result.problem = "Omissions not checked: no ELF file beside the dump";
        return result;
    }
    auto symbols = std::make_unique<reader::ElfSymbols>(reader::readElfSymbols(elfPath));
    if (!symbols->ok()) {
        result.problem = "Omissions not checked: " + symbols->error;
    } else if (!symbols->hasSymbolTable) {
        result.problem = "Omissions not checked: the ELF file has no symbol table";
    } else {
        result.symbols = std::move(symbols);
    }
    return result;
}

// The symbols are read on a thread of their own while the debugging
// information is (they are needed only after it); where no thread is to be
// had, when they are asked for.
std::future<ImageSymbols> symbolsMeanwhile(const RunFiles& files) {
    try {
        return std::async(std::launch::async, [files] { return symbolsFor(files); });
    } catch (const std::system_error&) {
        return std::async(std::launch::deferred, [files] { return symbolsFor(files); });
    }
}

}  // namespace

int runImage(const std::string& inputPath, std::ostream& out, std::size_t* signalsWritten) {
    const RunFiles files = deriveRunFiles(inputPath);
    // Without a name every derived file would be a bare suffix such as
    // _ObjDump.txt in the working folder.
    if (files.parts.name.empty()) return refuse(out, "The path names no file: " + printable(inputPath));
    printLine(out, "inputFile : " + files.dumpFile);
    printLine(out, "outFileMap : " + files.mapFile);

    const std::time_t start = std::time(nullptr);
    std::future<ImageSymbols> pendingSymbols = symbolsMeanwhile(files);

    ConsoleReporter reporter(out);
    auto model = std::make_unique<model::DwarfModel>();
    if (files.elfInput) {
        const std::string elfPath = files.elfPath();
        printLine(out, "elfFile : " + elfPath);
        // objdump's output is kept as the dump file and read into the model
        // as it arrives, so that reading overlaps with objdump's own work.
        // A refused dump (no objdump dump, or cut) does not replace an earlier one.
        reader::ModelLoader builder(*model);
        const bool dumped = dumpElfFile(
            elfPath, files.dumpFile, [&](std::string_view bytes) { return builder.push(bytes); },
            [&] {
                builder.finish();
                return !model->dumpCut;
            },
            reporter);
        if (!dumped && !model->notADump && !model->dumpCut) return 1;
        if (dumped) printTiming(out, "ObjDump finished " + files.dumpFile, start);
    } else {
        std::string reason;
        if (!reader::loadFile(files.dumpFile, *model, reason)) {
            printLine(out, "Can not open file: " + files.dumpFile + " (" + reason + ")");
            return 1;
        }
    }
    if (model->notADump) {
        printLine(out, "The file is not an objdump dump (a line longer than 16 MB): " + files.dumpFile);
        return 1;
    }
    if (model->dumpCut) {
        printLine(out, "The dump ends inside a compilation unit: " + files.dumpFile);
        return 1;
    }
    printTiming(out, "Parsing Dwarf finished", start);

    const ImageSymbols imageSymbols = pendingSymbols.get();
    if (!imageSymbols.problem.empty()) printLine(out, imageSymbols.problem);
    const reader::ElfSymbols* symbols = imageSymbols.symbols.get();
    writers::OmissionAccount account;
    if (symbols != nullptr) account.symbols = &symbols->objects;
    std::size_t signals = 0;
    const bool written = writers::writeOutputFiles(files.mapFile, files.canapeFile, *model, reporter,
                                                   expand::ExpandLimits(), &signals, &account);
    printTiming(out, "Mox M51 + CANape finished " + files.mapFile, start);
    printLine(out, countLine(account.counts.variables, signals,
                             symbols != nullptr ? &account.counts : nullptr));

    model.reset();
    if (signalsWritten != nullptr) *signalsWritten = signals;
    return written ? 0 : 1;
}

namespace {

int run(int argc, const char* const* argv, std::ostream& out) {
    if (argc >= 1 && argv[0] != nullptr) {
        for (const std::string& line : bannerLines(argv[0])) printLine(out, line);
    }

    const CommandLine command = readCommandLine(argc, argv);
    switch (command.request) {
        case CommandLine::Usage:
            for (const std::string& line : usageLines()) printLine(out, line);
            return 0;
        case CommandLine::Version:
            return 0;  // the banner above is the version
        case CommandLine::UnknownOption:
            return refuse(out, "Unknown option: " + printable(command.path));
        case CommandLine::Run:
            break;
    }
    const std::string& inputPath = command.path;
    // A folder: every ELF file in it, each as if given alone.
    if (isFolder(inputPath)) return runFolder(inputPath, out);
    return runImage(inputPath, out, nullptr);
}

}  // namespace

int runDriver(int argc, const char* const* argv, std::ostream& out) {
    try {
        return run(argc, argv, out);
    } catch (const std::exception& error) {
        printLine(out, std::string("Error: ") + error.what());
        return 1;
    }
}

}  // namespace kestrel::driver
