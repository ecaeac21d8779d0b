#include "reader/PartLoad.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <thread>
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

PartPlan planPartsAt(const Peek& peek, std::uint64_t start) {
    PartPlan plan;
    if (start == 0 || !readHead(peek, plan.littleEndian)) return plan;
    std::string buffer;
    const std::string_view window = peekAt(peek, start - 1, buffer, kProbeBytes + 1);
    if (window.empty() || window[0] != '\n') return plan;
    wholeLines(window, false, [&](std::string_view line, std::size_t) {
        plan.valid = isUnitHeader(line);
        return false;
    });
    plan.start = start;
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
    // Shares the cost: entries before the point for the earlier reader, the
    // rest of the entries and everything after them for the later one.
    const std::uint64_t before = first * kQuietCost / 16;
    const std::uint64_t after = (size - last) * kQuietCost / 16;
    const std::uint64_t entries = last - first;
    const std::uint64_t total = before + entries + after;
    const std::uint64_t point = first + std::min(entries, total / 2 > before ? total / 2 - before : 0);
    // The first unit header from there on, looked for in windows that
    // overlap by a line's worth.
    constexpr std::size_t kWindow = 64u << 10;
    std::string buffer;
    for (std::uint64_t at = std::max<std::uint64_t>(point, 1); at < size && at < point + kHeaderSearch;
         at += kWindow - kProbeBytes) {
        const std::string_view window = peekAt(peek, at - 1, buffer, kWindow);
        std::uint64_t found = 0;
        wholeLines(window, false, [&](std::string_view line, std::size_t from) {
            if (isUnitHeader(line)) found = at - 1 + from;
            return found == 0;
        });
        if (found != 0) {
            plan.start = found;
            plan.valid = true;
            return plan;
        }
        if (window.size() < kWindow) break;
    }
    return plan;
}

namespace {

// The later part, read on a thread of its own. Its destructor stops the
// reading and waits for the thread, so that leaving loadInParts in any way
// (exceptions included) leaves no thread behind.
class LaterReading {
public:
    LaterReading(const RangeReader& read, const PartPlan& plan) {
        try {
            thread_ = std::thread([this, &read, plan] { run(read, plan); });
        } catch (...) {
            failed_ = true;  // no thread: the earlier reader reads everything
        }
    }
    ~LaterReading() { wait(); }
    LaterReading(const LaterReading&) = delete;
    LaterReading& operator=(const LaterReading&) = delete;

    void stop() { stop_ = true; }
    void wait() {
        if (thread_.joinable()) thread_.join();
    }
    // After wait(): whether the part was read to its end.
    bool complete() const { return !failed_ && complete_; }
    ModelLoader& loader() { return *loader_; }
    std::unique_ptr<model::DwarfModel> takeModel() {
        loader_.reset();
        return std::move(model_);
    }
    void drop() {
        loader_.reset();
        model_.reset();
    }

private:
    void run(const RangeReader& read, const PartPlan& plan) {
        try {
            model_ = std::make_unique<model::DwarfModel>();
            loader_ = std::make_unique<ModelLoader>(*model_, ModelLoader::LaterPart{plan.littleEndian});
            std::string error;
            bool stopped = false;
            const bool readOk = read(plan.start, UINT64_MAX, [&](std::string_view block) {
                if (stop_) {
                    stopped = true;
                    return false;
                }
                return loader_->push(block);
            }, error);
            if (!readOk || stopped) return;
            loader_->endText();
            complete_ = true;
        } catch (...) {
            failed_ = true;  // the earlier reader goes on (and meets the same trouble, if any)
        }
    }

    std::unique_ptr<model::DwarfModel> model_;
    std::unique_ptr<ModelLoader> loader_;
    std::atomic<bool> stop_{false};
    bool complete_ = false;
    bool failed_ = false;
    std::thread thread_;
};

}  // namespace

bool loadInParts(const RangeReader& read, const PartPlan& plan, model::DwarfModel& model, std::string& error,
                 bool& split) {
    split = false;
    ModelLoader loader(model);
    auto push = [&loader](std::string_view block) { return loader.push(block); };
    if (!plan.valid) {
        if (!read(0, UINT64_MAX, push, error)) return false;
        loader.finish();
        return true;
    }
    LaterReading later(read, plan);
    if (!read(0, plan.start, push, error)) return false;
    const bool ready = loader.readyForLaterPart(ModelLoader::LaterPart{plan.littleEndian});
    if (!ready) later.stop();
    later.wait();
    if (ready && later.complete() && !later.loader().dependsOnEarlier()) {
        std::unique_ptr<model::DwarfModel> part = later.takeModel();
        if (model.canAppend(*part)) {
            model.append(std::move(part));
            model.link();
            model.normalise();
            split = true;
            return true;
        }
    }
    later.drop();
    if (!read(plan.start, UINT64_MAX, push, error)) return false;
    loader.finish();
    return true;
}

}  // namespace kestrel::reader
