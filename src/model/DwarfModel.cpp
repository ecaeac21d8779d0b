#include "model/DwarfModel.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <exception>
#include <thread>
#include <unordered_map>
#include <new>
#include <optional>
#include <vector>

namespace kestrel::model {

void OffsetIndex::add(std::uint32_t offset, BasicObject* object) {
    if (later_) {
        later_->add(offset, object);
        return;
    }
    if (!offsets_.empty() && offset <= offsets_.back()) sorted_ = false;
    offsets_.push_back(offset);
    objects_.push_back(object);
    settled_ = false;
}

void OffsetIndex::append(OffsetIndex&& later) {
    if (later_) {
        later_->append(std::move(later));
        return;
    }
    later_ = std::make_unique<OffsetIndex>(std::move(later));
}

void OffsetIndex::prepare() const {
    settle();
    if (later_) later_->prepare();
}

void OffsetIndex::settle() const {
    if (settled_) return;
    if (!sorted_) {
        // Sorts by offset, stably; the first object registered under an
        // offset stays, later ones go.
        std::vector<std::pair<std::uint32_t, BasicObject*>> entries;
        entries.reserve(offsets_.size());
        for (std::size_t i = 0; i < offsets_.size(); ++i) entries.emplace_back(offsets_[i], objects_[i]);
        std::stable_sort(entries.begin(), entries.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        std::size_t n = 0;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (n > 0 && offsets_[n - 1] == entries[i].first) continue;
            offsets_[n] = entries[i].first;
            objects_[n] = entries[i].second;
            ++n;
        }
        offsets_.truncate(n);
        objects_.truncate(n);
        sorted_ = true;
    }
    // A coarse table from offset to position, so that a lookup searches a
    // few neighbouring entries instead of all of them.
    buckets_.clear();
    const std::size_t size = offsets_.size();
    lowest_ = size > 0 ? offsets_[0] : 0;
    if (size > 0) {
        // About one bucket per four entries, whatever the largest offset is.
        // Shifts are of 64-bit values: with few entries shift_ reaches 32.
        shift_ = 0;
        while ((static_cast<std::size_t>(offsets_.back()) >> shift_) >= size / 4 + 1) ++shift_;
        const std::size_t n = (static_cast<std::size_t>(offsets_.back()) >> shift_) + 2;
        buckets_.assign(n, 0);
        std::size_t e = 0;
        for (std::size_t k = 0; k < n; ++k) {
            while (e < size && (std::uint64_t{offsets_[e]} >> shift_) < k) ++e;
            buckets_[k] = static_cast<std::uint32_t>(e);
        }
    }
    settled_ = true;
}

BasicObject* OffsetIndex::find(std::uint32_t offset) const {
    for (const OffsetIndex* part = this; part != nullptr; part = part->later_.get())
        if (BasicObject* found = part->findHere(offset)) return found;
    return nullptr;
}

BasicObject* OffsetIndex::findHere(std::uint32_t offset) const {
    if (offset == 0) return nullptr;  // an offset never set; no entry lies at 0
    const std::size_t at = positionOf(offset);
    return at != kNone ? objects_[at] : nullptr;
}

std::size_t OffsetIndex::positionOf(std::uint32_t offset) const {
    settle();
    // Most lookups in a model read in parts are for another part's offsets.
    if (offset < lowest_) return kNone;
    const std::size_t k = std::uint64_t{offset} >> shift_;
    if (k + 1 >= buckets_.size()) return kNone;
    // The first entry of the bucket whose offset is not below `offset`.
    std::size_t first = buckets_[k];
    std::size_t count = buckets_[k + 1] - first;
    while (count > 0) {
        const std::size_t half = count / 2;
        if (offsets_[first + half] < offset) {
            first += half + 1;
            count -= half + 1;
        } else {
            count = half;
        }
    }
    return (first < buckets_[k + 1] && offsets_[first] == offset) ? first : kNone;
}

std::size_t OffsetIndex::size() const {
    settle();
    std::size_t n = offsets_.size();
    for (const OffsetIndex* part = later_.get(); part != nullptr; part = part->later_.get()) {
        // An offset that an earlier part has counts once.
        part->settle();
        for (std::size_t i = 0; i < part->offsets_.size(); ++i) {
            bool earlier = false;
            for (const OffsetIndex* e = this; e != part && !earlier; e = e->later_.get())
                earlier = e->positionOf(part->offsets_[i]) != kNone;
            n += earlier ? 0 : 1;
        }
    }
    return n;
}

namespace {

// Objects live in the model's arena; each is threaded into its parent's children list.
template <class T>
T* place(DwarfModel& m, std::uint32_t offset, TagId tag, BasicObject* parent) {
    void* memory = m.arena.allocate(sizeof(T), alignof(T));
    return new (memory) T(offset, tag, parent);
}

// A link that finds no entry keeps its offset (and reads as null).
void resolve(EntryLink& link, const OffsetIndex& index) {
    if (!link.pending()) return;
    if (BasicObject* found = index.find(link.offset())) link = found;
}

template <class T>
void linkOne(T* o, const OffsetIndex& info, const OffsetIndex& types) {
    const OffsetIndex& index = o->inTypeSection ? types : info;
    if constexpr (requires { o->type; }) resolve(o->type, index);
    if constexpr (requires { o->specification; }) resolve(o->specification, index);
}

template <class T>
void setTypeOf(T* o, BasicObject* type) {
    if constexpr (requires { o->type; }) o->type = type;
}

// Sets the `type` link of the classes that have one.
void setType(BasicObject* o, BasicObject* type) {
    switch (o->kind()) {
#define KESTREL_ENTRY_KIND(K, Class, list) \
    case Kind::K: setTypeOf(static_cast<Class*>(o), type); break;
#include "model/EntryKinds.def"
        case Kind::Basic: break;
    }
}

// A structure, class or union (and for type-unit stand-ins an enumeration):
// whether it is only a declaration, and where its definition goes.
struct Aggregate {
    bool declaration;
    BasicObject** definition;
};

Aggregate aggregateOf(BasicObject* o) {
    if (auto* c = as<TypeInfo_Class>(o)) return {c->declaration(), &c->definition};
    if (auto* s = as<TypeInfo_Structure>(o)) return {s->declaration(), &s->definition};
    if (auto* u = as<TypeInfo_Union>(o)) return {u->declaration(), &u->definition};
    if (auto* e = as<TypeInfo_Enumeration>(o)) return {e->declaration(), &e->definition};
    return {false, nullptr};
}

void linkSignatures(DwarfModel& m) {
    if (m.signatureReferences.empty()) return;
    std::map<std::uint64_t, BasicObject*> types;
    for (const DwarfModel::TypeUnit& unit : m.typeUnits) {
        const OffsetIndex& index = unit.inTypeSection ? m.typeSectionObjects : m.objectsByOffset;
        types.emplace(unit.signature, index.find(unit.typeOffset));  // the first unit of a signature wins
    }
    for (const DwarfModel::SignatureReference& ref : m.signatureReferences) {
        auto found = types.find(ref.signature);
        if (found == types.end()) continue;
        if (!ref.standsFor) {
            setType(ref.object, found->second);
        } else if (BasicObject** definition = aggregateOf(ref.object).definition;
                   definition != nullptr && found->second != ref.object) {
            *definition = found->second;
        }
    }
    // A stand-in may name another stand-in; each is linked to the end of its
    // chain, and a chain that runs in a circle (malformed input) to nothing,
    // so that no size or expansion follows more than one such link.
    for (const DwarfModel::SignatureReference& ref : m.signatureReferences) {
        BasicObject** definition = aggregateOf(ref.object).definition;
        if (!ref.standsFor || definition == nullptr || *definition == nullptr) continue;
        BasicObject* end = *definition;
        for (int step = 0; step < kMaxDepth; ++step) {
            BasicObject** next = aggregateOf(end).definition;
            if (next == nullptr || *next == nullptr) break;
            end = *next;
        }
        BasicObject** tail = aggregateOf(end).definition;
        const bool circle = end == ref.object || (tail != nullptr && *tail != nullptr);
        *definition = circle ? nullptr : end;
    }
}

void linkIndexedAddresses(DwarfModel& m) {
    if (m.indexedAddresses.empty()) return;
    std::vector<const BasicObject*> unresolved;
    for (const DwarfModel::IndexedAddress& entry : m.indexedAddresses) {
        auto table = m.addressTables.find(entry.unitOffset);
        auto* variable = as<VariableInfo>(entry.object);
        if (variable != nullptr && table != m.addressTables.end() && entry.index < table->second.size())
            variable->address = table->second[entry.index] + entry.addend;
        else
            unresolved.push_back(entry.object);
    }
    if (unresolved.empty()) return;
    std::sort(unresolved.begin(), unresolved.end());
    std::erase_if(m.locatedObjects, [&](const BasicObject* o) {
        return std::binary_search(unresolved.begin(), unresolved.end(), o);
    });
}

// The key under which declarations and definitions of an aggregate meet:
// 'S' for structures and classes, 'U' for unions, then the names from the
// outermost namespace or class inward. False for an aggregate that cannot be
// named from another unit (no name, an anonymous namespace, a local type).
bool aggregateKey(const BasicObject* object, std::string& key, std::string& name) {
    std::vector<std::string_view> names;
    const BasicObject* o = object;
    for (int step = 0; o != nullptr; ++step) {
        if (step >= kMaxDepth) return false;
        const BasicObject* specified = nullptr;
        if (const auto* c = as<TypeInfo_Class>(o)) specified = c->specification;
        else if (const auto* s = as<TypeInfo_Structure>(o)) specified = s->specification;
        const BasicObject* source = specified != nullptr ? specified : o;
        const Kind kind = source->kind();
        if (kind == Kind::CompileUnit || source->parent == nullptr || source->isUnitEntry())
            break;
        if (kind != Kind::Namespace && kind != Kind::Class && kind != Kind::Structure && kind != Kind::Union)
            return false;
        if (source->getName().empty()) return false;
        names.push_back(source->getName());
        o = source->parent;
    }
    key.assign(1, object->kind() == Kind::Union ? 'U' : 'S');
    name.clear();
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (!name.empty()) name += "::";
        name += *it;
    }
    key += name;
    return true;
}

// The classes, then the structures, then the unions, each in reading order.
struct Aggregates {
    std::vector<BasicObject*> lists[3];

    void note(BasicObject* o) {
        const Kind kind = o->kind();
        if (kind == Kind::Class) lists[0].push_back(o);
        else if (kind == Kind::Structure) lists[1].push_back(o);
        else if (kind == Kind::Union) lists[2].push_back(o);
    }
    void append(Aggregates& later) {
        for (int k = 0; k < 3; ++k) lists[k].insert(lists[k].end(), later.lists[k].begin(), later.lists[k].end());
    }
};

void linkObject(BasicObject* o, const OffsetIndex& info, const OffsetIndex& types) {
    switch (o->kind()) {
#define KESTREL_ENTRY_KIND(K, Class, list) \
    case Kind::K: linkOne(static_cast<Class*>(o), info, types); break;
#include "model/EntryKinds.def"
        case Kind::Basic: break;
    }
}

// Links the objects of one of the root's children and notes their
// aggregates in reading order.
void linkUnit(BasicObject* unit, const OffsetIndex& info, const OffsetIndex& types, Aggregates& aggregates) {
    linkObject(unit, info, types);
    aggregates.note(unit);
    for (TreeWalk walk(unit); !walk.done(); ++walk) {
        linkObject(*walk, info, types);
        aggregates.note(*walk);
    }
}

// The root's children still to be linked, [front, back), shared by two
// threads: one takes them from the front, the other from the back, until
// they meet, so that both end together however the units' sizes differ.
class SharedUnits {
public:
    explicit SharedUnits(std::size_t count) : range_(count) {}

    // The next unit from the front, or from the back; none once they met.
    std::optional<std::size_t> take(bool fromFront) {
        std::uint64_t r = range_.load(std::memory_order_relaxed);
        for (;;) {
            const std::uint64_t front = r >> 32, back = r & 0xffffffffu;
            if (front >= back) return std::nullopt;
            const std::uint64_t rest = fromFront ? (front + 1) << 32 | back : front << 32 | (back - 1);
            if (range_.compare_exchange_weak(r, rest, std::memory_order_relaxed))
                return static_cast<std::size_t>(fromFront ? front : back - 1);
        }
    }

private:
    std::atomic<std::uint64_t> range_;  // front in the high half, back in the low one
};

// Links every object below the root and notes the aggregates in reading
// order; with `twoThreads` on two threads: each object's links are its own,
// and lookups change nothing.
void linkAll(const BasicObject& root, const OffsetIndex& info, const OffsetIndex& types, bool twoThreads,
             Aggregates& aggregates) {
    if (!twoThreads || root.children.empty()) {
        for (BasicObject* unit : root.children) linkUnit(unit, info, types, aggregates);
        return;
    }
    std::vector<BasicObject*> units(root.children.begin(), root.children.end());
    if (units.size() > UINT32_MAX) throw std::bad_alloc();
    SharedUnits shared(units.size());
    // The worker's aggregates, and where each of its units' notes end (it
    // takes the units last to first).
    Aggregates back;
    std::vector<std::array<std::size_t, 3>> ends;
    ends.reserve(units.size());
    std::exception_ptr failure;
    auto linkFromBack = [&] {
        try {
            for (std::optional<std::size_t> k = shared.take(false); k; k = shared.take(false)) {
                linkUnit(units[*k], info, types, back);
                ends.push_back({back.lists[0].size(), back.lists[1].size(), back.lists[2].size()});
            }
        } catch (...) {
            failure = std::current_exception();
        }
    };
    std::thread worker;
    try {
        worker = std::thread(linkFromBack);
    } catch (...) {
        // No thread to be had: this one takes every unit from the front.
    }
    try {
        for (std::optional<std::size_t> k = shared.take(true); k; k = shared.take(true))
            linkUnit(units[*k], info, types, aggregates);
    } catch (...) {
        if (worker.joinable()) worker.join();
        throw;
    }
    if (worker.joinable()) worker.join();
    if (failure) std::rethrow_exception(failure);
    // The worker's notes in reading order: its last unit first.
    for (std::size_t j = ends.size(); j-- > 0;) {
        for (int list = 0; list < 3; ++list) {
            const std::size_t from = j > 0 ? ends[j - 1][list] : 0;
            const auto& notes = back.lists[list];
            aggregates.lists[list].insert(aggregates.lists[list].end(), notes.begin() + from,
                                          notes.begin() + ends[j][list]);
        }
    }
}

void resolveDeclarations(DwarfModel& m, const Aggregates& gathered) {
    const auto& aggregates = gathered.lists;
    std::vector<BasicObject*> declarations;
    for (const auto& list : aggregates) {
        for (BasicObject* o : list) {
            const Aggregate a = aggregateOf(o);
            if (a.declaration && *a.definition == nullptr) declarations.push_back(o);
        }
    }
    if (declarations.empty()) return;

    struct Definitions {
        BasicObject* first = nullptr;
        bool sizesDiffer = false;
        bool reported = false;
    };
    std::unordered_map<std::string, Definitions> byKey;
    std::string key;
    std::string name;
    for (BasicObject* d : declarations)
        if (aggregateKey(d, key, name)) byKey.try_emplace(key);
    for (const auto& list : aggregates) {
        for (BasicObject* o : list) {
            if (aggregateOf(o).declaration || !aggregateKey(o, key, name)) continue;
            auto found = byKey.find(key);
            if (found == byKey.end()) continue;
            Definitions& defs = found->second;
            if (defs.first == nullptr) defs.first = o;
            else if (defs.first->getSize() != o->getSize()) defs.sizesDiffer = true;
        }
    }
    for (BasicObject* d : declarations) {
        if (!aggregateKey(d, key, name)) continue;
        Definitions& defs = byKey[key];
        if (defs.first == nullptr) continue;
        if (!defs.sizesDiffer) {
            BasicObject** standsFor = aggregateOf(defs.first).definition;
            *aggregateOf(d).definition = standsFor != nullptr && *standsFor != nullptr ? *standsFor : defs.first;
        } else if (!defs.reported) {
            defs.reported = true;
            m.unresolvedDeclarations.push_back({d, name});
        }
    }
}

}  // namespace

void DwarfModel::setDeclLine(BasicObject& object, std::string_view text) {
    // A plain decimal number (no sign, no leading zero) that fits is kept as
    // that number: written back, it gives the same text.
    std::uint64_t line = 0;
    bool plain = !text.empty() && text.size() <= 10 && (text[0] != '0' || text.size() == 1);
    for (std::size_t i = 0; plain && i < text.size(); ++i) {
        plain = text[i] >= '0' && text[i] <= '9';
        line = line * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    if (plain && line <= UINT32_MAX) {
        object.setDeclLine(static_cast<std::uint32_t>(line));
        return;
    }
    object.declLine = static_cast<std::uint32_t>(declLineTexts.size());
    object.declLineForm = DeclLineForm::Text;
    declLineTexts.push_back(texts.keep(text));
}

void DwarfModel::appendDeclLine(std::string& out, const BasicObject& object) const {
    switch (object.declLineForm) {
        case DeclLineForm::None: return;
        case DeclLineForm::Number: out += std::to_string(object.declLine); return;
        case DeclLineForm::Text:
            if (object.declLine < declLineTexts.size()) out += declLineTexts[object.declLine];
            return;
    }
}

bool DwarfModel::canAppend(const DwarfModel& later) const {
    for (const auto& [unit, rows] : later.addressTables)
        if (addressTables.contains(unit)) return false;
    return true;
}

namespace {

// Moves the elements of `from` to the end of `to` and gives `from`'s memory
// back: an appended part is kept for its objects only.
template <class T>
void appendAll(std::vector<T>& to, std::vector<T>& from) {
    if (to.empty()) {
        to = std::move(from);
    } else {
        to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
    }
    std::vector<T>().swap(from);
}

}  // namespace

void DwarfModel::append(std::unique_ptr<DwarfModel> later) {
    if (!later || !later->root) return;
    DwarfModel& l = *later;
    // Kept first: whatever follows may throw, and this model then still
    // owns every object it points at.
    appendedParts_.push_back(std::move(later));
    if (!root) makeRoot();
    // Declaration lines kept as text index this model's list.
    if (!l.declLineTexts.empty() && !declLineTexts.empty()) {
        const auto base = static_cast<std::uint32_t>(declLineTexts.size());
        for (TreeWalk walk(l.root.get()); !walk.done(); ++walk)
            if ((*walk)->declLineForm == DeclLineForm::Text) (*walk)->declLine += base;
    }
    appendAll(declLineTexts, l.declLineTexts);
    objectsByOffset.append(std::move(l.objectsByOffset));
    typeSectionObjects.append(std::move(l.typeSectionObjects));
    appendAll(typeUnits, l.typeUnits);
    appendAll(signatureReferences, l.signatureReferences);
    appendAll(indexedAddresses, l.indexedAddresses);
    appendAll(linkageNames, l.linkageNames);
    appendAll(constValues, l.constValues);
    appendAll(accessibilities, l.accessibilities);
    appendAll(dataBitOffsets, l.dataBitOffsets);
    appendAll(countedSubranges, l.countedSubranges);
    appendAll(bitSizedMembers, l.bitSizedMembers);
    appendAll(locatedObjects, l.locatedObjects);
    appendAll(plainVariables, l.plainVariables);
    appendAll(constantObjects, l.constantObjects);
    appendAll(locationExpressions, l.locationExpressions);
    addressTables.merge(l.addressTables);
    for (auto& [offset, table] : l.lineTables) {
        auto [it, inserted] = lineTables.emplace(offset, nullptr);
        if (inserted)
            it->second = std::move(table);
        else
            spareLineTables.push_back(std::move(table));
    }
    l.lineTables.clear();
    appendAll(spareLineTables, l.spareLineTables);
    root->children.takeAll(l.root->children, root.get());
    linesRead += l.linesRead;
    bytesRead += l.bytesRead;
    dumpCut = l.dumpCut;
    notADump = notADump || l.notADump;
    // The later reader started with this model's byte order; a file-format
    // line in its text may have set it since.
    littleEndian = l.littleEndian;
}

std::size_t DwarfModel::textBytesReserved() const {
    std::vector<const TextPool*> pools{&texts};
    for (const auto& part : appendedParts_) pools.push_back(&part->texts);
    std::sort(pools.begin(), pools.end());
    pools.erase(std::unique(pools.begin(), pools.end()), pools.end());
    std::size_t n = 0;
    for (const TextPool* pool : pools) n += pool->bytesReserved();
    return n;
}

BasicObject* DwarfModel::makeRoot() {
    void* memory = arena.allocate(sizeof(BasicObject), alignof(BasicObject));
    root = ObjectPtr(new (memory) BasicObject(0, std::string_view{}, ArenaRoot{&arena}), ObjectDeleter{true});
    return root.get();
}

BasicObject* DwarfModel::make(Kind kind, std::uint32_t offset, std::string_view tag, BasicObject* parent) {
    // Tag texts outlive the objects made with them, so within one model a
    // text's address names the text: the table is asked once per address.
    RecentTag& recent = recentTags_[(reinterpret_cast<std::uintptr_t>(tag.data()) >> 3) % recentTags_.size()];
    if (recent.text != tag.data() || recent.size != tag.size()) recent = {tag.data(), tag.size(), TagTable::intern(tag)};
    return make(kind, offset, TagId{recent.id}, parent);
}

BasicObject* DwarfModel::make(Kind kind, std::uint32_t offset, TagId tag, BasicObject* parent) {
    switch (kind) {
#define KESTREL_ENTRY_KIND(K, Class, list) \
    case Kind::K: return place<Class>(*this, offset, tag, parent);
#include "model/EntryKinds.def"
        case Kind::Basic: break;
    }
    void* memory = arena.allocate(sizeof(BasicObject), alignof(BasicObject));
    return new (memory) BasicObject(offset, tag, parent);
}

void DwarfModel::link() {
    if (!root) return;
    // Lookups change nothing from here on: two threads may search at once.
    objectsByOffset.prepare();
    typeSectionObjects.prepare();
    Aggregates aggregates;
    // A small model is linked faster than a thread starts.
    constexpr std::uint64_t kTwoThreadsFrom = std::uint64_t{8} << 20;  // bytes of dump
    linkAll(*root, objectsByOffset, typeSectionObjects, bytesRead >= kTwoThreadsFrom, aggregates);
    linkSignatures(*this);
    linkIndexedAddresses(*this);
    resolveDeclarations(*this, aggregates);
}

namespace {

// Bit numbers count from the least significant bit of the storage unit's
// value on targets of either byte order. On a big-endian target a field of a
// packed structure can run on past the unit's least significant bit
// (bitOffset + bitSize beyond the unit), where no such number reaches it: it
// gets the unit of the same size that ends with the byte of its last bit,
// and a negative bit offset, so that it runs on past the unit's most
// significant bit instead, as such a field does on a little-endian target.
void endUnitWithLastBit(TypeInfo_Member& mb, BitField& bits) {
    const std::int64_t unitBits = std::int64_t{sizeOf(mb.type)} * 8;
    const std::int64_t past = std::int64_t{bits.bitOffset} + bits.bitSize - unitBits;
    if (unitBits <= 0 || unitBits > 64 || bits.bitSize > unitBits || bits.bitOffset < 0 || past <= 0) return;
    const std::int64_t bytes = (past + 7) / 8;
    mb.dataMemberLocation = static_cast<std::int32_t>(static_cast<std::uint32_t>(mb.dataMemberLocation) +
                                                      static_cast<std::uint32_t>(bytes));
    bits.bitOffset = static_cast<std::int32_t>(bits.bitOffset - bytes * 8);
}

}  // namespace

void DwarfModel::normalise() {
    // Array bounds given as a count.
    for (TypeInfo_Subrange* s : countedSubranges)
        if (s->hasCount())
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
    for (const auto& [mb, dataBitOffset] : dataBitOffsets) {
        if (mb->bitSize() <= 0) continue;
        BitField& bits = mb->bitField(&arena);
        std::int64_t unitBytes = sizeOf(mb->type);
        if (unitBytes <= 0 || unitBytes > 8) {
            // No usable type size: the smallest unit that holds the field.
            unitBytes = bits.bitSize <= 8 ? 1 : bits.bitSize <= 16 ? 2 : bits.bitSize <= 32 ? 4 : 8;
        }
        const std::int64_t unitBits = unitBytes * 8;
        const std::int64_t bit = static_cast<std::uint32_t>(dataBitOffset);
        const std::int64_t deepest = bit + bits.bitSize;
        std::int64_t unitStart = (deepest + unitBits - 1) / unitBits * unitBits - unitBits;
        if (unitStart > bit) unitStart = (deepest - unitBits) / 8 * 8;
        const std::int64_t within = bit - unitStart;
        bits.byteSize = static_cast<std::int32_t>(unitBytes);
        mb->dataMemberLocation = static_cast<std::int32_t>(unitStart / 8);
        bits.bitOffset = littleEndian ? static_cast<std::int32_t>(unitBits - within - bits.bitSize)
                                      : static_cast<std::int32_t>(within);
    }
    if (!littleEndian) {
        // Each member once, however many bit sizes it was given.
        std::vector<TypeInfo_Member*> fields = bitSizedMembers;
        std::sort(fields.begin(), fields.end());
        fields.erase(std::unique(fields.begin(), fields.end()), fields.end());
        for (TypeInfo_Member* mb : fields)
            if (mb->bitSize() > 0) endUnitWithLastBit(*mb, mb->bitField(&arena));
    }
}

}  // namespace kestrel::model
