// Differential test of the dump line scanners. The scanners of
// reader/LineGrammar are hand-written for speed; the dump grammar itself is
// defined by the ECMAScript regular expressions below (whole-text matches),
// which live only here, as the reference. Every scanner is fed the distinct
// lines of real dumps (gcc for Cortex-M4 at DWARF 2, 4 and 5, dumped by
// arm-none-eabi-objdump, and one binutils 2.26 dump in its raw and in the
// classic binutils 2.19-2.23 shape) plus systematic mutations of them, and its
// decision and captures are compared with the reference pattern.
//
// The scanners accept a few shapes more than the patterns, deliberately, for
// current binutils; each such extension is written down below as its own
// reference, so that anything else a scanner accepts is a failure:
//  - an attribute line without a TAB after the value (binutils >= 2.25): read
//    as if the line ended in a TAB, except that a value ending in
//    " (location list)" is split before that blank;
//  - the Offset line "  Offset:                      0" of binutils 2.40;
//  - the directory table headers " The Directory Table (offset 0x1b):" and
//    " The Directory Table (offset 0x22, lines 2, columns 1):";
//  - a constant written as "0x" and hex digits;
//  - the location "(DW_OP_addr: X; DW_OP_plus_uconst: N)".
#include "reader/LineGrammar.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace kestrel::reader::grammar;
using kestrel::test::TempDir;
namespace fs = std::filesystem;

fs::path testDataDir() {
#ifdef KESTREL_TEST_DATA
    return fs::path(KESTREL_TEST_DATA);
#else
    return fs::path(__FILE__).parent_path() / "data";
#endif
}

// --- Reference patterns -----------------------------------------------------

const std::regex& re(const char* pattern) {
    // One compiled regex per pattern text, kept for the whole run.
    static std::map<const char*, std::regex> cache;
    auto it = cache.find(pattern);
    if (it == cache.end()) it = cache.emplace(pattern, std::regex(pattern, std::regex::ECMAScript)).first;
    return it->second;
}

// The line shapes.
constexpr const char* kDieHeader =
    R"re(^[ ]+[<]([[:xdigit:]]+)[>][<]([[:xdigit:]]+)[>][:][ ]+Abbrev[ ]+Number[:][ ]+([[:digit:]]+)[ ]+[(](DW_TAG_.*|(User|Unknown) TAG value: 0x[[:xdigit:]]+)[)]$)re";
constexpr const char* kAttribute = R"re(^[ ]+[<]([[:xdigit:]]+)[>][ ]+(DW_AT_[^ :]+)[ :]+[ ](.*)\t(.*)$)re";
constexpr const char* kOffset = R"re(^[[:blank:]]+Offset[:][[:blank:]]*0x([[:xdigit:]]+)$)re";
constexpr const char* kDirectoryHeader = R"re(^[[:blank:]]+The Directory Table[:]$)re";
constexpr const char* kFileHeader = R"re(^[[:blank:]]+Entry\tDir\tTime\tSize\tName$)re";
constexpr const char* kDirectoryEntry = R"re(^[[:blank:]]+(.*)[[:blank:]]*)re";
constexpr const char* kFileEntry =
    R"re(^[[:blank:]]+([[:digit:]]+)\t([[:digit:]]+)\t[[:digit:]]+\t[[:digit:]]+\t(.*)$)re";
constexpr const char* kPointerSize = R"re(^[ ]+Pointer[ ]Size[:][ ]+([[:digit:]]+)$)re";
constexpr const char* kFileFormatLittle = R"re(^.*[:][ ]+file[ ]format[ ].*little$)re";
// The format name that scanFileFormat reports: after the last ": file format ".
constexpr const char* kFileFormatName = R"re(^.*[:][ ]+file[ ]format[ ](.*)$)re";

// The attribute value patterns.
constexpr const char* kAfterIndirect = R"re(^.*[)]:[ ](.*)$)re";
constexpr const char* kAddress = R"re(^[(]DW_OP_addr[:][ ]+([[:xdigit:]]+)[)]$)re";
constexpr const char* kPlusUconst = R"re(^[(]DW_OP_plus_uconst[:][ ]+([[:digit:]]+)[)]$)re";
constexpr const char* kConstant = R"re([[:space:]]*([0-9]+)[[:space:]]*)re";
constexpr const char* kLastHex = R"re(^.*0x([[:xdigit:]]+).*$)re";
constexpr const char* kParenthesised = R"re(^.*[(](.*)[)]$)re";

// The deliberate extensions.
constexpr const char* kOffsetBareZero = R"re(^[[:blank:]]+Offset[:][[:blank:]]*0$)re";
constexpr const char* kDirectoryHeaderWithOffset =
    R"re(^[[:blank:]]+The Directory Table [(]offset 0x[[:xdigit:]]+(, lines [[:digit:]]+, columns [[:digit:]]+)?[)]:$)re";
constexpr const char* kHexConstant = R"re([[:space:]]*0x([[:xdigit:]]+)[[:space:]]*)re";
constexpr const char* kAddressPlus =
    R"re(^[(]DW_OP_addr[:][ ]+([[:xdigit:]]+); DW_OP_plus_uconst[:][ ]+([[:digit:]]+)[)]$)re";
constexpr std::string_view kLocationList = " (location list)";


// --- Reference conversions --------------------------------------------------

// Hex digits as the standard library reads them; a longer capture keeps its
// low 32 bits, i.e. its last eight digits.
std::uint32_t refHex(const std::string& digits) {
    const std::string low = digits.size() > 8 ? digits.substr(digits.size() - 8) : digits;
    return static_cast<std::uint32_t>(std::stoul(low, nullptr, 16));
}

// Decimal digits, low 32 bits; nullopt when the number is beyond 64 bits.
std::optional<std::uint32_t> refDecimal(const std::string& digits) {
    try {
        return static_cast<std::uint32_t>(std::stoull(digits, nullptr, 10));
    } catch (const std::out_of_range&) {
        return std::nullopt;
    }
}

// --- Reporting --------------------------------------------------------------

std::string show(std::string_view s) {
    std::string out = "\"";
    const std::size_t shown = std::min<std::size_t>(s.size(), 160);
    for (std::size_t i = 0; i < shown; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '\t') out += "\\t";
        else if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '"' || c == '\\') (out += '\\') += static_cast<char>(c);
        else if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    if (shown < s.size()) out += " ... (" + std::to_string(s.size()) + " bytes)";
    return out;
}

// Counts of one scanner over all its inputs.
struct Tally {
    std::string name;
    std::size_t scanned = 0;    // distinct inputs given to the scanner
    std::size_t compared = 0;   // of them, also matched against the reference pattern
    std::size_t matched = 0;    // the reference pattern matched
    std::size_t extension = 0;  // accepted as one of the deliberate extensions
    std::size_t deviation = 0;  // accepted through the known deviation
    std::size_t failures = 0;

    void fail(std::string_view input, const std::string& what) {
        if (++failures <= 10) ADD_FAILURE() << name << ": " << what << "\n  input: " << show(input);
    }
};

// Compares the decision and the captures of one scanner with the references.
// `accepted` is what the scanner said; returns through the tally.
void expectSame(Tally& t, std::string_view input, bool accepted, bool expected, const std::string& capturesScanner,
                const std::string& capturesExpected) {
    if (accepted != expected) {
        t.fail(input, accepted ? "scanner accepts, reference rejects" : "scanner rejects, reference accepts");
    } else if (accepted && capturesScanner != capturesExpected) {
        t.fail(input, "captures differ: scanner " + show(capturesScanner) + ", reference " + show(capturesExpected));
    }
}

std::string join(std::initializer_list<std::string_view> parts) {
    std::string s;
    for (auto p : parts) (s += show(p)) += ' ';
    return s;
}

// --- Line scanners against the references ---------------------------------

// The first character after the leading blanks, or 0.
char firstAfterBlanks(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    return i > 0 && i < line.size() ? line[i] : '\0';
}

struct LineCheck {
    const char* name;
    // A necessary condition of the reference (and extension) patterns; a line
    // that fails it must be rejected by the scanner.
    std::function<bool(std::string_view)> mayMatch;
    std::function<bool(std::string_view)> scannerAccepts;
    // Runs the references on a line and compares.
    std::function<void(const std::string&, Tally&)> compare;
};

void compareDieHeader(const std::string& line, Tally& t) {
    std::smatch m;
    const bool want = std::regex_match(line, m, re(kDieHeader));
    t.matched += want;
    DieHeader h{};
    const bool got = scanDieHeader(line, h);
    expectSame(t, line, got, want, got ? join({h.depth, h.offset, h.tag}) : "",
               want ? join({m.str(1), m.str(2), m.str(4)}) : "");
}

void compareAttribute(const std::string& line, Tally& t) {
    std::smatch m;
    AttributeLine a{};
    const bool got = scanAttribute(line, a);
    const std::string gotCaptures = got ? join({a.name, a.value, a.interpretation, a.hadTab ? "tab" : "no tab"}) : "";
    if (std::regex_match(line, m, re(kAttribute))) {
        ++t.matched;
        return expectSame(t, line, got, true, gotCaptures, join({m.str(2), m.str(3), m.str(4), "tab"}));
    }
    // Extension: no TAB after the value; read as if the line ended in one.
    const std::string padded = line + '\t';
    if (std::regex_match(padded, m, re(kAttribute))) {
        ++t.extension;
        std::string value = m.str(3);
        std::string interpretation;
        if (std::string_view(value).ends_with(kLocationList)) {
            value.resize(value.size() - kLocationList.size());
            interpretation = kLocationList.substr(1);
        }
        return expectSame(t, line, got, true, gotCaptures, join({m.str(2), value, interpretation, "no tab"}));
    }
    expectSame(t, line, got, false, "", "");
}

void compareOffset(const std::string& line, Tally& t) {
    std::smatch m;
    std::string_view digits;
    const bool got = scanOffsetLine(line, digits);
    if (std::regex_match(line, m, re(kOffset))) {
        ++t.matched;
        return expectSame(t, line, got, true, std::string(digits), m.str(1));
    }
    if (std::regex_match(line, re(kOffsetBareZero))) {
        ++t.extension;
        return expectSame(t, line, got, true, std::string(digits), "0");
    }
    expectSame(t, line, got, false, "", "");
}

std::string shapeName(TableShape s) {
    return s == TableShape::Classic ? "classic" : s == TableShape::Numbered ? "numbered" : "dwarf5";
}

void compareDirectoryHeader(const std::string& line, Tally& t) {
    std::smatch m;
    TableShape shape{};
    const bool got = scanDirectoryHeader(line, shape);
    if (std::regex_match(line, re(kDirectoryHeader))) {
        ++t.matched;
        return expectSame(t, line, got, true, shapeName(shape), "classic");
    }
    if (std::regex_match(line, m, re(kDirectoryHeaderWithOffset))) {
        ++t.extension;
        return expectSame(t, line, got, true, shapeName(shape), m[1].matched ? "dwarf5" : "numbered");
    }
    expectSame(t, line, got, false, "", "");
}

void compareFileHeader(const std::string& line, Tally& t) {
    const bool want = std::regex_match(line, re(kFileHeader));
    t.matched += want;
    expectSame(t, line, scanFileHeader(line), want, "", "");
}

void compareDirectoryEntry(const std::string& line, Tally& t) {
    std::smatch m;
    const bool want = std::regex_match(line, m, re(kDirectoryEntry));
    t.matched += want;
    std::string_view dir;
    const bool got = scanDirectoryEntry(line, dir);
    expectSame(t, line, got, want, std::string(dir), want ? m.str(1) : "");
}

void compareFileEntry(const std::string& line, Tally& t) {
    std::smatch m;
    const bool want = std::regex_match(line, m, re(kFileEntry));
    t.matched += want;
    std::string_view dirIndex, fileName;
    const bool got = scanFileEntry(line, dirIndex, fileName);
    expectSame(t, line, got, want, got ? join({dirIndex, fileName}) : "", want ? join({m.str(2), m.str(3)}) : "");
}

void comparePointerSize(const std::string& line, Tally& t) {
    std::smatch m;
    const bool want = std::regex_match(line, m, re(kPointerSize));
    t.matched += want;
    std::string_view digits;
    const bool got = scanPointerSize(line, digits);
    expectSame(t, line, got, want, std::string(digits), want ? m.str(1) : "");
}

void compareFileFormat(const std::string& line, Tally& t) {
    std::string_view format;
    const bool got = scanFileFormat(line, format);
    // The rule of the reader: the line is a little-endian file-format line.
    const bool little = std::regex_match(line, re(kFileFormatLittle));
    t.matched += little;
    if (little != (got && format.ends_with("little")))
        t.fail(line, little ? "reference says little-endian, scanner does not" : "scanner says little-endian only");
    // The format name itself.
    std::smatch m;
    const bool want = std::regex_match(line, m, re(kFileFormatName));
    expectSame(t, line, got, want, std::string(format), want ? m.str(1) : "");
}

// classify() against the rule it stands for: the first character after the
// leading blanks picks the scanners above ('<': DIE header, else attribute
// line; 'O', 'T', 'E', 'P'), whose results it must report unchanged, with the
// indent of the line. It takes shortcuts of its own (the start "<4b>" is
// scanned once for both shapes), so its decisions are compared here too.
void compareClassify(const std::string& line, Tally& t) {
    LineFields want{};
    LineKind wantKind = LineKind::Other;
    std::size_t indent = 0;
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
        while (indent < line.size() && (line[indent] == ' ' || line[indent] == '\t')) ++indent;
        switch (firstAfterBlanks(line)) {
            case '<':
                wantKind = scanDieHeader(line, want.die)             ? LineKind::DieHeader
                           : scanAttribute(line, want.attribute) ? LineKind::Attribute
                                                                 : LineKind::Other;
                break;
            case 'O': wantKind = scanOffsetLine(line, want.digits) ? LineKind::TableOffset : LineKind::Other; break;
            case 'T': wantKind = scanDirectoryHeader(line, want.shape) ? LineKind::DirectoryHeader : LineKind::Other; break;
            case 'E':
                wantKind = scanFileHeader(line)             ? LineKind::FileHeader
                           : scanDwarf5FileHeader(line)     ? LineKind::Dwarf5FileHeader
                           : scanDwarf5DirectoryTitle(line) ? LineKind::Dwarf5DirectoryTitle
                                                            : LineKind::Other;
                break;
            case 'P': wantKind = scanPointerSize(line, want.digits) ? LineKind::PointerSize : LineKind::Other; break;
            default: break;
        }
    }
    auto captures = [](LineKind kind, const LineFields& f) {
        switch (kind) {
            case LineKind::DieHeader: return join({f.die.depth, f.die.offset, f.die.tag});
            case LineKind::Attribute:
                return join({f.attribute.name, f.attribute.value, f.attribute.interpretation,
                             f.attribute.hadTab ? "tab" : "no tab"});
            case LineKind::TableOffset:
            case LineKind::PointerSize: return join({f.digits});
            case LineKind::DirectoryHeader: return shapeName(f.shape);
            default: return std::string();
        }
    };
    LineFields got{};
    const LineKind gotKind = classify(line, got);
    t.matched += wantKind != LineKind::Other;
    if (gotKind != wantKind)
        t.fail(line, "kind " + std::to_string(static_cast<int>(gotKind)) + ", by the rule " +
                         std::to_string(static_cast<int>(wantKind)));
    else if (captures(gotKind, got) != captures(wantKind, want))
        t.fail(line, "captures differ: " + show(captures(gotKind, got)) + ", by the rule " + show(captures(wantKind, want)));
    else if (got.indent != indent)
        t.fail(line, "indent " + std::to_string(got.indent) + ", not " + std::to_string(indent));
}

const std::vector<LineCheck>& lineChecks() {
    auto startsAfterBlanks = [](char c) {
        return [c](std::string_view l) { return firstAfterBlanks(l) == c; };
    };
    static const std::vector<LineCheck> checks = {
        {"DIE header", startsAfterBlanks('<'),
         [](std::string_view l) {
             DieHeader h;
             return scanDieHeader(l, h);
         },
         compareDieHeader},
        {"attribute line", startsAfterBlanks('<'),
         [](std::string_view l) {
             AttributeLine a;
             return scanAttribute(l, a);
         },
         compareAttribute},
        {"Offset line", startsAfterBlanks('O'),
         [](std::string_view l) {
             std::string_view d;
             return scanOffsetLine(l, d);
         },
         compareOffset},
        {"directory table header", startsAfterBlanks('T'),
         [](std::string_view l) {
             TableShape s;
             return scanDirectoryHeader(l, s);
         },
         compareDirectoryHeader},
        {"file table header", startsAfterBlanks('E'), [](std::string_view l) { return scanFileHeader(l); },
         compareFileHeader},
        {"directory entry", [](std::string_view l) { return !l.empty() && (l[0] == ' ' || l[0] == '\t'); },
         [](std::string_view l) {
             std::string_view d;
             return scanDirectoryEntry(l, d);
         },
         compareDirectoryEntry},
        {"file entry", [](std::string_view l) { return firstAfterBlanks(l) >= '0' && firstAfterBlanks(l) <= '9'; },
         [](std::string_view l) {
             std::string_view d, n;
             return scanFileEntry(l, d, n);
         },
         compareFileEntry},
        {"Pointer Size line", startsAfterBlanks('P'),
         [](std::string_view l) {
             std::string_view d;
             return scanPointerSize(l, d);
         },
         comparePointerSize},
        {"file-format line", [](std::string_view l) { return l.find(" file format ") != l.npos; },
         [](std::string_view l) {
             std::string_view f;
             return scanFileFormat(l, f);
         },
         compareFileFormat},
        {"classification", [](std::string_view) { return true; },
         [](std::string_view l) {
             LineFields f;
             return classify(l, f) != LineKind::Other;
         },
         compareClassify},
    };
    return checks;
}

// --- Value scanners against the references ---------------------------------

void compareAfterIndirect(const std::string& v, Tally& t) {
    std::smatch m;
    const bool want = std::regex_match(v, m, re(kAfterIndirect));
    t.matched += want;
    std::string_view text;
    const bool got = captureAfterIndirect(v, text);
    expectSame(t, v, got, want, std::string(text), want ? m.str(1) : "");
}

void compareAddress(const std::string& v, Tally& t) {
    std::smatch m;
    std::uint32_t address = 0;
    const bool got = captureAddress(v, address);
    const std::string gotText = std::to_string(address);
    if (std::regex_match(v, m, re(kAddress))) {
        ++t.matched;
        return expectSame(t, v, got, true, gotText, std::to_string(refHex(m.str(1))));
    }
    if (std::regex_match(v, m, re(kAddressPlus))) {
        ++t.extension;
        const auto addend = refDecimal(m.str(2));
        if (!addend) return;  // beyond 64 bits: only the decision is compared
        return expectSame(t, v, got, true, gotText, std::to_string(static_cast<std::uint32_t>(refHex(m.str(1)) + *addend)));
    }
    expectSame(t, v, got, false, "", "");
}

void comparePlusUconst(const std::string& v, Tally& t) {
    std::smatch m;
    const bool want = std::regex_match(v, m, re(kPlusUconst));
    t.matched += want;
    std::string_view digits;
    const bool got = capturePlusUconst(v, digits);
    expectSame(t, v, got, want, std::string(digits), want ? m.str(1) : "");
}

void compareConstant(const std::string& v, Tally& t) {
    std::smatch m;
    std::uint32_t number = 0;
    const bool got = captureConstant(v, number);
    const std::string gotText = std::to_string(number);
    if (std::regex_match(v, m, re(kConstant))) {
        ++t.matched;
        const auto want = refDecimal(m.str(1));
        return expectSame(t, v, got, true, want ? gotText : "", want ? std::to_string(*want) : "");
    }
    if (std::regex_match(v, m, re(kHexConstant))) {
        ++t.extension;
        return expectSame(t, v, got, true, gotText, std::to_string(refHex(m.str(1))));
    }
    expectSame(t, v, got, false, "", "");
}

void compareLastHex(const std::string& v, Tally& t) {
    std::smatch m;
    const bool want = std::regex_match(v, m, re(kLastHex));
    t.matched += want;
    std::string_view digits;
    const bool got = captureLastHex(v, digits);
    expectSame(t, v, got, want, std::string(digits), want ? m.str(1) : "");
}

void compareParenthesised(const std::string& v, Tally& t) {
    std::smatch m;
    const bool want = std::regex_match(v, m, re(kParenthesised));
    t.matched += want;
    std::string_view text;
    const bool got = captureParenthesised(v, text);
    expectSame(t, v, got, want, std::string(text), want ? m.str(1) : "");
}

struct ValueCheck {
    const char* name;
    void (*compare)(const std::string&, Tally&);
};

const std::vector<ValueCheck>& valueChecks() {
    static const std::vector<ValueCheck> checks = {
        {"captureAfterIndirect", compareAfterIndirect}, {"captureAddress", compareAddress},
        {"capturePlusUconst", comparePlusUconst},       {"captureConstant", compareConstant},
        {"captureLastHex", compareLastHex},             {"captureParenthesised", compareParenthesised},
    };
    return checks;
}

// --- Real dumps -------------------------------------------------------------

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

bool haveTool(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::vector<std::string> readLines(const fs::path& file) {
    const std::string text = kestrel::test::readFile(file);
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

struct Corpus {
    std::string skipReason;
    std::string error;
    std::vector<std::pair<std::string, std::size_t>> dumps;  // name, line count
    std::set<std::string> lines;                             // distinct lines of all dumps
};

const Corpus& corpus() {
    static const Corpus c = [] {
        Corpus c;
        for (const char* tool : {"arm-none-eabi-gcc", "arm-none-eabi-g++", "arm-none-eabi-objdump", "avr-objdump", "python3"})
            if (!haveTool(tool)) {
                c.skipReason = std::string(tool) + " is not installed";
                return c;
            }
        const fs::path src = testDataDir() / "diff";
        // Rewrites a binutils 2.26 dump into the classic shape.
        const fs::path converter = fs::path(KESTREL_SOURCE_DIR) / "tests" / "tools" / "old_shape_dump.py";
        TempDir tmp;
        if (tmp.path.empty()) {
            c.error = "cannot create a temporary directory";
            return c;
        }
        const std::string flags = " -g -O1 -mcpu=cortex-m4 -mthumb --specs=nosys.specs";
        const std::string cxxFlags = " -fno-exceptions -fno-rtti";
        struct Build {
            std::string name, command;
        };
        std::vector<Build> builds;
        for (int v : {2, 4, 5}) {
            const std::string n = std::to_string(v);
            builds.push_back({"c-dwarf" + n, "arm-none-eabi-gcc -gdwarf-" + n + flags + " " + quoted(src / "fw.c")});
            builds.push_back({"cpp-dwarf" + n,
                              "arm-none-eabi-g++ -gdwarf-" + n + flags + cxxFlags + " " + quoted(src / "fw.cpp")});
        }
        for (const auto& b : builds) {
            const fs::path elf = tmp.path / (b.name + ".elf");
            const fs::path dump = tmp.path / (b.name + ".txt");
            const std::string cmd = "cd " + quoted(tmp.path) + " && " + b.command + " -o " + quoted(elf) +
                                    " && arm-none-eabi-objdump -WlLiaprmfFsoRt " + quoted(elf.filename()) + " > " +
                                    quoted(dump) + " 2>/dev/null";
            if (std::system(cmd.c_str()) != 0) {
                c.error = "failed: " + cmd;
                return c;
            }
            c.dumps.emplace_back(b.name, 0);
            for (auto& l : readLines(dump)) {
                ++c.dumps.back().second;
                c.lines.insert(std::move(l));
            }
        }
        // binutils 2.26 (avr-objdump reads ARM ELF files as well; it gives up
        // on DWARF 5 line tables, so this image is linked without the C
        // library's start files), raw and in the classic shape.
        const fs::path elf = tmp.path / "classic.elf";
        const std::string cmd = "cd " + quoted(tmp.path) + " && arm-none-eabi-gcc -gdwarf-4" + flags +
                                " -nostartfiles -Wl,-e,main " + quoted(src / "fw.c") + " -o " + quoted(elf) +
                                " && avr-objdump -WlLiaprmfFsoRt classic.elf > binutils226.txt 2>/dev/null" +
                                " && python3 " + quoted(converter) + " binutils226.txt > classic.txt";
        if (std::system(cmd.c_str()) != 0) {
            c.error = "failed: " + cmd;
            return c;
        }
        for (const char* name : {"binutils226", "classic"}) {
            c.dumps.emplace_back(name, 0);
            for (auto& l : readLines(tmp.path / (std::string(name) + ".txt"))) {
                ++c.dumps.back().second;
                c.lines.insert(std::move(l));
            }
        }
        return c;
    }();
    return c;
}

#define REQUIRE_CORPUS()                                            \
    const Corpus& dumps = corpus();                                 \
    if (!dumps.skipReason.empty()) GTEST_SKIP() << dumps.skipReason; \
    ASSERT_TRUE(dumps.error.empty()) << dumps.error

// --- Mutations --------------------------------------------------------------

std::string repeat(char c, std::size_t n) { return std::string(n, c); }

// Systematic damage to one real line or value: every separator removed,
// doubled or swapped, "0x" removed and added, CR and LF inserted, fields
// emptied, long values (a few KB, so that the reference regex can still run)
// and non-ASCII bytes.
void mutate(const std::string& s, std::set<std::string>& out, bool prefixes) {
    auto add = [&out](std::string m) { out.insert(std::move(m)); };
    auto insertAt = [&s](std::size_t i, std::string_view what) {
        return s.substr(0, i) + std::string(what) + s.substr(i);
    };
    const std::string_view marks = "\t :()<>[];,x";
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (marks.find(c) == std::string_view::npos) continue;
        add(s.substr(0, i) + s.substr(i + 1));  // removed
        add(insertAt(i, std::string(1, c)));    // doubled
        if (c == '\t') add(s.substr(0, i) + ' ' + s.substr(i + 1));
        if (c == ' ') add(s.substr(0, i) + '\t' + s.substr(i + 1));
        if (c == ':' || c == '(' || c == ')') add(insertAt(i, " "));
        if (c == '\t' || c == ':') add(insertAt(i + 1, "\r"));
    }
    // Each run of blanks removed, or cut down to one blank.
    for (std::size_t i = 0; i < s.size();) {
        std::size_t j = i;
        while (j < s.size() && (s[j] == ' ' || s[j] == '\t')) ++j;
        if (j == i) {
            ++i;
            continue;
        }
        add(s.substr(0, i) + s.substr(j));
        add(s.substr(0, i + 1) + s.substr(j));
        i = j;
    }
    for (std::size_t p = s.find("0x"); p != std::string::npos; p = s.find("0x", p + 1)) {
        add(s.substr(0, p) + s.substr(p + 2));
        add(insertAt(p, "0x"));
        add(insertAt(p + 2, "g"));
    }
    for (std::size_t i = 0; i < s.size(); ++i)  // "0x" before each digit run
        if (std::isxdigit(static_cast<unsigned char>(s[i])) &&
            (i == 0 || !std::isxdigit(static_cast<unsigned char>(s[i - 1]))))
            add(insertAt(i, "0x"));
    const std::size_t mid = s.size() / 2;
    for (std::string_view odd : std::initializer_list<std::string_view>{"\r", "\n", "\xc3\xa9", "\xff", "\x80",
                                                                       std::string_view("\0", 1), "\v"}) {
        add(insertAt(mid, odd));
        add(insertAt(0, odd));
        add(s + std::string(odd));
    }
    // Empty fields: nothing after the last TAB, nothing between the last
    // ": " and the last TAB, nothing after the last ": ".
    const std::size_t tab = s.rfind('\t');
    if (tab != std::string::npos) add(s.substr(0, tab + 1));
    const std::size_t colon = s.rfind(": ");
    if (colon != std::string::npos) {
        add(s.substr(0, colon + 2));
        add(s.substr(0, colon + 1));
        if (tab != std::string::npos && tab > colon) add(s.substr(0, colon + 2) + s.substr(tab));
    }
    // Long values.
    for (char c : {'a', '9', 'f', ' ', ')'}) {
        add(insertAt(mid, repeat(c, 3000)));
        add(s + repeat(c, 3000));
        if (tab != std::string::npos) add(insertAt(tab, repeat(c, 3000)));
    }
    add(s + " (location list)");
    add(s + "\t");
    add("");
    if (prefixes)
        for (std::size_t n = 0; n < s.size(); ++n) add(s.substr(0, n));
}

// --- Tests --------------------------------------------------------------------

void printTally(const std::vector<Tally>& tallies, const char* title) {
    std::cout << title << "\n";
    std::cout << "  scanner                  scanned  compared   matched  extension  deviation\n";
    for (const auto& t : tallies) {
        char buf[160];
        std::snprintf(buf, sizeof buf, "  %-22s %9zu %9zu %9zu %10zu %10zu\n", t.name.c_str(), t.scanned, t.compared,
                      t.matched, t.extension, t.deviation);
        std::cout << buf;
    }
}

// Runs every line scanner over a set of lines. `all` compares every line
// with the references; otherwise only the candidates of each scanner (those
// that meet the necessary condition) and a sample of the rest are, and the
// rest must be rejected.
void runLineChecks(const std::set<std::string>& lines, std::vector<Tally>& tallies, bool all) {
    const auto& checks = lineChecks();
    std::size_t n = 0;
    for (const auto& line : lines) {
        const bool sampled = (n++ % 16) == 0;
        for (std::size_t k = 0; k < checks.size(); ++k) {
            const LineCheck& check = checks[k];
            Tally& t = tallies[k];
            ++t.scanned;
            // Directory entries: every line with leading blanks is one; of the
            // DIE and attribute lines only a sample goes to the regex.
            const bool candidate =
                check.mayMatch(line) && !(check.name == std::string_view("directory entry") && firstAfterBlanks(line) == '<');
            if (all || candidate || sampled) {
                ++t.compared;
                check.compare(line, t);
            } else if (!check.mayMatch(line) && check.scannerAccepts(line)) {
                t.fail(line, "scanner accepts a line that cannot have the shape");
            }
        }
    }
}

std::vector<Tally> freshTallies() {
    std::vector<Tally> tallies;
    for (const auto& c : lineChecks()) tallies.push_back(Tally{c.name});
    return tallies;
}

TEST(GrammarDiff, RealDumpLinesMatchTheReferencePatterns) {
    REQUIRE_CORPUS();
    ASSERT_GE(dumps.dumps.size(), 7u);
    for (const auto& [name, count] : dumps.dumps) EXPECT_GT(count, 500u) << name;

    std::vector<Tally> tallies = freshTallies();
    runLineChecks(dumps.lines, tallies, false);
    printTally(tallies, ("distinct lines of " + std::to_string(dumps.dumps.size()) + " real dumps: " +
                         std::to_string(dumps.lines.size()))
                            .c_str());
    for (const auto& t : tallies) {
        EXPECT_EQ(t.failures, 0u) << t.name;
        EXPECT_EQ(t.deviation, 0u) << t.name << ": real dump lines should never need the known deviation";
        EXPECT_GT(t.matched, 0u) << t.name << ": no real line has this shape, the comparison would be empty";
    }
    // The real dumps exercise each extension: attribute lines without a TAB
    // (binutils 2.40), the bare offset 0, and both directory headers with an
    // offset.
    EXPECT_GT(tallies[1].extension, 1000u);
    EXPECT_GT(tallies[2].extension, 0u);
    EXPECT_GT(tallies[3].extension, 0u);
}

// Values and interpretations of all real attribute lines, as the reference
// pattern splits them.
std::set<std::string> realValues(const Corpus& dumps) {
    std::set<std::string> values;
    std::smatch m;
    for (const auto& line : dumps.lines) {
        if (firstAfterBlanks(line) != '<') continue;
        const std::string padded = line + '\t';  // the match refers into it
        if (std::regex_match(line, m, re(kAttribute)) || std::regex_match(padded, m, re(kAttribute))) {
            values.insert(m.str(3));
            values.insert(m.str(4));
        }
    }
    return values;
}

void runValueChecks(const std::set<std::string>& values, std::vector<Tally>& tallies) {
    const auto& checks = valueChecks();
    for (const auto& v : values)
        for (std::size_t k = 0; k < checks.size(); ++k) {
            ++tallies[k].scanned;
            ++tallies[k].compared;
            checks[k].compare(v, tallies[k]);
        }
}

std::vector<Tally> freshValueTallies() {
    std::vector<Tally> tallies;
    for (const auto& c : valueChecks()) tallies.push_back(Tally{c.name});
    return tallies;
}

TEST(GrammarDiff, RealAttributeValuesMatchTheReferencePatterns) {
    REQUIRE_CORPUS();
    const std::set<std::string> values = realValues(dumps);
    ASSERT_GT(values.size(), 1000u);
    std::vector<Tally> tallies = freshValueTallies();
    runValueChecks(values, tallies);
    printTally(tallies, ("distinct attribute values and interpretations of the real dumps: " +
                         std::to_string(values.size()))
                            .c_str());
    for (const auto& t : tallies) {
        EXPECT_EQ(t.failures, 0u) << t.name;
        EXPECT_GT(t.matched, 0u) << t.name << ": no real value has this shape";
    }
}

// Up to `limit` real lines of each shape (by the references), spread over
// the dumps: one per attribute name and form, the rest by shape.
std::vector<std::string> seedLines(const Corpus& dumps) {
    std::map<std::string, std::string> byKey;
    std::map<std::string, int> perShape;
    std::smatch m;
    auto take = [&](const std::string& shape, const std::string& key, const std::string& line, int limit) {
        if (perShape[shape] >= limit || byKey.count(shape + key)) return;
        ++perShape[shape];
        byKey.emplace(shape + key, line);
    };
    for (const auto& line : dumps.lines) {
        const char first = firstAfterBlanks(line);
        if (first == '<') {
            if (std::regex_match(line, m, re(kDieHeader))) take("die", m.str(4), line, 12);
            const std::string padded = line + '\t';  // the match refers into it
            const bool tab = std::regex_match(line, m, re(kAttribute));
            if (tab || std::regex_match(padded, m, re(kAttribute)))
                take("attr", m.str(2) + (tab ? "\t" : " ") + m.str(4).substr(0, 9), line, 120);
            continue;
        }
        if (std::regex_match(line, re(kOffset)) || std::regex_match(line, re(kOffsetBareZero))) take("offset", line, line, 4);
        if (first == 'T' && line.find("Directory Table") != line.npos) {
            const char* kind = std::regex_match(line, re(kDirectoryHeader)) ? "classic"
                               : line.find(", lines ") != line.npos      ? "dwarf5"
                                                                         : "numbered";
            take(std::string("dirheader-") + kind, line, line, 2);
        }
        if (std::regex_match(line, re(kFileHeader))) take("fileheader", line, line, 1);
        if (std::regex_match(line, re(kFileEntry))) take("fileentry", line, line, 8);
        if (std::regex_match(line, re(kPointerSize))) take("pointer", line, line, 2);
        if (line.find("file format") != line.npos) take("format", line, line, 4);
        if (first == '/' || first == '.') take("direntry", line, line, 6);
    }
    std::vector<std::string> seeds;
    for (auto& [key, line] : byKey) seeds.push_back(line);
    return seeds;
}

TEST(GrammarDiff, MutatedLinesMatchTheReferencePatterns) {
    REQUIRE_CORPUS();
    const std::vector<std::string> seeds = seedLines(dumps);
    ASSERT_GT(seeds.size(), 60u);
    std::set<std::string> mutated;
    std::set<std::string> prefixed;  // every prefix of one seed per first character
    for (const auto& s : seeds) {
        const std::string kind(1, firstAfterBlanks(s));
        const bool prefixes = prefixed.insert(kind + (s.find('\t') != s.npos ? "t" : "")).second;
        mutate(s, mutated, prefixes);
    }
    for (const auto& s : seeds) mutated.erase(s);
    std::vector<Tally> tallies = freshTallies();
    runLineChecks(mutated, tallies, true);
    printTally(tallies, ("mutations of " + std::to_string(seeds.size()) + " real lines: " +
                         std::to_string(mutated.size()))
                            .c_str());
    for (const auto& t : tallies) EXPECT_EQ(t.failures, 0u) << t.name;
}

TEST(GrammarDiff, MutatedValuesMatchTheReferencePatterns) {
    REQUIRE_CORPUS();
    // One real value of each kind that a value pattern matches, and a few
    // forms that the dumps hold rarely or not at all.
    std::set<std::string> seeds = {
        "(DW_OP_addr: 20000100)",
        "(DW_OP_addr: 20000100; DW_OP_plus_uconst: 8)",
        "(DW_OP_plus_uconst: 12)",
        "(indirect string, offset: 0x1c0): GNU C17 12.2.1 (release)",
        "(indirect line string, offset: 0x10): /a (b): c",
        "<0x1a2b>",
        "0x8118",
        "  42  ",
        "0x7fffffff",
        "4294967295",
        "4294967296",
        "2 byte block: 23 4 \t(DW_OP_plus_uconst: 4)",
        "(signed char)",
        "(unsigned int (32 bits))",
        "5 byte block: 3 0 1 0 20",
        "0x151 (location list)",
    };
    std::map<std::string, int> perKind;
    for (const auto& v : realValues(dumps)) {
        std::string kind = v.substr(0, std::min<std::size_t>(v.size(), 11));
        for (char& c : kind)
            if (std::isxdigit(static_cast<unsigned char>(c))) c = '#';
        if (perKind[kind]++ == 0 && seeds.size() < 160) seeds.insert(v);
    }
    std::set<std::string> mutated;
    for (const auto& s : seeds) mutate(s, mutated, s.size() < 48);
    mutated.insert(seeds.begin(), seeds.end());
    for (std::string_view odd : {"0x", "0x ", " 0x1f ", "0xg", "0X1F", "\t\n\v\f\r 7 \r\n", "-5", "+5", "1 2", "()",
                                 ")", "(", "(x", "x)", "): ", "): x)", "0x0x5", "0x00x1", "a)(", "x()"})
        mutated.insert(std::string(odd));
    std::vector<Tally> tallies = freshValueTallies();
    runValueChecks(mutated, tallies);
    printTally(tallies, ("mutations of " + std::to_string(seeds.size()) + " values: " + std::to_string(mutated.size()))
                            .c_str());
    for (const auto& t : tallies) {
        EXPECT_EQ(t.failures, 0u) << t.name;
        EXPECT_GT(t.matched, 0u) << t.name;
    }
    EXPECT_GT(tallies[1].extension, 0u);  // DW_OP_addr with DW_OP_plus_uconst
    EXPECT_GT(tallies[3].extension, 0u);  // hex constants
}

// Values of 100 KB are beyond what std::regex can take on its recursion, so
// here the expectation is written out: the scanner must not fail and must
// read the shape as it is built. (The inputs are named strings: the scanners
// return views into them. Comparisons go through == so that a failure does
// not print 100 KB.)
TEST(GrammarDiff, HugeValuesAreScannedWithoutTrouble) {
    const std::string big(100 * 1024, 'v');
    std::string bigWithCr = big;
    bigWithCr[bigWithCr.size() / 2] = '\r';
    const std::string bigHex(100 * 1024, 'f');
    const std::string bigDigits = "1" + std::string(100 * 1024, '0');
    auto same = [](std::string_view a, std::string_view b) { return a == b; };

    AttributeLine a;
    const std::string attrTab = "    <2f>   DW_AT_name        : " + big + "\t(x)";
    ASSERT_TRUE(scanAttribute(attrTab, a));
    EXPECT_EQ(a.name, "DW_AT_name");
    EXPECT_TRUE(same(a.value, big));
    EXPECT_EQ(a.interpretation, "(x)");
    EXPECT_TRUE(a.hadTab);
    const std::string attrBigInterpretation = "    <2f>   DW_AT_name        : x\t" + big;
    ASSERT_TRUE(scanAttribute(attrBigInterpretation, a));
    EXPECT_EQ(a.value, "x");
    EXPECT_TRUE(same(a.interpretation, big));
    const std::string attrNoTab = "    <2f>   DW_AT_name        : " + big;
    ASSERT_TRUE(scanAttribute(attrNoTab, a));
    EXPECT_FALSE(a.hadTab);
    EXPECT_TRUE(same(a.value, big));
    EXPECT_EQ(a.interpretation, "");
    const std::string attrList = "    <2f>   DW_AT_location    : " + big + std::string(kLocationList);
    ASSERT_TRUE(scanAttribute(attrList, a));
    EXPECT_TRUE(same(a.value, big));
    EXPECT_EQ(a.interpretation, "(location list)");
    EXPECT_FALSE(scanAttribute("    <2f>   DW_AT_name        : " + bigWithCr + "\tx", a));
    EXPECT_FALSE(scanAttribute("    <2f>   DW_AT_name        : " + bigWithCr, a));
    EXPECT_FALSE(scanAttribute("    <2f>   DW_AT_" + big, a));  // no run of blanks and colons

    DieHeader h;
    const std::string die = " <1><4a>: Abbrev Number: 1 (DW_TAG_" + big + ")";
    ASSERT_TRUE(scanDieHeader(die, h));
    EXPECT_TRUE(same(h.tag, "DW_TAG_" + big));
    EXPECT_FALSE(scanDieHeader(" <1><4a>: Abbrev Number: 1 (DW_TAG_" + bigWithCr + ")", h));
    EXPECT_FALSE(scanDieHeader(" <" + bigHex + "><4a>: Abbrev Number: 1 (DW_TAG_x", h));

    std::string_view digits, dir, name;
    const std::string offset = "  Offset:      0x" + bigHex;
    ASSERT_TRUE(scanOffsetLine(offset, digits));
    EXPECT_EQ(digits.size(), bigHex.size());
    EXPECT_EQ(hexValue(digits), 0xffffffffu);
    EXPECT_FALSE(scanOffsetLine(offset + "g", digits));
    const std::string dirLine = "  " + big + "  ";
    ASSERT_TRUE(scanDirectoryEntry(dirLine, dir));
    EXPECT_TRUE(same(dir, big + "  "));
    EXPECT_FALSE(scanDirectoryEntry("  " + bigWithCr, dir));
    const std::string fileLine = "  1\t2\t0\t0\t" + big;
    ASSERT_TRUE(scanFileEntry(fileLine, dir, name));
    EXPECT_EQ(dir, "2");
    EXPECT_TRUE(same(name, big));
    EXPECT_FALSE(scanFileEntry("  1\t2\t0\t0\t" + bigWithCr, dir, name));
    const std::string pointer = "  Pointer Size:  " + bigDigits;
    ASSERT_TRUE(scanPointerSize(pointer, digits));
    EXPECT_TRUE(same(digits, bigDigits));
    EXPECT_FALSE(scanPointerSize(pointer + "x", digits));
    std::string_view format;
    const std::string formatLine = big + ":     file format elf32-" + big + "little";
    ASSERT_TRUE(scanFileFormat(formatLine, format));
    EXPECT_TRUE(same(format, "elf32-" + big + "little"));
    EXPECT_FALSE(scanFileFormat(bigWithCr + ":     file format elf32-little", format));
    EXPECT_FALSE(scanFileFormat(big + " file format " + big, format));

    std::string_view text;
    const std::string indirect = "(indirect string, offset: 0x10): " + big;
    ASSERT_TRUE(captureAfterIndirect(indirect, text));
    EXPECT_TRUE(same(text, big));
    const std::string hexInside = big + "0x" + bigHex + big;
    ASSERT_TRUE(captureLastHex(hexInside, text));
    EXPECT_TRUE(same(text, bigHex));
    EXPECT_FALSE(captureLastHex(big + "0x" + bigWithCr, text));
    const std::string parenthesised = "(" + big + ")";
    ASSERT_TRUE(captureParenthesised(parenthesised, text));
    EXPECT_TRUE(same(text, big));
    std::uint32_t number = 0;
    ASSERT_TRUE(captureAddress("(DW_OP_addr: " + bigHex + ")", number));
    EXPECT_EQ(number, 0xffffffffu);
    ASSERT_TRUE(captureConstant(" " + bigDigits + " ", number));
    EXPECT_EQ(number, 0u);  // 10^102400 is a multiple of 2^32
    ASSERT_TRUE(captureConstant("0x" + bigHex, number));
    EXPECT_EQ(number, 0xffffffffu);
    EXPECT_FALSE(captureConstant(bigDigits + "x", number));
    const std::string uconst = "(DW_OP_plus_uconst: " + bigDigits + ")";
    ASSERT_TRUE(capturePlusUconst(uconst, text));
    EXPECT_TRUE(same(text, bigDigits));
}

// KNOWN DEVIATION, kept here as the intended behaviour until the scanner is
// fixed: scanDirectoryHeader accepts any text between " (offset 0x" and "):",
// not only hexadecimal digits with an optional ", lines N, columns N".
TEST(GrammarDiff, DirectoryHeaderAcceptsOnlyTheOffsetShapes) {
    TableShape shape{};
    ASSERT_TRUE(scanDirectoryHeader(" The Directory Table (offset 0x1b):", shape));
    EXPECT_EQ(shape, TableShape::Numbered);
    ASSERT_TRUE(scanDirectoryHeader(" The Directory Table (offset 0x22, lines 2, columns 1):", shape));
    EXPECT_EQ(shape, TableShape::Dwarf5);
    EXPECT_FALSE(scanDirectoryHeader(" The Directory Table (offset 0x):", shape));
    EXPECT_FALSE(scanDirectoryHeader(" The Directory Table (offset 0xzz):", shape));
    EXPECT_FALSE(scanDirectoryHeader(" The Directory Table (offset 0x1b\r):", shape));
    EXPECT_FALSE(scanDirectoryHeader(" The Directory Table (offset 0x1b, lines 2):", shape));
}

// --- Conversions ----------------------------------------------------------------

TEST(GrammarDiff, HexValueAgreesWithStoul) {
    for (const char* digits : {"0", "f", "F", "1a2B", "20000100", "ffffffff", "FFFFFFFF", "7fffffff", "00000001", "0000"})
        EXPECT_EQ(hexValue(digits), std::stoul(digits, nullptr, 16)) << digits;
    // Pseudo-random digit strings of one to eight digits.
    std::uint64_t x = 0x9e3779b97f4a7c15u;
    const char* alphabet = "0123456789abcdefABCDEF";
    for (int n = 0; n < 2000; ++n) {
        x = x * 6364136223846793005u + 1442695040888963407u;
        std::string digits;
        for (std::size_t len = 1 + (x >> 60) % 8, k = 0; k < len; ++k) digits += alphabet[(x >> (4 * k + 3)) % 22];
        EXPECT_EQ(hexValue(digits), std::stoul(digits, nullptr, 16)) << digits;
    }
    // More than eight digits keep the low 32 bits.
    EXPECT_EQ(hexValue("123456789"), 0x23456789u);
    EXPECT_EQ(hexValue("1ffffffff"), 0xffffffffu);
    EXPECT_EQ(hexValue("0000000000000020"), 0x20u);
    EXPECT_EQ(hexValue("abcdef0123456789"), 0x23456789u);
}

TEST(GrammarDiff, DecimalValueAgreesWithStoi) {
    for (const char* text : {"0", "42", "-7", "+7", "  13", "\t\n\v\f\r 5", "12 byte block: 1 2 3", "2147483647",
                             "-2147483648", "007", "5abc", "-0", "8x", "0x", "0xg", "0X1F", "3.5", "1 2"})
        EXPECT_EQ(decimalValue(text), std::stoi(text)) << show(text);
    std::uint64_t x = 12345;
    for (int n = 0; n < 2000; ++n) {
        x = x * 6364136223846793005u + 1442695040888963407u;
        const auto value = static_cast<std::int32_t>(x >> 32);
        std::string text(n % 3 == 0 ? " " : "");
        text += std::to_string(value);
        if (n % 2 == 0) text += " (x)";
        EXPECT_EQ(decimalValue(text), std::stoi(text)) << text;
        EXPECT_EQ(decimalValue(text), value) << text;
    }
}

TEST(GrammarDiff, DecimalValueDecidedCases) {
    // No leading integer reads as 0.
    for (const char* text : {"", " ", "abc", "-", "+", "- 5", "+-5", "(5)", "\r\n"}) EXPECT_EQ(decimalValue(text), 0) << show(text);
    // Outside the signed 32-bit range the low 32 bits stay.
    EXPECT_EQ(decimalValue("4294967295"), -1);
    EXPECT_EQ(decimalValue("4294967296"), 0);
    EXPECT_EQ(decimalValue("4294967297"), 1);
    EXPECT_EQ(decimalValue("2147483648"), INT32_MIN);
    EXPECT_EQ(decimalValue("-2147483649"), INT32_MAX);
    EXPECT_EQ(decimalValue("99999999999999999999"), static_cast<std::int32_t>(1661992959u));  // (10^20 - 1) mod 2^32
    // "0x" and hex digits read as hex.
    EXPECT_EQ(decimalValue("0x10"), 16);
    EXPECT_EQ(decimalValue(" 0x1F"), 31);
    EXPECT_EQ(decimalValue("0xffffffff"), -1);
    EXPECT_EQ(decimalValue("0x7fffffff (x)"), INT32_MAX);
    EXPECT_EQ(decimalValue("0x123456789"), 0x23456789);
}

TEST(GrammarDiff, FlagValueIsTrueUnlessExactlyZero) {
    EXPECT_FALSE(flagValue("0"));
    for (const char* text : {"1", "", "00", " 0", "0 ", "false", "0x0"}) EXPECT_TRUE(flagValue(text)) << show(text);
}

}  // namespace
