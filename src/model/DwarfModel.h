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

#include "model/Model.h"
#include "model/TextPool.h"

namespace Model {

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

class DwarfModel {
public:
    // An empty model: no root, no objects.
    DwarfModel();
    // Reads the dump file, parses it and links the references. When the file
    // cannot be read the model stays empty and opened() is false.
    explicit DwarfModel(const std::string& dumpFileName);
    ~DwarfModel();

    DwarfModel(const DwarfModel&) = delete;
    DwarfModel& operator=(const DwarfModel&) = delete;

    // Parses dump text held in memory and links it (tests, fuzzing).
    static std::unique_ptr<DwarfModel> fromText(std::string_view dumpText);

    // Builds a model from dump text that arrives in blocks of any size (from
    // a pipe while objdump still runs): push every block in order, then call
    // finish() once to read the last line and link the references.
    class Builder {
    public:
        explicit Builder(DwarfModel& model);
        ~Builder();
        void push(std::string_view bytes);
        void finish();

    private:
        struct State;
        std::unique_ptr<State> state_;
        DwarfModel& model_;
    };

    bool opened() const { return opened_; }
    const std::string& openError() const { return openError_; }

    // Resolves typeOffset / specificationOffset into pointers by exact lookup.
    void link();

    // Where the reader places the objects it makes (and their children lists);
    // declared first so that it outlives everything that points into it.
    std::pmr::monotonic_buffer_resource arena{1u << 20};
    // True when root and its subtree live in `arena`: they then end with it,
    // without running one destructor per object.
    bool rootInArena = false;

    std::unique_ptr<BasicObject> root;
    OffsetIndex objectsByOffset;
    std::map<std::uint32_t, std::unique_ptr<StatementList>> lineTables;
    // Tables whose offset was already taken: not indexed, but owned here.
    std::vector<std::unique_ptr<StatementList>> spareLineTables;
    std::vector<BasicObject*> locatedObjects;
    std::vector<BasicObject*> constantObjects;
    std::vector<TypeInfo_Array*> arrays;
    std::vector<TypeInfo_Base*> baseTypes;
    std::vector<TypeInfo_Class*> classes;
    std::vector<TypeInfo_Const*> constTypes;
    std::vector<TypeInfo_Enumeration*> enumerations;
    std::vector<TypeInfo_Enumerator*> enumerators;
    std::vector<TypeInfo_ImportedDeclaration*> importedDeclarations;
    std::vector<TypeInfo_Inheritance*> inheritances;
    std::vector<TypeInfo_Member*> members;
    std::vector<TypeInfo_Pointer*> pointers;
    std::vector<TypeInfo_Structure*> structures;
    std::vector<TypeInfo_Subrange*> subranges;
    std::vector<TypeInfo_Subroutine*> subroutines;
    std::vector<TypeInfo_Typedef*> typedefs;
    std::vector<TypeInfo_Union*> unions;
    std::vector<TypeInfo_Volatile*> volatiles;
    std::vector<TypeInfo_Namespace*> namespaces;
    std::vector<FunctionInfo*> functions;
    std::vector<CompileUnitInfo*> compileUnits;
    std::vector<VariableInfo*> variables;

    // Set when the dump's file-format line names a little-endian format; the
    // output pass numbers bit-field bits by it.
    bool littleEndian = false;

    // Storage of every text the objects point at.
    TextPool texts;

    // Lines read and bytes of dump text (for progress and benchmarks).
    std::uint64_t linesRead = 0;
    std::uint64_t bytesRead = 0;

private:
    bool opened_ = false;
    std::string openError_;
};

}  // namespace Model
