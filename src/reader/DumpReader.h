// Turns the lines of an objdump text dump, fed one at a time in file order,
// into the objects, lists, index and line tables of a DwarfModel. The whole
// loading sequence (lines, link, normalisation) is in reader/ModelLoader.h.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/DwarfModel.h"
#include "reader/Attributes.h"
#include "reader/LineGrammar.h"
#include "reader/LineTables.h"

namespace kestrel::reader {

class DumpReader {
public:
    explicit DumpReader(model::DwarfModel& model);

    void feed(std::string_view line) {
        // Passed over: read() would do nothing with such a line.
        if (quiet() && !mayMatterWhenQuiet(line)) return;
        read(line);
    }

    // True while the last unit header read has not been closed by a line
    // that starts a new section listing (a line that does not start with a
    // blank). A dump that ends while this holds was cut.
    bool insideUnit() const { return insideUnit_; }

    // A dump can be read in two parts at once (reader/PartLoad.h): the later
    // part from the header line of a unit of .debug_info on, by a reader of
    // its own that starts as if it had read everything before that line.
    // That holds when the earlier reader, at that line, is in the state the
    // later one starts with (readyForLaterPart), and the later one read
    // nothing whose meaning depends on what came before (dependsOnEarlier).
    void startAtUnitHeader(bool littleEndian);
    bool readyForLaterPart(bool littleEndian) const {
        return section_ == Section::Info && !tables_.active() && model_.littleEndian == littleEndian &&
               !model_.notADump;
    }
    bool dependsOnEarlier() const { return dependent_; }

private:
    // The kind of class a tag makes, and the tag's text kept once.
    struct TagInfo {
        std::string_view text;
        model::Kind kind;
        bool parameter;  // DW_TAG_formal_parameter
    };

    // True while no line but a few can change anything: outside the
    // sections of entries and addresses, outside a line table's directory and
    // file lists, the byte order known, no unit header open. Most lines of a
    // dump (line programs, frames, location lists, strings) are read then.
    bool quiet() const {
        return section_ == Section::Other && !tables_.active() && model_.littleEndian && !insideUnit_;
    }
    // Whether a line read while quiet() may change anything: one that starts
    // with 'C' (a section heading), or an indented one whose first character
    // after the blanks starts a shape of classify() or a unit header.
    static bool mayMatterWhenQuiet(std::string_view line) {
        if (line.empty()) return false;
        if (!grammar::isBlankChar(line[0])) return line[0] == 'C';
        const std::size_t first = line.size() > 1 && !grammar::isBlankChar(line[1]) ? 1 : grammar::indentOf(line);
        if (first == line.size()) return false;
        const char c = line[first];
        return c == '<' || c == 'O' || c == 'T' || c == 'E' || c == 'P' || c == 'C';
    }

    void read(std::string_view line);

    void onDieHeader(const grammar::DieHeader& header);
    // A line-table header line: before the first table start of a later
    // part it belongs to a table that the earlier text started.
    void noteTableHeader() {
        if (partStart_ && !sawTableStart_) dependent_ = true;
    }
    // A line that classify() left as Other (its indent is in fields_).
    void onOtherLine(std::string_view line);
    // Section headings, unit headers and .debug_addr rows.
    void onHeaderLine(std::string_view line);
    const TagInfo& tagInfo(std::string_view text);

    model::DwarfModel& model_;
    grammar::LineFields fields_;  // of the line being read
    model::BasicObject* current_ = nullptr;
    LineTableReader tables_;
    AttributeContext attributes_;
    std::vector<model::BasicObject*> levels_;  // levels_[k]: parent of an entry of depth k
    std::int32_t lastLevel_ = 0;
    bool insideUnit_ = false;
    std::unordered_map<std::string_view, TagInfo> tags_;
    // The tags last looked up, by a cheap key of their text: most entries
    // find their tag here without hashing it.
    struct RecentTag {
        std::string_view text;
        const TagInfo* info = nullptr;
    };
    std::array<RecentTag, 256> recentTags_{};
    // The section being read, as far as the reader cares.
    enum class Section : std::uint8_t { Other, Info, Types, Addresses };
    Section section_ = Section::Other;
    // Set by startAtUnitHeader: whether the reader has seen, in its own
    // text, an entry it took, a unit's pointer size and a line table's start
    // (before them an entry's depth, an attribute, an entry and a table
    // header line mean what the text before says).
    bool partStart_ = false;
    bool tookEntry_ = false;
    bool sawPointerSize_ = false;
    bool sawTableStart_ = false;
    bool dependent_ = false;
    std::uint64_t signature_ = 0;          // of the type unit being read
    std::vector<std::uint32_t>* addressRows_ = nullptr;  // the .debug_addr rows being read
};

}  // namespace kestrel::reader
