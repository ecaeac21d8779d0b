// Reading one dump in two parts at once, on two threads: the earlier part
// from the start of the text, the later part from the header line of a unit
// of .debug_info near the middle of the work. Each part is read into a model
// of its own; the later one is appended to the earlier one (see
// DwarfModel::append) when the earlier reader, at the later part's first
// line, is in the state the later reader started with. Otherwise the later
// part's model is dropped and the earlier reader goes on through the rest of
// the text: the result is always the model of a reading in one piece.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "model/DwarfModel.h"

namespace kestrel::reader {

// Reads the bytes [begin, end) of a dump (up to its end when it is shorter)
// in blocks, in order, until onBlock returns false. False, with the reason in
// `error`, when the text cannot be read.
using RangeReader = std::function<bool(std::uint64_t begin, std::uint64_t end,
                                       const std::function<bool(std::string_view)>& onBlock, std::string& error)>;

// Copies up to `size` bytes of the dump from `at` on into `out`; returns how
// many (fewer at its end, 0 when it cannot be read there).
using Peek = std::function<std::size_t(std::uint64_t at, char* out, std::size_t size)>;

// Reads the bytes of the file `fileName` (readBlocks).
RangeReader fileRanges(const std::string& fileName);
// Peeks into the file `fileName`, which stays open while the peek lives.
Peek filePeek(const std::string& fileName);

// Where the later part starts and what its reader assumes.
struct PartPlan {
    bool valid = false;
    std::uint64_t start = 0;
    // Whether the file-format line at the head of the dump names a
    // little-endian format.
    bool littleEndian = false;
};

// A plan for a dump of `size` bytes: the first unit header line of
// .debug_info from the point on that shares the work about evenly (the
// listing of entries costs most). Not valid when the dump is small, its
// lines do not end at LF, or no unit header lies there.
PartPlan planParts(const Peek& peek, std::uint64_t size);
// A plan whose later part starts at `start`: valid when a unit header line
// of the shape the reader knows starts there, after a line end.
PartPlan planPartsAt(const Peek& peek, std::uint64_t start);

// Reads the dump into `model` by `plan` and completes it (link, normalise),
// as ModelLoader does for text read in one piece. `split` tells whether the
// parts were joined. Returns false, with the reason, when the text cannot be
// read.
bool loadInParts(const RangeReader& read, const PartPlan& plan, model::DwarfModel& model, std::string& error,
                 bool& split);

}  // namespace kestrel::reader
