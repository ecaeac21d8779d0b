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
    auto table = model.lineTables.find(declaring->stmtListOffset());
    if (table == model.lineTables.end() || table->second == nullptr) return;
    const std::string* file = table->second->fileFor(declaring->declFile);
    if (file != nullptr)
        out += *file;
    else
        out += "unknown";
    out += '(';
    model.appendDeclLine(out, *declaring);
    out += ')';
}

bool isNameless(const VariableInfo& variable) {
    const BasicObject* declaration = variable.specification;
    return variable.getName().empty() && (declaration == nullptr || declaration->getName().empty());
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

// Passes every signal on and notes the span of the written ones, for the
// record of the variable being expanded.
class SpanSink final : public SignalSink {
public:
    explicit SpanSink(SignalSink& next) : next_(next) {}
    void signal(const SignalInfo& signal) override {
        next_.signal(signal);
        ++signals;
        if (signal.isConst) return;
        const std::uint64_t end = std::uint64_t{signal.address} + std::max<std::uint32_t>(signal.size, 1);
        if (written == 0 || signal.address < low) low = signal.address;
        if (written == 0 || end > high) high = end;
        ++written;
    }
    void start() { signals = written = 0; low = 0; high = 0; }

    std::size_t signals = 0;
    std::size_t written = 0;
    std::uint32_t low = 0;
    std::uint64_t high = 0;

private:
    SignalSink& next_;
};

void record(std::vector<VariableRecord>* records, const VariableInfo* variable, VariableOutcome outcome,
            const SpanSink* span = nullptr) {
    if (records == nullptr) return;
    VariableRecord r{variable, 0, 0, outcome};
    if (span != nullptr && span->written > 0) {
        r.low = span->low;
        r.high = static_cast<std::uint32_t>(std::min<std::uint64_t>(span->high, 0xffffffffu));
    }
    records->push_back(r);
}

}  // namespace

void expandVariables(const DwarfModel& model, SignalSink& sink, Reporter& reporter, const ExpandLimits& limits,
                     LocationTexts& locations, std::vector<VariableRecord>* records) {
    for (const DwarfModel::UnresolvedDeclaration& d : model.unresolvedDeclarations)
        reporter.message(aboutEntry("Declaration with definitions of different sizes, not resolved: " + d.name,
                                    d.declaration->offset));
    RunBudget budget{limits.maxRunSignals, limits.maxRunVisits};
    std::string location;
    SpanSink span(sink);
    bool stopped = false;
    for (const BasicObject* object : model.locatedObjects) {
        const auto* variable = as<VariableInfo>(object);
        if (variable == nullptr) continue;
        if (stopped) {
            record(records, variable, VariableOutcome::Stopped);
            continue;
        }
        if (isNameless(*variable)) {
            record(records, variable, VariableOutcome::Nameless);
            continue;
        }
        locationText(location, model, *variable);
        SignalInfo seed;
        seed.address = variable->address;
        seed.name = qualifiedName(variable, std::string(), &reporter);
        seed.location = locations.keep(location);
        seed.offset = variable->offset;
        const BasicObject* type = expansionType(variable);
        if (type == nullptr) {
            record(records, variable, VariableOutcome::NoType);
            continue;
        }
        // A type larger than the 32-bit address space belongs to no real
        // variable: it comes from malformed input and is not expanded.
        if (std::uint64_t{variable->address} + storageSize(type) > (std::uint64_t{1} << 32)) {
            reporter.message(
                aboutEntry("Variable larger than the address space, not expanded: " + seed.name, seed.offset));
            record(records, variable, VariableOutcome::TooLarge);
            continue;
        }
        if (budget.spent()) {
            reporter.message(
                aboutEntry("Too many signals in this image, expansion stopped before: " + seed.name, seed.offset));
            record(records, variable, VariableOutcome::Stopped);
            stopped = true;
            continue;
        }
        const ExpandLimits bounds = budget.forVariable(limits);
        span.start();
        const ExpandUsage used = expand(type, std::move(seed), false, span, reporter, bounds);
        budget.use(used);
        VariableOutcome outcome = VariableOutcome::Listed;
        if (used.signals >= bounds.maxSignals || used.visits >= bounds.maxVisits) outcome = VariableOutcome::Stopped;
        else if (span.signals == 0) outcome = VariableOutcome::NoSignals;
        else if (span.written == 0) outcome = VariableOutcome::ConstantOnly;
        record(records, variable, outcome, &span);
    }
}

}  // namespace kestrel::expand
