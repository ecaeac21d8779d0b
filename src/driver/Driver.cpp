#include "driver/Driver.h"

#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>

#include "driver/Banner.h"
#include "driver/BuildInfo.h"
#include "driver/Process.h"
#include "model/DwarfModel.h"
#include "model/Report.h"
#include "reader/LineSource.h"
#include "reader/ModelLoader.h"
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

// The console of a run: the messages of every layer come here.
class ConsoleReporter final : public model::Reporter {
public:
    explicit ConsoleReporter(std::ostream& out) : out_(out) {}
    void message(std::string_view text) override { printLine(out_, text); }

private:
    std::ostream& out_;
};

}  // namespace

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

namespace {

// Runs objdump on the ELF file of `files` and reads its output into `model`.
// False when objdump or the dump file failed (the message has been printed).
bool readThroughObjdump(const RunFiles& files, model::DwarfModel& model, std::ostream& out, std::time_t start) {
    const std::string elfPath = files.elfPath();
    printLine(out, "elfFile : " + elfPath);
    // objdump's output is kept as the dump file and read into the model
    // as it arrives, so that reading overlaps with objdump's own work.
    std::FILE* dump = reader::openForWriting(files.dumpFile);
    if (dump == nullptr) {
        printLine(out, "Can not create file: " + files.dumpFile);
        return false;
    }
    reader::ModelLoader builder(model);
    bool writeFailed = false;
    const ProcessResult objdump = runWithOutputPipe(
        kObjdumpProgram, {kObjdumpOptions, kObjdumpAddressOption, elfPath},
        [&](std::string_view bytes) {
            if (std::fwrite(bytes.data(), 1, bytes.size(), dump) != bytes.size()) {
                writeFailed = true;
                return false;
            }
            builder.push(bytes);
            return true;
        },
        "stopped");
    if (std::fclose(dump) != 0) writeFailed = true;
    if (writeFailed) {
        printLine(out, "Can not write file: " + files.dumpFile);
        return false;
    }
    if (!objdump.ok) {
        printLine(out, std::string(kObjdumpProgram) + " failed on " + elfPath + ": " + objdump.failure);
        return false;
    }
    printTiming(out, "ObjDump finished " + files.dumpFile, start);
    builder.finish();
    return true;
}

int run(int argc, const char* const* argv, std::ostream& out) {
    if (argc >= 1 && argv[0] != nullptr) {
        for (const std::string& line : bannerLines(argv[0])) printLine(out, line);
    }

    const std::string inputPath = joinArguments(argc, argv);
    if (inputPath.empty()) {
        for (const std::string& line : usageLines()) printLine(out, line);
        return 0;
    }

    const RunFiles files = deriveRunFiles(inputPath);
    printLine(out, "inputFile : " + files.dumpFile);
    printLine(out, "outFileMap : " + files.mapFile);

    const std::time_t start = std::time(nullptr);

    ConsoleReporter reporter(out);
    auto model = std::make_unique<model::DwarfModel>();
    if (files.elfInput) {
        if (!readThroughObjdump(files, *model, out, start)) return 1;
    } else {
        std::string reason;
        if (!reader::loadFile(files.dumpFile, *model, reason)) {
            printLine(out, "Can not open file: " + files.dumpFile + " (" + reason + ")");
            return 1;
        }
    }
    printTiming(out, "Parsing Dwarf finished", start);

    const bool written = writers::writeOutputFiles(files.mapFile, files.canapeFile, *model, reporter);
    printTiming(out, "Mox M51 + CANape finished " + files.mapFile, start);

    model.reset();
    return written ? 0 : 1;
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
