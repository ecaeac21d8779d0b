#include "reader/LineGrammar.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace kestrel::reader::grammar {
namespace {

constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }
constexpr bool isXDigitByTest(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
constexpr auto kXDigits = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) table[static_cast<std::size_t>(c)] = isXDigitByTest(static_cast<char>(c));
    return table;
}();
constexpr bool isXDigit(char c) { return kXDigits[static_cast<unsigned char>(c)]; }
constexpr bool isBlank(char c) { return c == ' ' || c == '\t'; }
constexpr bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// --- Eight bytes at a time ----------------------------------------------------
// Lines are searched a word at a time where runs are long enough to pay:
// blanks before a field, names, values. Only on little-endian hosts, where
// the lowest set bit of a mask belongs to the first byte; elsewhere bytes one
// by one.
constexpr bool kWordScan = std::endian::native == std::endian::little;
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

inline std::uint64_t loadWord(const char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
}
// The high bit of each byte of `word` that equals `c`. A byte above a match
// may be marked too (a borrow), so only the lowest mark is exact.
inline std::uint64_t marksOf(std::uint64_t word, char c) {
    const std::uint64_t x = word ^ (kOnes * static_cast<unsigned char>(c));
    return (x - kOnes) & ~x & kHighs;
}
// The high bit of each byte of `word` that differs from `c` (exact).
inline std::uint64_t marksOfOther(std::uint64_t word, char c) {
    const std::uint64_t x = word ^ (kOnes * static_cast<unsigned char>(c));
    return (((x & ~kHighs) + ~kHighs) | x) & kHighs;
}
inline std::size_t firstMarked(std::uint64_t marks) { return static_cast<std::size_t>(std::countr_zero(marks)) >> 3; }

// The position of the first byte from `i` on that is not ' ' (or the size).
inline std::size_t skipSpaces(std::string_view s, std::size_t i) {
    if constexpr (kWordScan) {
        for (; i + 8 <= s.size(); i += 8)
            if (const std::uint64_t marks = marksOfOther(loadWord(s.data() + i), ' ')) return i + firstMarked(marks);
    }
    while (i < s.size() && s[i] == ' ') ++i;
    return i;
}
// The position of the first byte from `i` on that is neither ' ' nor ':'
// (or the size).
inline std::size_t skipSpacesAndColons(std::string_view s, std::size_t i) {
    if constexpr (kWordScan) {
        for (; i + 8 <= s.size(); i += 8) {
            const std::uint64_t word = loadWord(s.data() + i);
            if (const std::uint64_t marks = marksOfOther(word, ' ') & marksOfOther(word, ':'))
                return i + firstMarked(marks);
        }
    }
    while (i < s.size() && (s[i] == ' ' || s[i] == ':')) ++i;
    return i;
}
// The position of the first ' ' or ':' from `i` on (or the size).
inline std::size_t findSpaceOrColon(std::string_view s, std::size_t i) {
    if constexpr (kWordScan) {
        for (; i + 8 <= s.size(); i += 8) {
            const std::uint64_t word = loadWord(s.data() + i);
            if (const std::uint64_t marks = marksOf(word, ' ') | marksOf(word, ':')) return i + firstMarked(marks);
        }
    }
    while (i < s.size() && s[i] != ' ' && s[i] != ':') ++i;
    return i;
}

// True when "." of a regular expression matches every character: no line
// terminator anywhere.
bool allLineChars(std::string_view s) {
    std::size_t i = 0;
    if constexpr (kWordScan) {
        for (; i + 8 <= s.size(); i += 8) {
            const std::uint64_t word = loadWord(s.data() + i);
            if ((marksOf(word, '\r') | marksOf(word, '\n')) != 0) return false;
        }
    }
    for (; i < s.size(); ++i)
        if (s[i] == '\r' || s[i] == '\n') return false;
    return true;
}

// Cursor over a line with the few steps the shapes need.
struct Cursor {
    std::string_view s;
    std::size_t i = 0;

    bool atEnd() const { return i >= s.size(); }
    bool peek(char c) const { return i < s.size() && s[i] == c; }
    bool eat(char c) {
        if (!peek(c)) return false;
        ++i;
        return true;
    }
    bool eat(std::string_view word) {
        // Short fixed words: a plain loop beats a call to memcmp.
        if (s.size() - i < word.size()) return false;
        for (std::size_t k = 0; k < word.size(); ++k)
            if (s[i + k] != word[k]) return false;
        i += word.size();
        return true;
    }
    template <class Pred>
    std::size_t eatRun(Pred pred) {
        std::size_t start = i;
        while (i < s.size() && pred(s[i])) ++i;
        return i - start;
    }
    template <class Pred>
    bool eatRun1(Pred pred, std::string_view* captured = nullptr) {
        std::size_t start = i;
        if (eatRun(pred) == 0) return false;
        if (captured != nullptr) *captured = s.substr(start, i - start);
        return true;
    }
    std::string_view rest() const { return s.substr(i); }
};

bool spaces1(Cursor& c) {
    const std::size_t end = skipSpaces(c.s, c.i);
    if (end == c.i) return false;
    c.i = end;
    return true;
}
bool blanks1(Cursor& c) { return c.eatRun1(isBlank); }

// Strips a "(indirect line string, offset: 0x10): " or "(indirect string,
// offset: 0x10): " prefix.
std::string_view stripIndirectPrefix(std::string_view text) {
    if (text.starts_with("(indirect")) {
        std::size_t p = text.find("): ");
        if (p != std::string_view::npos) return text.substr(p + 3);
    }
    return text;
}

// The start of DIE and attribute lines: spaces, '<', hex digits, '>'. The
// cursor ends after the '>'; `digits` are the hex digits.
bool scanAngleStart(Cursor& c, std::string_view& digits) {
    return spaces1(c) && c.eat('<') && c.eatRun1(isXDigit, &digits) && c.eat('>');
}

// A DIE header line after its start (the depth).
bool scanDieHeaderRest(Cursor& c, DieHeader& out) {
    if (!c.eat('<') || !c.eatRun1(isXDigit, &out.offset) || !c.eat('>') || !c.eat(':')) return false;
    if (!spaces1(c) || !c.eat("Abbrev") || !spaces1(c) || !c.eat("Number:") || !spaces1(c)) return false;
    if (!c.eatRun1(isDigit) || !spaces1(c) || !c.eat('(')) return false;
    std::string_view rest = c.rest();
    if (rest.empty() || rest.back() != ')') return false;
    out.tag = rest.substr(0, rest.size() - 1);
    if (!allLineChars(out.tag)) return false;
    if (out.tag.starts_with("DW_TAG_")) return out.tag.size() > 7;
    // binutils names a tag it does not know by its number: vendor tags in
    // the user range (TI's compilers write hundreds) and any other.
    Cursor t{out.tag};
    return (t.eat("User TAG value: 0x") || t.eat("Unknown TAG value: 0x")) && t.eatRun1(isXDigit) && t.atEnd();
}

// An attribute line after its start (the offset).
bool scanAttributeRest(Cursor& c, AttributeLine& out) {
    const std::string_view line = c.s;
    if (!spaces1(c)) return false;
    std::size_t nameStart = c.i;
    if (!c.eat("DW_AT_")) return false;
    const std::size_t nameEnd = findSpaceOrColon(line, c.i);
    if (nameEnd == c.i) return false;
    c.i = nameEnd;
    out.name = line.substr(nameStart, c.i - nameStart);
    // A run of blanks and colons; the value starts after the last blank of the
    // run that is not its first character.
    const std::size_t runStart = c.i;
    const std::size_t runEnd = skipSpacesAndColons(line, runStart);
    std::size_t valueStart = std::string_view::npos;
    for (std::size_t k = runEnd; k-- > runStart + 1;) {
        if (line[k] == ' ') {
            valueStart = k + 1;
            break;
        }
    }
    if (valueStart == std::string_view::npos) return false;
    std::string_view tail = line.substr(valueStart);
    // One pass: no line break anywhere, and where the last TAB is. Eight
    // bytes at a time are skipped when none of them is below 0x0E (TAB, LF
    // and CR all are).
    std::size_t tab = std::string_view::npos;
    std::size_t k = 0;
    for (;;) {
        while (k + 8 <= tail.size()) {
            std::uint64_t word;
            std::memcpy(&word, tail.data() + k, 8);
            if (((word - 0x0E0E0E0E0E0E0E0EULL) & ~word & 0x8080808080808080ULL) != 0) break;
            k += 8;
        }
        const std::size_t end = std::min(k + 8, tail.size());
        for (; k < end; ++k) {
            const char ch = tail[k];
            if (ch == '\t') tab = k;
            else if (ch == '\r' || ch == '\n') return false;
        }
        if (k >= tail.size()) break;
    }
    if (tab != std::string_view::npos) {
        out.value = tail.substr(0, tab);
        out.interpretation = tail.substr(tab + 1);
        out.hadTab = true;
        return true;
    }
    // Current binutils print a TAB only before an interpretation text.
    constexpr std::string_view kLocationList = " (location list)";
    out.hadTab = false;
    if (tail.ends_with(kLocationList)) {
        out.value = tail.substr(0, tail.size() - kLocationList.size());
        out.interpretation = kLocationList.substr(1);
    } else {
        out.value = tail;
        out.interpretation = {};
    }
    return true;
}

}  // namespace

bool scanDieHeader(std::string_view line, DieHeader& out) {
    Cursor c{line};
    return scanAngleStart(c, out.depth) && scanDieHeaderRest(c, out);
}

bool scanAttribute(std::string_view line, AttributeLine& out) {
    Cursor c{line};
    std::string_view offset;
    return scanAngleStart(c, offset) && scanAttributeRest(c, out);
}

bool scanOffsetLine(std::string_view line, std::string_view& hexDigits) {
    Cursor c{line};
    if (!blanks1(c) || !c.eat("Offset:")) return false;
    c.eatRun(isBlank);
    if (c.eat("0x")) return c.eatRun1(isXDigit, &hexDigits) && c.atEnd();
    // binutils 2.40 prints the offset 0 of a first table without "0x".
    if (c.rest() == "0") {
        hexDigits = c.rest();
        return true;
    }
    return false;
}

bool scanDirectoryHeader(std::string_view line, TableShape& shape) {
    Cursor c{line};
    if (!blanks1(c) || !c.eat("The Directory Table")) return false;
    std::string_view rest = c.rest();
    if (rest == ":") {
        shape = TableShape::Classic;
        return true;
    }
    // " (offset 0x1b):" or " (offset 0x22, lines 2, columns 1):"
    if (!c.eat(" (offset 0x") || !c.eatRun1(isXDigit)) return false;
    if (c.rest() == "):") {
        shape = TableShape::Numbered;
        return true;
    }
    if (c.eat(", lines ") && c.eatRun1(isDigit) && c.eat(", columns ") && c.eatRun1(isDigit) && c.rest() == "):") {
        shape = TableShape::Dwarf5;
        return true;
    }
    return false;
}

bool scanFileHeader(std::string_view line) {
    Cursor c{line};
    return blanks1(c) && c.rest() == "Entry\tDir\tTime\tSize\tName";
}

bool scanDwarf5FileHeader(std::string_view line) {
    Cursor c{line};
    if (!blanks1(c) || !c.eat("Entry\tDir\t")) return false;
    std::string_view rest = c.rest();
    return rest == "Name" || rest.ends_with("\tName");
}

bool scanDwarf5DirectoryTitle(std::string_view line) {
    Cursor c{line};
    return blanks1(c) && c.rest() == "Entry\tName";
}

bool scanDirectoryEntry(std::string_view line, std::string_view& directory) {
    Cursor c{line};
    if (!blanks1(c)) return false;
    directory = c.rest();
    return allLineChars(directory);
}

bool scanNumberedDirectoryEntry(std::string_view line, std::string_view& directory) {
    Cursor c{line};
    if (!blanks1(c) || !c.eatRun1(isDigit) || !c.eat('\t')) return false;
    std::string_view rest = c.rest();
    if (!allLineChars(rest)) return false;
    directory = stripIndirectPrefix(rest);
    return true;
}

bool scanFileEntry(std::string_view line, std::string_view& dirIndex, std::string_view& fileName) {
    Cursor c{line};
    if (!blanks1(c) || !c.eatRun1(isDigit) || !c.eat('\t')) return false;
    if (!c.eatRun1(isDigit, &dirIndex) || !c.eat('\t')) return false;
    if (!c.eatRun1(isDigit) || !c.eat('\t') || !c.eatRun1(isDigit) || !c.eat('\t')) return false;
    fileName = c.rest();
    return allLineChars(fileName);
}

bool scanDwarf5FileEntry(std::string_view line, std::string_view& dirIndex, std::string_view& fileName) {
    Cursor c{line};
    if (!blanks1(c) || !c.eatRun1(isDigit) || !c.eat('\t')) return false;
    if (!c.eatRun1(isDigit, &dirIndex) || !c.eat('\t')) return false;
    std::string_view rest = c.rest();
    if (!allLineChars(rest)) return false;
    // Further columns (an MD5 sum) may stand before the name, which is last.
    std::size_t tab = rest.rfind('\t');
    if (tab != std::string_view::npos) rest = rest.substr(tab + 1);
    fileName = stripIndirectPrefix(rest);
    return true;
}

bool scanPointerSize(std::string_view line, std::string_view& digits) {
    Cursor c{line};
    return spaces1(c) && c.eat("Pointer Size:") && spaces1(c) && c.eatRun1(isDigit, &digits) && c.atEnd();
}

bool scanFileFormat(std::string_view line, std::string_view& format) {
    // "^.*[:][ ]+file[ ]format[ ](.*)$": the last ": ... file format " wins.
    constexpr std::string_view kWords = "file format ";
    std::size_t p = line.size();
    while (p > 0) {
        p = line.rfind(kWords, p - 1);
        if (p == std::string_view::npos) return false;
        std::size_t k = p;
        while (k > 0 && line[k - 1] == ' ') --k;
        if (k < p && k > 0 && line[k - 1] == ':') {
            if (!allLineChars(line)) return false;
            format = line.substr(p + kWords.size());
            return true;
        }
    }
    return false;
}

bool scanSectionHeading(std::string_view line, std::string_view& name) {
    Cursor c{line};
    if (!c.eat("Contents of the ")) return false;
    std::string_view rest = c.rest();
    if (!rest.ends_with(" section:") || rest.size() <= 9) return false;
    name = rest.substr(0, rest.size() - 9);
    return allLineChars(name);
}

namespace {

// Blanks, the words, blanks, then "0x" and hex digits (or a bare "0") and
// what must end the line.
bool scanHeaderNumber(std::string_view line, std::string_view words, std::string_view end,
                      std::string_view& hexDigits) {
    Cursor c{line};
    if (!blanks1(c) || !c.eat(words)) return false;
    c.eatRun(isBlank);
    if (c.eat("0x")) {
        if (!c.eatRun1(isXDigit, &hexDigits)) return false;
    } else if (c.peek('0')) {
        hexDigits = c.s.substr(c.i, 1);
        ++c.i;
    } else {
        return false;
    }
    return c.rest() == end;
}

}  // namespace

bool scanUnitOffset(std::string_view line, std::string_view& hexDigits) {
    return scanHeaderNumber(line, "Compilation Unit @ offset", ":", hexDigits);
}

bool scanSignature(std::string_view line, std::string_view& hexDigits) {
    return scanHeaderNumber(line, "Signature:", "", hexDigits);
}

bool scanTypeOffset(std::string_view line, std::string_view& hexDigits) {
    return scanHeaderNumber(line, "Type Offset:", "", hexDigits);
}

bool scanAddressUnit(std::string_view line, std::string_view& hexDigits) {
    return scanHeaderNumber(line, "For compilation unit at offset", ":", hexDigits);
}

bool scanAddressRow(std::string_view line, std::string_view& index, std::string_view& address) {
    Cursor c{line};
    return c.eat('\t') && c.eatRun1(isDigit, &index) && c.eat(":\t") && c.eatRun1(isXDigit, &address) && c.atEnd();
}

namespace {

LineKind classifyTableTitle(std::string_view line) {
    if (scanFileHeader(line)) return LineKind::FileHeader;
    if (scanDwarf5FileHeader(line)) return LineKind::Dwarf5FileHeader;
    if (scanDwarf5DirectoryTitle(line)) return LineKind::Dwarf5DirectoryTitle;
    return LineKind::Other;
}

}  // namespace

namespace {

// The position of the first byte after the leading blanks; `onlySpaces` tells
// whether they were all spaces.
std::size_t skipBlanks(std::string_view line, bool& onlySpaces) {
    std::size_t first = skipSpaces(line, 0);
    onlySpaces = true;
    while (first < line.size() && line[first] == '\t') {
        onlySpaces = false;
        first = skipSpaces(line, first + 1);
    }
    return first;
}

}  // namespace

std::size_t indentOf(std::string_view line) {
    bool onlySpaces;
    return line.empty() || !isBlank(line[0]) ? 0 : skipBlanks(line, onlySpaces);
}

LineKind classify(std::string_view line, LineFields& out) {
    // Every shape starts with blanks; the first character after them tells
    // which scanner can match.
    out.indent = 0;
    if (line.empty() || !isBlank(line[0])) return LineKind::Other;
    bool onlySpaces;
    const std::size_t first = skipBlanks(line, onlySpaces);
    out.indent = first;
    switch (first < line.size() ? line[first] : '\0') {
        case '<': {
            // "<1><4a>:" starts an entry, "<4b>   DW_AT_" is an attribute: the
            // character after the first '>' tells which; both start with
            // spaces only. The scan goes on after "<1>" or "<4b>".
            if (!onlySpaces) return LineKind::Other;
            Cursor c{line, first};
            std::string_view digits;
            if (!c.eat('<') || !c.eatRun1(isXDigit, &digits) || !c.eat('>')) return LineKind::Other;
            if (c.peek('<')) {
                out.die.depth = digits;
                return scanDieHeaderRest(c, out.die) ? LineKind::DieHeader : LineKind::Other;
            }
            return scanAttributeRest(c, out.attribute) ? LineKind::Attribute : LineKind::Other;
        }
        case 'O': return scanOffsetLine(line, out.digits) ? LineKind::TableOffset : LineKind::Other;
        case 'T': return scanDirectoryHeader(line, out.shape) ? LineKind::DirectoryHeader : LineKind::Other;
        case 'E': return classifyTableTitle(line);
        case 'P':
            if (line[0] == ' ' && scanPointerSize(line, out.digits)) return LineKind::PointerSize;
            return LineKind::Other;
        default: return LineKind::Other;
    }
}

bool captureAfterIndirect(std::string_view value, std::string_view& text) {
    std::size_t p = value.rfind("): ");
    if (p == std::string_view::npos || !allLineChars(value)) return false;
    text = value.substr(p + 3);
    return true;
}

bool captureLastHex(std::string_view value, std::string_view& digits) {
    if (!allLineChars(value)) return false;
    std::size_t p = value.size();
    while (p > 0) {
        p = value.rfind("0x", p - 1);
        if (p == std::string_view::npos) return false;
        std::size_t start = p + 2;
        std::size_t end = start;
        while (end < value.size() && isXDigit(value[end])) ++end;
        if (end > start) {
            digits = value.substr(start, end - start);
            return true;
        }
    }
    return false;
}

bool captureAddress(std::string_view interpretation, std::uint32_t& address) {
    Cursor c{interpretation};
    std::string_view digits;
    if (!c.eat("(DW_OP_addr:") || !spaces1(c) || !c.eatRun1(isXDigit, &digits)) return false;
    std::uint32_t base = hexValue(digits);
    if (c.rest() == ")") {
        address = base;
        return true;
    }
    // Globals merged by LLVM: "(DW_OP_addr: 20000100; DW_OP_plus_uconst: 8)".
    std::string_view addend;
    if (c.eat("; DW_OP_plus_uconst:") && spaces1(c) && c.eatRun1(isDigit, &addend) && c.rest() == ")") {
        address = base + static_cast<std::uint32_t>(decimalValue(addend));
        return true;
    }
    return false;
}

bool captureAddressIndex(std::string_view interpretation, std::uint32_t& index, std::uint32_t& addend) {
    Cursor c{interpretation};
    std::string_view digits;
    if (!c.eat("(DW_OP_addrx <")) return false;
    // binutils writes the index as "0" or "0x" and hex digits.
    if (!(c.eat("0x") ? c.eatRun1(isXDigit, &digits) : c.eatRun1(isDigit, &digits)) || !c.eat('>')) return false;
    index = hexValue(digits);
    std::string_view more;
    if (c.rest() == ")") {
        addend = 0;
        return true;
    }
    if (c.eat("; DW_OP_plus_uconst:") && spaces1(c) && c.eatRun1(isDigit, &more) && c.rest() == ")") {
        addend = static_cast<std::uint32_t>(decimalValue(more));
        return true;
    }
    return false;
}

bool captureSignature(std::string_view value, std::uint64_t& signature) {
    Cursor c{value};
    std::string_view digits;
    if (!c.eat("signature: 0x") || !c.eatRun1(isXDigit, &digits)) return false;
    c.eatRun(isBlank);
    if (!c.atEnd()) return false;
    signature = hexValue64(digits);
    return true;
}

bool capturePlusUconst(std::string_view interpretation, std::string_view& digits) {
    Cursor c{interpretation};
    return c.eat("(DW_OP_plus_uconst:") && spaces1(c) && c.eatRun1(isDigit, &digits) && c.rest() == ")";
}

bool captureConstant(std::string_view value, std::uint32_t& number) {
    Cursor c{value};
    c.eatRun(isSpace);
    std::string_view digits;
    bool hex = false;
    if (c.s.substr(c.i, 2) == "0x" && c.i + 2 < c.s.size() && isXDigit(c.s[c.i + 2])) {
        c.i += 2;
        hex = true;
        c.eatRun1(isXDigit, &digits);
    } else if (!c.eatRun1(isDigit, &digits)) {
        return false;
    }
    c.eatRun(isSpace);
    if (!c.atEnd()) return false;
    number = hex ? hexValue(digits) : static_cast<std::uint32_t>(decimalValue(digits));
    return true;
}

bool captureParenthesised(std::string_view interpretation, std::string_view& text) {
    if (interpretation.empty() || interpretation.back() != ')' || !allLineChars(interpretation)) return false;
    std::size_t open = interpretation.rfind('(', interpretation.size() - 1);
    if (open == std::string_view::npos) return false;
    text = interpretation.substr(open + 1, interpretation.size() - 1 - (open + 1));
    return true;
}

namespace {

// The value of each hex digit; 0 for any other byte.
constexpr auto kHexValues = [] {
    std::array<std::uint8_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const char ch = static_cast<char>(c);
        table[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(isDigit(ch)                 ? ch - '0'
                                                                      : (ch >= 'a' && ch <= 'f') ? ch - 'a' + 10
                                                                      : (ch >= 'A' && ch <= 'F') ? ch - 'A' + 10
                                                                                                 : 0);
    }
    return table;
}();

}  // namespace

std::uint32_t hexValue(std::string_view digits) {
    std::uint32_t v = 0;
    for (char ch : digits)
        v = (v << 4) | kHexValues[static_cast<unsigned char>(ch)];  // wraps: the low 32 bits of a longer number stay
    return v;
}

std::uint64_t hexValue64(std::string_view digits) {
    std::uint64_t v = 0;
    for (char ch : digits) v = (v << 4) | hexValue(std::string_view(&ch, 1));
    return v;
}

std::int32_t decimalValue(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::uint32_t v = 0;
    if (i + 2 < text.size() + 0 && text[i] == '0' && text[i + 1] == 'x' && isXDigit(text[i + 2])) {
        std::size_t start = i + 2, end = start;
        while (end < text.size() && isXDigit(text[end])) ++end;
        v = hexValue(text.substr(start, end - start));
    } else {
        for (; i < text.size() && isDigit(text[i]); ++i) v = v * 10u + static_cast<std::uint32_t>(text[i] - '0');
    }
    if (negative) v = 0u - v;
    return static_cast<std::int32_t>(v);
}

}  // namespace kestrel::reader::grammar
