#include "reader/LineTables.h"

#include <memory>

namespace kestrel::reader {

namespace g = grammar;

void LineTableReader::start(std::uint32_t offset) {
    auto list = std::make_unique<model::StatementList>(offset);
    list_ = list.get();
    auto [it, inserted] = model_.lineTables.emplace(offset, nullptr);
    if (inserted) {
        it->second = std::move(list);
    } else {
        // An offset seen before: the first table stays indexed; this one
        // still collects the lines that follow.
        model_.spareLineTables.push_back(std::move(list));
    }
}

void LineTableReader::directoryHeader(g::TableShape shape) {
    directoryMode_ = true;
    directoryShape_ = shape;
    if (shape == g::TableShape::Dwarf5 && list_ != nullptr) list_->zeroBased = true;
}

bool LineTableReader::dwarf5FileHeader() {
    if (directoryMode_) return false;
    startFiles(true);
    return true;
}

void LineTableReader::startFiles(bool dwarf5) {
    fileMode_ = true;
    dwarf5Files_ = dwarf5;
}

void LineTableReader::line(std::string_view line) {
    // Directory mode first: while it is on, every line is a directory line.
    if (directoryMode_) {
        if (line.empty() || list_ == nullptr) {
            directoryMode_ = false;
            return;
        }
        std::string_view dir;
        const bool classic = directoryShape_ == g::TableShape::Classic;
        if (classic ? g::scanDirectoryEntry(line, dir) : g::scanNumberedDirectoryEntry(line, dir))
            list_->addDirectory(dir);
        return;
    }
    if (line.empty() || list_ == nullptr) {
        fileMode_ = false;
        return;
    }
    std::string_view dirIndex, file;
    if (dwarf5Files_ ? g::scanDwarf5FileEntry(line, dirIndex, file) : g::scanFileEntry(line, dirIndex, file))
        list_->addFile(g::decimalValue(dirIndex), file);
}

}  // namespace kestrel::reader
