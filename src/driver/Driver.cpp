#include "driver/Driver.h"

#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>

#include "driver/Banner.h"
#include "driver/BuildInfo.h"
#include "driver/FolderRun.h"
#include "driver/Process.h"
#include "model/DwarfModel.h"
#include "reader/LineSource.h"
#include "writers/OutputPass.h"

namespace kestrel {

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

int runImage(const std::string& inputPath, std::ostream& out, std::size_t* signalsWritten) {
    const RunFiles files = deriveRunFiles(inputPath);
    printLine(out, "inputFile : " + files.dumpFile);
    printLine(out, "outFileMap : " + files.mapFile);

    const std::time_t start = std::time(nullptr);

    std::unique_ptr<Model::DwarfModel> model;
    if (files.elfInput) {
        const std::string elfPath = files.elfPath();
        printLine(out, "elfFile : " + elfPath);
        // objdump's output is kept as the dump file and read into the model
        // as it arrives, so that reading overlaps with objdump's own work.
        std::FILE* dump = openForWriting(files.dumpFile);
        if (dump == nullptr) {
            printLine(out, "Can not create file: " + files.dumpFile);
            return 1;
        }
        model = std::make_unique<Model::DwarfModel>();
        Model::DwarfModel::Builder builder(*model);
        bool writeFailed = false;
        const ProcessResult objdump = runWithOutputPipe(
            kObjdumpProgram, {kObjdumpOptions, elfPath},
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
            return 1;
        }
        if (!objdump.ok) {
            printLine(out, std::string(kObjdumpProgram) + " failed on " + elfPath + ": " + objdump.failure);
            return 1;
        }
        printTiming(out, "ObjDump finished " + files.dumpFile, start);
        builder.finish();
    } else {
        model = std::make_unique<Model::DwarfModel>(files.dumpFile);
        if (!model->opened()) {
            printLine(out, "Can not open file: " + files.dumpFile);
            return 1;
        }
    }
    printTiming(out, "Parsing Dwarf finished", start);

    std::size_t signals = 0;
    const bool written = Model::writeOutputFiles(files.mapFile, files.canapeFile, *model, &signals);
    printTiming(out, "Mox M51 + CANape finished " + files.mapFile, start);

    model.reset();
    if (signalsWritten != nullptr) *signalsWritten = signals;
    return written ? 0 : 1;
}

namespace {

int run(int argc, const char* const* argv, std::ostream& out) {
    if (argc >= 1 && argv[0] != nullptr) {
        for (const std::string& line : bannerLines(argv[0])) printLine(out, line);
    }

    const std::string inputPath = joinArguments(argc, argv);
    if (inputPath.empty()) {
        for (const std::string& line : usageLines()) printLine(out, line);
        return 0;
    }
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

}  // namespace kestrel
