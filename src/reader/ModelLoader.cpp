#include "reader/ModelLoader.h"

#include "reader/DumpReader.h"
#include "reader/LineSource.h"

namespace kestrel::reader {

struct ModelLoader::State {
    explicit State(model::DwarfModel& m) : model(m), reader(m) {}

    void line(std::string_view text) {
        ++model.linesRead;
        reader.feed(text);
    }

    model::DwarfModel& model;
    DumpReader reader;
    LineAssembler lines;
};

ModelLoader::ModelLoader(model::DwarfModel& model) : state_(std::make_unique<State>(model)) {}

ModelLoader::~ModelLoader() = default;

bool ModelLoader::push(std::string_view bytes) {
    if (state_->model.notADump) return false;
    state_->model.bytesRead += bytes.size();
    state_->lines.push(bytes, [this](std::string_view line) { state_->line(line); });
    if (state_->lines.sawOverlong()) state_->model.notADump = true;
    return !state_->model.notADump;
}

void ModelLoader::finish() {
    const bool lastLineCut = state_->lines.finish([this](std::string_view line) { state_->line(line); });
    state_->model.dumpCut = lastLineCut || state_->reader.insideUnit();
    state_->model.link();
    state_->model.normalise();
}

bool loadFile(const std::string& dumpFileName, model::DwarfModel& model, std::string& error) {
    ModelLoader loader(model);
    if (!readBlocks(dumpFileName, [&](std::string_view block) { return loader.push(block); }, error)) return false;
    loader.finish();
    return true;
}

std::unique_ptr<model::DwarfModel> loadText(std::string_view dumpText) {
    auto model = std::make_unique<model::DwarfModel>();
    ModelLoader loader(*model);
    loader.push(dumpText);
    loader.finish();
    return model;
}

}  // namespace kestrel::reader
