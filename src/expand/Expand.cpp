// Expansion of a variable's type into signals.
//
// The walk is depth first over the type graph. Every step works on the
// signal as its caller handed it over and must not change what the caller
// sees; instead of copying the whole record (and its name) at every step, one
// working record is changed in place and every step puts back what it changed
// before it returns. Names therefore grow by appending and shrink by
// truncation. Leaves are handed to a sink as that working record, so a
// signal costs no copy unless the sink makes one.
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "expand/Expand.h"

namespace kestrel::expand {

using namespace kestrel::model;

bool isSignedEncoding(std::string_view text) {
    // The text is signed when "signed" stands at its start or after a
    // character other than 'n', with no line break before that character and
    // none after the word (a line break directly before the word is allowed).
    constexpr std::string_view word = "signed";
    const std::size_t firstBreak = text.find_first_of("\r\n");
    const std::size_t lastBreak = text.find_last_of("\r\n");
    for (std::size_t j = text.find(word); j != std::string_view::npos; j = text.find(word, j + 1)) {
        if (j > 0 && text[j - 1] == 'n') continue;
        if (j > 0 && firstBreak != std::string_view::npos && firstBreak < j - 1) return false;
        if (lastBreak != std::string_view::npos && lastBreak >= j + word.size()) continue;
        return true;
    }
    return false;
}

namespace {

constexpr std::uint64_t kSaturated = std::uint64_t{1} << 62;

std::uint64_t saturatingProduct(std::uint64_t a, std::uint64_t b) {
    if (a == 0 || b == 0) return 0;
    return a > kSaturated / b ? kSaturated : a * b;
}

std::uint64_t storageSizeAt(const BasicObject* type, int depth) {
    if (type == nullptr || depth > kMaxDepth) return 0;
    switch (type->kind()) {
        case Kind::Array: {
            const auto* array = static_cast<const TypeInfo_Array*>(type);
            if (array->children.empty() || array->type == nullptr) return 0;
            std::uint64_t count = 1;
            for (const BasicObject* child : array->children) {
                const auto* subrange = as<TypeInfo_Subrange>(child);
                if (subrange == nullptr) continue;
                // The elements the expansion walks: from the lower bound while
                // below upper bound + 1, both read as unsigned.
                const std::uint32_t end = static_cast<std::uint32_t>(subrange->upperB) + 1u;
                const std::uint32_t first = static_cast<std::uint32_t>(subrange->lowerB);
                count = saturatingProduct(count, first < end ? end - first : 0u);
            }
            return saturatingProduct(count, storageSizeAt(array->type, depth + 1));
        }
        case Kind::Typedef:
        case Kind::Const:
        case Kind::Volatile:
        case Kind::ImportedDeclaration: return storageSizeAt(typeOf(type), depth + 1);
        default: return type->getSize();
    }
}

}  // namespace

std::uint64_t storageSize(const BasicObject* type) { return storageSizeAt(type, 0); }

const BasicObject* expansionType(const VariableInfo* variable) {
    constexpr int kMaxSpecificationSteps = 8;
    const BasicObject* current = variable;
    for (int step = 0; step <= kMaxSpecificationSteps; ++step) {
        // Up to DWARF 4 a static data member is declared as a member of its
        // class; its definition refers to that member.
        if (const auto* member = as<TypeInfo_Member>(current)) return member->type;
        const auto* v = as<VariableInfo>(current);
        if (v == nullptr) return nullptr;
        if (v->type != nullptr) return v->type;
        current = v->specification;
    }
    return nullptr;
}

namespace {

void appendPadded(std::string& out, std::uint32_t value, int width) {
    char digits[16];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    const int length = static_cast<int>(result.ptr - digits);
    if (length < width) out.append(static_cast<std::size_t>(width - length), '0');
    out.append(digits, result.ptr);
}

// Index width of a dimension: the smallest w with count < 2 * 10^(w-1).
int indexWidth(std::uint32_t count) {
    int width = 1;
    for (std::uint32_t q = count; q > 1; q /= 10) ++width;
    return width;
}

struct Dimension {
    std::uint32_t first = 0;
    std::uint32_t count = 0;   // upper bound + 1: indices run from first while < count
    std::uint32_t stride = 0;  // bytes from one index to the next
    int width = 1;
};

class Walker {
public:
    Walker(SignalSink& out, SignalInfo&& seed, Reporter& reporter, const ExpandLimits& limits)
        : out_(out),
          sig_(std::move(seed)),
          reporter_(reporter),
          limits_(limits),
          variableName_(sig_.name),
          variableOffset_(sig_.offset) {}

    void run(const BasicObject* object, bool membersOnly) { visit(object, membersOnly, 0); }
    ExpandUsage usage() const { return {emitted_, visits_}; }

private:
    // What a step may change in the working record (the name by length).
    struct Saved {
        std::uint32_t address;
        std::int32_t bitOffset;
        std::int32_t bitSize;
        std::uint32_t size;
        std::string_view typeName;
        std::size_t nameLength;
        bool isConst;
        bool isSigned;
        const BasicObject* type;
    };

    Saved save() const {
        return {sig_.address, sig_.bitOffset, sig_.bitSize, sig_.size, sig_.typeName,
                sig_.name.size(), sig_.isConst, sig_.isSigned, sig_.type};
    }
    void restore(const Saved& s) {
        sig_.address = s.address;
        sig_.bitOffset = s.bitOffset;
        sig_.bitSize = s.bitSize;
        sig_.size = s.size;
        sig_.typeName = s.typeName;
        sig_.name.resize(s.nameLength);
        sig_.isConst = s.isConst;
        sig_.isSigned = s.isSigned;
        sig_.type = s.type;
    }

    // The caller's name, kept while a step replaces it.
    struct NameSwap {
        std::string callers;
        bool replaced = false;
    };

    void visit(const BasicObject* object, bool membersOnly, int depth);
    // The kind's own step; true when only members (and bases) of the
    // object's children are storage of it.
    bool step(const BasicObject* object, int depth, NameSwap& name);
    void visitBase(const TypeInfo_Inheritance* inheritance, int depth);
    void visitVariable(const VariableInfo* variable, int depth, NameSwap& name);
    void visitFunction(const FunctionInfo* function, int depth, NameSwap& name);
    // A scalar signal of the given type.
    void leaf(std::string_view typeName, const BasicObject* type);
    void replaceName(NameSwap& name, std::string replacement);
    void appendName(std::string_view separator, const BasicObject& object);
    void visitType(const BasicObject* type, int depth) {
        if (type != nullptr) visit(type, false, depth + 1);
    }
    void elements(const TypeInfo_Array* array, int depth);
    // What one element of an array is when visiting its type at `depth` does
    // nothing but follow typedefs and qualifiers (none with children, none
    // cut by the depth limit) to a base type, pointer or enumeration (whose
    // children are enumerators without children): one leaf, the same for
    // every element. Such an array's elements are emitted without a walk of
    // their own, with the same signals and the same count of visits.
    struct ScalarElement {
        std::string_view typeName;
        const BasicObject* type = nullptr;
        std::uint32_t size = 0;
        bool setsSigned = false;  // a base type's signedness replaces the caller's
        bool isSigned = false;
        bool isConst = false;  // a const on the way
        std::size_t visits = 0;  // objects the walk of one element visits
    };
    bool scalarElement(const BasicObject* type, int depth, ScalarElement& element);
    void emit();
    bool onPath(const BasicObject* object) const {
        for (const BasicObject* p : path_)
            if (p == object) return true;
        return false;
    }
    void cutPath();
    void stop(const char* message);
    bool isSigned(const TypeInfo_Base* base);

    // The signedness of the base types met, by object: an array of
    // structures meets the same few base types over and over, and the test
    // reads the whole encoding text.
    struct SignedEntry {
        const TypeInfo_Base* base = nullptr;
        bool isSigned = false;
    };

    SignalSink& out_;
    SignalInfo sig_;
    Reporter& reporter_;
    const ExpandLimits& limits_;
    std::string variableName_;
    std::uint32_t variableOffset_;
    std::vector<const BasicObject*> path_;
    // The dimensions and running indices of the arrays being walked, nested
    // arrays one after another (reached by position: deeper arrays may grow
    // the lists).
    std::vector<Dimension> dims_;
    std::vector<std::uint32_t> index_;
    std::array<SignedEntry, 16> signedCache_{};
    std::size_t emitted_ = 0;
    std::size_t visits_ = 0;
    bool stopped_ = false;
    bool cutReported_ = false;
};

void Walker::cutPath() {
    if (cutReported_) return;
    cutReported_ = true;
    reporter_.message(aboutEntry("Type nesting too deep, expansion stopped: " + variableName_, variableOffset_));
}

void Walker::stop(const char* message) {
    stopped_ = true;
    reporter_.message(aboutEntry(message + variableName_, variableOffset_));
}

void Walker::emit() {
    if (emitted_ >= limits_.maxSignals) {
        stop("Too many signals, expansion stopped: ");
        return;
    }
    out_.signal(sig_);
    ++emitted_;
}

bool Walker::isSigned(const TypeInfo_Base* base) {
    SignedEntry& entry = signedCache_[(reinterpret_cast<std::uintptr_t>(base) / alignof(TypeInfo_Base)) %
                                      signedCache_.size()];
    if (entry.base != base) {
        entry.base = base;
        entry.isSigned = isSignedEncoding(base->encodingName);
    }
    return entry.isSigned;
}

void Walker::visit(const BasicObject* object, bool membersOnly, int depth) {
    if (stopped_ || object == nullptr) return;
    if (++visits_ > limits_.maxVisits) {
        stop("Type too large, expansion stopped: ");
        return;
    }
    const Kind kind = object->kind();
    if (membersOnly && kind != Kind::Member) {
        if (kind == Kind::Inheritance) visitBase(static_cast<const TypeInfo_Inheritance*>(object), depth);
        return;
    }
    // A static data member declared in its class is not storage of the object.
    if (kind == Kind::Member && static_cast<const TypeInfo_Member*>(object)->declaration()) return;
    if (depth >= limits_.maxDepth || onPath(object)) {
        cutPath();
        return;
    }
    path_.push_back(object);
    const Saved saved = save();
    NameSwap name;
    const bool childMembersOnly = step(object, depth, name);
    for (const BasicObject* child : object->children) {
        if (stopped_) break;
        if (child != nullptr) visit(child, childMembersOnly, depth + 1);
    }
    if (name.replaced) sig_.name = std::move(name.callers);
    restore(saved);
    path_.pop_back();
}

void Walker::visitBase(const TypeInfo_Inheritance* inheritance, int depth) {
    if (inheritance->type == nullptr) return;
    const std::uint32_t address = sig_.address;
    sig_.address += static_cast<std::uint32_t>(inheritance->dataMemberLocation);
    visit(inheritance->type, false, depth + 1);
    sig_.address = address;
}

void Walker::leaf(std::string_view typeName, const BasicObject* type) {
    sig_.typeName = typeName;
    sig_.size = type->getSize();
    sig_.type = type;
    emit();
}

void Walker::replaceName(NameSwap& name, std::string replacement) {
    if (!name.replaced) name.callers = std::move(sig_.name);
    name.replaced = true;
    sig_.name = std::move(replacement);
}

void Walker::appendName(std::string_view separator, const BasicObject& object) {
    sig_.name += separator;
    sig_.name += nameOf(object, &reporter_);
}

bool Walker::step(const BasicObject* object, int depth, NameSwap& name) {
    switch (object->kind()) {
        case Kind::Base: {
            const auto* base = static_cast<const TypeInfo_Base*>(object);
            sig_.isSigned = isSigned(base);
            leaf(base->encodingName, base);
            break;
        }
        case Kind::Pointer: leaf("pointer", object); break;
        case Kind::Enumeration: {
            const BasicObject* definition = definitionOf(object);  // a type unit's, by signature
            leaf("enumeration", definition != nullptr ? definition : object);
            break;
        }
        case Kind::Typedef:
        case Kind::Volatile:
        case Kind::ImportedDeclaration: visitType(typeOf(object), depth); break;
        case Kind::Const:
            if (const BasicObject* type = typeOf(object)) {
                sig_.isConst = true;
                visitType(type, depth);
            }
            break;
        case Kind::Member: {
            const auto* member = static_cast<const TypeInfo_Member*>(object);
            appendName(".", *member);
            sig_.address += static_cast<std::uint32_t>(member->dataMemberLocation);
            sig_.bitOffset = member->bitOffset();
            sig_.bitSize = member->bitSize();
            visitType(member->type, depth);
            break;
        }
        // The children of a union pass the same gate as those of a structure:
        // a type declared inside a union, or a member function of a C++
        // union, is no storage of the object.
        // A declaration resolved to its definition is expanded as that; its
        // own children (nested types) are no storage either.
        case Kind::Structure:
        case Kind::Class:
        case Kind::Union:
            if (const BasicObject* definition = definitionOf(object)) visitType(definition, depth);
            return true;
        case Kind::Array: elements(static_cast<const TypeInfo_Array*>(object), depth); break;
        case Kind::Namespace: appendName("::", *object); break;
        case Kind::Variable: visitVariable(static_cast<const VariableInfo*>(object), depth, name); break;
        case Kind::Function: visitFunction(static_cast<const FunctionInfo*>(object), depth, name); break;
        default: break;  // enumerators, subranges, subroutines, units, plain entries
    }
    return false;
}

void Walker::visitVariable(const VariableInfo* variable, int depth, NameSwap& name) {
    if (variable->specification != nullptr) {
        replaceName(name, qualifiedName(variable->specification, std::string(), &reporter_));
        visit(variable->specification, false, depth + 1);
    } else {
        appendName(".", *variable);
        visitType(variable->type, depth);
    }
}

void Walker::visitFunction(const FunctionInfo* function, int depth, NameSwap& name) {
    if (function->specification != nullptr) {
        replaceName(name, qualifiedName(function->specification, std::string(), &reporter_));
        sig_.size = function->specification->getSize();
        sig_.type = function->specification;
        visit(function->specification, false, depth + 1);
    } else {
        appendName(".", *function);
        sig_.size = function->getSize();
        sig_.type = function;
    }
    sig_.typeName = "function";
    emit();
}

bool Walker::scalarElement(const BasicObject* object, int depth, ScalarElement& element) {
    // Typedef chains longer than this (or cycles) are left to the walk.
    constexpr int kMaxChain = 16;
    for (int step = 0; object != nullptr && step < kMaxChain; ++step, ++depth) {
        const Kind kind = object->kind();
        if (depth >= limits_.maxDepth || (kind != Kind::Enumeration && !object->children.empty())) return false;
        ++element.visits;
        switch (kind) {
            case Kind::Base: {
                const auto* base = static_cast<const TypeInfo_Base*>(object);
                element.setsSigned = true;
                element.isSigned = isSigned(base);
                element.typeName = base->encodingName;
                element.type = base;
                element.size = base->getSize();
                return true;
            }
            case Kind::Pointer:
                element.typeName = "pointer";
                element.type = object;
                element.size = object->getSize();
                return true;
            case Kind::Enumeration: {
                for (const BasicObject* child : object->children) {
                    if (child == nullptr) continue;
                    if (child->kind() != Kind::Enumerator || !child->children.empty() || depth + 1 >= limits_.maxDepth)
                        return false;
                    ++element.visits;
                }
                const BasicObject* definition = definitionOf(object);
                element.typeName = "enumeration";
                element.type = definition != nullptr ? definition : object;
                element.size = element.type->getSize();
                return true;
            }
            case Kind::Const:
                element.isConst = true;
                object = typeOf(object);
                break;
            case Kind::Typedef:
            case Kind::Volatile:
            case Kind::ImportedDeclaration: object = typeOf(object); break;
            default: return false;
        }
    }
    return false;  // a chain that ends in nothing emits nothing: left to the walk
}

// Every element of the array in row-major order, at its own address, named
// with one index per dimension. One dimension: the elements run from the
// lower bound while below upper bound + 1, the first at the array's address.
void Walker::elements(const TypeInfo_Array* array, int depth) {
    if (array->type == nullptr) return;
    const std::size_t first = dims_.size();
    for (const BasicObject* child : array->children) {
        const auto* subrange = as<TypeInfo_Subrange>(child);
        if (subrange == nullptr) break;
        Dimension d;
        d.count = static_cast<std::uint32_t>(subrange->upperB) + 1u;
        d.first = static_cast<std::uint32_t>(subrange->lowerB);
        d.width = indexWidth(d.count);
        if (d.first >= d.count) {  // an empty dimension: no elements at all
            dims_.resize(first);
            return;
        }
        dims_.push_back(d);
    }
    const std::size_t rank = dims_.size() - first;
    if (rank == 0) return;

    std::uint32_t stride = array->type->getSize();
    for (std::size_t k = rank; k-- > 0;) {
        dims_[first + k].stride = stride;
        stride *= dims_[first + k].count - dims_[first + k].first;
    }

    const std::size_t baseLength = sig_.name.size();
    const std::uint32_t arrayAddress = sig_.address;
    ScalarElement scalar;
    const bool scalars = scalarElement(array->type, depth + 1, scalar);
    const Saved saved = save();
    for (std::size_t k = 0; k < rank; ++k) index_.push_back(dims_[first + k].first);
    for (;;) {
        sig_.name.resize(baseLength);
        std::uint32_t address = arrayAddress;
        for (std::size_t k = 0; k < rank; ++k) {
            const Dimension& d = dims_[first + k];
            sig_.name += '_';
            appendPadded(sig_.name, index_[first + k], d.width);
            address += (index_[first + k] - d.first) * d.stride;
        }
        sig_.address = address;
        if (scalars && visits_ + scalar.visits <= limits_.maxVisits && emitted_ < limits_.maxSignals) {
            // The element's walk would visit its chain and emit this leaf.
            visits_ += scalar.visits;
            sig_.typeName = scalar.typeName;
            sig_.size = scalar.size;
            sig_.type = scalar.type;
            if (scalar.setsSigned) sig_.isSigned = scalar.isSigned;
            if (scalar.isConst) sig_.isConst = true;
            out_.signal(sig_);
            ++emitted_;
            sig_.typeName = saved.typeName;
            sig_.size = saved.size;
            sig_.type = saved.type;
            sig_.isSigned = saved.isSigned;
            sig_.isConst = saved.isConst;
        } else {
            visit(array->type, false, depth + 1);
        }
        sig_.address = address + dims_[first + rank - 1].stride;
        if (stopped_) break;
        std::size_t k = rank;
        bool done = false;
        while (k > 0) {
            --k;
            if (++index_[first + k] < dims_[first + k].count) break;
            index_[first + k] = dims_[first + k].first;
            if (k == 0) done = true;
        }
        if (done) break;
    }
    dims_.resize(first);
    index_.resize(first);
}

}  // namespace

ExpandUsage expand(const BasicObject* object, SignalInfo signal, bool membersOnly, SignalSink& sink,
                   Reporter& reporter, const ExpandLimits& limits) {
    Walker walker(sink, std::move(signal), reporter, limits);
    walker.run(object, membersOnly);
    return walker.usage();
}

void expand(const BasicObject* object, SignalInfo signal, bool membersOnly,
            std::vector<SignalInfo>& signals, Reporter& reporter, const ExpandLimits& limits) {
    struct Collector final : SignalSink {
        explicit Collector(std::vector<SignalInfo>& list) : list(list) {}
        void signal(const SignalInfo& s) override { list.push_back(s); }
        std::vector<SignalInfo>& list;
    } collector(signals);
    expand(object, std::move(signal), membersOnly, collector, reporter, limits);
}

}  // namespace kestrel::expand
