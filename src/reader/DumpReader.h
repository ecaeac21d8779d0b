// Turns the lines of an objdump text dump, fed one at a time in file order,
// into the objects, lists, index and line tables of a DwarfModel.
#pragma once

#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/DwarfModel.h"
#include "reader/LineGrammar.h"

namespace kestrel {

class DumpReader {
public:
    explicit DumpReader(Model::DwarfModel& model);

    void feed(std::string_view line);
    // Completes what needs the whole dump (DWARF 5 bit fields, DW_AT_count).
    // Call after the last line and after DwarfModel::link.
    static void finishLinked(Model::DwarfModel& model);

private:
    void onDieHeader(const grammar::DieHeader& header);
    void onAttribute(const grammar::AttributeLine& attribute);
    void onTableLine(std::string_view line);
    Model::BasicObject* makeObject(std::string_view tag, std::uint32_t offset, Model::BasicObject* parent);
    std::string_view tagText(std::string_view text);

    Model::DwarfModel& model_;
    Model::BasicObject* current_ = nullptr;
    Model::StatementList* statementList_ = nullptr;
    bool directoryMode_ = false;
    bool fileMode_ = false;
    grammar::TableShape directoryShape_ = grammar::TableShape::Classic;
    bool dwarf5Files_ = false;
    std::int32_t pointerSize_ = 0;
    std::vector<Model::BasicObject*> levels_;  // levels_[k]: parent of an entry of depth k
    std::int32_t lastLevel_ = 0;
    std::unordered_map<std::string_view, std::string_view> tags_;
};

}  // namespace kestrel
