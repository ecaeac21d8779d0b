// The object model of one dump's debugging information: one object per
// debugging-information entry (DIE), in the same parent/child tree as the
// entries, plus one StatementList per line-number program.
//
// Text fields are views. Inside a DwarfModel they point into the model's
// TextPool, so they live exactly as long as the model; objects built by hand
// (tests) may point at string literals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

#include "model/TagTable.h"

namespace kestrel::model {

// The class of an object, so that the naming and expansion rules can switch on
// it instead of probing with dynamic_cast. Every entry class derives directly
// from BasicObject.
enum class Kind : std::uint8_t {
    Basic,  // the root, or an entry whose tag has no class of its own
#define KESTREL_ENTRY_KIND(K, Class, list) K,
#include "model/EntryKinds.def"
};

// How deep any walk over the object graph goes (type links, children, scope
// parents). Valid debugging information nests a few levels deep; malformed
// input can nest without end or in cycles.
inline constexpr int kMaxDepth = 256;

// Marks the constructor of a root whose subtree lives in a memory arena.
struct ArenaRoot {
    std::pmr::memory_resource* arena;
};

class BasicObject;

// How an object's declLine is held.
enum class DeclLineForm : std::uint8_t {
    None,    // no line: written as nothing
    Number,  // declLine is the line
    Text,    // declLine indexes the text as the dump wrote it
};

// The children of an object, in the order they were added. The list is
// threaded through the children themselves (each child's nextSibling), and
// the owner keeps only the last child, whose nextSibling is the first one: a
// child costs no memory beyond the object, and appending takes constant time.
class ChildList {
public:
    class iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = BasicObject*;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = BasicObject*;
        iterator() = default;
        iterator(BasicObject* at, const BasicObject* last) : at_(at), last_(last) {}
        BasicObject* operator*() const { return at_; }
        iterator& operator++();
        iterator operator++(int) {
            iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const iterator& other) const { return at_ == other.at_; }

    private:
        BasicObject* at_ = nullptr;
        const BasicObject* last_ = nullptr;
    };

    bool empty() const { return last_ == nullptr; }
    std::size_t size() const;
    BasicObject* front() const;
    iterator begin() const;
    iterator end() const { return {}; }
    // Appends `child`, which must not be in any list yet.
    void append(BasicObject* child);
    // Moves the children of `other` to the end of this list, in their order,
    // and makes `parent` their parent; `other` is left empty.
    void takeAll(ChildList& other, BasicObject* parent);
    // Forgets every child (the objects themselves are left alone).
    void clear() { last_ = nullptr; }

private:
    BasicObject* last_ = nullptr;
};

// A reference from one entry to another by DIE offset (DW_AT_type,
// DW_AT_specification and the like): the offset the dump gave until
// DwarfModel::link() finds the entry at that offset, then the entry itself.
// Both share one word (an offset is stored shifted, with the low bit set;
// objects are aligned to 8), so that a link costs 8 bytes instead of 12.
// It reads like the pointer it ends as: null while unresolved.
class EntryLink {
public:
    EntryLink() = default;
    EntryLink(const EntryLink&) = default;
    EntryLink& operator=(const EntryLink&) = default;
    EntryLink& operator=(BasicObject* object) {
        bits_ = reinterpret_cast<std::uintptr_t>(object);
        return *this;
    }
    BasicObject* get() const { return (bits_ & 1u) != 0 ? nullptr : reinterpret_cast<BasicObject*>(bits_); }
    operator BasicObject*() const { return get(); }
    BasicObject* operator->() const { return get(); }

    // The offset as read (0 for none); once linked, that of the entry linked to.
    std::uint32_t offset() const;
    void setOffset(std::uint32_t offset) { bits_ = offset == 0 ? 0 : (std::uint64_t{offset} << 1) | 1u; }
    // An offset that no link has resolved yet.
    bool pending() const { return (bits_ & 1u) != 0; }

private:
    std::uint64_t bits_ = 0;
};

// A tag text already in the TagTable, by its id.
struct TagId {
    std::uint16_t id = TagTable::kEmpty;
};

// The tag of an object is an id of the process-wide TagTable (see there);
// a constructor given the text adds it to the table.
class BasicObject {
public:
    BasicObject(std::uint32_t offset, std::string_view tag, BasicObject* parent)
        : BasicObject(Kind::Basic, offset, TagId{TagTable::intern(tag)}, parent) {}
    BasicObject(std::uint32_t offset, TagId tag, BasicObject* parent) : BasicObject(Kind::Basic, offset, tag, parent) {}
    // A root whose children lists are allocated from `root.arena`; the objects
    // below it are placed in the same arena by the reader.
    BasicObject(std::uint32_t offset, std::string_view tag, ArenaRoot root);
    // Destroys the children (objects built by hand; see destroyObject).
    ~BasicObject();

    BasicObject(const BasicObject&) = delete;
    BasicObject& operator=(const BasicObject&) = delete;

    // Takes ownership of the child and appends it to children; a child of a
    // scope (structure, class, union, enumeration, function, subroutine) is
    // marked nested.
    void addChild(BasicObject* child);
    // Size in bytes (or element count for a subrange); unsigned 32-bit, wraps.
    // The rule is the class's own (ownSize), or for a class without one the
    // sum of the children's sizes.
    std::uint32_t getSize() const;
    // The sum of the children's sizes.
    std::uint32_t childrenSize() const;

    // The object's own name. Its text must outlive the object (inside a
    // DwarfModel it is in the model's TextPool); it is shorter than 4 GiB,
    // as every line of a dump is.
    std::string_view getName() const { return {name_, nameSize_}; }
    void setName(std::string_view name) {
        name_ = name.data();
        nameSize_ = static_cast<std::uint32_t>(name.size());
    }
    // The entry's tag as the dump names it ("DW_TAG_variable").
    std::string_view tag() const { return TagTable::text(tagId_); }
    // Whether the entry is a type unit or a partial unit (an entry that
    // stands for a unit but is no DW_TAG_compile_unit).
    bool isUnitEntry() const { return tagId_ == TagTable::kTypeUnit || tagId_ == TagTable::kPartialUnit; }

    Kind kind() const { return kind_; }

    // The name of the compile unit the object belongs to: the name of the
    // nearest compile unit among the object and its parents.
    std::string_view compileUnitName() const;
    // The DW_AT_stmt_list offset of that compile unit, 0 without one.
    std::uint32_t stmtListOffset() const;

    void setDeclLine(std::uint32_t line) {
        declLine = line;
        declLineForm = DeclLineForm::Number;
    }

    // The fields are ordered by size, so that a model of millions of
    // objects carries no padding between them; the classes below continue
    // in the last 4 bytes before the next multiple of 8.
    BasicObject* parent = nullptr;

private:
    const char* name_ = nullptr;

public:
    // Owned: destroying an object destroys its children. Objects that a
    // DwarfModel builds live in the model's arena and end with it.
    ChildList children;
    // The next child of the same parent (see ChildList).
    BasicObject* nextSibling = nullptr;

private:
    std::uint32_t nameSize_ = 0;

public:
    std::uint32_t offset = 0;
    // DW_AT_decl_file and DW_AT_decl_line (DW_AT_call_file and call_line of
    // an inlined subroutine). An object starts with its parent's, so that an
    // entry without its own names the declaration it is nested in. The line
    // is a number, or for a text that is no plain decimal number an index
    // into DwarfModel::declLineTexts; see declLineForm.
    std::int32_t declFile = 0;
    std::uint32_t declLine = 0;

private:
    std::uint16_t tagId_ = TagTable::kEmpty;
    Kind kind_ : 5;

public:
    DeclLineForm declLineForm : 2 = DeclLineForm::None;
    bool nested : 1 = false;
    // An entry of the DWARF 4 .debug_types section, whose offsets repeat
    // those of .debug_info: its references are looked up among its own kind.
    bool inTypeSection : 1 = false;
    // The entry carries DW_AT_specification.
    bool hasSpecification : 1 = false;

protected:
    BasicObject(Kind kind, std::uint32_t offset, TagId tag, BasicObject* parent);

    // Flags of the entry's class, kept here in the bits the base leaves
    // free; each class names its own (KESTREL_FLAG).
    bool flag(unsigned bit) const { return ((flags_ >> bit) & 1u) != 0; }
    void setFlag(unsigned bit, bool on) {
        flags_ = static_cast<std::uint8_t>(on ? flags_ | (1u << bit) : flags_ & ~(1u << bit)) & 0x3Fu;
    }
    unsigned flagBits(unsigned bit, unsigned mask) const { return (flags_ >> bit) & mask; }
    void setFlagBits(unsigned bit, unsigned mask, unsigned value) {
        flags_ = static_cast<std::uint8_t>((flags_ & ~(mask << bit)) | ((value & mask) << bit)) & 0x3Fu;
    }

private:
    std::uint8_t flags_ : 6 = 0;
};

// A flag of an entry class: `name()` reads it, `setter(bool)` sets it.
#define KESTREL_FLAG(name, setter, bit)              \
    bool name() const { return flag(bit); }         \
    void setter(bool on) { setFlag(bit, on); }
// The bit of `declaration` in every class that has one.
inline constexpr unsigned kDeclarationBit = 1;

inline std::uint32_t EntryLink::offset() const {
    if (pending()) return static_cast<std::uint32_t>(bits_ >> 1);
    return bits_ != 0 ? get()->offset : 0;
}

inline BasicObject* ChildList::front() const { return last_ != nullptr ? last_->nextSibling : nullptr; }
inline ChildList::iterator ChildList::begin() const { return {front(), last_}; }
inline ChildList::iterator& ChildList::iterator::operator++() {
    at_ = at_ == last_ ? nullptr : at_->nextSibling;
    return *this;
}

// Size of the object that `type` names, 0 when it is not linked.
std::uint32_t sizeOf(const BasicObject* type);

#define KESTREL_ENTRY_CLASS(Name, K)                                      \
    static constexpr Kind staticKind = K;                                 \
    Name(std::uint32_t offset, std::string_view tag, BasicObject* parent) \
        : BasicObject(K, offset, TagId{TagTable::intern(tag)}, parent) {} \
    Name(std::uint32_t offset, TagId tag, BasicObject* parent) : BasicObject(K, offset, tag, parent) {}

// An entry that names another type and has that type's size: a typedef, an
// imported declaration or a qualifier. TypeInfo_Volatile is also made for
// DW_TAG_atomic_type, DW_TAG_restrict_type and DW_TAG_immutable_type:
// qualifiers that are looked through like volatile.
//
// The classes below keep a 4-byte field first, where it fills the last 4
// bytes of BasicObject; their sizes are checked after the last class.
template <Kind K>
class TypeReference : public BasicObject {
public:
    KESTREL_ENTRY_CLASS(TypeReference, K)
    std::uint32_t ownSize() const { return sizeOf(type); }
    EntryLink type;
};
using TypeInfo_Const = TypeReference<Kind::Const>;
using TypeInfo_ImportedDeclaration = TypeReference<Kind::ImportedDeclaration>;
using TypeInfo_Typedef = TypeReference<Kind::Typedef>;
using TypeInfo_Volatile = TypeReference<Kind::Volatile>;

// The size of an aggregate that may be a declaration resolved to its
// definition elsewhere (see `definition` below).
#define KESTREL_AGGREGATE_SIZE                                                                 \
    std::uint32_t ownSize() const {                                                   \
        return definition != nullptr ? definition->getSize() : static_cast<std::uint32_t>(byteSize); \
    }

// A scope with a byte size of its own: a union or an enumeration.
template <Kind K>
class SizedScope : public BasicObject {
public:
    KESTREL_ENTRY_CLASS(SizedScope, K)
    KESTREL_AGGREGATE_SIZE
    KESTREL_FLAG(declaration, setDeclaration, kDeclarationBit)
    std::int32_t byteSize = 0;
    // A union given only by DW_AT_declaration, or a stand-in for a type
    // unit's type (DW_AT_signature): its definition, set by the link.
    BasicObject* definition = nullptr;
};
using TypeInfo_Enumeration = SizedScope<Kind::Enumeration>;
using TypeInfo_Union = SizedScope<Kind::Union>;

class TypeInfo_Array : public BasicObject {
public:
    KESTREL_ENTRY_CLASS(TypeInfo_Array, Kind::Array)
    std::uint32_t ownSize() const;
    std::int32_t byteSize = 0;
    EntryLink type;
};

class TypeInfo_Base : public BasicObject {
public:
    KESTREL_ENTRY_CLASS(TypeInfo_Base, Kind::Base)
    std::uint32_t ownSize() const { return static_cast<std::uint32_t>(byteSize); }
    std::int32_t byteSize = 0;
    std::string_view encodingName;
    std::int32_t encoding = 0;
};

class TypeInfo_Class : public BasicObject {
public:
    KESTREL_ENTRY_CLASS(TypeInfo_Class, Kind::Class)
    KESTREL_AGGREGATE_SIZE
    KESTREL_FLAG(declaration, setDeclaration, kDeclarationBit)
    std::int32_t byteSize = 0;
    EntryLink specification;
    // A class given only by DW_AT_declaration (no size, no members): the
    // definition of the same name elsewhere in the dump, set by the link.
    BasicObject* definition = nullptr;
};

class TypeInfo_Enumerator : public BasicObject {
public:
    KESTREL_ENTRY_CLASS(TypeInfo_Enumerator, Kind::Enumerator)
    std::uint32_t ownSize() const { return 0; }
    std::int32_t constValue = 0;
};

class TypeInfo_Inheritance : public BasicObject {
public:
    KESTREL_ENTRY_CLASS(TypeInfo_Inheritance, Kind::Inheritance)
    std::uint32_t ownSize() const { return sizeOf(type); }
    std::int32_t dataMemberLocation = 0;
    EntryLink type;
};

// What makes a member a bit field: DW_AT_bit_size, DW_AT_bit_offset and the
// DW_AT_byte_size of its storage unit (as GCC's DWARF 2-4 output gives them;
// normalise() turns a DW_AT_data_bit_offset into these).
struct BitField {
    std::int32_t bitSize = 0;
    std::int32_t bitOffset = 0;
    std::int32_t byteSize = 0;
};

class TypeInfo_Member : public BasicObject {
public:
    KESTREL_ENTRY_CLASS(TypeInfo_Member, Kind::Member)
    ~TypeInfo_Member();
    std::uint32_t ownSize() const;

    // Few members are bit fields: a member keeps the three values apart, and
    // one without any reads 0 for each.
    std::int32_t bitSize() const { return bits_ != nullptr ? bits_->bitSize : 0; }
    std::int32_t bitOffset() const { return bits_ != nullptr ? bits_->bitOffset : 0; }
    std::int32_t byteSize() const { return bits_ != nullptr ? bits_->byteSize : 0; }
    // The values to set, made (all 0) on first use: in `arena` (a
    // DwarfModel's) for a member of that model, else owned by the member.
    BitField& bitField(std::pmr::memory_resource* arena = nullptr);

    // Whether the member is only a declaration (a static data member up to
    // DWARF 4); extensions for current debugging information (not in the
    // classic listing).
    KESTREL_FLAG(declaration, setDeclaration, kDeclarationBit)
    KESTREL_FLAG(hasDataMemberLocation, setHasDataMemberLocation, 2)

    std::int32_t dataMemberLocation = 0;
    EntryLink type;

private:
    KESTREL_FLAG(ownsBitField, setOwnsBitField, 3)
    BitField* bits_ = nullptr;
};

class TypeInfo_Namespace : public BasicObject {
public:
    KESTREL_ENTRY_CLASS(TypeInfo_Namespace, Kind::Namespace)
};

class TypeInfo_Pointer : public BasicObject {
public:
    KESTREL_ENTRY_CLASS(TypeInfo_Pointer, Kind::Pointer)
    std::uint32_t ownSize() const { return static_cast<std::uint32_t>(byteSize); }
    std::int32_t byteSize = 0;
    EntryLink type;
};

class TypeInfo_Structure : public BasicObject {
public:
    KESTREL_ENTRY_CLASS(TypeInfo_Structure, Kind::Structure)
    KESTREL_AGGREGATE_SIZE
    KESTREL_FLAG(declaration, setDeclaration, kDeclarationBit)
    std::int32_t byteSize = 0;
    EntryLink specification;
    // As for classes: the definition of a declaration, set by the link.
    BasicObject* definition = nullptr;
};

class TypeInfo_Subrange : public BasicObject {
public:
    KESTREL_ENTRY_CLASS(TypeInfo_Subrange, Kind::Subrange)
    std::uint32_t ownSize() const {
        return static_cast<std::uint32_t>(upperB) - static_cast<std::uint32_t>(lowerB) + 1u;
    }
    // DW_AT_count (clang and others): turned into upperB once the dump is read.
    KESTREL_FLAG(hasCount, setHasCount, 0)
    std::int32_t upperB = 0;
    EntryLink type;
    std::int32_t lowerB = 0;
    std::int32_t count = 0;
};

class TypeInfo_Subroutine : public BasicObject {
public:
    KESTREL_ENTRY_CLASS(TypeInfo_Subroutine, Kind::Subroutine)
    std::uint32_t ownSize() const { return sizeOf(type); }
    EntryLink type;
};

class CompileUnitInfo : public BasicObject {
public:
    static constexpr Kind staticKind = Kind::CompileUnit;
    CompileUnitInfo(std::uint32_t offset, std::string_view tag, BasicObject* parent)
        : CompileUnitInfo(offset, TagId{TagTable::intern(tag)}, parent) {}
    CompileUnitInfo(std::uint32_t offset, TagId tag, BasicObject* parent)
        : BasicObject(Kind::CompileUnit, offset, tag, parent),
          stmtList(parent != nullptr ? parent->stmtListOffset() : 0) {}
    std::uint32_t ownSize() const { return 0; }
    // DW_AT_stmt_list; a unit without one has that of the unit it is nested in.
    std::uint32_t stmtList = 0;
    std::string_view language;
    std::string_view producer;
    std::string_view compDir;
    std::uint32_t addressHigh = 0;
    std::uint32_t addressLow = 0;
};

class FunctionInfo : public BasicObject {
public:
    KESTREL_ENTRY_CLASS(FunctionInfo, Kind::Function)
    std::uint32_t ownSize() const { return 0; }
    KESTREL_FLAG(external, setExternal, 0)
    KESTREL_FLAG(declaration, setDeclaration, kDeclarationBit)
    KESTREL_FLAG(virtuality, setVirtuality, 2)
    KESTREL_FLAG(isInline, setInline, 3)
    std::uint32_t addressHigh = 0;
    EntryLink type;
    // DW_AT_specification or DW_AT_abstract_origin.
    EntryLink specification;
    std::uint32_t addressLow = 0;
};

// What a variable's DW_AT_location held, for the account of variables that
// are not listed.
enum class LocationForm : std::uint8_t {
    None,        // no DW_AT_location
    Address,     // DW_OP_addr (plus a constant): the variable is located
    List,        // a location list
    Expression,  // any other expression; its text is in DwarfModel::locationExpressions
};

// Why the per-variable loop did not list a located variable (or listed it).
enum class VariableOutcome : std::uint8_t {
    Listed,       // expanded into at least one written signal
    ConstantOnly, // expanded, but every signal is constant (not written)
    NoSignals,    // expanded into nothing (a type of no scalar part)
    NoType,       // no expansion type (its type link is not resolved)
    TooLarge,     // a type larger than the address space
    Stopped,      // the run's bounds were spent before or during its expansion
    Nameless,     // no name of its own nor of its declaration
};

class VariableInfo : public BasicObject {
public:
    KESTREL_ENTRY_CLASS(VariableInfo, Kind::Variable)
    std::uint32_t ownSize() const { return sizeOf(type); }
    KESTREL_FLAG(external, setExternal, 0)
    KESTREL_FLAG(declaration, setDeclaration, kDeclarationBit)
    KESTREL_FLAG(isStatic, setStatic, 2)
    KESTREL_FLAG(isParameter, setParameter, 3)
    LocationForm locationForm() const { return static_cast<LocationForm>(flagBits(4, 3u)); }
    void setLocationForm(LocationForm form) { setFlagBits(4, 3u, static_cast<unsigned>(form)); }
    std::uint32_t address = 0;
    EntryLink type;
    // DW_AT_specification or DW_AT_abstract_origin.
    EntryLink specification;
};

// The sizes the layout above is made for (64-bit targets): what the model of
// a large dump takes per entry rests on them.
#if UINTPTR_MAX > 0xFFFFFFFFu
static_assert(sizeof(BasicObject) == 56 && sizeof(TypeInfo_Member) == 72 && sizeof(VariableInfo) == 72 &&
              sizeof(FunctionInfo) == 80 && sizeof(TypeInfo_Typedef) == 64 && sizeof(TypeInfo_Pointer) == 64 &&
              sizeof(TypeInfo_Structure) == 72 && sizeof(TypeInfo_Subroutine) == 64);
#endif

#undef KESTREL_ENTRY_CLASS
#undef KESTREL_AGGREGATE_SIZE
#undef KESTREL_FLAG

// Checked downcast by kind: null when the object is of another class.
template <class T>
T* as(BasicObject* o) {
    return (o != nullptr && o->kind() == T::staticKind) ? static_cast<T*>(o) : nullptr;
}
template <class T>
const T* as(const BasicObject* o) {
    return (o != nullptr && o->kind() == T::staticKind) ? static_cast<const T*>(o) : nullptr;
}

// Deletes an object built with `new` (of any class) and its subtree.
void destroyObject(BasicObject* object);

// The `type` link of the classes that have one; null for the others.
BasicObject* typeOf(const BasicObject* o);

// The definition that a declaration-only structure, class or union was
// resolved to (or that a type-unit stand-in, an enumeration too, names by
// DW_AT_signature); null for every other object.
const BasicObject* definitionOf(const BasicObject* o);

// The directory and file tables of one line-number program.
class StatementList {
public:
    explicit StatementList(std::uint32_t offset) : offset(offset) {}
    virtual ~StatementList() = default;

    void addDirectory(std::string_view directory);
    // Appends directory text + "/" + name. Index 0 means "no directory" (the
    // entry starts with the separator); an index beyond the directories read
    // so far is treated like 0.
    void addFile(std::int32_t directoryIndex, std::string_view fileName);

    // The file that a DW_AT_decl_file number names, or null. Up to DWARF 4
    // file N is entry N - 1; in DWARF 5 tables file N is entry N.
    const std::string* fileFor(std::int32_t declFile) const;

    std::uint32_t offset = 0;
    std::vector<std::string> directories;
    std::vector<std::string> files;
    bool zeroBased = false;  // a DWARF 5 table: entries numbered from 0
};

}  // namespace kestrel::model
