// Loading a model: the one sequence read -> link -> normalise, for dump text
// from a file, held in memory, or arriving in blocks (from a pipe while
// objdump still runs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "model/DwarfModel.h"

namespace kestrel::reader {

// Builds a model from dump text that arrives in blocks of any size: push
// every block in order, then call finish() once to read the last line, link
// the references and normalise the model. If anything throws, the model
// stays a valid (partial) model that can be destroyed.
class ModelLoader {
public:
    explicit ModelLoader(model::DwarfModel& model);
    // A loader of the later part of a dump read in two parts at once: its
    // text starts with the header line of a unit of .debug_info and its lines
    // end at LF (see DumpReader::startAtUnitHeader).
    struct LaterPart {
        bool littleEndian = false;
    };
    ModelLoader(model::DwarfModel& model, LaterPart part);
    ~ModelLoader();

    ModelLoader(const ModelLoader&) = delete;
    ModelLoader& operator=(const ModelLoader&) = delete;

    // False once a line longer than kMaxLine has arrived: the text is no
    // objdump dump (the model's notADump is set) and the rest is ignored.
    bool push(std::string_view bytes);
    // Also sets the model's dumpCut when the text ended inside a unit's
    // listing or in the middle of a line.
    void finish();
    // finish() without the link and the normalisation (of a later part).
    void endText();

    // A later loader, given the text from where this loader's text ends on,
    // reads it as this loader would have when this loader stopped at a line
    // start in the state the later one started with (readyForLaterPart) and
    // the later one read nothing whose meaning depends on the text before
    // it (dependsOnEarlier false).
    bool readyForLaterPart(LaterPart assumed) const;
    bool dependsOnEarlier() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Reads the dump file into `model`. Returns false, with the reason the system
// gave in `error`, when the file cannot be opened or read.
bool loadFile(const std::string& dumpFileName, model::DwarfModel& model, std::string& error);

// Reads dump text held in memory (tests, fuzzing).
std::unique_ptr<model::DwarfModel> loadText(std::string_view dumpText);

// Reads dump text held in memory in two parts at once, the later one from
// `partStart` on (which must be the start of a unit header line of
// .debug_info); `split` tells whether the two parts were joined, or the text
// was read in one piece after all. The model is the one loadText gives.
std::unique_ptr<model::DwarfModel> loadTextInParts(std::string_view dumpText, std::size_t partStart, bool& split);
// The same with chunks between the parts, starting at `chunkStarts` (unit
// header lines too), of which the first thread takes at most
// `firstTakesAtMost`; the second thread takes the others.
std::unique_ptr<model::DwarfModel> loadTextInParts(std::string_view dumpText, std::size_t partStart,
                                                   const std::vector<std::uint64_t>& chunkStarts,
                                                   std::size_t firstTakesAtMost, bool& split);

}  // namespace kestrel::reader
