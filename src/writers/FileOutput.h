// Writing output files without losing their previous version: the text goes
// to a temporary file in the same folder, which replaces the target only when
// it was written and closed without error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "model/Report.h"

namespace kestrel::writers {

// One output file written in pieces while its text is produced. The pieces go
// to the temporary file; the target is touched only by finish(), which puts the
// complete file in place. Problems are held back until finish() reports them,
// so that the messages come in the order in which the files are finished.
class StreamedFile {
public:
    // Starts the temporary file `fileName` + ".tmp" + process id + `tempTag`
    // (a tag tells apart two files of one process that are open at once).
    // Problems are reported to `reporter`.
    StreamedFile(std::string fileName, model::Reporter& reporter, std::string_view tempTag = {});
    ~StreamedFile();  // without finish(): the temporary file is removed, nothing printed

    StreamedFile(const StreamedFile&) = delete;
    StreamedFile& operator=(const StreamedFile&) = delete;

    // Appends a piece in binary mode. After a failure further pieces are dropped.
    void write(std::string_view text);

    // Closes the temporary file and puts it in place. On failure reports
    // "Can not create file: <name>" (the file could not be created or put in
    // place) or "Can not write file: <name>" (writing or closing failed),
    // leaves an existing file untouched, removes the temporary file and
    // returns false. Call once.
    bool finish();

    const std::string& fileName() const { return fileName_; }

private:
    std::string fileName_;
    model::Reporter& reporter_;
    std::string tempName_;
    std::FILE* file_ = nullptr;
    std::uint64_t written_ = 0;   // bytes handed to the file
    std::uint64_t reserved_ = 0;  // bytes of space reserved (0: none; see reserveFileSpace)
    bool reserving_ = true;       // false once the platform declined
    bool createFailed_ = false;
    bool writeFailed_ = false;
};

// Writes `text` to `fileName` in one piece: a StreamedFile with one piece.
bool writeWholeFile(const std::string& fileName, std::string_view text, model::Reporter& reporter);

// The id of the running process (names the temporary files).
unsigned long currentProcessId();

// Allocates the space for `length` bytes from `offset` of an open file ahead
// of writing (the file may grow to offset + length). False when the platform
// or the file system does not do it; nothing is changed then.
bool reserveFileSpace(std::FILE* file, std::uint64_t offset, std::uint64_t length);

// Cuts an open, flushed file to `length` bytes.
bool truncateFile(std::FILE* file, std::uint64_t length);

}  // namespace kestrel::writers
