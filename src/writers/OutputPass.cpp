#include "writers/OutputPass.h"

#include <filesystem>
#include <initializer_list>
#include <memory>
#include <system_error>
#include <utility>

#include "expand/Variables.h"
#include "writers/CanapeFormat.h"
#include "writers/DisplayName.h"
#include "writers/DuplicateCheck.h"
#include "writers/FileOutput.h"
#include "writers/MapFormat.h"

namespace kestrel::writers {

namespace {

// The texts are handed to their temporary files in blocks of about this size
// as they grow, so that a large image never holds its whole output in memory.
constexpr std::size_t kFlushBytes = std::size_t{256} << 10;

// The emit step: every signal that is not constant becomes a map line and a
// CANape line and enters the duplicate check, straight from the expansion's
// working record. The checks run a few signals behind, in the same order, so
// that the table is read from memory ahead of need.
class Emitter final : public expand::SignalSink {
public:
    Emitter(bool littleEndian, StreamedFile& map, StreamedFile* canape)
        : littleEndian_(littleEndian), mapFile_(map), canapeFile_(canape) {
        mapText_.reserve(kFlushBytes + kFlushBytes / 4);
        if (canapeFile_ != nullptr) {
            canapeText_.reserve(kFlushBytes + kFlushBytes / 4);
            appendCanapeHeader(canapeText_);
        }
    }

    void signal(const SignalInfo& signal) override {
        if (signal.isConst) return;
        ++written;
        const std::uint32_t position = signal.bitSize != 0 ? bitPosition(signal, littleEndian_) : 0;
        // The name waits in the queue while the slots of the names before it
        // are loaded; the checks run in signal order.
        if (queued_ == kQueue) checkOldest();
        Pending& pending = queue_[(first_ + queued_) % kQueue];
        ++queued_;
        std::string& displayName = pending.displayName;
        displayName.clear();
        appendDisplayName(displayName, signal, position);
        pending.location = signal.location;
        pending.hash = duplicates.prepare(displayName);

        appendMapLine(mapText_, signal, displayName);
        if (mapText_.size() >= kFlushBytes) flush(mapText_, mapFile_);
        if (canapeFile_ != nullptr) {
            appendCanapeLine(canapeText_, signal, displayName, position);
            if (canapeText_.size() >= kFlushBytes) flush(canapeText_, *canapeFile_);
        }
    }

    // Runs the checks still queued and hands the rest of the texts to their
    // files.
    void finish() {
        while (queued_ > 0) checkOldest();
        flush(mapText_, mapFile_);
        if (canapeFile_ != nullptr) flush(canapeText_, *canapeFile_);
    }

    DuplicateCheck duplicates;
    std::size_t written = 0;  // signals emitted

private:
    // A display name whose duplicate check is still to run.
    struct Pending {
        std::string displayName;
        std::string_view location;
        std::uint64_t hash = 0;
    };
    static constexpr std::size_t kQueue = 8;

    void checkOldest() {
        const Pending& pending = queue_[first_];
        duplicates.check(pending.displayName, pending.location, pending.hash);
        first_ = (first_ + 1) % kQueue;
        --queued_;
    }

    static void flush(std::string& text, StreamedFile& file) {
        file.write(text);
        text.clear();
    }

    bool littleEndian_;
    StreamedFile& mapFile_;
    StreamedFile* canapeFile_;
    std::string mapText_;
    std::string canapeText_;
    Pending queue_[kQueue];
    std::size_t first_ = 0;
    std::size_t queued_ = 0;
};

// Completes every file of a set (null entries are passed over), and only when
// all are complete puts them in place one after another and removes
// `obsolete` (an output of earlier runs that this set has none of). When any
// fails, the earlier files of the whole set stay as they were; the problems
// are reported in the order of the files.
bool replaceAsSet(std::initializer_list<StreamedFile*> files, std::initializer_list<std::string> obsolete,
                  model::Reporter& reporter) {
    bool complete = true;
    for (StreamedFile* file : files) {
        if (file != nullptr) complete = file->complete() && complete;
    }
    bool ok = complete;
    for (StreamedFile* file : files) {
        if (file == nullptr) continue;
        if (complete) ok = file->commit() && ok;
        reportProblem(*file, reporter);
    }
    for (const std::string& name : obsolete) {
        if (!ok || name.empty()) continue;
        std::error_code ignored;
        std::filesystem::remove(filePath(name), ignored);
    }
    return ok;
}

}  // namespace

bool writeOutputFiles(std::string mapFileName, std::string canapeFileName, const model::DwarfModel& model,
                      model::Reporter& reporter, const expand::ExpandLimits& limits, std::size_t* signalsWritten,
                      OmissionAccount* account) {
    // The files are only started here and completed after the last signal,
    // in the order map, log, CANape; they replace the earlier ones as a set.
    const std::string logFileName = mapFileName + "_StyleWarnings.log";
    StreamedFile mapFile(mapFileName);
    std::unique_ptr<StreamedFile> canapeFile;
    if (!canapeFileName.empty()) canapeFile = std::make_unique<StreamedFile>(canapeFileName);

    Emitter emitter(model.littleEndian, mapFile, canapeFile.get());
    // Signals and the duplicate check refer to these texts: declared before
    // the expansion, they outlive the check.
    expand::LocationTexts locations;
    std::vector<expand::VariableRecord> records;
    expand::expandVariables(model, emitter, reporter, limits, locations, account != nullptr ? &records : nullptr);
    emitter.finish();
    if (signalsWritten != nullptr) *signalsWritten = emitter.written;

    // The account of data objects that the map does not list.
    const std::string omissionsName = mapFileName + "_Omissions.log";
    std::unique_ptr<StreamedFile> omissionsFile;
    if (account != nullptr) {
        account->counts = OmissionCounts{};
        account->counts.variables = listedVariables(records);
        if (account->symbols != nullptr) {
            std::string text = kOmissionsHeader;
            account->counts = appendOmissions(text, *account->symbols, model, records);
            if (account->counts.omissions + account->counts.mismatches > 0) {
                omissionsFile = std::make_unique<StreamedFile>(omissionsName);
                omissionsFile->write(text);
            }
        }
    }
    const bool staleOmissions = account != nullptr && omissionsFile == nullptr && canapeFileName != omissionsName;

    std::unique_ptr<StreamedFile> logFile;
    if (emitter.duplicates.found()) {
        logFile = std::make_unique<StreamedFile>(logFileName);
        logFile->write(emitter.duplicates.log());
    }
    // A log is kept by a run that finds no duplicates only when the CANape
    // file has the log's name.
    const bool staleLog = logFile == nullptr && canapeFileName != logFileName;
    return replaceAsSet({&mapFile, logFile.get(), omissionsFile.get(), canapeFile.get()},
                        {staleLog ? logFileName : std::string(), staleOmissions ? omissionsName : std::string()},
                        reporter);
}

}  // namespace kestrel::writers
