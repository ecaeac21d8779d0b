// Everything read from one objdump text dump: the tree of model objects under
// one root, an index by DIE offset, the line tables and one list per class.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <iterator>
#include <memory_resource>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/ArenaMemory.h"
#include "model/Model.h"
#include "model/TextPool.h"

namespace kestrel::model {

// A sequence of T in fixed blocks: appending never moves what is stored, so
// a sequence of millions of elements grows without copying itself (and
// without holding the old and the new copy at once).
template <class T>
class BlockArray {
public:
    static constexpr std::size_t kBlock = 4096;

    void push_back(const T& value) {
        if (size_ % kBlock == 0) blocks_.emplace_back(new T[kBlock]);
        blocks_.back()[size_ % kBlock] = value;
        ++size_;
    }
    T& operator[](std::size_t i) { return blocks_[i / kBlock][i % kBlock]; }
    const T& operator[](std::size_t i) const { return blocks_[i / kBlock][i % kBlock]; }
    const T& back() const { return (*this)[size_ - 1]; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Keeps the first n elements.
    void truncate(std::size_t n) {
        if (n >= size_) return;
        size_ = n;
        blocks_.resize((n + kBlock - 1) / kBlock);
    }

private:
    std::vector<std::unique_ptr<T[]>> blocks_;
    std::size_t size_ = 0;
};

// DIE offset -> object. Offsets arrive almost always in ascending order, so
// arrays that are sorted once (stably, so the first object of an offset
// wins) serve as the ordered index: 12 bytes per entry.
class OffsetIndex {
public:
    void add(std::uint32_t offset, BasicObject* object);
    // Puts the entries of `later` after this index's, in their order, by
    // keeping `later` as a continuation that is searched after this index.
    void append(OffsetIndex&& later);
    // The first object registered under `offset`, or null.
    BasicObject* find(std::uint32_t offset) const;
    // The number of distinct offsets.
    std::size_t size() const;
    // Sorts what is still unsorted, so that find() changes nothing any more
    // and may be called from several threads at once.
    void prepare() const;

private:
    void settle() const;
    BasicObject* findHere(std::uint32_t offset) const;
    // Where `offset` is among this part's sorted offsets (0 included), or kNone.
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::size_t positionOf(std::uint32_t offset) const;
    std::unique_ptr<OffsetIndex> later_;
    mutable BlockArray<std::uint32_t> offsets_;
    mutable BlockArray<BasicObject*> objects_;
    // buckets_[k]: index of the first entry whose offset >> shift_ >= k.
    mutable std::vector<std::uint32_t> buckets_;
    mutable unsigned shift_ = 0;
    mutable std::uint32_t lowest_ = 0;  // the first offset, once settled
    mutable bool settled_ = true;
    mutable bool sorted_ = true;
};

// Deletes an object unless it lives in a DwarfModel's arena (then the arena
// releases it), so that a model can be given up at any point, exceptions
// included.
struct ObjectDeleter {
    bool inArena = false;
    void operator()(BasicObject* object) const {
        if (!inArena) destroyObject(object);
    }
};
using ObjectPtr = std::unique_ptr<BasicObject, ObjectDeleter>;

// The objects below a root in reading order (the root itself not), which is
// the order of a depth-first walk: each object before its children, children
// in the order they were added. The walk keeps one position per level, never
// recursion.
class TreeWalk {
public:
    TreeWalk() = default;
    explicit TreeWalk(const BasicObject* root) {
        if (root != nullptr && !root->children.empty()) {
            levels_.push_back(root->children.begin());
            at_ = root->children.front();
        }
    }
    BasicObject* operator*() const { return at_; }
    TreeWalk& operator++() {
        if (!at_->children.empty()) {
            levels_.push_back(at_->children.begin());
            at_ = *levels_.back();
            return *this;
        }
        while (!levels_.empty()) {
            if (++levels_.back() != ChildList::iterator{}) {
                at_ = *levels_.back();
                return *this;
            }
            levels_.pop_back();
        }
        at_ = nullptr;
        return *this;
    }
    bool done() const { return at_ == nullptr; }

private:
    std::vector<ChildList::iterator> levels_;
    BasicObject* at_ = nullptr;
};

// The objects of one class below a model's root, in reading order: a view
// that walks the tree, so that a model keeps no list of its own per class.
// size() and at() walk too; they are for reports and tests.
template <class T>
class ClassList {
public:
    explicit ClassList(const ObjectPtr& root) : root_(&root) {}
    ClassList(const ClassList&) = delete;
    ClassList& operator=(const ClassList&) = delete;

    class iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = T*;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = T*;
        iterator() = default;
        explicit iterator(const BasicObject* root) : walk_(root) { skip(); }
        T* operator*() const { return static_cast<T*>(*walk_); }
        iterator& operator++() {
            ++walk_;
            skip();
            return *this;
        }
        iterator operator++(int) {
            iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const iterator& other) const { return *walk_ == *other.walk_; }

    private:
        void skip() {
            while (!walk_.done() && (*walk_)->kind() != T::staticKind) ++walk_;
        }
        TreeWalk walk_;
    };

    iterator begin() const { return iterator(root_->get()); }
    iterator end() const { return iterator(); }
    bool empty() const { return begin() == end(); }
    std::size_t size() const {
        std::size_t n = 0;
        for (auto it = begin(); it != end(); ++it) ++n;
        return n;
    }
    T* operator[](std::size_t i) const {
        auto it = begin();
        for (; i > 0 && it != end(); --i) ++it;
        return *it;
    }
    T* at(std::size_t i) const {
        auto it = begin();
        for (; i > 0 && it != end(); --i) ++it;
        if (it == end()) throw std::out_of_range("ClassList::at");
        return *it;
    }

private:
    const ObjectPtr* root_;
};

// The model holds what was read; reader/ModelLoader.h fills it from dump text.
class DwarfModel {
public:
    // An empty model: no root, no objects.
    DwarfModel() : DwarfModel(std::make_shared<ModelArena>(arenaBlocks()), std::make_shared<TextPool>()) {}
    // An empty model whose objects go into `sharedArena` and whose texts go
    // into `sharedTexts`, which other models may fill too (the parts that one
    // thread reads one after the other): their objects and texts then lie
    // together, without a partly used block each.
    DwarfModel(std::shared_ptr<ModelArena> sharedArena, std::shared_ptr<TextPool> sharedTexts)
        : arenaOwner_(std::move(sharedArena)),
          arena(*arenaOwner_),
          textsOwner_(std::move(sharedTexts)),
          texts(*textsOwner_) {}

    DwarfModel(const DwarfModel&) = delete;
    DwarfModel& operator=(const DwarfModel&) = delete;

private:
    // Declared first, so that the arena outlives everything that points into it.
    std::shared_ptr<ModelArena> arenaOwner_;

public:
    // Where the reader places the objects it makes (and their children lists).
    ModelArena& arena;

    // Gives the model a root in the arena (the objects made by make() go below it).
    BasicObject* makeRoot();
    // A new object of class `kind` under `parent`, placed in the arena and
    // added to the list of its class.
    BasicObject* make(Kind kind, std::uint32_t offset, std::string_view tag, BasicObject* parent);
    BasicObject* make(Kind kind, std::uint32_t offset, TagId tag, BasicObject* parent);

    // Resolves the type and specification links into pointers by exact lookup
    // (an entry of .debug_types among those of .debug_types only), type
    // signatures into their type units' types and DW_OP_addrx indices into
    // addresses, and a declaration-only structure, class or union into the
    // definition of the same kind (structure and class alike) and the same
    // qualified name, namespaces and enclosing classes included. A model of
    // a large dump is linked on two threads.
    void link();
    // Completes what needs the whole dump, after link(): array bounds given
    // as a count, bit fields given by DW_AT_data_bit_offset.
    void normalise();

    // A dump can be read in two parts at once: this model from its start,
    // `later` from a unit header on. Whether `later` can be appended as the
    // reading of the text that follows: no .debug_addr table of `later`
    // names a unit that one of this model's names (the rows of one unit
    // would have continued each other's).
    bool canAppend(const DwarfModel& later) const;
    // Appends what `later` read (see canAppend), before link(), so that the
    // model is the one a reading of the whole text gives: `later`'s units
    // follow this model's, its index entries and lists follow this model's
    // (the first entry of an offset still wins), its line tables join
    // (a table whose offset this model has is a spare). `later` stays alive
    // inside this model: its objects and texts live in its arena and pool.
    void append(std::unique_ptr<DwarfModel> later);
    // The bytes the text pools of this model and its appended parts reserve
    // (a pool that parts share counted once).
    std::size_t textBytesReserved() const;

    ObjectPtr root;
    OffsetIndex objectsByOffset;
    // The entries of the .debug_types section (DWARF 4 type units), apart
    // from those of .debug_info: the offsets of both start at 0.
    OffsetIndex typeSectionObjects;

    // Type units: where the type of a signature lies, and the entries that
    // name their type by signature (DW_FORM_ref_sig8). Linked by link().
    struct TypeUnit {
        std::uint64_t signature = 0;
        std::uint32_t typeOffset = 0;  // of the type entry, from the start of the section
        bool inTypeSection = false;
    };
    std::vector<TypeUnit> typeUnits;
    struct SignatureReference {
        BasicObject* object = nullptr;
        std::uint64_t signature = 0;
        // DW_AT_signature: the object (a structure, class, union or
        // enumeration) stands for that type, as a declaration for its definition.
        bool standsFor = false;
    };
    std::vector<SignatureReference> signatureReferences;

    // Variables located by DW_OP_addrx: an index into the .debug_addr rows of
    // their unit (by the offset of the unit's header). link() gives them
    // their addresses; one whose row is missing is no longer located.
    std::map<std::uint32_t, std::vector<std::uint32_t>> addressTables;
    struct IndexedAddress {
        BasicObject* object = nullptr;
        std::uint32_t unitOffset = 0;
        std::uint32_t index = 0;
        std::uint32_t addend = 0;
    };
    std::vector<IndexedAddress> indexedAddresses;

    // Declaration-only structures, classes and unions whose qualified name
    // has definitions of different sizes (an ODR violation): left
    // unresolved, one entry per name (its first declaration).
    struct UnresolvedDeclaration {
        const BasicObject* declaration = nullptr;
        std::string name;
    };
    std::vector<UnresolvedDeclaration> unresolvedDeclarations;
    std::map<std::uint32_t, std::unique_ptr<StatementList>> lineTables;
    // Tables whose offset was already taken: not indexed, but owned here.
    std::vector<std::unique_ptr<StatementList>> spareLineTables;
    // DW_AT_linkage_name of the objects that have one, in reading order: few
    // objects have one, so it is kept here rather than in every object.
    std::vector<std::pair<const BasicObject*, std::string_view>> linkageNames;
    // DW_AT_const_value of variables and members as the dump wrote it, in
    // reading order (enumerators keep theirs as a number).
    std::vector<std::pair<const BasicObject*, std::string_view>> constValues;
    // DW_AT_accessibility of the objects that have one, in reading order.
    std::vector<std::pair<const BasicObject*, std::int32_t>> accessibilities;
    // DW_AT_data_bit_offset of bit-field members, in reading order (few
    // members have one).
    std::vector<std::pair<TypeInfo_Member*, std::int32_t>> dataBitOffsets;
    // Subranges given DW_AT_count and members given DW_AT_bit_size (a member
    // once per such attribute), in reading order: what normalise() looks at.
    std::vector<TypeInfo_Subrange*> countedSubranges;
    std::vector<TypeInfo_Member*> bitSizedMembers;
    // The declaration lines whose text is not a plain decimal number.
    std::vector<std::string_view> declLineTexts;

    // Sets the declaration line of `object` from its text in the dump.
    void setDeclLine(BasicObject& object, std::string_view text);
    // Appends the declaration line of `object` as the dump wrote it.
    void appendDeclLine(std::string& out, const BasicObject& object) const;
    std::vector<BasicObject*> locatedObjects;
    // The variables that are no parameters, in reading order, as the reader
    // makes them: the omissions account looks through these only.
    std::vector<VariableInfo*> plainVariables;
    std::vector<BasicObject*> constantObjects;
    // The text of every DW_AT_location expression that is neither a single
    // address nor a location list, by the variable's DIE offset (in reading
    // order; the texts are in `texts`).
    std::vector<std::pair<std::uint32_t, std::string_view>> locationExpressions;
    // The objects of each entry class, in reading order.
#define KESTREL_ENTRY_KIND(K, Class, list) ClassList<Class> list{root};
#include "model/EntryKinds.def"

    // Set when the dump's file-format line names a little-endian format; the
    // output pass numbers bit-field bits by it.
    bool littleEndian = false;

    // Set by the loader when the text ended inside a compilation unit's
    // listing (no section heading after the last unit header) or without a
    // line end: a cut dump (objdump ends every line and every listing).
    bool dumpCut = false;
    // Set by the loader when a line longer than reader::kMaxLine arrived:
    // the text is no objdump dump, and reading stopped there.
    bool notADump = false;

private:
    std::shared_ptr<TextPool> textsOwner_;

public:
    // Storage of every text the objects point at.
    TextPool& texts;

    // Lines read and bytes of dump text (for progress and benchmarks).
    std::uint64_t linesRead = 0;
    std::uint64_t bytesRead = 0;

private:
    // Models appended by append(): their arenas and pools hold objects and
    // texts of this model.
    std::vector<std::unique_ptr<DwarfModel>> appendedParts_;
    // The tag ids of the texts make() was given last, by their address.
    struct RecentTag {
        const char* text = nullptr;
        std::size_t size = 0;
        std::uint16_t id = TagTable::kEmpty;
    };
    std::array<RecentTag, 16> recentTags_{};
};

}  // namespace kestrel::model
