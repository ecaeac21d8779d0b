#include "expand/Variables.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace kestrel::expand {

using namespace kestrel::model;

std::string_view LocationTexts::keep(const std::string& text) {
    auto stored = texts_.find(std::string_view(text));
    if (stored == texts_.end()) stored = texts_.insert(text).first;
    return *stored;
}

// The declaration is read with the file table of its own unit: after
// link-time optimisation a definition may refer to a declaration in another
// unit.
void locationText(std::string& out, const DwarfModel& model, const VariableInfo& variable) {
    out.clear();
    const BasicObject* declaring = variable.specification != nullptr ? variable.specification : &variable;
    auto table = model.lineTables.find(declaring->stmtList);
    if (table == model.lineTables.end() || table->second == nullptr) return;
    const std::string* file = table->second->fileFor(declaring->declFile);
    if (file != nullptr)
        out += *file;
    else
        out += "unknown";
    out += '(';
    out += declaring->declLine;
    out += ')';
}

bool isNameless(const VariableInfo& variable) {
    const BasicObject* declaration = variable.specification;
    return variable.name.empty() && (declaration == nullptr || declaration->name.empty());
}

namespace {

// What is left of the run-wide bounds; each variable gets at most that.
struct RunBudget {
    std::size_t signals;
    std::size_t visits;

    bool spent() const { return signals == 0 || visits == 0; }
    ExpandLimits forVariable(const ExpandLimits& limits) const {
        ExpandLimits bounds = limits;
        bounds.maxSignals = std::min(limits.maxSignals, signals);
        bounds.maxVisits = std::min(limits.maxVisits, visits);
        return bounds;
    }
    void use(const ExpandUsage& used) {
        signals -= std::min(signals, used.signals);
        visits -= std::min(visits, used.visits);
    }
};

}  // namespace

void expandVariables(const DwarfModel& model, SignalSink& sink, Reporter& reporter, const ExpandLimits& limits,
                     LocationTexts& locations) {
    for (const DwarfModel::UnresolvedDeclaration& d : model.unresolvedDeclarations)
        reporter.message(aboutEntry("Declaration with definitions of different sizes, not resolved: " + d.name,
                                    d.declaration->offset));
    RunBudget budget{limits.maxRunSignals, limits.maxRunVisits};
    std::string location;
    for (const BasicObject* object : model.locatedObjects) {
        const auto* variable = as<VariableInfo>(object);
        if (variable == nullptr || isNameless(*variable)) continue;
        locationText(location, model, *variable);
        SignalInfo seed;
        seed.address = variable->address;
        seed.name = qualifiedName(variable, std::string(), &reporter);
        seed.location = locations.keep(location);
        seed.offset = variable->offset;
        const BasicObject* type = expansionType(variable);
        if (type == nullptr) continue;
        // A type larger than the 32-bit address space belongs to no real
        // variable: it comes from malformed input and is not expanded.
        if (std::uint64_t{variable->address} + storageSize(type) > (std::uint64_t{1} << 32)) {
            reporter.message(
                aboutEntry("Variable larger than the address space, not expanded: " + seed.name, seed.offset));
            continue;
        }
        if (budget.spent()) {
            reporter.message(
                aboutEntry("Too many signals in this image, expansion stopped before: " + seed.name, seed.offset));
            break;
        }
        budget.use(expand(type, std::move(seed), false, sink, reporter, budget.forVariable(limits)));
    }
}

}  // namespace kestrel::expand
