// Loading a model: the one sequence read -> link -> normalise, for dump text
// from a file, held in memory, or arriving in blocks (from a pipe while
// objdump still runs).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "model/DwarfModel.h"

namespace kestrel::reader {

// Builds a model from dump text that arrives in blocks of any size: push
// every block in order, then call finish() once to read the last line, link
// the references and normalise the model. If anything throws, the model
// stays a valid (partial) model that can be destroyed.
class ModelLoader {
public:
    explicit ModelLoader(model::DwarfModel& model);
    ~ModelLoader();

    ModelLoader(const ModelLoader&) = delete;
    ModelLoader& operator=(const ModelLoader&) = delete;

    // False once a line longer than kMaxLine has arrived: the text is no
    // objdump dump (the model's notADump is set) and the rest is ignored.
    bool push(std::string_view bytes);
    // Also sets the model's dumpCut when the text ended inside a unit's
    // listing or in the middle of a line.
    void finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Reads the dump file into `model`. Returns false, with the reason the system
// gave in `error`, when the file cannot be opened or read.
bool loadFile(const std::string& dumpFileName, model::DwarfModel& model, std::string& error);

// Reads dump text held in memory (tests, fuzzing).
std::unique_ptr<model::DwarfModel> loadText(std::string_view dumpText);

}  // namespace kestrel::reader
