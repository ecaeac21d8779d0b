// Helpers of the firmware tests: running the tools, reading and writing
// files, parsing the memory map and turning its display names into gdb
// expressions. Header-only; every test file that builds firmware includes it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "TestSupport.h"

namespace firmware {

namespace fs = std::filesystem;
using kestrel::test::readFile;
using kestrel::test::TempDir;
using kestrel::test::writeFile;

inline std::vector<std::string> textLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

inline std::string quoted(const fs::path& path) {
    std::string text = "'";
    for (const char c : path.string()) {
        if (c == '\'') text += "'\\''";
        else text += c;
    }
    text += "'";
    return text;
}

// Runs a shell command; its output goes to `log`. True on exit status 0.
inline bool run(const std::string& command, const fs::path& log) {
    std::string line = "(";
    line += command;
    line += ") >";
    line += quoted(log);
    line += " 2>&1";
    return std::system(line.c_str()) == 0;
}

// ------------------------------------------------------------------ map file

// One line of the memory map:
//   0001afd0H     SYMBOL  DATA  WORD     traceBuffer.lateAdc.valid_Bit:12
struct MapLine {
    std::uint32_t address = 0;
    std::uint32_t size = 0;
    std::string name;     // display name without the bit suffix
    std::string bits;     // bit list of a bit field ("456"), empty otherwise
    std::string display;  // the whole display name
};

inline std::uint32_t keywordSize(const std::string& keyword) {
    static const std::map<std::string, std::uint32_t> sizes = {
        {"BYTE ", 1}, {"INT8 ", 1}, {"WORD ", 2}, {"INT16", 2},
        {"DWORD", 4}, {"INT32", 4}, {"QWORD", 8}, {"INT64", 8}};
    const auto known = sizes.find(keyword);
    if (known != sizes.end()) return known->second;
    const std::string prefix = "SIZE_NOT_SUPPORTED_";
    if (keyword.rfind(prefix, 0) == 0) return static_cast<std::uint32_t>(std::stoul(keyword.substr(prefix.size())));
    return 0;
}

// Parses the map; a line of another shape is reported through `bad`.
inline std::vector<MapLine> parseMap(const std::string& text, std::vector<std::string>& bad) {
    std::vector<MapLine> lines;
    const std::string middle = "H     SYMBOL  DATA  ";
    for (const std::string& line : textLines(text)) {
        MapLine m;
        std::size_t keywordEnd = std::string::npos;
        // The keywords are five characters wide, but for SIZE_NOT_SUPPORTED_n.
        if (line.size() > 33 && line.compare(8, middle.size(), middle) == 0)
            keywordEnd = line.compare(28, 19, "SIZE_NOT_SUPPORTED_") == 0 ? line.find("    ", 28) : 33;
        if (keywordEnd == std::string::npos || keywordEnd + 4 >= line.size() ||
            line.compare(keywordEnd, 4, "    ") != 0 || keywordSize(line.substr(28, keywordEnd - 28)) == 0) {
            bad.push_back(line);
            continue;
        }
        m.address = static_cast<std::uint32_t>(std::stoul(line.substr(0, 8), nullptr, 16));
        m.size = keywordSize(line.substr(28, keywordEnd - 28));
        m.display = line.substr(keywordEnd + 4);
        m.name = m.display;
        for (const char* suffix : {"_Bits:", "_Bit:"}) {
            const std::size_t at = m.display.rfind(suffix);
            if (at != std::string::npos) {
                m.name = m.display.substr(0, at);
                m.bits = m.display.substr(at + std::char_traits<char>::length(suffix));
                break;
            }
        }
        lines.push_back(m);
    }
    return lines;
}

// The bit list of a map name: the numbers first ... first + count - 1 written
// one after another.
inline std::string bitList(std::int64_t first, std::int64_t count) {
    std::string text;
    for (std::int64_t b = first; b < first + count; ++b) text += std::to_string(b);
    return text;
}

// --------------------------------------------- display name to gdb expression

// A display name reads scope::var@static.member_03.sub; the parts of one
// component of the member path are its name and its array indices.
struct Component {
    std::string name;
    std::vector<std::string> indices;  // peeled "_<digits>" suffixes, outermost first
};

inline Component splitIndices(const std::string& text) {
    Component c{text, {}};
    for (;;) {
        const std::size_t us = c.name.rfind('_');
        if (us == std::string::npos || us == 0 || us + 1 == c.name.size()) break;
        const std::string digits = c.name.substr(us + 1);
        if (!std::all_of(digits.begin(), digits.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) break;
        c.indices.insert(c.indices.begin(), digits);
        c.name.resize(us);
    }
    return c;
}

// gdb names a variable of an anonymous namespace "(anonymous namespace)::x";
// the tool writes "::x" (a namespace with an empty name).
inline std::string scopeText(std::string scope) {
    for (std::size_t at; (at = scope.find("->")) != std::string::npos;) scope.replace(at, 2, "::");
    if (scope.rfind("::", 0) == 0) scope = "'(anonymous namespace)" + scope + "'";
    return scope;
}

inline std::string componentText(const Component& c, std::size_t peeled) {
    std::string text = c.name;
    const std::size_t keep = c.indices.size() - peeled;
    for (std::size_t i = 0; i < keep; ++i) {
        text += '_';
        text += c.indices[i];
    }
    for (std::size_t i = keep; i < c.indices.size(); ++i) {
        text += '[';
        text += std::to_string(std::stoul(c.indices[i]));
        text += ']';
    }
    return text;
}

// Candidate gdb expressions for a display name (without bit suffix), most
// likely first: every "_<digits>" suffix taken as an array index; then, for
// identifiers that end in digits themselves, fewer suffixes per component.
// `dropLast` leaves out the last member (the container of a bit field) and
// hands its name back through `lastMember`.
inline std::vector<std::string> gdbExpressions(const std::string& display, bool dropLast, std::string& lastMember) {
    std::string prefix;  // "'f'::" for a function-static variable
    std::string rest = display;
    const std::size_t at = display.rfind('@');
    if (at != std::string::npos) {
        std::string function = scopeText(display.substr(0, at));
        if (function.front() != '\'') function = "'" + function + "'";
        prefix = function + "::";
        rest = display.substr(at + 1);
    }
    // The head (up to the first ".") holds the scopes and the variable.
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t dot; (dot = rest.find('.', start)) != std::string::npos; start = dot + 1)
        parts.push_back(rest.substr(start, dot - start));
    parts.push_back(rest.substr(start));
    if (dropLast) {
        lastMember = parts.back();
        parts.pop_back();
    }
    // An empty component is an anonymous member: gdb reaches its members directly.
    std::string scope;
    std::vector<Component> comps;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (parts[i].empty()) continue;
        std::string text = parts[i];
        if (i == 0) {
            const std::size_t sep = std::max(text.rfind("::") == std::string::npos ? 0 : text.rfind("::") + 2,
                                             text.rfind("->") == std::string::npos ? 0 : text.rfind("->") + 2);
            scope = text.substr(0, sep);
            text = text.substr(sep);
        }
        comps.push_back(splitIndices(text));
    }
    std::vector<std::size_t> peel(comps.size());
    for (std::size_t i = 0; i < comps.size(); ++i) peel[i] = comps[i].indices.size();
    std::vector<std::string> candidates;
    auto build = [&]() {
        std::string expr = prefix;
        for (std::size_t i = 0; i < comps.size(); ++i) {
            if (i == 0) {
                std::string head = scope + componentText(comps[0], peel[0]);
                expr += scope.empty() ? head : scopeText(head);
            } else {
                expr += '.';
                expr += componentText(comps[i], peel[i]);
            }
        }
        if (std::find(candidates.begin(), candidates.end(), expr) == candidates.end()) candidates.push_back(expr);
    };
    build();
    // Fallbacks: give back one suffix at a time, last component first.
    for (std::size_t i = comps.size(); i-- > 0 && candidates.size() < 6;) {
        while (peel[i] > 0 && candidates.size() < 6) {
            --peel[i];
            build();
        }
    }
    return candidates;
}

// ---------------------------------------------------------------- gdb batch

// The frame of a gdb batch script: `value(cmd)` reads the number that a gdb
// command prints, and the job loop calls the check's own
// `answer(kind, e, member, unit, size)` for each candidate expression `e` of
// a job until one does not raise gdb.error, writing "kind index answer" (or
// "E index message" when none succeeds) per job.
inline std::string gdbScript(const std::string& checks) {
    return R"PY(
import gdb, re
VAL = re.compile(r'^\$\d+ = (\S+)')
def value(cmd):
    m = VAL.match(gdb.execute(cmd, to_string=True).strip())
    if not m:
        raise gdb.error('no value: ' + cmd)
    return int(m.group(1), 0)
)PY" + checks + R"PY(
out = []
for job in open(JOBS).read().split('\n'):
    if not job:
        continue
    kind, idx, cands, member, unit, size = job.split('\t')
    last = 'no candidate'
    for e in cands.split('\x1f'):
        try:
            out.append('%s %s %s' % (kind, idx, answer(kind, e, member, int(unit), int(size))))
            break
        except gdb.error as err:
            last = '%s: %s' % (e, str(err).replace('\n', ' '))
    else:
        out.append('E %s %s' % (idx, last))
open(RESULT, 'w').write('\n'.join(out) + '\n')
)PY";
}

// Asks gdb about every line of a map in one batch. Each line becomes a job
// "kind TAB index TAB candidates TAB member TAB address TAB size": kind B for
// a bit field (the candidates name its containing object, member is the
// field) and S otherwise, the candidate gdb expressions separated by \x1f,
// the map's address and size in decimal. `script` (Python, which finds the
// job and result file names in JOBS and RESULT) runs in gdb-multiarch with
// `options` on `image`. Returns the result lines; false with gdb's output in
// `error` when gdb fails.
inline bool runGdbJobs(const std::vector<MapLine>& map, const fs::path& dir, const std::string& script,
                       const std::string& options, const fs::path& image, std::vector<std::string>& results,
                       std::string& error) {
    std::string jobs;
    for (std::size_t i = 0; i < map.size(); ++i) {
        const MapLine& m = map[i];
        std::string member;
        const bool bits = !m.bits.empty();
        const std::vector<std::string> exprs = gdbExpressions(m.name, bits, member);
        jobs += bits ? "B\t" : "S\t";
        jobs += std::to_string(i) + "\t";
        for (std::size_t k = 0; k < exprs.size(); ++k) {
            if (k) jobs += '\x1f';
            jobs += exprs[k];
        }
        jobs += "\t" + member + "\t" + std::to_string(m.address) + "\t" + std::to_string(m.size) + "\n";
    }
    const fs::path jobFile = dir / "jobs.txt", resultFile = dir / "gdb_result.txt", scriptFile = dir / "check.py";
    writeFile(jobFile, jobs);
    writeFile(scriptFile, "JOBS = " + quoted(jobFile) + "\nRESULT = " + quoted(resultFile) + "\n" + script);
    if (!run("gdb-multiarch -batch -nx " + options + " -x " + quoted(scriptFile) + " " + quoted(image), dir / "gdb.log")) {
        error = readFile(dir / "gdb.log");
        return false;
    }
    results = textLines(readFile(resultFile));
    return true;
}

// Hands each answer of runGdbJobs to `onAnswer(kind, mapLine, rest)`, `rest`
// reading on after the index; each map line without an answer to
// `onMissing(mapLine)`.
template <class OnAnswer, class OnMissing>
void forEachGdbAnswer(const std::vector<std::string>& results, const std::vector<MapLine>& map, OnAnswer&& onAnswer,
                      OnMissing&& onMissing) {
    std::vector<bool> answered(map.size());
    for (const std::string& line : results) {
        std::istringstream in(line);
        char kind = 0;
        std::size_t idx = 0;
        in >> kind >> idx;
        if (idx >= map.size()) continue;
        answered[idx] = true;
        onAnswer(kind, map[idx], static_cast<std::istream&>(in));
    }
    for (std::size_t i = 0; i < map.size(); ++i)
        if (!answered[i]) onMissing(map[i]);
}

}  // namespace firmware
