// The directory and file tables of the line-number programs, read line by
// line: a table title switches the reader into directory or file mode, an
// empty line ends the mode.
#pragma once

#include <cstdint>
#include <string_view>

#include "model/DwarfModel.h"
#include "reader/LineGrammar.h"

namespace kestrel::reader {

class LineTableReader {
public:
    explicit LineTableReader(model::DwarfModel& model) : model_(model) {}

    // "Offset:" of a new line-number program.
    void start(std::uint32_t offset);
    void directoryHeader(grammar::TableShape shape);
    void fileHeader() { startFiles(false); }
    // False while a directory table is read (the line is then one of its entries).
    bool dwarf5FileHeader();
    // True when the title belongs to the DWARF 5 directory table being read.
    bool dwarf5DirectoryTitle() const {
        return directoryMode_ && directoryShape_ == grammar::TableShape::Dwarf5;
    }

    // True while the lines are entries of a table.
    bool active() const { return directoryMode_ || fileMode_; }
    // One line while active().
    void line(std::string_view line);

private:
    void startFiles(bool dwarf5);

    model::DwarfModel& model_;
    model::StatementList* list_ = nullptr;
    bool directoryMode_ = false;
    bool fileMode_ = false;
    grammar::TableShape directoryShape_ = grammar::TableShape::Classic;
    bool dwarf5Files_ = false;
};

}  // namespace kestrel::reader
