#include "writers/OutputPass.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <iostream>
#include <new>
#include <utility>
#include <vector>

#include "writers/CanapeFormat.h"
#include "writers/FileOutput.h"
#include "writers/MapFormat.h"
#include "writers/NumberText.h"

namespace Model {

std::uint32_t bitPosition(const SignalInfo& signal, bool /*littleEndian*/) {
    const std::int64_t end = std::int64_t{signal.bitOffset} + signal.bitSize;
    if (end > std::int64_t{signal.size} * 8) return 0;
    return signal.size * 8u - static_cast<std::uint32_t>(signal.bitOffset) -
           static_cast<std::uint32_t>(signal.bitSize);
}

void appendDisplayName(std::string& out, const SignalInfo& signal, std::uint32_t position) {
    out += signal.name;
    if (signal.bitSize == 0) return;
    out += signal.bitSize == 1 ? "_Bit:" : "_Bits:";
    // No real bit field is wider than 64 bits; a malformed width must not
    // make names of unbounded length.
    constexpr std::int32_t kMaxListedBits = 128;
    const std::int32_t bits = signal.bitSize < kMaxListedBits ? signal.bitSize : kMaxListedBits;
    for (std::int32_t k = 0; k < bits; ++k) appendDecimal(out, position + static_cast<std::uint32_t>(k));
}

std::string_view baseName(std::string_view displayName) {
    const std::size_t end = displayName.find_first_of("@.:");
    if (end == 0) return {};
    if (end == std::string_view::npos) return displayName;
    if (displayName.find_first_of("\r\n", end) != std::string_view::npos) return {};
    return displayName.substr(0, end);
}

// ------------------------------------------------------------ duplicates

namespace {

// A hash of the whole name, eight bytes at a time, with a final mix so that
// names that differ only in their last characters (array indices) spread over
// the whole table.
std::uint64_t hashName(std::string_view text) {
    constexpr std::uint64_t kMul1 = 0x87c37b91114253d5ull;
    constexpr std::uint64_t kMul2 = 0x4cf5ad432745937full;
    const char* p = text.data();
    std::size_t n = text.size();
    std::uint64_t h = 0x9e3779b97f4a7c15ull ^ (n * kMul2);
    auto mixIn = [&h](std::uint64_t word) {
        word *= kMul1;
        word = (word << 31) | (word >> 33);
        word *= kMul2;
        h ^= word;
        h = ((h << 27) | (h >> 37)) * 5 + 0x52dce729;
    };
    while (n >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        mixIn(word);
        p += 8;
        n -= 8;
    }
    if (n > 0) {
        std::uint64_t word = 0;
        std::memcpy(&word, p, n);
        mixIn(word);
    }
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    return h;
}

constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
constexpr std::size_t kFirstSlots = 1024;  // a power of two

}  // namespace

DuplicateCheck::Record* DuplicateCheck::store(std::string_view displayName, std::string_view location) {
    // Records start at multiples of their alignment.
    constexpr std::size_t align = alignof(Record);
    const std::size_t bytes = (sizeof(Record) + displayName.size() + align - 1) / align * align;
    if (bytes > blockLeft_) {
        const std::size_t size = bytes > kBlockBytes ? bytes : kBlockBytes;
        blocks_.push_back(std::make_unique<char[]>(size));
        blockNext_ = blocks_.back().get();
        blockLeft_ = size;
    }
    auto* record = new (blockNext_) Record{location.data(), static_cast<std::uint32_t>(location.size()),
                                           static_cast<std::uint32_t>(displayName.size())};
    if (!displayName.empty()) std::memcpy(blockNext_ + sizeof(Record), displayName.data(), displayName.size());
    blockNext_ += bytes;
    blockLeft_ -= bytes;
    return record;
}

void DuplicateCheck::grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? kFirstSlots : old.size() * 2, Slot{});
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
        if (slot.record == nullptr) continue;
        std::size_t i = static_cast<std::size_t>(slot.hash) & mask;
        while (slots_[i].record != nullptr) i = (i + 1) & mask;
        slots_[i] = slot;
    }
}

std::uint64_t DuplicateCheck::prepare(std::string_view displayName) const {
    const std::uint64_t hash = hashName(displayName);
    if (!slots_.empty()) {
        const Slot* slot = &slots_[static_cast<std::size_t>(hash) & (slots_.size() - 1)];
#if defined(__GNUC__) || defined(__clang__)
        __builtin_prefetch(slot);
#else
        (void)slot;
#endif
    }
    return hash;
}

void DuplicateCheck::check(std::string_view displayName, std::string_view location, std::uint64_t hash) {
    // At most three quarters of the slots are taken.
    if ((count_ + 1) * 4 > slots_.size() * 3) grow();
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = static_cast<std::size_t>(hash) & mask;
    Record* seen = nullptr;
    for (;; i = (i + 1) & mask) {
        Slot& slot = slots_[i];
        if (slot.record == nullptr) {
            slot.hash = hash;
            slot.record = store(displayName, location);
            ++count_;
            return;
        }
        if (slot.hash == hash && slot.record->name() == displayName) {
            seen = slot.record;
            break;
        }
    }
    found_ = true;
    if (reported_.insert(location).second) {
        log_ += "Warning - Duplicate Static VariableName: ";
        log_ += baseName(displayName);
        log_ += "\r\n  Location File: ";
        log_ += location;
        log_ += "\r\n";
        if (seen->locationLength != 0) {
            log_ += "  Location File: ";
            log_.append(seen->location, seen->locationLength);
            log_ += "\r\n";
        }
    }
    seen->location = nullptr;
    seen->locationLength = 0;
}

// ------------------------------------------------------------ output pass

namespace {

// Where a variable is declared: "<file>(<line>)" from the line table of the
// declaring entry's compile unit, "unknown(<line>)" for a file number outside
// the table, and empty when the unit has no line table. The declaration is
// read with the file table of its own unit: after link-time optimisation a
// definition may refer to a declaration in another unit.
void locationText(std::string& out, const DwarfModel& model, const VariableInfo& variable) {
    out.clear();
    const BasicObject* declaring =
        variable.specification != nullptr ? variable.specification : &variable;
    auto table = model.lineTables.find(declaring->stmtList);
    if (table == model.lineTables.end() || table->second == nullptr) return;
    const std::string* file = table->second->fileFor(declaring->declFile);
    if (file != nullptr)
        out += *file;
    else
        out += "unknown";
    out += '(';
    out += declaring->declLine;
    out += ')';
}

// The texts are handed to their temporary files in blocks of about this size
// as they grow, so that a large image never holds its whole output in memory.
constexpr std::size_t kFlushBytes = std::size_t{256} << 10;

// The emit step: every signal that is not constant becomes a map line and a
// CANape line and enters the duplicate check, straight from the expansion's
// working record. The checks run a few signals behind, in the same order, so
// that the table is read from memory ahead of need.
class Emitter final : public SignalSink {
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

}  // namespace

namespace {

// Completes every file of a set (null entries are passed over), and only when
// all are complete puts them in place one after another and removes
// `obsolete` (an output of earlier runs that this set has none of). When any
// fails, the earlier files of the whole set stay as they were; the problems
// are printed in the order of the files.
bool replaceAsSet(std::initializer_list<StreamedFile*> files, const std::string& obsolete) {
    bool complete = true;
    for (StreamedFile* file : files) {
        if (file != nullptr) complete = file->complete() && complete;
    }
    bool ok = complete;
    for (StreamedFile* file : files) {
        if (file == nullptr) continue;
        if (complete) ok = file->commit() && ok;
        reportProblem(*file);
    }
    if (ok && !obsolete.empty()) {
        std::error_code ignored;
        std::filesystem::remove(filePath(obsolete), ignored);
    }
    return ok;
}

}  // namespace

bool writeOutputFiles(std::string mapFileName, std::string canapeFileName, const DwarfModel& model,
                      std::size_t* signalsWritten) {
    static const ExpandLimits defaults;
    return writeOutputFiles(std::move(mapFileName), std::move(canapeFileName), model, defaults, signalsWritten);
}

bool writeOutputFiles(std::string mapFileName, std::string canapeFileName, const DwarfModel& model,
                      const ExpandLimits& limits, std::size_t* signalsWritten) {
    // The files are only started here and completed after the last signal,
    // in the order map, log, CANape; they replace the earlier ones as a set.
    const std::string logFileName = mapFileName + "_StyleWarnings.log";
    StreamedFile mapFile(mapFileName);
    std::unique_ptr<StreamedFile> canapeFile;
    if (!canapeFileName.empty()) canapeFile = std::make_unique<StreamedFile>(canapeFileName);

    Emitter emitter(model.littleEndian, mapFile, canapeFile.get());
    // Every distinct location text, stored once; signals and the duplicate
    // check refer to these.
    std::unordered_set<std::string, TextHash, std::equal_to<>> locations;
    std::string location;
    // What is left of the run-wide bounds; each variable gets at most that.
    std::size_t runSignals = limits.maxRunSignals;
    std::size_t runVisits = limits.maxRunVisits;

    // Variable by variable, in the order of locatedObjects: expand, and emit
    // each signal as the expansion reaches it. This is the order of one
    // signal list built for all variables and emitted afterwards.
    for (const BasicObject* object : model.locatedObjects) {
        const auto* variable = as<VariableInfo>(object);
        if (variable == nullptr) continue;
        locationText(location, model, *variable);
        auto stored = locations.find(std::string_view(location));
        if (stored == locations.end()) stored = locations.insert(location).first;

        SignalInfo seed;
        seed.address = variable->address;
        seed.name = qualifiedName(variable, std::string());
        seed.location = *stored;
        seed.offset = variable->offset;
        const BasicObject* type = expansionType(variable);
        if (type == nullptr) continue;
        // A type larger than the 32-bit address space belongs to no real
        // variable: it comes from malformed input and is not expanded.
        if (std::uint64_t{variable->address} + storageSize(type) > (std::uint64_t{1} << 32)) {
            std::cout << "Variable larger than the address space, not expanded: " << seed.name << std::endl;
            continue;
        }
        if (runSignals == 0 || runVisits == 0) {
            std::cout << "Too many signals in this image, expansion stopped before: " << seed.name << std::endl;
            break;
        }
        ExpandLimits bounds = limits;
        bounds.maxSignals = std::min(limits.maxSignals, runSignals);
        bounds.maxVisits = std::min(limits.maxVisits, runVisits);
        const ExpandUsage used = expand(type, std::move(seed), false, emitter, bounds);
        runSignals -= std::min(runSignals, used.signals);
        runVisits -= std::min(runVisits, used.visits);
    }
    emitter.finish();
    if (signalsWritten != nullptr) *signalsWritten = emitter.written;

    std::unique_ptr<StreamedFile> logFile;
    if (emitter.duplicates.found()) {
        logFile = std::make_unique<StreamedFile>(logFileName);
        logFile->write(emitter.duplicates.log());
    }
    // A log is kept by a run that finds no duplicates only when the CANape
    // file has the log's name.
    const bool staleLog = logFile == nullptr && canapeFileName != logFileName;
    return replaceAsSet({&mapFile, logFile.get(), canapeFile.get()}, staleLog ? logFileName : std::string());
}

}  // namespace Model
