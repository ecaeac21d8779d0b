#include "reader/PartLoad.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>
#include <cstdio>

#include "reader/LineGrammar.h"
#include "reader/LineSource.h"
#include "reader/ModelLoader.h"

namespace kestrel::reader {

namespace g = grammar;

namespace {

// Below this size a dump is read in one piece: a second thread would not pay.
constexpr std::uint64_t kMinSplitSize = 8u << 20;
// The bytes looked at around a probe, and the probes over the whole dump.
constexpr std::uint64_t kProbeBytes = 4096;
constexpr std::uint64_t kProbes = 64;
// How far past the balance point a unit header is looked for.
constexpr std::uint64_t kHeaderSearch = 256u << 20;
// The cost of a byte outside the listing of entries (passed over, mostly)
// against a byte of entries, in sixteenths.
constexpr std::uint64_t kQuietCost = 3;
// The chunks of the middle third of the work.
constexpr std::uint64_t kChunks = 32;

// The bytes [at, at + size) of the text (fewer at its end).
std::string_view peekAt(const Peek& peek, std::uint64_t at, std::string& buffer, std::size_t size) {
    buffer.resize(size);
    buffer.resize(peek(at, buffer.data(), size));
    return buffer;
}

// Calls onLine for the lines of `window` that lie whole in it: after its
// first LF (unless `atLineStart`) and up to its last LF.
template <class F>
void wholeLines(std::string_view window, bool atLineStart, F&& onLine) {
    std::size_t from = 0;
    if (!atLineStart) {
        from = window.find('\n');
        if (from == std::string_view::npos) return;
        ++from;
    }
    while (from < window.size()) {
        const std::size_t end = window.find('\n', from);
        if (end == std::string_view::npos) return;
        std::string_view line = window.substr(from, end - from);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!onLine(line, from)) return;
        from = end + 1;
    }
}

bool isUnitHeader(std::string_view line) {
    if (line.empty() || !g::isBlankChar(line[0])) return false;
    const std::size_t first = g::indentOf(line);
    std::string_view digits;
    return line.substr(first).starts_with("Compilation Unit @ offset") && g::scanUnitOffset(line, digits);
}

// Whether the lines right after `at` are of a listing of entries.
bool entriesAt(const Peek& peek, std::uint64_t at) {
    char bytes[kProbeBytes];
    const std::string_view window(bytes, peek(at, bytes, sizeof bytes));
    bool found = false;
    g::LineFields fields;
    wholeLines(window, at == 0, [&](std::string_view line, std::size_t) {
        const g::LineKind kind = g::classify(line, fields);
        found = kind == g::LineKind::DieHeader || kind == g::LineKind::Attribute;
        return !found;
    });
    return found;
}

// The head of the dump: whether its lines end at LF, and whether its
// file-format line names a little-endian format.
bool readHead(const Peek& peek, bool& littleEndian) {
    std::string buffer;
    const std::string_view head = peekAt(peek, 0, buffer, 64u << 10);
    if (lineEndsOf(head) != LineEnds::Lf) return false;
    littleEndian = false;
    wholeLines(head, true, [&](std::string_view line, std::size_t) {
        if (line.starts_with("Contents of")) return false;
        std::string_view format;
        if (line.find("file format ") != std::string_view::npos && g::scanFileFormat(line, format) &&
            format.find("little") != std::string_view::npos)
            littleEndian = true;
        return !littleEndian;
    });
    return true;
}

// The first position in (low, high] where entriesAt gives `want`, when it
// gives !want at low and `want` at high (to within a probe window).
std::uint64_t edge(const Peek& peek, std::uint64_t low, std::uint64_t high, bool want) {
    while (high - low > kProbeBytes) {
        const std::uint64_t mid = low + (high - low) / 2;
        if (entriesAt(peek, mid) == want)
            high = mid;
        else
            low = mid;
    }
    return high;
}

}  // namespace

RangeReader fileRanges(const std::string& fileName) {
    return [fileName](std::uint64_t begin, std::uint64_t end, const std::function<bool(std::string_view)>& onBlock,
                      std::string& error) { return readBlocks(fileName, begin, end, onBlock, error); };
}

Peek filePeek(const std::string& fileName) {
    auto file = std::shared_ptr<std::FILE>(openForReading(fileName), [](std::FILE* f) {
        if (f != nullptr) std::fclose(f);
    });
    return [file](std::uint64_t at, char* out, std::size_t size) -> std::size_t {
        if (!file || !seekTo(file.get(), at)) return 0;
        return std::fread(out, 1, size, file.get());
    };
}

namespace {

// Whether a unit header line starts at `at`, right after a line end.
bool unitHeaderAt(const Peek& peek, std::uint64_t at) {
    if (at == 0) return false;
    std::string buffer;
    const std::string_view window = peekAt(peek, at - 1, buffer, kProbeBytes + 1);
    if (window.empty() || window[0] != '\n') return false;
    bool found = false;
    wholeLines(window, false, [&](std::string_view line, std::size_t) {
        found = isUnitHeader(line);
        return false;
    });
    return found;
}

// The offset in `window` of the first unit header line that lies whole in
// it after its first LF, or npos. Every such line holds the phrase below:
// the phrase is looked for, and only the lines that hold it are read.
std::size_t unitHeaderIn(std::string_view window) {
    constexpr std::string_view kPhrase = "Compilation Unit @ offset";
    const std::size_t firstEnd = window.find('\n');
    if (firstEnd == std::string_view::npos) return std::string_view::npos;
    for (std::size_t from = firstEnd + 1;;) {
        const std::size_t hit = window.find(kPhrase, from);
        if (hit == std::string_view::npos) return std::string_view::npos;
        // A line end lies before the phrase: the first one, or that of the
        // line looked at last.
        const std::size_t start = window.rfind('\n', hit) + 1;
        const std::size_t end = window.find('\n', hit);
        if (end == std::string_view::npos) return std::string_view::npos;
        std::string_view line = window.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (isUnitHeader(line)) return start;
        from = end + 1;
    }
}

}  // namespace

std::uint64_t unitHeaderFrom(const Peek& peek, std::uint64_t size, std::uint64_t point, std::uint64_t limit) {
    constexpr std::size_t kWindow = 64u << 10;
    std::string buffer;
    for (std::uint64_t at = std::max<std::uint64_t>(point, 1); at < size && at < limit;
         at += kWindow - kProbeBytes) {
        const std::string_view window = peekAt(peek, at - 1, buffer, kWindow);
        const std::size_t from = unitHeaderIn(window);
        if (from != std::string_view::npos) {
            const std::uint64_t found = at - 1 + from;
            return found < limit ? found : 0;
        }
        if (window.size() < kWindow) break;
    }
    return 0;
}

PartPlan planPartsAt(const Peek& peek, std::uint64_t start, const std::vector<std::uint64_t>& chunks) {
    PartPlan plan;
    if (start == 0 || !readHead(peek, plan.littleEndian)) return plan;
    std::uint64_t last = 0;
    for (std::uint64_t chunk : chunks) {
        if (chunk <= last || chunk >= start || !unitHeaderAt(peek, chunk)) return plan;
        last = chunk;
    }
    plan.valid = unitHeaderAt(peek, start);
    plan.start = start;
    plan.chunks = chunks;
    return plan;
}

PartPlan planParts(const Peek& peek, std::uint64_t size) {
    PartPlan plan;
    if (size < kMinSplitSize || !readHead(peek, plan.littleEndian)) return plan;
    // The listing of entries, found by probes: the first run of probes that
    // see entries, its ends narrowed down.
    const std::uint64_t step = size / kProbes;
    std::uint64_t k = 0;
    while (k < kProbes && !entriesAt(peek, k * step)) ++k;
    if (k == kProbes) return plan;
    const std::uint64_t first = k == 0 ? 0 : edge(peek, (k - 1) * step, k * step, true);
    while (k < kProbes && entriesAt(peek, k * step)) ++k;
    const std::uint64_t last = k == kProbes ? size : edge(peek, (k - 1) * step, k * step, false);
    // The cost: entries before a point for the first thread, the rest of
    // the entries and everything after them for the second one.
    const std::uint64_t before = first * kQuietCost / 16;
    const std::uint64_t after = (size - last) * kQuietCost / 16;
    const std::uint64_t entries = last - first;
    const std::uint64_t total = before + entries + after;
    // The point that leaves the first thread `share` of the whole cost.
    auto pointAt = [&](std::uint64_t share) {
        return first + std::min(entries, share > before ? share - before : 0);
    };
    // The later part from the first unit header after two thirds of the
    // work, and the middle third in chunks, taken from both ends: a chunk
    // starts at the first unit header between its point and the next one
    // (none there: no chunk), so that a dump of few, large units is looked
    // through once at most.
    const std::uint64_t twoThirds = pointAt(total / 3 * 2);
    const std::uint64_t later = unitHeaderFrom(peek, size, twoThirds, twoThirds + kHeaderSearch);
    std::vector<std::uint64_t> chunks;
    for (std::uint64_t c = 0; c < kChunks && later != 0; ++c) {
        const std::uint64_t from = pointAt(total / 3 + total / 3 * c / kChunks);
        const std::uint64_t to = std::min(later, pointAt(total / 3 + total / 3 * (c + 1) / kChunks));
        const std::uint64_t at = unitHeaderFrom(peek, size, from, to);
        if (at != 0 && (chunks.empty() || at > chunks.back())) chunks.push_back(at);
    }
    // Without a unit header in the middle third there are two parts only.
    plan.start = later;
    plan.chunks = std::move(chunks);
    plan.valid = plan.start != 0;
    return plan;
}

namespace {

// Which chunks are still to be read: the first thread takes them from the
// front, the second from the back.
class Chunks {
public:
    Chunks(std::size_t count, std::size_t firstTakesAtMost)
        : back_(count), firstLimit_(std::min(count, firstTakesAtMost)) {}
    // The next chunk for the first thread, or none.
    std::optional<std::size_t> fromFront() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (front_ >= back_ || front_ >= firstLimit_) return std::nullopt;
        return front_++;
    }
    // The next chunk for the second thread, or none.
    std::optional<std::size_t> fromBack() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (back_ <= front_) return std::nullopt;
        return --back_;
    }
    // Once neither takes more: how many the first thread took.
    std::size_t takenFromFront() {
        std::lock_guard<std::mutex> lock(mutex_);
        return front_;
    }

private:
    std::mutex mutex_;
    std::size_t front_ = 0;
    std::size_t back_;
    std::size_t firstLimit_;
};

// The plan, made by the second thread while the first one already reads
// from the start of the text. The first thread tells how far it has read
// before it takes in each block; a plan is in force only when it comes before
// the first thread has passed the end of its first part, and once in force,
// that thread stops there. Otherwise the first thread reads the whole text.
class PlanHandoff {
public:
    // The first thread, before it takes in the bytes up to `upTo`: where its
    // first part ends, or UINT64_MAX while no plan is in force.
    std::uint64_t firstPartEnd(std::uint64_t upTo) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ == State::Pending) reached_ = std::max(reached_, upTo);
        return state_ == State::InForce ? firstEnd_ : UINT64_MAX;
    }
    // The first thread, when its reading of the text has ended: a plan that
    // comes later is not taken.
    void close() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ == State::Pending) state_ = State::Dropped;
    }
    // The second thread: offers the plan; whether it is in force. It must
    // live as long as the reading.
    bool offer(const PartPlan& plan, Chunks* chunks) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::uint64_t end = plan.chunks.empty() ? plan.start : plan.chunks.front();
        if (state_ != State::Pending || !plan.valid || reached_ > end) {
            state_ = State::Dropped;
            return false;
        }
        state_ = State::InForce;
        firstEnd_ = end;
        plan_ = &plan;
        chunks_ = chunks;
        return true;
    }
    // The plan in force and its chunks, or nulls.
    std::pair<const PartPlan*, Chunks*> inForce() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != State::InForce) return {nullptr, nullptr};
        return {plan_, chunks_};
    }

private:
    enum class State { Pending, InForce, Dropped };
    std::mutex mutex_;
    State state_ = State::Pending;
    std::uint64_t reached_ = 0;
    std::uint64_t firstEnd_ = 0;
    const PartPlan* plan_ = nullptr;
    Chunks* chunks_ = nullptr;
};

// A part read by the second thread into a model of its own.
struct OwnPart {
    std::unique_ptr<model::DwarfModel> model;
    std::unique_ptr<ModelLoader> loader;
    bool complete = false;
};

// The second thread: makes the plan and offers it (see PlanHandoff), then
// reads the later part and chunks from the back. Its destructor stops the
// reading and waits for the thread, so that leaving loadInParts in any way
// (exceptions and read errors included) leaves no thread behind. With
// `offerFirst`, the plan is made and offered before the thread starts.
class SecondReading {
public:
    SecondReading(const RangeReader& read, const std::function<PartPlan()>& makePlan, PlanHandoff& handoff,
                  bool offerFirst) {
        if (offerFirst && !settle(makePlan, handoff)) return;
        try {
            thread_ = std::thread([this, &read, &makePlan, &handoff, offerFirst] {
                try {
                    if (offerFirst || settle(makePlan, handoff)) readParts(read);
                } catch (...) {
                    failed_ = true;  // the first thread goes on (and meets the same trouble, if any)
                }
            });
        } catch (...) {
            failed_ = true;  // no thread: the first thread reads everything
        }
    }
    ~SecondReading() {
        stop();
        wait();
    }
    SecondReading(const SecondReading&) = delete;
    SecondReading& operator=(const SecondReading&) = delete;

    void stop() { stop_ = true; }
    void wait() {
        if (thread_.joinable()) thread_.join();
    }
    // After wait(): whether the thread ran without trouble.
    bool ok() const { return !failed_; }
    OwnPart& later() { return later_; }
    OwnPart& chunk(std::size_t k) { return chunkParts_[k]; }
    void drop() {
        later_ = OwnPart{};
        chunkParts_.clear();
    }

private:
    // Makes the plan and offers it: whether it is in force.
    bool settle(const std::function<PartPlan()>& makePlan, PlanHandoff& handoff) {
        plan_ = makePlan();
        chunks_.emplace(plan_.chunks.size(), plan_.firstTakesAtMost);
        chunkParts_.resize(plan_.chunks.size());
        return handoff.offer(plan_, &*chunks_);
    }

    // Reads [begin, end) into a new part. The later part's text is ended
    // there (the dump ends with it); a chunk's is not, so that its reader
    // still shows the state in which the next part's text begins.
    bool readPart(const RangeReader& read, std::uint64_t begin, std::uint64_t end, bool endsText, OwnPart& part) {
        // The parts of this thread share one arena and one text pool.
        if (!arena_) {
            arena_ = std::make_shared<model::ModelArena>(model::arenaBlocks());
            texts_ = std::make_shared<model::TextPool>();
        }
        part.model = std::make_unique<model::DwarfModel>(arena_, texts_);
        part.loader = std::make_unique<ModelLoader>(*part.model, ModelLoader::LaterPart{plan_.littleEndian});
        std::string error;
        bool stopped = false;
        const bool readOk = read(begin, end, [&](std::string_view block) {
            if (stop_) {
                stopped = true;
                return false;
            }
            return part.loader->push(block);
        }, error);
        if (!readOk || stopped) return false;
        if (endsText) part.loader->endText();
        part.complete = true;
        return true;
    }

    void readParts(const RangeReader& read) {
        if (!readPart(read, plan_.start, UINT64_MAX, true, later_)) return;
        for (std::optional<std::size_t> k = chunks_->fromBack(); k; k = chunks_->fromBack()) {
            const std::uint64_t end = *k + 1 < plan_.chunks.size() ? plan_.chunks[*k + 1] : plan_.start;
            if (!readPart(read, plan_.chunks[*k], end, false, chunkParts_[*k])) return;
        }
        arena_->releaseUnused();
    }

    PartPlan plan_;
    std::optional<Chunks> chunks_;
    std::shared_ptr<model::ModelArena> arena_;
    std::shared_ptr<model::TextPool> texts_;
    OwnPart later_;
    std::vector<OwnPart> chunkParts_;
    std::atomic<bool> stop_{false};
    bool failed_ = false;
    std::thread thread_;
};

// Whether the parts can be appended to `model` in this order: no two of
// them (the model included) have address rows of one unit.
bool canAppendAll(const model::DwarfModel& model, const std::vector<model::DwarfModel*>& parts) {
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (!model.canAppend(*parts[i])) return false;
        for (std::size_t j = 0; j < i; ++j)
            if (!parts[j]->canAppend(*parts[i])) return false;
    }
    return true;
}

}  // namespace

namespace {

bool loadInParts(const RangeReader& read, const std::function<PartPlan()>& makePlan, bool planFirst,
                 model::DwarfModel& model, std::string& error, bool& split) {
    split = false;
    ModelLoader loader(model);
    auto push = [&loader](std::string_view block) { return loader.push(block); };
    PlanHandoff handoff;
    SecondReading second(read, makePlan, handoff, planFirst);
    // The earlier part: the text from its start, up to where a plan in force
    // ends it.
    std::uint64_t at = 0;
    bool cut = false;
    const bool readOk = read(0, UINT64_MAX, [&](std::string_view block) {
        const std::uint64_t end = handoff.firstPartEnd(at + block.size());
        if (end != UINT64_MAX && at + block.size() >= end) {
            cut = true;
            loader.push(block.substr(0, static_cast<std::size_t>(end - at)));
            at = end;
            return false;
        }
        at += block.size();
        return push(block);
    }, error);
    handoff.close();
    if (!readOk) return false;
    const PartPlan* plan = nullptr;
    Chunks* chunks = nullptr;
    std::tie(plan, chunks) = handoff.inForce();
    if (!cut || plan == nullptr) {
        // Read in one piece (or no dump): the second thread has nothing to add.
        second.stop();
        loader.finish();
        return true;
    }
    // Then chunks from the front, read on as one text.
    const std::size_t chunkCount = plan->chunks.size();
    auto chunkEnd = [&](std::size_t k) { return k + 1 < chunkCount ? plan->chunks[k + 1] : plan->start; };
    for (std::optional<std::size_t> k = chunks->fromFront(); k; k = chunks->fromFront())
        if (!read(plan->chunks[*k], chunkEnd(*k), push, error)) return false;
    const std::size_t taken = chunks->takenFromFront();
    const std::uint64_t stoppedAt = taken < chunkCount ? plan->chunks[taken] : plan->start;

    const ModelLoader::LaterPart assumed{plan->littleEndian};
    bool joined = loader.readyForLaterPart(assumed);
    // This thread's objects are all made, unless it has to read on.
    if (joined) model.arena.releaseUnused();
    if (!joined) second.stop();
    second.wait();
    // The parts of the second thread in text order, each one joined when its
    // reader depended on nothing before its text and the reader before it
    // ended in the state it assumed.
    std::vector<model::DwarfModel*> parts;
    joined = joined && second.ok();
    for (std::size_t k = taken; joined && k < chunkCount; ++k) {
        OwnPart& part = second.chunk(k);
        joined = part.complete && !part.loader->dependsOnEarlier() && part.loader->readyForLaterPart(assumed);
        parts.push_back(part.model.get());
    }
    OwnPart& later = second.later();
    joined = joined && later.complete && !later.loader->dependsOnEarlier();
    if (joined) {
        parts.push_back(later.model.get());
        joined = canAppendAll(model, parts);
    }
    if (joined) {
        for (std::size_t k = taken; k < chunkCount; ++k) {
            second.chunk(k).loader.reset();
            model.append(std::move(second.chunk(k).model));
        }
        later.loader.reset();
        model.append(std::move(later.model));
        model.link();
        model.normalise();
        model.arena.releaseUnused();
        split = true;
        return true;
    }
    second.drop();
    if (!read(stoppedAt, UINT64_MAX, push, error)) return false;
    loader.finish();
    return true;
}

}  // namespace

bool loadInParts(const RangeReader& read, const PartPlan& plan, model::DwarfModel& model, std::string& error,
                 bool& split) {
    if (!plan.valid) {
        split = false;
        ModelLoader loader(model);
        if (!read(0, UINT64_MAX, [&loader](std::string_view block) { return loader.push(block); }, error))
            return false;
        loader.finish();
        return true;
    }
    return loadInParts(read, [&plan] { return plan; }, true, model, error, split);
}

bool loadPlanningMeanwhile(const RangeReader& read, const std::function<PartPlan()>& makePlan,
                           model::DwarfModel& model, std::string& error, bool& split) {
    return loadInParts(read, makePlan, false, model, error, split);
}

}  // namespace kestrel::reader
