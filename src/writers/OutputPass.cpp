#include "writers/OutputPass.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

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

// Items handed to a thread of its own and done there one by one, in the
// order they were handed over. At most `inFlight` items wait, so memory stays
// bounded however fast they come; a done item comes back as a spare for the
// next one, so that its memory is used again. Without a thread to be had, an
// item is done as it is handed over. `work` must not throw and must leave the
// item empty.
template <class Item>
class OrderedWorker {
public:
    OrderedWorker(std::function<void(Item&)> work, std::size_t inFlight) : work_(std::move(work)), inFlight_(inFlight) {
        spare_.reserve(inFlight + 2);  // every item there can be: the thread never allocates
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
        }
    }
    ~OrderedWorker() { finish(); }
    OrderedWorker(const OrderedWorker&) = delete;
    OrderedWorker& operator=(const OrderedWorker&) = delete;

    // Hands `item` over; `item` is a spare afterwards (empty, with the memory
    // it had), or a new item when there is none.
    void handOver(Item& item) {
        if (!thread_.joinable()) {
            work_(item);
            return;
        }
        Item spare{};
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return queue_.size() < inFlight_; });
            queue_.push_back(std::move(item));
            if (!spare_.empty()) {
                spare = std::move(spare_.back());
                spare_.pop_back();
            }
        }
        changed_.notify_all();
        item = std::move(spare);
    }

    // Waits until every item handed over is done.
    void finish() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

private:
    void run() {
        for (;;) {
            Item item{};
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return done_ || !queue_.empty(); });
                if (queue_.empty()) return;
                item = std::move(queue_.front());
                queue_.pop_front();
            }
            changed_.notify_all();
            work_(item);
            std::lock_guard<std::mutex> lock(mutex_);
            if (spare_.size() < spare_.capacity()) spare_.push_back(std::move(item));
        }
    }

    std::function<void(Item&)> work_;
    std::size_t inFlight_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Item> queue_;
    std::vector<Item> spare_;
    bool done_ = false;
    std::thread thread_;  // last: started once everything above exists
};

// The duplicate check on a thread of its own. The emitter hands over display
// names in batches; they are checked in the order they were handed over, so
// the log is the same as a check in line would write. Enough batches may
// wait that the emitter seldom waits while the check is slow for a while
// (when its table grows, or its memory is first touched).
class BackgroundCheck {
public:
    BackgroundCheck() : filling_(std::make_unique<Batch>()) {}
    BackgroundCheck(const BackgroundCheck&) = delete;
    BackgroundCheck& operator=(const BackgroundCheck&) = delete;

    // `location` must outlive the check.
    void add(std::string_view displayName, std::string_view location) {
        filling_->entries.push_back({filling_->text.size(), displayName.size(), location});
        filling_->text.append(displayName);
        if (filling_->entries.size() == kBatch) handOver();
    }

    // Checks what is left and waits for the thread; rethrows what the check
    // threw (out of memory). `check` is complete afterwards.
    void finish() {
        handOver();
        worker_.finish();
        if (error_) std::rethrow_exception(error_);
    }

    DuplicateCheck check;

private:
    static constexpr std::size_t kBatch = 4096;
    static constexpr std::size_t kInFlight = 32;
    // How many names ahead of its check a name is hashed, so that its slot
    // is read from memory by the time the check needs it.
    static constexpr std::size_t kAhead = 8;

    struct Entry {
        std::size_t start;
        std::size_t size;
        std::string_view location;
    };
    struct Batch {
        std::string text;
        std::vector<Entry> entries;
    };

    void handOver() {
        if (filling_->entries.empty()) return;
        worker_.handOver(filling_);
        if (filling_ == nullptr) filling_ = std::make_unique<Batch>();
    }

    // On the worker's thread. After a failure the rest is only emptied.
    void work(std::unique_ptr<Batch>& batch) {
        if (!error_) {
            try {
                process(*batch);
            } catch (...) {
                error_ = std::current_exception();
            }
        }
        batch->text.clear();
        batch->entries.clear();
    }

    void process(const Batch& batch) {
        const std::size_t n = batch.entries.size();
        std::uint64_t hashes[kAhead];
        auto name = [&batch](const Entry& e) { return std::string_view(batch.text).substr(e.start, e.size); };
        for (std::size_t i = 0; i < n + kAhead; ++i) {
            // The check of name i - kAhead frees the hash slot that name i takes.
            if (i >= kAhead) {
                const Entry& e = batch.entries[i - kAhead];
                check.check(name(e), e.location, hashes[(i - kAhead) % kAhead]);
            }
            if (i < n) hashes[i % kAhead] = check.prepare(name(batch.entries[i]));
        }
    }

    std::unique_ptr<Batch> filling_;
    std::exception_ptr error_;  // written by the worker, read after it finished
    // Last: its thread ends (on destruction) before the members above do.
    OrderedWorker<std::unique_ptr<Batch>> worker_{[this](std::unique_ptr<Batch>& b) { work(b); }, kInFlight};
};

// The files' writing on a thread of its own: the system's copying of the
// texts into the files is a large share of the output pass, and on a thread
// apart it need not wait for the emitter nor the emitter for it. Texts are
// written in the order they were handed over; few of them wait.
class BackgroundWriter {
public:
    // Hands `text` over to be appended to `file`; `text` is empty afterwards
    // (a spare text, with the capacity it had). `file` must outlive finish().
    void write(StreamedFile& file, std::string& text) {
        if (text.empty()) return;
        Piece piece{&file, std::move(text)};
        worker_.handOver(piece);
        text = std::move(piece.text);
    }

    // Waits until every text handed over is written.
    void finish() { worker_.finish(); }

private:
    struct Piece {
        StreamedFile* file = nullptr;
        std::string text;
    };
    static void work(Piece& piece) {
        piece.file->write(piece.text);
        piece.text.clear();
    }
    OrderedWorker<Piece> worker_{&BackgroundWriter::work, 8};
};

// The emit step: every signal that is not constant becomes a map line and a
// CANape line and enters the duplicate check, straight from the expansion's
// working record.
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
        displayName_.clear();
        appendDisplayName(displayName_, signal, position);
        checks_.add(displayName_, signal.location);

        appendMapLine(mapText_, signal, displayName_);
        if (mapText_.size() >= kFlushBytes) flush(mapText_, mapFile_);
        if (canapeFile_ != nullptr) {
            appendCanapeLine(canapeText_, signal, displayName_, position);
            if (canapeText_.size() >= kFlushBytes) flush(canapeText_, *canapeFile_);
        }
    }

    // Completes the checks and hands the rest of the texts to their files;
    // they are written when this returns.
    void finish() {
        checks_.finish();
        writer_.write(mapFile_, mapText_);
        if (canapeFile_ != nullptr) writer_.write(*canapeFile_, canapeText_);
        writer_.finish();
    }

    const DuplicateCheck& duplicates() const { return checks_.check; }
    std::size_t written = 0;  // signals emitted

private:
    void flush(std::string& text, StreamedFile& file) {
        writer_.write(file, text);
        if (text.capacity() < kFlushBytes) text.reserve(kFlushBytes + kFlushBytes / 4);
    }

    bool littleEndian_;
    StreamedFile& mapFile_;
    StreamedFile* canapeFile_;
    std::string mapText_;
    std::string canapeText_;
    std::string displayName_;
    BackgroundCheck checks_;
    BackgroundWriter writer_;  // last: ends (waits for its thread) first
};

// Completes every file of a set (null entries are passed over), and only when
// all are complete puts them in place and removes `obsolete` (an output of
// earlier runs that this set has none of). When any fails, the earlier files
// of the whole set stay as they were; the problems are reported in the order
// of the files. `meanwhile` runs while the files are put in place.
//
// Putting a large file in place costs the dropping of the cached pages of
// the file it replaces (about 70 ms per GB): the last file of the set (the
// CANape database, the largest) is put in place on a thread of its own when
// it is large and no other file of the set has its name (then the order of
// the replacements decides which text remains).
bool replaceAsSet(std::initializer_list<StreamedFile*> files, std::initializer_list<std::string> obsolete,
                  model::Reporter& reporter, const std::function<void()>& meanwhile) {
    constexpr std::uint64_t kApartFrom = std::uint64_t{32} << 20;  // bytes
    bool complete = true;
    StreamedFile* last = nullptr;
    for (StreamedFile* file : files) {
        if (file == nullptr) continue;
        complete = file->complete() && complete;
        last = file;
    }
    bool ok = complete;
    if (complete) {
        bool apart = last != nullptr && last->size() >= kApartFrom;
        for (StreamedFile* file : files)
            if (file != nullptr && file != last && file->fileName() == last->fileName()) apart = false;
        bool lastOk = true;
        std::thread helper;
        if (apart) {
            try {
                helper = std::thread([last, &lastOk] { lastOk = last->commit(); });
            } catch (const std::system_error&) {
                // No thread to be had: put in place below, in its turn.
            }
        }
        for (StreamedFile* file : files)
            if (file != nullptr && !(file == last && helper.joinable())) ok = file->commit() && ok;
        meanwhile();
        if (helper.joinable()) {
            helper.join();
            ok = lastOk && ok;
        }
    } else {
        meanwhile();
    }
    for (StreamedFile* file : files)
        if (file != nullptr) reportProblem(*file, reporter);
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

    auto emitter = std::make_unique<Emitter>(model.littleEndian, mapFile, canapeFile.get());
    // Signals and the duplicate check refer to these texts: declared before
    // the expansion, they outlive the check.
    expand::LocationTexts locations;
    std::vector<expand::VariableRecord> records;
    expand::expandVariables(model, *emitter, reporter, limits, locations, account != nullptr ? &records : nullptr);

    // The account of data objects that the map does not list, made while
    // the duplicate check takes the last names.
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

    emitter->finish();
    if (signalsWritten != nullptr) *signalsWritten = emitter->written;

    std::unique_ptr<StreamedFile> logFile;
    if (emitter->duplicates().found()) {
        logFile = std::make_unique<StreamedFile>(logFileName);
        logFile->write(emitter->duplicates().log());
    }
    // A log is kept by a run that finds no duplicates only when the CANape
    // file has the log's name.
    const bool staleLog = logFile == nullptr && canapeFileName != logFileName;
    // The duplicate check's memory is given back while the files are put in place.
    return replaceAsSet({&mapFile, logFile.get(), omissionsFile.get(), canapeFile.get()},
                        {staleLog ? logFileName : std::string(), staleOmissions ? omissionsName : std::string()},
                        reporter, [&emitter] { emitter.reset(); });
}

}  // namespace kestrel::writers
