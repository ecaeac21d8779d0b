#include "model/Model.h"

#include <new>

namespace kestrel::model {

BasicObject::BasicObject(std::uint32_t offset, std::string_view tag, ArenaRoot root)
    : offset(offset), tagId_(TagTable::intern(tag)), kind_(Kind::Basic) {
    (void)root;
}

BasicObject::BasicObject(Kind kind, std::uint32_t offset, TagId tag, BasicObject* parent)
    : parent(parent), offset(offset), tagId_(tag.id), kind_(kind) {
    if (parent != nullptr) {
        nested = parent->nested;
        declLine = parent->declLine;
        declLineForm = parent->declLineForm;
        declFile = parent->declFile;
        parent->addChild(this);
    }
}

// Destroys the subtree without recursion: nesting depth comes from the input,
// and a deep chain of entries must not exhaust the stack.
BasicObject::~BasicObject() {
    std::vector<BasicObject*> pending(children.begin(), children.end());
    children.clear();
    while (!pending.empty()) {
        BasicObject* o = pending.back();
        pending.pop_back();
        for (BasicObject* c : o->children) pending.push_back(c);
        o->children.clear();
        destroyObject(o);
    }
}

void destroyObject(BasicObject* object) {
    if (object == nullptr) return;
    switch (object->kind()) {
#define KESTREL_ENTRY_KIND(K, Class, list) \
    case Kind::K: delete static_cast<Class*>(object); return;
#include "model/EntryKinds.def"
        case Kind::Basic: break;
    }
    delete object;
}

std::size_t ChildList::size() const {
    std::size_t n = 0;
    for (auto it = begin(); it != end(); ++it) ++n;
    return n;
}

void ChildList::append(BasicObject* child) {
    if (last_ == nullptr) {
        child->nextSibling = child;
    } else {
        child->nextSibling = last_->nextSibling;
        last_->nextSibling = child;
    }
    last_ = child;
}

void ChildList::takeAll(ChildList& other, BasicObject* parent) {
    if (other.last_ == nullptr) return;
    for (BasicObject* child : other) child->parent = parent;
    if (last_ != nullptr) {
        // Both rings become one: this list's last child leads to the other's
        // first, the other's last back to this list's first.
        BasicObject* first = last_->nextSibling;
        last_->nextSibling = other.last_->nextSibling;
        other.last_->nextSibling = first;
    }
    last_ = other.last_;
    other.last_ = nullptr;
}

std::string_view BasicObject::compileUnitName() const {
    const BasicObject* o = this;
    for (int depth = 0; o != nullptr && depth < kMaxDepth; ++depth, o = o->parent)
        if (o->kind() == Kind::CompileUnit) return o->getName();
    return {};
}

std::uint32_t BasicObject::stmtListOffset() const {
    // Parent links form a tree built top down, so the walk ends.
    for (const BasicObject* o = this; o != nullptr; o = o->parent)
        if (const auto* unit = as<CompileUnitInfo>(o)) return unit->stmtList;
    return 0;
}

void BasicObject::addChild(BasicObject* child) {
    if (child == nullptr) return;
    children.append(child);
    switch (kind_) {
        case Kind::Enumeration:
        case Kind::Union:
        case Kind::Class:
        case Kind::Structure:
        case Kind::Subroutine:
        case Kind::Function: child->nested = true; break;
        default: break;
    }
}

namespace {

// Sizes follow `type` links and children; a malformed dump can make them
// cyclic, nest them deeper than any program, or branch at every level. Past
// kMaxDepth, or once one size has taken this many steps, a size counts as 0
// instead of exhausting the stack or the time.
constexpr long kMaxSizeSteps = 1024;
thread_local int sizeDepth = 0;
thread_local long sizeSteps = 0;

struct SizeDepth {
    SizeDepth() {
        if (sizeDepth++ == 0) sizeSteps = 0;
        ++sizeSteps;
    }
    ~SizeDepth() { --sizeDepth; }
    SizeDepth(const SizeDepth&) = delete;
    SizeDepth& operator=(const SizeDepth&) = delete;
    bool tooDeep() const { return sizeDepth > kMaxDepth || sizeSteps > kMaxSizeSteps; }
};

}  // namespace

namespace {

template <class T>
std::uint32_t sizeByClass(const T* o) {
    if constexpr (requires { o->ownSize(); })
        return o->ownSize();
    else
        return o->childrenSize();
}

}  // namespace

std::uint32_t BasicObject::getSize() const {
    switch (kind_) {
#define KESTREL_ENTRY_KIND(K, Class, list) \
    case Kind::K: return sizeByClass(static_cast<const Class*>(this));
#include "model/EntryKinds.def"
        case Kind::Basic: break;
    }
    return childrenSize();
}

std::uint32_t BasicObject::childrenSize() const {
    SizeDepth depth;
    if (depth.tooDeep()) return 0;
    std::uint32_t sum = 0;
    for (const BasicObject* c : children) sum += c->getSize();
    return sum;
}

std::uint32_t sizeOf(const BasicObject* type) {
    if (type == nullptr) return 0;
    SizeDepth depth;
    return depth.tooDeep() ? 0u : type->getSize();
}

std::uint32_t TypeInfo_Array::ownSize() const {
    if (children.empty() || type == nullptr) return 0;
    SizeDepth depth;
    if (depth.tooDeep()) return 0;
    std::uint32_t count = 1;
    for (const BasicObject* c : children) count *= c->getSize();
    return count * type->getSize();
}

std::uint32_t TypeInfo_Member::ownSize() const {
    if (bits_ != nullptr && bits_->bitSize != 0) return static_cast<std::uint32_t>(bits_->byteSize);
    return sizeOf(type);
}

TypeInfo_Member::~TypeInfo_Member() {
    if (ownsBitField()) delete bits_;
}

BitField& TypeInfo_Member::bitField(std::pmr::memory_resource* arena) {
    if (bits_ == nullptr) {
        if (arena != nullptr) {
            bits_ = new (arena->allocate(sizeof(BitField), alignof(BitField))) BitField{};
        } else {
            bits_ = new BitField{};
            setOwnsBitField(true);
        }
    }
    return *bits_;
}

namespace {

template <class T>
BasicObject* typeLink(const T* o) {
    if constexpr (requires { o->type; })
        return o->type;
    else
        return nullptr;
}

}  // namespace

const BasicObject* definitionOf(const BasicObject* o) {
    if (const auto* c = as<TypeInfo_Class>(o)) return c->definition;
    if (const auto* s = as<TypeInfo_Structure>(o)) return s->definition;
    if (const auto* u = as<TypeInfo_Union>(o)) return u->definition;
    if (const auto* e = as<TypeInfo_Enumeration>(o)) return e->definition;
    return nullptr;
}

BasicObject* typeOf(const BasicObject* o) {
    if (o == nullptr) return nullptr;
    switch (o->kind()) {
#define KESTREL_ENTRY_KIND(K, Class, list) \
    case Kind::K: return typeLink(static_cast<const Class*>(o));
#include "model/EntryKinds.def"
        case Kind::Basic: break;
    }
    return nullptr;
}

void StatementList::addDirectory(std::string_view directory) { directories.emplace_back(directory); }

void StatementList::addFile(std::int32_t directoryIndex, std::string_view fileName) {
    std::string entry;
    std::size_t slot = 0;  // 1-based position in directories, 0 = none
    if (zeroBased) {
        if (directoryIndex >= 0) slot = static_cast<std::size_t>(directoryIndex) + 1;
    } else if (directoryIndex > 0) {
        slot = static_cast<std::size_t>(directoryIndex);
    }
    if (slot >= 1 && slot <= directories.size()) entry = directories[slot - 1];
    entry.reserve(entry.size() + 1 + fileName.size());
    entry += '/';
    entry += fileName;
    files.push_back(std::move(entry));
}

const std::string* StatementList::fileFor(std::int32_t declFile) const {
    if (zeroBased) {
        if (declFile >= 0 && static_cast<std::size_t>(declFile) < files.size())
            return &files[static_cast<std::size_t>(declFile)];
        return nullptr;
    }
    if (declFile >= 1 && static_cast<std::size_t>(declFile) <= files.size())
        return &files[static_cast<std::size_t>(declFile) - 1];
    return nullptr;
}

}  // namespace kestrel::model
