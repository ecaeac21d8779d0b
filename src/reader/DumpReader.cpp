#include "reader/DumpReader.h"

#include <array>
#include <unordered_map>

namespace kestrel {

using namespace Model;
namespace g = grammar;

namespace {

// The attributes that the reader interprets.
enum class Attr : std::uint8_t {
    Other,
    Name,
    CompDir,
    Producer,
    MipsLinkageName,
    LinkageName,
    Location,
    DataMemberLocation,
    LowPc,
    HighPc,
    Type,
    Import,
    StmtList,
    Specification,
    AbstractOrigin,
    Encoding,
    DeclLine,
    DeclFile,
    Accessibility,
    Language,
    External,
    Declaration,
    Inline,
    Virtuality,
    ConstValue,
    BitSize,
    BitOffset,
    DataBitOffset,
    ByteSize,
    UpperBound,
    LowerBound,
    Count,
    CallLine,
    CallFile,
};

struct AttrName {
    std::string_view name;
    Attr attr;
};

constexpr AttrName kAttributes[] = {
    {"DW_AT_name", Attr::Name},
    {"DW_AT_type", Attr::Type},
    {"DW_AT_decl_line", Attr::DeclLine},
    {"DW_AT_decl_file", Attr::DeclFile},
    {"DW_AT_byte_size", Attr::ByteSize},
    {"DW_AT_data_member_location", Attr::DataMemberLocation},
    {"DW_AT_location", Attr::Location},
    {"DW_AT_external", Attr::External},
    {"DW_AT_declaration", Attr::Declaration},
    {"DW_AT_encoding", Attr::Encoding},
    {"DW_AT_upper_bound", Attr::UpperBound},
    {"DW_AT_const_value", Attr::ConstValue},
    {"DW_AT_comp_dir", Attr::CompDir},
    {"DW_AT_producer", Attr::Producer},
    {"DW_AT_MIPS_linkage_name", Attr::MipsLinkageName},
    {"DW_AT_linkage_name", Attr::LinkageName},
    {"DW_AT_low_pc", Attr::LowPc},
    {"DW_AT_high_pc", Attr::HighPc},
    {"DW_AT_import", Attr::Import},
    {"DW_AT_stmt_list", Attr::StmtList},
    {"DW_AT_specification", Attr::Specification},
    {"DW_AT_abstract_origin", Attr::AbstractOrigin},
    {"DW_AT_accessibility", Attr::Accessibility},
    {"DW_AT_language", Attr::Language},
    {"DW_AT_inline", Attr::Inline},
    {"DW_AT_virtuality", Attr::Virtuality},
    {"DW_AT_bit_size", Attr::BitSize},
    {"DW_AT_bit_offset", Attr::BitOffset},
    {"DW_AT_data_bit_offset", Attr::DataBitOffset},
    {"DW_AT_lower_bound", Attr::LowerBound},
    {"DW_AT_count", Attr::Count},
    {"DW_AT_call_line", Attr::CallLine},
    {"DW_AT_call_file", Attr::CallFile},
};

// The attribute names by length, so that a lookup compares a handful of
// names of the same length, the most common first.
class AttributeTable {
public:
    AttributeTable() {
        for (const AttrName& a : kAttributes) byLength_[a.name.size()].push_back(a);
    }
    Attr find(std::string_view name) const {
        if (name.size() >= byLength_.size()) return Attr::Other;
        for (const AttrName& a : byLength_[name.size()])
            if (a.name[6] == name[6] && a.name == name) return a.attr;
        return Attr::Other;
    }

private:
    std::array<std::vector<AttrName>, 32> byLength_;
};

Attr attributeOf(std::string_view name) {
    static const AttributeTable table;
    return table.find(name);
}

// Objects live in the model's arena; the parent's children list refers to them.
template <class T>
T* place(DwarfModel& m, std::uint32_t offset, std::string_view tag, BasicObject* parent) {
    void* memory = m.arena.allocate(sizeof(T), alignof(T));
    return new (memory) T(offset, tag, parent);
}



}  // namespace

DumpReader::DumpReader(DwarfModel& model) : model_(model) {
    void* memory = model_.arena.allocate(sizeof(BasicObject), alignof(BasicObject));
    model_.root.reset(new (memory) BasicObject(0, std::string_view{}, ArenaRoot{&model_.arena}));
    model_.rootInArena = true;
    levels_.push_back(model_.root.get());
}

std::string_view DumpReader::tagText(std::string_view text) {
    // A dump names a few dozen distinct tags: keep each once.
    auto it = tags_.find(text);
    if (it != tags_.end()) return it->second;
    std::string_view kept = model_.texts.keep(text);
    tags_.emplace(kept, kept);
    return kept;
}

BasicObject* DumpReader::makeObject(std::string_view text, std::uint32_t offset, BasicObject* parent) {
    DwarfModel& m = model_;
    std::string_view tag = tagText(text);
    auto make = [&]<class T>(auto& list, T*) {
        T* o = place<T>(m, offset, tag, parent);
        list.push_back(o);
        return o;
    };
    if (!tag.starts_with("DW_TAG_")) return place<BasicObject>(m, offset, tag, parent);
    std::string_view t = tag.substr(7);
    switch (t.empty() ? '\0' : t[0]) {
        case 'a':
            if (t == "array_type") return make(m.arrays, static_cast<TypeInfo_Array*>(nullptr));
            if (t == "atomic_type") return make(m.volatiles, static_cast<TypeInfo_Volatile*>(nullptr));
            break;
        case 'b':
            if (t == "base_type") return make(m.baseTypes, static_cast<TypeInfo_Base*>(nullptr));
            break;
        case 'c':
            if (t == "class_type") return make(m.classes, static_cast<TypeInfo_Class*>(nullptr));
            if (t == "const_type") return make(m.constTypes, static_cast<TypeInfo_Const*>(nullptr));
            if (t == "compile_unit") return make(m.compileUnits, static_cast<CompileUnitInfo*>(nullptr));
            break;
        case 'e':
            if (t == "enumeration_type") return make(m.enumerations, static_cast<TypeInfo_Enumeration*>(nullptr));
            if (t == "enumerator") return make(m.enumerators, static_cast<TypeInfo_Enumerator*>(nullptr));
            break;
        case 'f':
            if (t == "formal_parameter") {
                auto* v = make(m.variables, static_cast<VariableInfo*>(nullptr));
                v->isParameter = true;
                return v;
            }
            break;
        case 'i':
            if (t == "imported_declaration")
                return make(m.importedDeclarations, static_cast<TypeInfo_ImportedDeclaration*>(nullptr));
            if (t == "inheritance") return make(m.inheritances, static_cast<TypeInfo_Inheritance*>(nullptr));
            if (t == "inlined_subroutine") return make(m.subroutines, static_cast<TypeInfo_Subroutine*>(nullptr));
            if (t == "immutable_type") return make(m.volatiles, static_cast<TypeInfo_Volatile*>(nullptr));
            break;
        case 'm':
            if (t == "member") return make(m.members, static_cast<TypeInfo_Member*>(nullptr));
            break;
        case 'n':
            if (t == "namespace") return make(m.namespaces, static_cast<TypeInfo_Namespace*>(nullptr));
            break;
        case 'p':
            if (t == "pointer_type") {
                auto* p = make(m.pointers, static_cast<TypeInfo_Pointer*>(nullptr));
                p->byteSize = pointerSize_;
                return p;
            }
            break;
        case 'r':
            // References are leaves like pointers; restrict is looked through.
            if (t == "reference_type" || t == "rvalue_reference_type") {
                auto* p = make(m.pointers, static_cast<TypeInfo_Pointer*>(nullptr));
                p->byteSize = pointerSize_;
                return p;
            }
            if (t == "restrict_type") return make(m.volatiles, static_cast<TypeInfo_Volatile*>(nullptr));
            break;
        case 's':
            if (t == "structure_type") return make(m.structures, static_cast<TypeInfo_Structure*>(nullptr));
            if (t == "subrange_type") return make(m.subranges, static_cast<TypeInfo_Subrange*>(nullptr));
            if (t == "subroutine_type") return make(m.subroutines, static_cast<TypeInfo_Subroutine*>(nullptr));
            if (t == "subprogram") return make(m.functions, static_cast<FunctionInfo*>(nullptr));
            break;
        case 't':
            if (t == "typedef") return make(m.typedefs, static_cast<TypeInfo_Typedef*>(nullptr));
            break;
        case 'u':
            if (t == "union_type") return make(m.unions, static_cast<TypeInfo_Union*>(nullptr));
            break;
        case 'v':
            if (t == "volatile_type") return make(m.volatiles, static_cast<TypeInfo_Volatile*>(nullptr));
            if (t == "variable") return make(m.variables, static_cast<VariableInfo*>(nullptr));
            break;
        default: break;
    }
    return place<BasicObject>(m, offset, tag, parent);
}

void DumpReader::onDieHeader(const g::DieHeader& header) {
    current_ = nullptr;
    std::int32_t depth = g::decimalValue(header.depth);
    if (depth < 0 || depth > lastLevel_) return;  // breaks the depth rule: passed over with its subtree
    BasicObject* parent = levels_[static_cast<std::size_t>(depth)];
    std::uint32_t offset = g::hexValue(header.offset);
    BasicObject* object = makeObject(header.tag, offset, parent);
    std::size_t level = static_cast<std::size_t>(depth) + 1;
    if (levels_.size() <= level) levels_.resize(level + 1, nullptr);
    levels_[level] = object;
    model_.objectsByOffset.add(offset, object);
    lastLevel_ = depth + 1;
    current_ = object;
}

void DumpReader::onAttribute(const g::AttributeLine& a) {
    DwarfModel& m = model_;
    BasicObject* o = current_;
    const Attr attr = attributeOf(a.name);
    if (attr == Attr::Other) return;

    // The working number N and text T of the attribute.
    std::uint32_t n = 0;
    std::string_view text;
    bool located = false;
    std::string_view cap;
    switch (attr) {
        case Attr::Name:
            text = g::captureAfterIndirect(a.value, cap) ? cap : a.value;
            break;
        case Attr::CompDir:
        case Attr::Producer:
        case Attr::MipsLinkageName:
        case Attr::LinkageName:
            if (g::captureAfterIndirect(a.value, cap)) text = cap;
            break;
        case Attr::Location:
            located = g::captureAddress(a.interpretation, n);
            break;
        case Attr::DataMemberLocation:
            if (g::capturePlusUconst(a.interpretation, cap))
                n = static_cast<std::uint32_t>(g::decimalValue(cap));
            else
                g::captureConstant(a.value, n);
            break;
        case Attr::LowPc:
        case Attr::HighPc:
        case Attr::Type:
        case Attr::Import:
        case Attr::StmtList:
        case Attr::Specification:
        case Attr::AbstractOrigin:
            if (g::captureLastHex(a.value, cap)) n = g::hexValue(cap);
            break;
        case Attr::Encoding:
            if (g::captureParenthesised(a.interpretation, cap)) text = cap;
            break;
        default: break;
    }
    const std::int32_t decimal = (attr == Attr::DeclFile || attr == Attr::Accessibility ||
                                  attr == Attr::BitSize || attr == Attr::BitOffset ||
                                  attr == Attr::DataBitOffset || attr == Attr::ByteSize ||
                                  attr == Attr::UpperBound || attr == Attr::LowerBound ||
                                  attr == Attr::Count || attr == Attr::CallFile || attr == Attr::Encoding ||
                                  attr == Attr::ConstValue)
                                     ? g::decimalValue(a.value)
                                     : 0;
    const bool flag = g::flagValue(a.value);

    // Every object.
    switch (attr) {
        case Attr::Name: o->name = m.texts.keep(text); break;
        case Attr::Location:
            if (located) m.locatedObjects.push_back(o);
            break;
        case Attr::DeclLine: o->declLine = m.texts.keep(a.value); break;
        case Attr::DeclFile: o->declFile = decimal; break;
        case Attr::Specification: o->hasSpecification = flag; break;
        case Attr::Accessibility: o->accessibility = decimal; break;
        case Attr::MipsLinkageName:
        case Attr::LinkageName: o->linkageName = m.texts.keep(text); break;
        default: break;
    }

    const bool typeRef = attr == Attr::Type || attr == Attr::Import;
    switch (o->kind()) {
        case Kind::CompileUnit: {
            auto* cu = static_cast<CompileUnitInfo*>(o);
            if (attr == Attr::Name) cu->compileUnitName = cu->name;
            else if (attr == Attr::CompDir) cu->compDir = m.texts.keep(text);
            else if (attr == Attr::Language) cu->language = m.texts.keep(a.interpretation);
            else if (attr == Attr::Producer) cu->producer = m.texts.keep(text);
            else if (attr == Attr::LowPc) cu->addressLow = n;
            else if (attr == Attr::HighPc) cu->addressHigh = n;
            else if (attr == Attr::StmtList) cu->stmtList = n;
            break;
        }
        case Kind::Function: {
            auto* f = static_cast<FunctionInfo*>(o);
            if (attr == Attr::LowPc) f->addressLow = n;
            else if (attr == Attr::HighPc) f->addressHigh = n;
            else if (attr == Attr::External) f->external = flag;
            else if (attr == Attr::Declaration) f->declaration = flag;
            else if (attr == Attr::Inline) f->isInline = flag;
            else if (attr == Attr::Virtuality) f->virtuality = flag;
            else if (typeRef) f->typeOffset = n;
            else if (attr == Attr::Specification || attr == Attr::AbstractOrigin) f->specificationOffset = n;
            break;
        }
        case Kind::Variable: {
            auto* v = static_cast<VariableInfo*>(o);
            if (typeRef) v->typeOffset = n;
            else if (attr == Attr::Location) {
                v->isStatic = true;
                v->address = n;
            } else if (attr == Attr::External) v->external = flag;
            else if (attr == Attr::Declaration) v->declaration = flag;
            else if (attr == Attr::Specification || attr == Attr::AbstractOrigin) v->specificationOffset = n;
            else if (attr == Attr::ConstValue) {
                v->setConstValue(m.texts.keep(a.value));
                m.constantObjects.push_back(v);
            }
            break;
        }
        case Kind::Member: {
            auto* mb = static_cast<TypeInfo_Member*>(o);
            if (typeRef) mb->typeOffset = n;
            else if (attr == Attr::DataMemberLocation) {
                mb->dataMemberLocation = static_cast<std::int32_t>(n);
                mb->hasDataMemberLocation = true;
            } else if (attr == Attr::BitSize) mb->bitSize = decimal;
            else if (attr == Attr::BitOffset) mb->bitOffset = decimal;
            else if (attr == Attr::DataBitOffset) {
                mb->dataBitOffset = decimal;
                mb->hasDataBitOffset = true;
            } else if (attr == Attr::ByteSize) mb->byteSize = decimal;
            else if (attr == Attr::Declaration) mb->declaration = flag;
            else if (attr == Attr::ConstValue) {
                mb->setConstValue(m.texts.keep(a.value));
                m.constantObjects.push_back(mb);
            }
            break;
        }
        case Kind::Array: {
            auto* ar = static_cast<TypeInfo_Array*>(o);
            if (typeRef) ar->typeOffset = n;
            else if (attr == Attr::ByteSize) ar->byteSize = decimal;
            break;
        }
        case Kind::Base: {
            auto* b = static_cast<TypeInfo_Base*>(o);
            if (attr == Attr::Encoding) {
                b->encoding = decimal;
                b->encodingName = m.texts.keep(text);
            } else if (attr == Attr::ByteSize) b->byteSize = decimal;
            break;
        }
        case Kind::Class: {
            auto* c = static_cast<TypeInfo_Class*>(o);
            if (attr == Attr::Declaration) c->declaration = flag;
            else if (attr == Attr::ByteSize) c->byteSize = decimal;
            else if (attr == Attr::Specification) c->specificationOffset = n;
            break;
        }
        case Kind::Structure: {
            auto* s = static_cast<TypeInfo_Structure*>(o);
            if (attr == Attr::Specification) s->specificationOffset = n;
            else if (attr == Attr::ByteSize) s->byteSize = decimal;
            break;
        }
        case Kind::Union:
            if (attr == Attr::ByteSize) static_cast<TypeInfo_Union*>(o)->byteSize = decimal;
            break;
        case Kind::Enumeration:
            if (attr == Attr::ByteSize) static_cast<TypeInfo_Enumeration*>(o)->byteSize = decimal;
            break;
        case Kind::Enumerator:
            if (attr == Attr::ConstValue) {
                static_cast<TypeInfo_Enumerator*>(o)->constValue = decimal;
                m.constantObjects.push_back(o);
            }
            break;
        case Kind::Inheritance: {
            auto* in = static_cast<TypeInfo_Inheritance*>(o);
            if (typeRef) in->typeOffset = n;
            else if (attr == Attr::DataMemberLocation) in->dataMemberLocation = static_cast<std::int32_t>(n);
            break;
        }
        case Kind::Pointer: {
            auto* p = static_cast<TypeInfo_Pointer*>(o);
            if (typeRef) p->typeOffset = n;
            else if (attr == Attr::ByteSize && pointerSize_ == 0) p->byteSize = decimal;
            break;
        }
        case Kind::Subrange: {
            auto* s = static_cast<TypeInfo_Subrange*>(o);
            if (typeRef) s->typeOffset = n;
            else if (attr == Attr::UpperBound) s->upperB = decimal;
            else if (attr == Attr::LowerBound) s->lowerB = decimal;
            else if (attr == Attr::Count) {
                s->count = decimal;
                s->hasCount = true;
            }
            break;
        }
        case Kind::Subroutine: {
            auto* s = static_cast<TypeInfo_Subroutine*>(o);
            if (typeRef || attr == Attr::AbstractOrigin) s->typeOffset = n;
            else if (attr == Attr::CallLine) s->declLine = m.texts.keep(a.value);
            else if (attr == Attr::CallFile) s->declFile = decimal;
            break;
        }
        case Kind::Const:
            if (typeRef) static_cast<TypeInfo_Const*>(o)->typeOffset = n;
            break;
        case Kind::Volatile:
            if (typeRef) static_cast<TypeInfo_Volatile*>(o)->typeOffset = n;
            break;
        case Kind::Typedef:
            if (typeRef) static_cast<TypeInfo_Typedef*>(o)->typeOffset = n;
            break;
        case Kind::ImportedDeclaration:
            if (typeRef) static_cast<TypeInfo_ImportedDeclaration*>(o)->typeOffset = n;
            break;
        case Kind::Namespace:
        case Kind::Basic: break;
    }
}

void DumpReader::onTableLine(std::string_view line) {
    // Directory mode first: while it is on, every line is a directory line.
    if (directoryMode_) {
        if (line.empty() || statementList_ == nullptr) {
            directoryMode_ = false;
        } else {
            std::string_view dir;
            if (directoryShape_ == g::TableShape::Classic) {
                if (g::scanDirectoryEntry(line, dir)) statementList_->addDirectory(dir);
            } else if (g::scanNumberedDirectoryEntry(line, dir)) {
                statementList_->addDirectory(dir);
            }
        }
        return;
    }
    if (fileMode_) {
        if (line.empty() || statementList_ == nullptr) {
            fileMode_ = false;
        } else {
            std::string_view dirIndex, file;
            if (dwarf5Files_ ? g::scanDwarf5FileEntry(line, dirIndex, file) : g::scanFileEntry(line, dirIndex, file))
                statementList_->addFile(g::decimalValue(dirIndex), file);
        }
        return;
    }
}

void DumpReader::feed(std::string_view line) {
    // Most lines of a dump (disassembly, frames, decoded line numbers) are of
    // no interest; the shapes below all start with blanks.
    const bool indented = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    if (indented) {
        std::size_t first = 1;
        while (first < line.size() && (line[first] == ' ' || line[first] == '\t')) ++first;
        char lead = first < line.size() ? line[first] : '\0';
        if (lead == '<' && line[0] == ' ') {
            // "<1><4a>:" starts an entry, "<4b>   DW_AT_" an attribute: the
            // character after the first '>' tells which scanner can match.
            std::size_t close = first + 1;
            while (close < line.size() && line[close] != '>') ++close;
            const bool entry = close + 1 < line.size() && line[close + 1] == '<';
            g::DieHeader header;
            if (entry && g::scanDieHeader(line, header)) {
                onDieHeader(header);
                return;
            }
            if (!entry && current_ != nullptr) {
                g::AttributeLine attribute;
                if (g::scanAttribute(line, attribute)) {
                    onAttribute(attribute);
                    return;
                }
            }
        } else if (lead == 'O') {
            std::string_view digits;
            if (g::scanOffsetLine(line, digits)) {
                auto list = std::make_unique<StatementList>(g::hexValue(digits));
                statementList_ = list.get();
                auto [it, inserted] = model_.lineTables.emplace(list->offset, nullptr);
                if (inserted) {
                    it->second = std::move(list);
                } else {
                    // An offset seen before: the first table stays indexed; this
                    // one still collects the lines that follow.
                    model_.spareLineTables.push_back(std::move(list));
                }
                return;
            }
        } else if (lead == 'T') {
            g::TableShape shape;
            if (g::scanDirectoryHeader(line, shape)) {
                directoryMode_ = true;
                directoryShape_ = shape;
                if (shape == g::TableShape::Dwarf5 && statementList_ != nullptr) statementList_->zeroBased = true;
                return;
            }
        } else if (lead == 'E') {
            if (g::scanFileHeader(line)) {
                fileMode_ = true;
                dwarf5Files_ = false;
                return;
            }
            if (!directoryMode_ && g::scanDwarf5FileHeader(line)) {
                fileMode_ = true;
                dwarf5Files_ = true;
                return;
            }
            if (directoryMode_ && directoryShape_ == g::TableShape::Dwarf5 && g::scanDwarf5DirectoryTitle(line)) return;
        }
    }
    if (directoryMode_ || fileMode_) {
        onTableLine(line);
        return;
    }
    if (indented) {
        std::string_view digits;
        if (line[0] == ' ' && g::scanPointerSize(line, digits)) {
            pointerSize_ = g::decimalValue(digits);
            return;
        }
    }
    if (!model_.littleEndian) {
        std::string_view format;
        if (line.find("file format ") != std::string_view::npos && g::scanFileFormat(line, format) &&
            format.find("little") != std::string_view::npos)
            model_.littleEndian = true;
    }
}

namespace {

// Bit numbers count from the least significant bit of the storage unit's
// value on targets of either byte order. On a big-endian target a field of a
// packed structure can run on past the unit's least significant bit
// (bitOffset + bitSize beyond the unit), where no such number reaches it: it
// gets the unit of the same size that ends with the byte of its last bit,
// and a negative bit offset, so that it runs on past the unit's most
// significant bit instead, as such a field does on a little-endian target.
void endUnitWithLastBit(TypeInfo_Member& mb) {
    const std::int64_t unitBits = std::int64_t{sizeOf(mb.type)} * 8;
    const std::int64_t past = std::int64_t{mb.bitOffset} + mb.bitSize - unitBits;
    if (unitBits <= 0 || unitBits > 64 || mb.bitSize > unitBits || mb.bitOffset < 0 || past <= 0) return;
    const std::int64_t bytes = (past + 7) / 8;
    mb.dataMemberLocation = static_cast<std::int32_t>(static_cast<std::uint32_t>(mb.dataMemberLocation) +
                                                      static_cast<std::uint32_t>(bytes));
    mb.bitOffset = static_cast<std::int32_t>(mb.bitOffset - bytes * 8);
}

}  // namespace

void DumpReader::finishLinked(DwarfModel& m) {
    // Array bounds given as a count.
    for (TypeInfo_Subrange* s : m.subranges)
        if (s->hasCount)
            s->upperB = static_cast<std::int32_t>(static_cast<std::uint32_t>(s->lowerB) +
                                                  static_cast<std::uint32_t>(s->count) - 1u);

    // Bit fields given by DW_AT_data_bit_offset (DWARF 4/5): the offset of the
    // lowest bit from the start of the containing structure. Express them as
    // GCC's DWARF 2-4 output does: a storage unit of the member type's size,
    // its byte offset, and the offset of the field's most significant bit from
    // the most significant bit of the unit. The unit is the aligned one that
    // holds the whole field; a field of a packed structure that straddles an
    // aligned unit gets the unit that ends at the field's last bit, moved down
    // to a whole byte (so its bit offset may be negative).
    for (TypeInfo_Member* mb : m.members) {
        if (!mb->hasDataBitOffset || mb->bitSize <= 0) continue;
        std::int64_t unitBytes = sizeOf(mb->type);
        if (unitBytes <= 0 || unitBytes > 8) {
            // No usable type size: the smallest unit that holds the field.
            unitBytes = mb->bitSize <= 8 ? 1 : mb->bitSize <= 16 ? 2 : mb->bitSize <= 32 ? 4 : 8;
        }
        const std::int64_t unitBits = unitBytes * 8;
        const std::int64_t bit = static_cast<std::uint32_t>(mb->dataBitOffset);
        const std::int64_t deepest = bit + mb->bitSize;
        std::int64_t unitStart = (deepest + unitBits - 1) / unitBits * unitBits - unitBits;
        if (unitStart > bit) unitStart = (deepest - unitBits) / 8 * 8;
        const std::int64_t within = bit - unitStart;
        mb->byteSize = static_cast<std::int32_t>(unitBytes);
        mb->dataMemberLocation = static_cast<std::int32_t>(unitStart / 8);
        mb->bitOffset = m.littleEndian ? static_cast<std::int32_t>(unitBits - within - mb->bitSize)
                                       : static_cast<std::int32_t>(within);
    }
    if (!m.littleEndian)
        for (TypeInfo_Member* mb : m.members)
            if (mb->bitSize > 0) endUnitWithLastBit(*mb);
}

}  // namespace kestrel
