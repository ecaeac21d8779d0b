#include "reader/DumpReader.h"

namespace kestrel::reader {

using namespace kestrel::model;
namespace g = grammar;

namespace {

struct TagKind {
    std::string_view tag;
    Kind kind;
};

constexpr TagKind kTags[] = {
#define KESTREL_ENTRY_TAG(tag, K) {"DW_TAG_" #tag, Kind::K},
#include "model/EntryKinds.def"
};

Kind kindOfTag(std::string_view tag) {
    for (const TagKind& t : kTags)
        if (t.tag == tag) return t.kind;
    return Kind::Basic;
}

}  // namespace

DumpReader::DumpReader(DwarfModel& model) : model_(model), tables_(model), attributes_{model} {
    levels_.push_back(model_.makeRoot());
}

const DumpReader::TagInfo& DumpReader::tagInfo(std::string_view text) {
    const std::size_t key =
        text.empty() ? 0
                     : (text.size() * 31 + static_cast<unsigned char>(text.back()) * 7 +
                        static_cast<unsigned char>(text[text.size() / 2])) % recentTags_.size();
    RecentTag& recent = recentTags_[key];
    if (recent.info != nullptr && recent.text == text) return *recent.info;
    // A dump names a few dozen distinct tags: keep each once, with its kind.
    auto it = tags_.find(text);
    if (it == tags_.end()) {
        // Objects keep a pointer to the text: it is kept NUL-terminated.
        std::string_view kept = model_.texts.keepTerminated(text);
        it = tags_.emplace(kept, TagInfo{kept, kindOfTag(kept), kept == "DW_TAG_formal_parameter"}).first;
    }
    recent = {it->second.text, &it->second};
    return it->second;
}

void DumpReader::startAtUnitHeader(bool littleEndian) {
    section_ = Section::Info;
    model_.littleEndian = littleEndian;
    partStart_ = true;
}

void DumpReader::onDieHeader(const g::DieHeader& header) {
    current_ = nullptr;
    std::int32_t depth = g::decimalValue(header.depth);
    if (partStart_ && !tookEntry_) {
        // Before its first entry this reader takes only depth 0; a reader of
        // the whole text may take more, and uses the last pointer size.
        if (depth > 0 || !sawPointerSize_) dependent_ = true;
        tookEntry_ = depth == 0;
    }
    if (depth < 0 || depth > lastLevel_) return;  // breaks the depth rule: passed over with its subtree
    BasicObject* parent = levels_[static_cast<std::size_t>(depth)];
    std::uint32_t offset = g::hexValue(header.offset);
    const TagInfo& tag = tagInfo(header.tag);
    BasicObject* object = model_.make(tag.kind, offset, tag.text, parent);
    if (auto* pointer = as<TypeInfo_Pointer>(object)) pointer->byteSize = attributes_.pointerSize;
    if (auto* variable = as<VariableInfo>(object)) {
        variable->setParameter(tag.parameter);
        if (!tag.parameter) model_.plainVariables.push_back(variable);
    }
    std::size_t level = static_cast<std::size_t>(depth) + 1;
    if (levels_.size() <= level) levels_.resize(level + 1, nullptr);
    levels_[level] = object;
    if (section_ == Section::Types) {
        object->inTypeSection = true;
        model_.typeSectionObjects.add(offset, object);
    } else {
        model_.objectsByOffset.add(offset, object);
    }
    lastLevel_ = depth + 1;
    current_ = object;
}

void DumpReader::read(std::string_view line) {
    g::LineFields& shape = fields_;
    switch (g::classify(line, shape)) {
        case g::LineKind::DieHeader: onDieHeader(shape.die); return;
        case g::LineKind::Attribute:
            if (current_ == nullptr) {
                if (partStart_ && !tookEntry_) dependent_ = true;
                break;
            }
            applyAttribute(attributes_, *current_, shape.attribute);
            return;
        case g::LineKind::TableOffset:
            sawTableStart_ = true;
            tables_.start(g::hexValue(shape.digits));
            return;
        case g::LineKind::DirectoryHeader:
            noteTableHeader();
            tables_.directoryHeader(shape.shape);
            return;
        case g::LineKind::FileHeader:
            noteTableHeader();
            tables_.fileHeader();
            return;
        case g::LineKind::Dwarf5FileHeader:
            noteTableHeader();
            if (tables_.dwarf5FileHeader()) return;
            break;
        case g::LineKind::Dwarf5DirectoryTitle:
            noteTableHeader();
            if (tables_.dwarf5DirectoryTitle()) return;
            break;
        case g::LineKind::PointerSize:
            if (tables_.active()) break;
            sawPointerSize_ = true;
            attributes_.pointerSize = g::decimalValue(shape.digits);
            return;
        case g::LineKind::Other: break;
    }
    onOtherLine(line);
}

void DumpReader::onHeaderLine(std::string_view line) {
    std::string_view text;
    std::string_view digits;
    if (g::scanSectionHeading(line, text)) {
        section_ = text == ".debug_info" ? Section::Info
                 : text == ".debug_types" ? Section::Types
                 : text == ".debug_addr" ? Section::Addresses
                                         : Section::Other;
        addressRows_ = nullptr;
        return;
    }
    if (section_ == Section::Addresses) {
        if (g::scanAddressUnit(line, digits)) {
            addressRows_ = &model_.addressTables[g::hexValue(digits)];
        } else if (addressRows_ != nullptr && g::scanAddressRow(line, text, digits)) {
            // Rows come numbered from 0; a row out of order ends the table.
            if (static_cast<std::uint32_t>(g::decimalValue(text)) == addressRows_->size())
                addressRows_->push_back(g::hexValue(digits));
            else
                addressRows_ = nullptr;
        }
        return;
    }
    if (section_ != Section::Info && section_ != Section::Types) return;
    if (g::scanUnitOffset(line, digits)) {
        attributes_.unitOffset = g::hexValue(digits);
        signature_ = 0;
    } else if (g::scanSignature(line, digits)) {
        signature_ = g::hexValue64(digits);
    } else if (g::scanTypeOffset(line, digits)) {
        model_.typeUnits.push_back({signature_, attributes_.unitOffset + g::hexValue(digits), section_ == Section::Types});
    }
}

void DumpReader::onOtherLine(std::string_view line) {
    // objdump may print .debug_types last: the blank line that ends its
    // listing ends the last type unit as a section heading would.
    if (line.empty() && section_ == Section::Types) insideUnit_ = false;
    if (!line.empty()) {
        const std::size_t first = fields_.indent;  // classify() found it
        const char c = first < line.size() ? line[first] : '\0';
        if (line[0] != ' ' && line[0] != '\t') {
            insideUnit_ = false;  // a section heading, a file-format line
        } else if (!insideUnit_ && c == 'C' && line.substr(first).starts_with("Compilation Unit @ offset")) {
            insideUnit_ = true;
        }
        // Section headings, unit headers and .debug_addr rows are looked at,
        // then passed on as before.
        if (c == 'C' || c == 'S' || c == 'T' || (section_ == Section::Addresses && (c == 'F' || (c >= '0' && c <= '9'))))
            onHeaderLine(line);
    }
    if (tables_.active()) {
        tables_.line(line);
        return;
    }
    if (model_.littleEndian) return;
    std::string_view format;
    if (line.find("file format ") != std::string_view::npos && g::scanFileFormat(line, format) &&
        format.find("little") != std::string_view::npos)
        model_.littleEndian = true;
}

}  // namespace kestrel::reader
