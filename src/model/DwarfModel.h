// Everything read from one objdump text dump: the tree of model objects under
// one root, an index by DIE offset, the line tables and one list per class.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/ArenaMemory.h"
#include "model/Model.h"
#include "model/TextPool.h"

namespace kestrel::model {

// DIE offset -> object. Offsets arrive almost always in ascending order, so a
// vector that is sorted once (stably, so the first object of an offset wins)
// serves as the ordered index.
class OffsetIndex {
public:
    void add(std::uint32_t offset, BasicObject* object);
    // The first object registered under `offset`, or null.
    BasicObject* find(std::uint32_t offset) const;
    std::size_t size() const;

private:
    void settle() const;
    mutable std::vector<std::pair<std::uint32_t, BasicObject*>> entries_;
    // buckets_[k]: index of the first entry whose offset >> shift_ >= k.
    mutable std::vector<std::uint32_t> buckets_;
    mutable unsigned shift_ = 0;
    mutable bool settled_ = true;
    mutable bool sorted_ = true;
};

// Deletes an object unless it lives in a DwarfModel's arena (then the arena
// releases it), so that a model can be given up at any point, exceptions
// included.
struct ObjectDeleter {
    bool inArena = false;
    void operator()(BasicObject* object) const {
        if (!inArena) delete object;
    }
};
using ObjectPtr = std::unique_ptr<BasicObject, ObjectDeleter>;

// The model holds what was read; reader/ModelLoader.h fills it from dump text.
class DwarfModel {
public:
    // An empty model: no root, no objects.
    DwarfModel() = default;

    DwarfModel(const DwarfModel&) = delete;
    DwarfModel& operator=(const DwarfModel&) = delete;

    // Where the reader places the objects it makes (and their children lists);
    // declared first so that it outlives everything that points into it.
    std::pmr::monotonic_buffer_resource arena{1u << 20, arenaBlocks()};

    // Gives the model a root in the arena (the objects made by make() go below it).
    BasicObject* makeRoot();
    // A new object of class `kind` under `parent`, placed in the arena and
    // added to the list of its class.
    BasicObject* make(Kind kind, std::uint32_t offset, std::string_view tag, BasicObject* parent);

    // Resolves typeOffset / specificationOffset into pointers by exact lookup
    // (an entry of .debug_types among those of .debug_types only), type
    // signatures into their type units' types and DW_OP_addrx indices into
    // addresses, and a declaration-only structure, class or union into the
    // definition of the same kind (structure and class alike) and the same
    // qualified name, namespaces and enclosing classes included.
    void link();
    // Completes what needs the whole dump, after link(): array bounds given
    // as a count, bit fields given by DW_AT_data_bit_offset.
    void normalise();

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
    std::vector<BasicObject*> locatedObjects;
    std::vector<BasicObject*> constantObjects;
    // The text of every DW_AT_location expression that is neither a single
    // address nor a location list, by the variable's DIE offset (in reading
    // order; the texts are in `texts`).
    std::vector<std::pair<std::uint32_t, std::string_view>> locationExpressions;
    // One list per entry class, in reading order.
#define KESTREL_ENTRY_KIND(K, Class, list) std::vector<Class*> list;
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

    // Storage of every text the objects point at.
    TextPool texts;

    // Lines read and bytes of dump text (for progress and benchmarks).
    std::uint64_t linesRead = 0;
    std::uint64_t bytesRead = 0;
};

}  // namespace kestrel::model
