// The whole program path for one dump text, as the fuzz target and the corpus
// replay test run it: the text becomes a model (in one piece and again in
// blocks through the builder), the located variables are expanded and the
// three output files are written into a scratch folder, read back, checked
// and removed. Header-only so that the fuzz target and the tests share it
// without a library of their own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/DwarfModel.h"
#include "model/Report.h"
#include "reader/ModelLoader.h"
#include "writers/OutputPass.h"

namespace kestrel::fuzzing {

// What one run produced. `problem` is empty when every check held; otherwise
// it says which one failed.
struct PipelineOutcome {
    bool written = false;
    std::size_t located = 0;
    std::size_t variables = 0;
    // The first MB of each output file.
    std::string map;
    std::string canape;
    std::string log;
    bool logPresent = false;
    std::string problem;
    std::string console;
};

namespace detail {

// What one output file holds: its first bytes (for the tests to look at), its
// number of lines and whether every line ends in CR LF (no bare LF, nothing
// after the last line end). Read in blocks: a file can be very large.
struct FileScan {
    bool present = false;
    std::string head;
    std::size_t size = 0;
    std::size_t lines = 0;
    bool crLf = true;
};

inline FileScan scanFile(const std::filesystem::path& path, std::size_t keep = std::size_t{1} << 20) {
    FileScan scan;
    std::ifstream in(path, std::ios::binary);
    if (!in) return scan;
    scan.present = true;
    std::vector<char> block(std::size_t{1} << 16);
    char previous = '\0';
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0) break;
        if (scan.head.size() < keep) scan.head.append(block.data(), std::min(got, keep - scan.head.size()));
        for (std::size_t i = 0; i < got; ++i) {
            if (block[i] == '\n') {
                ++scan.lines;
                if (previous != '\r') scan.crLf = false;
            }
            previous = block[i];
        }
        scan.size += got;
    }
    if (scan.size > 0 && previous != '\n') scan.crLf = false;
    return scan;
}

// Where a unit header line starts in `text` ("Compilation Unit @ offset"
// after the blanks at a line start), at most `most` of them.
inline std::vector<std::size_t> unitHeaderStarts(std::string_view text, std::size_t most) {
    std::vector<std::size_t> starts;
    for (std::size_t at = text.find("Compilation Unit @ offset"); at != std::string_view::npos && starts.size() < most;
         at = text.find("Compilation Unit @ offset", at + 1)) {
        std::size_t start = at;
        while (start > 0 && (text[start - 1] == ' ' || text[start - 1] == '\t')) --start;
        if (start > 0 && start < at && text[start - 1] == '\n') starts.push_back(start);
    }
    return starts;
}

}  // namespace detail

// Everything a model holds, as text: every object in reading order with its
// fields and links (as reading positions), the index, and the model's lists
// and tables. Two readings of one text must give the same description.
inline std::string describeModel(const model::DwarfModel& m) {
    using namespace kestrel::model;
    std::string out;
    std::unordered_map<const BasicObject*, std::size_t> position;
    position.emplace(m.root.get(), 0);
    for (TreeWalk walk(m.root.get()); !walk.done(); ++walk) position.emplace(*walk, position.size());
    auto at = [&](const BasicObject* o) -> std::string {
        if (o == nullptr) return "-";
        auto it = position.find(o);
        return it == position.end() ? "?" : std::to_string(it->second);
    };
    auto add = [&out](const auto&... parts) { ((out += parts, out += ' '), ...); };
    auto n = [](auto value) { return std::to_string(value); };
    for (TreeWalk walk(m.root.get()); !walk.done(); ++walk) {
        const BasicObject* o = *walk;
        add(at(o), n(static_cast<int>(o->kind())), n(o->offset), std::string(o->tag()), std::string(o->getName()),
            at(o->parent), n(o->declFile));
        m.appendDeclLine(out, *o);
        add("", n(o->nested), n(o->inTypeSection), n(o->hasSpecification), n(o->isUnitEntry()), n(o->getSize()),
            at(typeOf(o)), at(definitionOf(o)),
            at((o->inTypeSection ? m.typeSectionObjects : m.objectsByOffset).find(o->offset)));
        if (const auto* v = as<VariableInfo>(o))
            add(n(v->address), n(static_cast<int>(v->locationForm())), n(v->external()), n(v->declaration()),
                n(v->isStatic()), n(v->isParameter()), at(v->specification.get()), n(v->type.offset()),
                n(v->specification.offset()));
        out += '\n';
    }
    add("index", n(m.objectsByOffset.size()), n(m.typeSectionObjects.size()), "\n");
    for (const BasicObject* o : m.locatedObjects) add("located", at(o));
    for (const BasicObject* o : m.constantObjects) add("constant", at(o));
    for (const BasicObject* o : m.plainVariables) add("plain", at(o));
    for (const auto& [o, text] : m.linkageNames) add("linkage", at(o), std::string(text));
    for (const auto& [o, text] : m.constValues) add("const", at(o), std::string(text));
    for (const auto& [o, value] : m.accessibilities) add("access", at(o), n(value));
    for (const auto& [o, value] : m.dataBitOffsets) add("bit", at(o), n(value));
    for (const auto& [offset, text] : m.locationExpressions) add("expression", n(offset), std::string(text));
    for (const auto& u : m.typeUnits) add("unit", n(u.signature), n(u.typeOffset), n(u.inTypeSection));
    for (const auto& r : m.signatureReferences) add("signature", at(r.object), n(r.signature), n(r.standsFor));
    for (const auto& a : m.indexedAddresses) add("indexed", at(a.object), n(a.unitOffset), n(a.index), n(a.addend));
    for (const auto& [unit, rows] : m.addressTables) {
        add("rows", n(unit));
        for (std::uint32_t row : rows) add(n(row));
    }
    for (const auto& d : m.unresolvedDeclarations) add("unresolved", at(d.declaration), d.name);
    auto table = [&](const char* what, const StatementList& list) {
        add(what, n(list.offset), n(list.zeroBased));
        for (const std::string& d : list.directories) add("dir", d);
        for (const std::string& f : list.files) add("file", f);
    };
    for (const auto& [offset, list] : m.lineTables) table("table", *list);
    // Spare tables (a repeated offset) are only kept, never read: their
    // order is not part of the model.
    std::vector<std::string> spares;
    for (const auto& list : m.spareLineTables) {
        std::string before;
        before.swap(out);
        table("spare", *list);
        spares.push_back(std::exchange(out, std::move(before)));
    }
    std::sort(spares.begin(), spares.end());
    for (const std::string& spare : spares) out += spare;
    add("\nend", n(m.littleEndian), n(m.dumpCut), n(m.notADump), n(m.linesRead));
    return out;
}

// Runs `dumpText` through the pipeline with the output files in `folder`
// (which must exist and should belong to this process alone). The files are
// removed again before returning.
inline PipelineOutcome runPipeline(std::string_view dumpText, const std::filesystem::path& folder) {
    PipelineOutcome outcome;
    const std::filesystem::path mapPath = folder / "dump_Mox.m51";
    const std::filesystem::path canapePath = folder / "dump_CANape.db";
    const std::filesystem::path logPath = folder / "dump_Mox.m51_StyleWarnings.log";
    {
        model::TextReporter console;

        std::unique_ptr<model::DwarfModel> whole = reader::loadText(dumpText);
        outcome.located = whole->locatedObjects.size();
        outcome.variables = whole->variables.size();
        const std::string described = describeModel(*whole);
        // The reader's list of plain variables is the tree's, in its order.
        {
            std::vector<const model::BasicObject*> walked;
            for (const model::VariableInfo* v : whole->variables)
                if (!v->isParameter()) walked.push_back(v);
            if (!std::equal(walked.begin(), walked.end(), whole->plainVariables.begin(), whole->plainVariables.end()))
                outcome.problem = "the list of plain variables is not the tree's";
        }

        // The same text read in two parts at once, split at a unit header.
        for (std::size_t start : detail::unitHeaderStarts(dumpText, 4)) {
            bool split = false;
            if (describeModel(*reader::loadTextInParts(dumpText, start, split)) != described)
                outcome.problem = "the text read in two parts gave another model";
        }

        // The same text in chunks between the parts (the later part from the
        // last of those unit headers), the chunks read by either thread.
        const std::vector<std::size_t> headers = detail::unitHeaderStarts(dumpText, 4);
        if (headers.size() >= 2) {
            const std::vector<std::uint64_t> chunks(headers.begin(), headers.end() - 1);
            for (std::size_t firstTakes : {std::size_t{0}, std::size_t{1}}) {
                bool split = false;
                if (describeModel(*reader::loadTextInParts(dumpText, headers.back(), chunks, firstTakes, split)) !=
                    described)
                    outcome.problem = "the text read in chunks gave another model";
            }
        }

        // The same text through the builder, in blocks whose size depends on
        // the text, so that line ends fall on block boundaries somewhere.
        {
            model::DwarfModel blocks;
            reader::ModelLoader builder(blocks);
            const std::size_t step = 1 + dumpText.size() % 61;
            for (std::size_t at = 0; at < dumpText.size(); at += step)
                builder.push(dumpText.substr(at, std::min(step, dumpText.size() - at)));
            builder.finish();
            if (describeModel(blocks) != described)
                outcome.problem = "the builder read the text in blocks differently";
        }

        // Small bounds: the pipeline explores the logic, not the sizes that
        // the program's own bounds already cap.
        expand::ExpandLimits limits;
        limits.maxSignals = 1u << 14;
        limits.maxVisits = 1u << 18;
        limits.maxRunSignals = 1u << 16;
        limits.maxRunVisits = 1u << 20;
        outcome.written = writers::writeOutputFiles(mapPath.string(), canapePath.string(), *whole, console, limits);
        outcome.console = std::move(console.text);
    }

    auto fail = [&outcome](const char* what) {
        if (outcome.problem.empty()) outcome.problem = what;
    };
    if (!outcome.written) fail("an output file was not written");
    const detail::FileScan map = detail::scanFile(mapPath);
    const detail::FileScan canape = detail::scanFile(canapePath);
    const detail::FileScan log = detail::scanFile(logPath);
    outcome.map = map.head;
    outcome.canape = canape.head;
    outcome.log = log.head;
    outcome.logPresent = log.present;
    if (!map.present) fail("the map file is missing");
    if (!canape.present) fail("the CANape file is missing");
    if (!map.crLf) fail("a map line does not end in CR LF");
    if (!canape.crLf) fail("a CANape line does not end in CR LF");
    if (!log.crLf) fail("a log line does not end in CR LF");
    if (canape.present && canape.lines < 3) fail("the CANape file lacks its header");
    // Map and CANape describe the same signals: one map line per signal, and
    // the CANape file has its three header lines and one line per signal.
    if (outcome.written && canape.lines != map.lines + 3)
        fail("map and CANape file list different numbers of signals");
    if (log.present && log.size == 0) fail("an empty style-warnings log was written");

    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
        // Temporary files of the output pass must not outlive it.
        const std::string name = entry.path().filename().string();
        if (name.find(".tmp") != std::string::npos) fail("a temporary output file was left behind");
    }
    std::filesystem::remove(mapPath, ignored);
    std::filesystem::remove(canapePath, ignored);
    std::filesystem::remove(logPath, ignored);
    return outcome;
}

}  // namespace kestrel::fuzzing
