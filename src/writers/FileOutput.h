// Writing output files without losing their previous version: the text goes
// to a temporary file in the same folder, which replaces the target only when
// it was written and closed without error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "model/Report.h"

namespace kestrel::writers {

// One output file written in pieces while its text is produced. The pieces go
// to a temporary file beside the target, created exclusively under a name
// with an unpredictable part (nothing planted at a guessable name is ever
// written through), and removed again when the program is interrupted (see
// holdForCleanup). The target is touched only by commit(), which puts the
// complete file in place. Problems are held back until complete() reports
// them, so that the messages come in the order in which the files are
// finished.
class StreamedFile {
public:
    explicit StreamedFile(std::string fileName);
    ~StreamedFile();  // without commit(): the temporary file is removed, nothing printed

    StreamedFile(const StreamedFile&) = delete;
    StreamedFile& operator=(const StreamedFile&) = delete;

    // Appends a piece in binary mode. After a failure further pieces are dropped.
    void write(std::string_view text);

    // True once the file could not be created or a piece could not be written.
    bool failed() const { return createFailed_ || writeFailed_; }

    // Closes the temporary file. On failure removes it, keeps the problem
    // ("Can not create file: " when the file could not be created, "Can not
    // write file: " when writing or closing failed) and returns false.
    bool complete();
    // Puts the completed file in place of the target. On failure removes the
    // temporary file, keeps the problem ("Can not create file: ") and returns
    // false; an existing target stays untouched. Call once, after complete().
    bool commit();

    // The problem met by complete() or commit(), with the file name: the
    // message to print; empty when there was none.
    std::string problem() const;

    const std::string& fileName() const { return fileName_; }
    // Bytes handed to the file so far.
    std::uint64_t size() const { return written_; }

private:
    void discard();

    std::string fileName_;
    std::string tempName_;
    std::FILE* file_ = nullptr;
    bool tempExists_ = false;     // the temporary file is there, not yet put in place
    int cleanupSlot_ = -1;        // see holdForCleanup
    std::uint64_t written_ = 0;   // bytes handed to the file
    std::uint64_t reserved_ = 0;  // bytes of space reserved (0: none; see reserveFileSpace)
    bool reserving_ = true;       // false once the platform declined
    bool createFailed_ = false;
    bool writeFailed_ = false;
    const char* problem_ = nullptr;
};

// Reports the problem of `file` (if any) to `reporter`.
void reportProblem(const StreamedFile& file, model::Reporter& reporter);

// Writes `text` to `fileName` in one piece: a StreamedFile with one piece,
// completed, committed and reported.
bool writeWholeFile(const std::string& fileName, std::string_view text, model::Reporter& reporter);

// The path of a file name; names are UTF-8 on every platform.
std::filesystem::path filePath(const std::string& name);

// The name of a temporary file beside `fileName`: its name followed by
// ".tmp" and `suffix`, the name cut short (at a character boundary) so that
// the file's own name keeps within 255 bytes.
std::string temporaryName(const std::string& fileName, std::string_view suffix);

// ---------------------------------------------------------- platform parts

// The id of the running process.
unsigned long currentProcessId();

// Fills `data` with bytes from the system's source of random numbers; false
// when it gave none.
bool unpredictableBytes(void* data, std::size_t size);

enum class CreateResult { created, exists, failed };
// Creates the file `name` for binary writing only when no file, folder or
// link of that name exists.
CreateResult createExclusive(const std::string& name, std::FILE*& file);

// Replaces `target` (a file or a link, never what a link points to) by
// `source` in one step.
bool replaceFile(const std::string& source, const std::string& target);

// Remembers the name of a temporary file so that an interrupting signal
// (Ctrl-C, SIGTERM, closing the console) removes it before the program ends.
// The names are kept in a fixed table prepared beforehand; returns the slot,
// or -1 when the table is full or the name too long (the file then stays
// behind on such an interruption). The first call installs the handlers.
int holdForCleanup(const std::string& name);
// Forgets the name of slot `slot` (-1: nothing).
void releaseFromCleanup(int slot);

// Allocates the space for `length` bytes from `offset` of an open file ahead
// of writing (the file may grow to offset + length). False when the platform
// or the file system does not do it; nothing is changed then.
bool reserveFileSpace(std::FILE* file, std::uint64_t offset, std::uint64_t length);

// Cuts an open, flushed file to `length` bytes.
bool truncateFile(std::FILE* file, std::uint64_t length);

}  // namespace kestrel::writers
