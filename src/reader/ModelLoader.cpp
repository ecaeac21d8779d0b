#include "reader/ModelLoader.h"

#include <algorithm>
#include <functional>
#include <thread>

#include "reader/DumpReader.h"
#include "reader/LineSource.h"
#include "reader/PartLoad.h"

namespace kestrel::reader {

struct ModelLoader::State {
    explicit State(model::DwarfModel& m) : model(m), reader(m) {}
    State(model::DwarfModel& m, LaterPart part) : model(m), reader(m) {
        reader.startAtUnitHeader(part.littleEndian);
        lines.assumeLineEnds(LineEnds::Lf);
    }

    void line(std::string_view text) {
        ++model.linesRead;
        reader.feed(text);
    }

    model::DwarfModel& model;
    DumpReader reader;
    LineAssembler lines;
};

ModelLoader::ModelLoader(model::DwarfModel& model) : state_(std::make_unique<State>(model)) {}

ModelLoader::ModelLoader(model::DwarfModel& model, LaterPart part) : state_(std::make_unique<State>(model, part)) {}

ModelLoader::~ModelLoader() = default;

bool ModelLoader::push(std::string_view bytes) {
    if (state_->model.notADump) return false;
    state_->model.bytesRead += bytes.size();
    state_->lines.push(bytes, [this](std::string_view line) { state_->line(line); });
    if (state_->lines.sawOverlong()) state_->model.notADump = true;
    return !state_->model.notADump;
}

void ModelLoader::endText() {
    const bool lastLineCut = state_->lines.finish([this](std::string_view line) { state_->line(line); });
    state_->model.dumpCut = lastLineCut || state_->reader.insideUnit();
}

void ModelLoader::finish() {
    endText();
    state_->model.link();
    state_->model.normalise();
    state_->model.arena.releaseUnused();
}

bool ModelLoader::readyForLaterPart(LaterPart assumed) const {
    return state_->lines.atLfLineStart() && !state_->lines.sawOverlong() &&
           state_->reader.readyForLaterPart(assumed.littleEndian);
}

bool ModelLoader::dependsOnEarlier() const { return state_->reader.dependsOnEarlier(); }

bool loadFile(const std::string& dumpFileName, model::DwarfModel& model, std::string& error) {
    const RangeReader read = fileRanges(dumpFileName);
    bool split = false;
    // A large dump is read in parts on two threads where a second core can
    // take them; the second thread plans them while the first one reads.
    std::uint64_t size = 0;
    if (std::thread::hardware_concurrency() < 2 || !fileSize(dumpFileName, size))
        return loadInParts(read, PartPlan{}, model, error, split);
    return loadPlanningMeanwhile(read, [&dumpFileName, size] { return planParts(filePeek(dumpFileName), size); },
                                 model, error, split);
}

std::unique_ptr<model::DwarfModel> loadTextInParts(std::string_view dumpText, std::size_t partStart, bool& split) {
    return loadTextInParts(dumpText, partStart, {}, SIZE_MAX, split);
}

std::unique_ptr<model::DwarfModel> loadTextInParts(std::string_view dumpText, std::size_t partStart,
                                                   const std::vector<std::uint64_t>& chunkStarts,
                                                   std::size_t firstTakesAtMost, bool& split) {
    const RangeReader read = [dumpText](std::uint64_t begin, std::uint64_t end,
                                        const std::function<bool(std::string_view)>& onBlock, std::string&) {
        // Blocks of a size that puts line ends on block boundaries somewhere.
        const std::size_t step = 1 + dumpText.size() % 4093;
        end = std::min<std::uint64_t>(end, dumpText.size());
        for (std::uint64_t at = begin; at < end; at += step)
            if (!onBlock(dumpText.substr(at, std::min<std::uint64_t>(step, end - at)))) break;
        return true;
    };
    const Peek peek = [dumpText](std::uint64_t at, char* out, std::size_t size) -> std::size_t {
        if (at >= dumpText.size()) return 0;
        return dumpText.copy(out, size, at);
    };
    auto model = std::make_unique<model::DwarfModel>();
    std::string error;
    PartPlan plan = planPartsAt(peek, partStart, chunkStarts);
    plan.firstTakesAtMost = firstTakesAtMost;
    loadInParts(read, plan, *model, error, split);
    return model;
}

std::unique_ptr<model::DwarfModel> loadText(std::string_view dumpText) {
    auto model = std::make_unique<model::DwarfModel>();
    ModelLoader loader(*model);
    loader.push(dumpText);
    loader.finish();
    return model;
}

}  // namespace kestrel::reader
