// What the attribute lines of an entry mean for its object: each attribute the
// reader knows is decoded by its value kind (one table), then handed to the
// common rule and to the rule of the object's class (one short function each).
#pragma once

#include <cstdint>

#include "model/DwarfModel.h"
#include "reader/LineGrammar.h"

namespace kestrel::reader {

// What the rules need beyond the object: the model (texts, lists) and the
// pointer size the dump's unit header gave.
struct AttributeContext {
    model::DwarfModel& model;
    std::int32_t pointerSize = 0;
    // The offset of the header of the unit being read (its .debug_addr rows).
    std::uint32_t unitOffset = 0;
};

void applyAttribute(AttributeContext& context, model::BasicObject& object, const grammar::AttributeLine& line);

}  // namespace kestrel::reader
