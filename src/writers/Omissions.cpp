#include "writers/Omissions.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kestrel::writers {

using namespace kestrel::model;
using expand::VariableRecord;
using reader::ElfDataSymbol;

namespace {

void appendHex(std::string& out, std::uint64_t value) {
    static constexpr char kHex[] = "0123456789abcdef";
    char digits[16];
    int n = 0;
    do {
        digits[n++] = kHex[value & 15];
        value >>= 4;
    } while (value != 0 || n < 8);
    out += "0x";
    while (n > 0) out += digits[--n];
}

// The linkage names of the model by object. Only variables and their
// declarations are asked for: the names of variables and members (a static
// member's declaration) are indexed at once, those of other entries (most
// are functions') only when a variable's declaration is one of them.
class LinkageNames {
public:
    explicit LinkageNames(const DwarfModel& model) : model_(model) {
        for (const auto& [object, name] : model.linkageNames)
            if (indexedAtOnce(object)) names_.emplace(object, name);
    }
    std::string_view of(const BasicObject* object) const {
        if (object == nullptr) return {};
        const Map& names = indexedAtOnce(object) ? names_ : others();
        auto it = names.find(object);
        return it != names.end() ? it->second : std::string_view{};
    }

    // The name a symbol table gives a variable: its linkage name, else its
    // name (each its own or its declaration's).
    std::string_view symbolName(const VariableInfo& v) const {
        const BasicObject* declaration = v.specification;
        if (const std::string_view own = of(&v); !own.empty()) return own;
        if (const std::string_view declared = of(declaration); !declared.empty()) return declared;
        if (!v.getName().empty() || declaration == nullptr) return v.getName();
        return declaration->getName();
    }

private:
    using Map = std::unordered_map<const BasicObject*, std::string_view>;
    static bool indexedAtOnce(const BasicObject* object) {
        return object->kind() == Kind::Variable || object->kind() == Kind::Member;
    }
    const Map& others() const {
        if (!othersMade_) {
            othersMade_ = true;
            for (const auto& [object, name] : model_.linkageNames)
                if (!indexedAtOnce(object)) others_.emplace(object, name);
        }
        return others_;
    }

    const DwarfModel& model_;
    Map names_;
    mutable Map others_;
    mutable bool othersMade_ = false;
};

// GCC names a function's static variable `name.N` in the symbol table.
std::string_view withoutNumberSuffix(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return name;
    for (std::size_t i = dot + 1; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9') return name;
    return name.substr(0, dot);
}

// True when a symbol of this name may stand for a variable of this plain
// name: the same name, `name.N`, or a mangled name that contains it.
bool namesAgree(std::string_view symbol, std::string_view name) {
    if (name.empty()) return true;  // nothing to compare
    return symbol == name || withoutNumberSuffix(symbol) == name ||
           (symbol.starts_with("_Z") && symbol.find(name) != std::string_view::npos);
}

// The listed variables' spans sorted by their start, with the largest end
// of every prefix, so that an overlap test is one binary search.
class Spans {
public:
    explicit Spans(const std::vector<VariableRecord>& records) {
        for (const VariableRecord& r : records)
            if (r.high > r.low) spans_.push_back({r.low, r.high, 0});
        std::sort(spans_.begin(), spans_.end(), [](const Span& a, const Span& b) { return a.low < b.low; });
        std::uint64_t most = 0;
        for (Span& s : spans_) {
            most = std::max<std::uint64_t>(most, s.high);
            s.maxHigh = most;
        }
    }
    bool overlaps(std::uint64_t low, std::uint64_t high) const {
        auto past = std::lower_bound(spans_.begin(), spans_.end(), high,
                                     [](const Span& s, std::uint64_t h) { return s.low < h; });
        return past != spans_.begin() && std::prev(past)->maxHigh > low;
    }

private:
    struct Span {
        std::uint64_t low, high, maxHigh;
    };
    std::vector<Span> spans_;
};

// The name of the type that could not be expanded, or its DIE offset when
// the type link is not resolved at all.
std::string missingType(const VariableInfo& v) {
    const BasicObject* type = expand::expansionType(&v);
    for (int depth = 0; type != nullptr && depth < kMaxDepth; ++depth) {
        const BasicObject* next = typeOf(type);
        if (next == nullptr) break;
        type = next;
    }
    if (type != nullptr) return expand::qualifiedName(type->parent, std::string(type->getName()));
    std::string text = "<";
    const std::uint32_t offset = v.type.offset() != 0 || v.specification == nullptr ? v.type.offset() : 0;
    appendHex(text, offset);
    return text + ">";
}

std::string outcomeReason(const VariableRecord& r) {
    switch (r.outcome) {
        case VariableOutcome::Listed: {
            std::string text = "listed at ";
            appendHex(text, r.low);
            return text;
        }
        case VariableOutcome::ConstantOnly: return "constant data";
        case VariableOutcome::NoType:
        case VariableOutcome::NoSignals: return "type not found: " + missingType(*r.variable);
        case VariableOutcome::TooLarge: return "type larger than the address space";
        case VariableOutcome::Stopped: return "expansion stopped";
        case VariableOutcome::Nameless: return "variable without a name";
    }
    return {};
}

// True for a variable of a function (a local or a parameter, also in a
// lexical block): unless it has an address, it is no data object.
bool insideFunction(const BasicObject& v) {
    int depth = 0;
    for (const BasicObject* o = v.parent; o != nullptr && depth < kMaxDepth; o = o->parent, ++depth)
        if (o->kind() == Kind::Function) return true;
    return false;
}

// The reason why no signal covers a symbol, for the symbols `omitted`: only
// the variables of their names are looked at.
class Reasons {
public:
    Reasons(const DwarfModel& model, const LinkageNames& linkage, const std::vector<VariableRecord>& records,
            const std::vector<const ElfDataSymbol*>& omitted)
        : model_(model) {
        for (const VariableRecord& r : records) {
            byVariable_.emplace(r.variable, &r);
            byAddress_.emplace(r.variable->address, &r);
        }
        // of() asks for these names only.
        std::unordered_set<std::string_view> asked;
        for (const ElfDataSymbol* symbol : omitted) {
            asked.insert(symbol->name);
            asked.insert(withoutNumberSuffix(symbol->name));
        }
        for (const VariableInfo* v : model.plainVariables) {
            const std::string_view name = linkage.symbolName(*v);
            if (name.empty() || asked.count(name) == 0) continue;
            if (!insideFunction(*v)) byName_.emplace(name, v);
            // A function's static variable: located, or without a location
            // (optimized out); its symbol is `name.N`. Other locals are no
            // data objects.
            else if (v->locationForm() == LocationForm::Address || v->locationForm() == LocationForm::None)
                staticByName_.emplace(name, v);
        }
    }

    std::string of(const ElfDataSymbol& symbol) const {
        const VariableInfo* best = nullptr;
        auto consider = [&](const Index& index, std::string_view name) {
            auto [first, last] = index.equal_range(name);
            for (auto it = first; it != last; ++it)
                if (best == nullptr || rank(*it->second, symbol) > rank(*best, symbol)) best = it->second;
        };
        consider(byName_, symbol.name);
        if (best == nullptr) consider(byName_, withoutNumberSuffix(symbol.name));
        const std::string_view stem = withoutNumberSuffix(symbol.name);
        if (best == nullptr && stem.size() < symbol.name.size()) consider(staticByName_, stem);
        if (best == nullptr || rank(*best, symbol) < 2) {
            auto at = byAddress_.find(static_cast<std::uint32_t>(symbol.address));
            if (at != byAddress_.end()) return outcomeReason(*at->second);
        }
        if (best == nullptr) return "no debugging information";
        return reasonFor(*best);
    }

private:
    // A located variable at the symbol's address first, then any with a
    // location, then a definition, then a declaration.
    int rank(const VariableInfo& v, const ElfDataSymbol& symbol) const {
        if (v.locationForm() == LocationForm::Address || byVariable_.count(&v) != 0)
            return v.address == symbol.address ? 4 : 2;
        if (v.locationForm() != LocationForm::None) return 3;
        return v.declaration() ? 0 : 1;
    }

    std::string reasonFor(const VariableInfo& v) const {
        // A located variable (whatever form its location was read in) has
        // the outcome of its expansion.
        if (auto it = byVariable_.find(&v); it != byVariable_.end()) return outcomeReason(*it->second);
        switch (v.locationForm()) {
            case LocationForm::List: return "location list";
            case LocationForm::Expression: {
                // Made at the first need: most symbols need no expression.
                if (expressions_.empty())
                    for (const auto& [offset, text] : model_.locationExpressions) expressions_.emplace(offset, text);
                auto it = expressions_.find(v.offset);
                std::string_view text = it != expressions_.end() ? it->second : std::string_view{};
                if (text.size() >= 2 && text.front() == '(' && text.back() == ')')
                    text = text.substr(1, text.size() - 2);
                return "unsupported location: " + std::string(text);
            }
            case LocationForm::Address: return "not expanded";
            case LocationForm::None: break;
        }
        return v.declaration() ? "no debugging information" : "optimized out";
    }

    using Index = std::unordered_multimap<std::string_view, const VariableInfo*>;
    const DwarfModel& model_;
    Index byName_;        // variables outside functions, by symbol name
    Index staticByName_;  // functions' static variables, by name
    std::unordered_map<const VariableInfo*, const VariableRecord*> byVariable_;
    std::unordered_map<std::uint32_t, const VariableRecord*> byAddress_;
    mutable std::unordered_map<std::uint32_t, std::string_view> expressions_;
};

void appendLine(std::string& log, const ElfDataSymbol& symbol, std::string_view reason) {
    log += symbol.name;
    log += '\t';
    appendHex(log, symbol.address);
    log += '\t';
    log += std::to_string(symbol.size);
    log += '\t';
    log += symbol.section;
    log += '\t';
    log += reason;
    log += "\r\n";
}

// The symbol whose bytes hold `address`, among symbols sorted by address.
const ElfDataSymbol* holder(const std::vector<const ElfDataSymbol*>& sorted, std::uint64_t address) {
    auto past = std::upper_bound(sorted.begin(), sorted.end(), address,
                                 [](std::uint64_t a, const ElfDataSymbol* s) { return a < s->address; });
    // Data symbols do not overlap but for aliases at one address: a few
    // steps back reach every symbol that can hold the address.
    for (int step = 0; step < 8 && past != sorted.begin(); ++step) {
        const ElfDataSymbol* s = *--past;
        if (address < s->address + s->size) return s;
    }
    return nullptr;
}

// Listed variables whose address and name disagree with the symbol table.
std::size_t appendMismatches(std::string& log, const std::vector<ElfDataSymbol>& symbols,
                             const LinkageNames& linkage, const std::vector<VariableRecord>& records) {
    std::vector<const ElfDataSymbol*> sorted;
    sorted.reserve(symbols.size());
    for (const ElfDataSymbol& s : symbols) sorted.push_back(&s);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const ElfDataSymbol* a, const ElfDataSymbol* b) { return a->address < b->address; });
    // By name, made at the first variable that lies in no symbol.
    std::unordered_multimap<std::string_view, const ElfDataSymbol*> byName;
    bool byNameMade = false;
    std::size_t count = 0;
    for (const VariableRecord& r : records) {
        if (r.outcome != VariableOutcome::Listed) continue;
        const VariableInfo& v = *r.variable;
        const ElfDataSymbol* at = holder(sorted, v.address);
        std::string reason;
        if (at != nullptr) {
            if (namesAgree(at->name, linkage.symbolName(v))) continue;
            reason = "listed variable " + expand::qualifiedName(&v, std::string()) + " at ";
            appendHex(reason, v.address);
            reason += " lies in this symbol of another name";
            appendLine(log, *at, reason);
            ++count;
            continue;
        }
        if (!byNameMade) {
            byNameMade = true;
            for (const ElfDataSymbol& s : symbols) byName.emplace(s.name, &s);
        }
        auto named = byName.find(linkage.symbolName(v));
        if (named == byName.end()) continue;
        reason = "listed variable " + expand::qualifiedName(&v, std::string()) + " is at ";
        appendHex(reason, v.address);
        reason += ", not at the symbol of its name";
        appendLine(log, *named->second, reason);
        ++count;
    }
    return count;
}

}  // namespace

std::size_t listedVariables(const std::vector<VariableRecord>& records) {
    return static_cast<std::size_t>(std::count_if(records.begin(), records.end(), [](const VariableRecord& r) {
        return r.outcome == VariableOutcome::Listed;
    }));
}

OmissionCounts appendOmissions(std::string& log, const std::vector<ElfDataSymbol>& symbols, const DwarfModel& model,
                               const std::vector<VariableRecord>& records) {
    OmissionCounts counts;
    counts.variables = listedVariables(records);
    const Spans spans(records);
    std::vector<const ElfDataSymbol*> omitted;
    for (const ElfDataSymbol& symbol : symbols)
        if (!spans.overlaps(symbol.address, symbol.address + symbol.size)) omitted.push_back(&symbol);
    const LinkageNames linkage(model);
    if (!omitted.empty()) {
        const Reasons reasons(model, linkage, records, omitted);
        for (const ElfDataSymbol* symbol : omitted) appendLine(log, *symbol, reasons.of(*symbol));
        counts.omissions = omitted.size();
    }
    counts.mismatches = appendMismatches(log, symbols, linkage, records);
    return counts;
}

}  // namespace kestrel::writers
