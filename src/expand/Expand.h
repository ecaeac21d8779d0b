// Expansion of a variable's type into signals: one record per scalar value
// that lies in the variable's storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/Model.h"
#include "model/Report.h"

namespace kestrel::expand {

using model::BasicObject;
using model::VariableInfo;

struct SignalInfo {
    std::uint32_t address = 0;
    std::int32_t bitOffset = 0;
    std::int32_t bitSize = 0;
    std::uint32_t size = 0;
    std::string_view typeName;
    std::string name;
    std::string_view location;
    std::uint32_t offset = 0;
    bool isConst = false;
    bool isSigned = false;
    const BasicObject* type = nullptr;
};

// Bounds of one expansion (one variable), so that malformed input cannot
// recurse without end or produce unbounded output; the output pass also keeps
// the whole run within the run-wide bounds.
//
// A real variable fits the 32-bit address space, so its signals are bounded
// by its size; these bounds stop what a malformed type that still fits could
// cause (and leave room for multi-megabyte buffers of single bytes).
struct ExpandLimits {
    int maxDepth = model::kMaxDepth;        // nesting levels of one path
    std::size_t maxSignals = 4u << 20;      // signals of one variable
    std::size_t maxVisits = 32u << 20;      // objects visited for one variable
    std::size_t maxRunSignals = 16u << 20;  // signals of all variables of a run
    std::size_t maxRunVisits = 256u << 20;  // objects visited for all variables
};

// The bytes a type claims, counted without the 32-bit wrap of getSize (an
// array's element count times its element size); saturates instead of
// overflowing. Used to recognise types larger than any target's memory.
std::uint64_t storageSize(const BasicObject* type);

// What one expansion used of its limits.
struct ExpandUsage {
    std::size_t signals = 0;
    std::size_t visits = 0;
};

// Receives the signals of one expansion, one call per signal, in the order in
// which they are appended to a signal list. The record handed over is the
// expansion's working record: it is valid only during the call, and a sink
// that keeps signals must copy them.
class SignalSink {
public:
    virtual void signal(const SignalInfo& signal) = 0;

protected:
    SignalSink() = default;
    SignalSink(const SignalSink&) = default;
    SignalSink& operator=(const SignalSink&) = default;
    ~SignalSink() = default;
};

// Appends the signals of `object` (a variable's type) to `signals`. One call
// is one variable: a path that nests too deep or runs into a type cycle is cut
// off, and a variable that would give too many signals is stopped; each
// reports one message naming the variable (the seed's name and DIE offset).
void expand(const BasicObject* object, SignalInfo signal, bool membersOnly,
            std::vector<SignalInfo>& signals, model::Reporter& reporter,
            const ExpandLimits& limits = ExpandLimits());
// The same expansion, handing every signal to `sink` instead of copying it
// into a list (no record is copied, no name allocated per signal).
ExpandUsage expand(const BasicObject* object, SignalInfo signal, bool membersOnly, SignalSink& sink,
                   model::Reporter& reporter, const ExpandLimits& limits);

// The type through which a located variable is expanded: its own `type`, or
// for a definition without one, the type of the declaration it names through
// its DW_AT_specification (or DW_AT_abstract_origin) link, a few links deep. Null when
// there is none.
const BasicObject* expansionType(const VariableInfo* variable);

// True when the encoding text names a signed encoding ("signed",
// "signed char"; not "unsigned", "float", "boolean", "").
bool isSignedEncoding(std::string_view encodingName);

// The object's own name. A name containing "RtePortSR" is reported to
// `reporter` (when given) with the object's number of children.
std::string_view nameOf(const BasicObject& object, model::Reporter* reporter);

// The scope-qualified name of an object (see Naming.cpp); the names it reads
// go through nameOf with `reporter`.
std::string qualifiedName(const BasicObject* object, std::string suffix, model::Reporter* reporter = nullptr);

}  // namespace kestrel::expand
