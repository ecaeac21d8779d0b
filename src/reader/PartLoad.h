// Reading one dump in parts at once, on two threads: the earlier part from
// the start of the text, the later part from the header line of a unit of
// .debug_info, and between them, where the plan has them, chunks that also
// start at unit headers. The first thread reads the earlier part and then
// takes chunks from the front, reading on as one reader; the second reads
// the later part and then takes chunks from the back, each into a model of
// its own. They meet wherever the work happens to be shared evenly, however
// fast each core is at the time.
//
// The models of the second thread are appended in text order (see
// DwarfModel::append) when each of them, at its first line, meets the state
// its reader started with: the first reader where it stopped, and each
// chunk's reader at its end. Otherwise all of them are dropped and the first
// reader goes on through the rest of the text: the result is always the
// model of a reading in one piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

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

// Where the later part and the chunks start and what their readers assume.
struct PartPlan {
    bool valid = false;
    std::uint64_t start = 0;
    // The starts of the chunks between the earlier and the later part,
    // ascending, all before `start`; none: two parts only.
    std::vector<std::uint64_t> chunks;
    // At most this many chunks are taken by the first thread (tests make the
    // second one take chunks this way).
    std::size_t firstTakesAtMost = SIZE_MAX;
    // Whether the file-format line at the head of the dump names a
    // little-endian format.
    bool littleEndian = false;
};

// A plan for a dump of `size` bytes: the later part from the first unit
// header line of .debug_info after the point that leaves the first thread
// about two thirds of the work (the listing of entries costs most), and
// chunks from the first unit headers after points that share the middle
// third evenly. Not valid when the dump is small, its lines do not end at
// LF, or no unit header lies there.
PartPlan planParts(const Peek& peek, std::uint64_t size);
// A plan whose later part starts at `start` and whose chunks start at
// `chunks`: valid when a unit header line of the shape the reader knows
// starts at each, after a line end, and the chunks ascend before `start`.
PartPlan planPartsAt(const Peek& peek, std::uint64_t start, const std::vector<std::uint64_t>& chunks = {});

// The start of the first unit header line from `point` on and before
// `limit` (looked for in windows that overlap by a line's worth), or 0.
std::uint64_t unitHeaderFrom(const Peek& peek, std::uint64_t size, std::uint64_t point, std::uint64_t limit);

// Reads the dump into `model` by `plan` and completes it (link, normalise),
// as ModelLoader does for text read in one piece. `split` tells whether the
// parts were joined. Returns false, with the reason, when the text cannot be
// read.
bool loadInParts(const RangeReader& read, const PartPlan& plan, model::DwarfModel& model, std::string& error,
                 bool& split);
// loadInParts with a plan that `makePlan` makes on the second thread while
// the first one already reads from the start of the text. The plan is used
// only when it comes before the first thread has read past the end of its
// first part; otherwise the text is read in one piece.
bool loadPlanningMeanwhile(const RangeReader& read, const std::function<PartPlan()>& makePlan,
                           model::DwarfModel& model, std::string& error, bool& split);

}  // namespace kestrel::reader
