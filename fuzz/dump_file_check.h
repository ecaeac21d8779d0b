// The file path of the loading module: dump text written to a file and read
// back through loadFile (blocks read from the file, the line assembler, the
// cut check), and in two parts at once, must give the model that the text
// read in memory gives.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "pipeline.h"
#include "reader/PartLoad.h"

namespace kestrel::fuzzing {

// Empty when the check held; otherwise which part failed.
inline std::string checkDumpFile(std::string_view dumpText, const std::filesystem::path& folder) {
    const std::filesystem::path file = folder / "file_ObjDump.txt";
    std::FILE* out = std::fopen(file.string().c_str(), "wb");
    if (out == nullptr) return "the dump file could not be created";
    const bool written = std::fwrite(dumpText.data(), 1, dumpText.size(), out) == dumpText.size();
    if (std::fclose(out) != 0 || !written) return "the dump file could not be written";

    std::string problem;
    {
        model::DwarfModel fromFile;
        std::string error;
        if (!reader::loadFile(file.string(), fromFile, error))
            problem = "loadFile failed: " + error;
        else if (fromFile.bytesRead != dumpText.size())
            problem = "loadFile read another number of bytes";
        else if (describeModel(fromFile) != describeModel(*reader::loadText(dumpText)))
            problem = "loadFile read the file differently from the text in memory";
    }
    // The file read in two parts at once, split at its first unit header.
    for (std::size_t start : detail::unitHeaderStarts(dumpText, 1)) {
        if (!problem.empty()) break;
        model::DwarfModel inParts;
        std::string error;
        bool split = false;
        const reader::RangeReader read = reader::fileRanges(file.string());
        if (!reader::loadInParts(read, reader::planPartsAt(reader::filePeek(file.string()), start), inParts, error, split))
            problem = "loadInParts failed: " + error;
        else if (describeModel(inParts) != describeModel(*reader::loadText(dumpText)))
            problem = "the file read in two parts gave another model";
    }
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    return problem;
}

}  // namespace kestrel::fuzzing
