#include "writers/OutputPass.h"

#include <utility>
#include <vector>

#include "writers/CanapeFormat.h"
#include "writers/FileOutput.h"
#include "writers/MapFormat.h"
#include "writers/NumberText.h"

namespace Model {

std::uint32_t bitPosition(const SignalInfo& signal, bool littleEndian) {
    if (!littleEndian) return static_cast<std::uint32_t>(signal.bitOffset);
    const std::int64_t end = std::int64_t{signal.bitOffset} + signal.bitSize;
    if (end > std::int64_t{signal.size} * 8) return 0;
    return signal.size * 8u - static_cast<std::uint32_t>(signal.bitOffset) -
           static_cast<std::uint32_t>(signal.bitSize);
}

void appendDisplayName(std::string& out, const SignalInfo& signal, std::uint32_t position) {
    out += signal.name;
    if (signal.bitSize == 0) return;
    out += signal.bitSize == 1 ? "_Bit:" : "_Bits:";
    // No real bit field is wider than 64 bits; a malformed width must not
    // make names of unbounded length.
    constexpr std::int32_t kMaxListedBits = 128;
    const std::int32_t bits = signal.bitSize < kMaxListedBits ? signal.bitSize : kMaxListedBits;
    for (std::int32_t k = 0; k < bits; ++k) appendDecimal(out, position + static_cast<std::uint32_t>(k));
}

std::string_view baseName(std::string_view displayName) {
    const std::size_t end = displayName.find_first_of("@.:");
    if (end == 0) return {};
    if (end == std::string_view::npos) return displayName;
    if (displayName.find_first_of("\r\n", end) != std::string_view::npos) return {};
    return displayName.substr(0, end);
}

void DuplicateCheck::check(std::string_view displayName, std::string_view location) {
    auto seen = seen_.find(displayName);
    if (seen == seen_.end()) {
        seen_.emplace(std::string(displayName), location);
        return;
    }
    found_ = true;
    if (reported_.insert(location).second) {
        log_ += "Warning - Duplicate Static VariableName: ";
        log_ += baseName(displayName);
        log_ += "\r\n  Location File: ";
        log_ += location;
        log_ += "\r\n";
        if (!seen->second.empty()) {
            log_ += "  Location File: ";
            log_ += seen->second;
            log_ += "\r\n";
        }
    }
    seen->second = {};
}

namespace {

// Where a variable is declared: "<file>(<line>)" from the line table of its
// compile unit, "unknown(<line>)" for a file number outside the table, and
// empty when the unit has no line table.
void locationText(std::string& out, const DwarfModel& model, const VariableInfo& variable) {
    out.clear();
    auto table = model.lineTables.find(variable.stmtList);
    if (table == model.lineTables.end() || table->second == nullptr) return;
    const BasicObject* declaring =
        variable.specification != nullptr ? variable.specification : &variable;
    const std::string* file = table->second->fileFor(declaring->declFile);
    if (file != nullptr)
        out += *file;
    else
        out += "unknown";
    out += '(';
    out += declaring->declLine;
    out += ')';
}

}  // namespace

bool writeOutputFiles(std::string mapFileName, std::string canapeFileName, const DwarfModel& model) {
    const std::size_t variables = model.locatedObjects.size();
    std::string mapText;
    std::string canapeText;
    mapText.reserve(variables * 64);
    canapeText.reserve(256 + variables * 256);
    appendCanapeHeader(canapeText);

    DuplicateCheck duplicates;
    // Every distinct location text, stored once; signals and the duplicate
    // check refer to these.
    std::unordered_set<std::string, TextHash, std::equal_to<>> locations;
    std::vector<SignalInfo> signals;
    std::string location;
    std::string displayName;

    // Variable by variable: expand, then emit its signals. This is the order
    // of one signal list built for all variables and emitted afterwards, but
    // only one variable's signals are held at a time.
    for (const BasicObject* object : model.locatedObjects) {
        const auto* variable = as<VariableInfo>(object);
        if (variable == nullptr) continue;
        locationText(location, model, *variable);
        auto stored = locations.find(std::string_view(location));
        if (stored == locations.end()) stored = locations.insert(location).first;

        SignalInfo seed;
        seed.address = variable->address;
        seed.name = qualifiedName(variable, std::string());
        seed.location = *stored;
        seed.offset = variable->offset;
        const BasicObject* type = expansionType(variable);
        if (type == nullptr) continue;
        signals.clear();
        expand(type, std::move(seed), false, signals);

        for (const SignalInfo& signal : signals) {
            if (signal.isConst) continue;
            const std::uint32_t position =
                signal.bitSize != 0 ? bitPosition(signal, model.littleEndian) : 0;
            displayName.clear();
            appendDisplayName(displayName, signal, position);
            appendMapLine(mapText, signal, displayName);
            appendCanapeLine(canapeText, signal, displayName, position);
            duplicates.check(displayName, signal.location);
        }
        if (signals.capacity() > (std::size_t{1} << 16)) std::vector<SignalInfo>().swap(signals);
    }

    bool ok = writeWholeFile(mapFileName, mapText);
    if (duplicates.found()) ok = writeWholeFile(mapFileName + "_StyleWarnings.log", duplicates.log()) && ok;
    if (!canapeFileName.empty()) ok = writeWholeFile(canapeFileName, canapeText) && ok;
    return ok;
}

}  // namespace Model
