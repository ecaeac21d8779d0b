// The object's own name and the scope-qualified name of an object.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "expand/Expand.h"

namespace kestrel::expand {

using namespace kestrel::model;

std::string_view nameOf(const BasicObject& object, Reporter* reporter) {
    if (reporter != nullptr && object.getName().find("RtePortSR") != std::string_view::npos) {
        std::string text = "getName: ";
        text += object.getName();
        reporter->message(aboutEntry(text, object.offset));
        reporter->message("children.size(): " + std::to_string(object.children.size()));
    }
    return object.getName();
}

namespace {

struct Piece {
    std::string_view name;
    std::string_view separator;  // empty when nothing followed the name
};

}  // namespace

std::string qualifiedName(const BasicObject* object, std::string suffix, Reporter* reporter) {
    // Gather the contributions from the inside out, then join them once from
    // the outside in: no prefix is rebuilt on the way up.
    std::vector<Piece> pieces;
    bool gatheredEmpty = suffix.empty();
    std::size_t total = suffix.size();
    const BasicObject* o = object;
    // The walk goes up through parent and DW_AT_specification links; a cycle
    // in malformed input ends at the depth bound with the text gathered so far.
    for (int step = 0; o != nullptr && step < kMaxDepth; ++step) {
        const BasicObject* source = o;
        std::string_view separator;
        switch (o->kind()) {
            case Kind::Class: {
                const auto* c = static_cast<const TypeInfo_Class*>(o);
                if (c->specification != nullptr) source = c->specification;
                separator = "->";
                break;
            }
            case Kind::Function: {
                const auto* f = static_cast<const FunctionInfo*>(o);
                if (f->specification != nullptr) source = f->specification;
                separator = "@";
                break;
            }
            case Kind::Variable: {
                const auto* v = static_cast<const VariableInfo*>(o);
                if (v->specification != nullptr) source = v->specification;
                separator = ".";
                break;
            }
            case Kind::Member:
            case Kind::Enumeration:
            case Kind::Enumerator: separator = "."; break;
            case Kind::Namespace: separator = "::"; break;
            default: break;
        }
        if (!separator.empty()) {
            std::string_view own = nameOf(*source, reporter);
            if (gatheredEmpty) separator = {};
            pieces.push_back({own, separator});
            total += own.size() + separator.size();
            gatheredEmpty = gatheredEmpty && own.empty();
        }
        o = source->parent;
    }
    if (pieces.empty()) return suffix;
    std::string result;
    result.reserve(total);
    for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
        result += it->name;
        result += it->separator;
    }
    result += suffix;
    return result;
}

}  // namespace kestrel::expand
