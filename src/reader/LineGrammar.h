// The shapes of the objdump dump lines that the reader relies on, each
// recognised by a hand-written scanner over a string_view. A scanner accepts
// exactly the lines of its shape and reports the fields as views into the line;
// it knows nothing of the model.
//
// Shapes of binutils 2.19 to 2.23 (a TAB after every attribute value, bare
// directory lines) and of later binutils (attribute lines without a TAB,
// numbered directory entries, DWARF 5 line tables) are both accepted.
#pragma once

#include <cstdint>
#include <string_view>

namespace kestrel::reader::grammar {

//  <1><4a>: Abbrev Number: 1 (DW_TAG_base_type)
//  <2><b61>: Abbrev Number: 144 (User TAG value: 0x4088)
//  <2><b70>: Abbrev Number: 145 (Unknown TAG value: 0x20)
struct DieHeader {
    std::string_view depth;   // hex digits as written; read as decimal
    std::string_view offset;  // hex digits
    std::string_view tag;     // "DW_TAG_...", or binutils' text for a tag it does not know
};
bool scanDieHeader(std::string_view line, DieHeader& out);

//     <4c>   DW_AT_encoding    : 6\t(signed char)
//     <36>   DW_AT_name        : a.c
// The value runs to the last TAB, the interpretation after it. A line without
// a TAB has its value run to the end of the line and an empty interpretation,
// except that a trailing " (location list)" is the interpretation.
struct AttributeLine {
    std::string_view name;   // "DW_AT_..."
    std::string_view value;
    std::string_view interpretation;
    bool hadTab = false;
};
bool scanAttribute(std::string_view line, AttributeLine& out);

//   Offset:                      0x75    (also a bare "0", as binutils 2.40 prints it)
bool scanOffsetLine(std::string_view line, std::string_view& hexDigits);

enum class TableShape : std::uint8_t {
    Classic,  //  The Directory Table:            (bare directory lines)
    Numbered, //  The Directory Table (offset 0x1b):   ("  1\t/dir")
    Dwarf5,   //  The Directory Table (offset 0x22, lines 2, columns 1):
};
bool scanDirectoryHeader(std::string_view line, TableShape& shape);

//   Entry\tDir\tTime\tSize\tName
bool scanFileHeader(std::string_view line);
//   Entry\tDir\tName    (DWARF 5 file table; further columns such as MD5 allowed)
bool scanDwarf5FileHeader(std::string_view line);
//   Entry\tName         (DWARF 5 directory table title line)
bool scanDwarf5DirectoryTitle(std::string_view line);

// Classic directory entry: leading blanks, then the text (trailing blanks kept).
bool scanDirectoryEntry(std::string_view line, std::string_view& directory);
// Numbered directory entry ("  1\t/usr/include", DWARF 5 "  0\t(indirect line
// string, offset: 0x10): /path"): the text without number and string prefix.
bool scanNumberedDirectoryEntry(std::string_view line, std::string_view& directory);

//   1\t0\t0\t0\ta.c
bool scanFileEntry(std::string_view line, std::string_view& dirIndex, std::string_view& fileName);
// DWARF 5:  1\t0\t(indirect line string, offset: 0x3a): big.c
bool scanDwarf5FileEntry(std::string_view line, std::string_view& dirIndex,
                         std::string_view& fileName);

//   Pointer Size:  4
bool scanPointerSize(std::string_view line, std::string_view& digits);

// a.elf:     file format elf32-littlearm    -> format "elf32-littlearm"
bool scanFileFormat(std::string_view line, std::string_view& format);

constexpr bool isBlankChar(char c) { return c == ' ' || c == '\t'; }

// --- Section and unit headers -----------------------------------------------
// Rare lines that classify() leaves as Other; the reader looks at them only
// when their first character fits.

// Contents of the .debug_types section:   -> name ".debug_types"
bool scanSectionHeading(std::string_view line, std::string_view& name);
//   Compilation Unit @ offset 0x80:      (also "offset 0:")
bool scanUnitOffset(std::string_view line, std::string_view& hexDigits);
//   Signature:     0x29249c48c81294bf   (a type unit's header)
bool scanSignature(std::string_view line, std::string_view& hexDigits);
//   Type Offset:   0x33                 (from the start of the unit)
bool scanTypeOffset(std::string_view line, std::string_view& hexDigits);
//   For compilation unit at offset 0x24:   (.debug_addr)
bool scanAddressUnit(std::string_view line, std::string_view& hexDigits);
// \t3:\t00009890                         (.debug_addr row: decimal index, hex address)
bool scanAddressRow(std::string_view line, std::string_view& index, std::string_view& address);

// --- Classification ---------------------------------------------------------

// The shapes above that a line can have. Most lines of a dump (disassembly,
// frames, decoded line numbers) have none of them: Other.
enum class LineKind : std::uint8_t {
    Other,
    DieHeader,             // fields in `die`
    Attribute,             // fields in `attribute`
    TableOffset,           // "Offset:" of a line table; hex digits in `digits`
    DirectoryHeader,       // shape in `shape`
    FileHeader,            // classic file table title
    Dwarf5FileHeader,      // DWARF 5 file table title
    Dwarf5DirectoryTitle,  // DWARF 5 directory table title
    PointerSize,           // decimal digits in `digits`
};

// The fields of a classified line; only those of its kind are set.
struct LineFields {
    DieHeader die;
    AttributeLine attribute;
    std::string_view digits;
    TableShape shape = TableShape::Classic;
    std::size_t indent = 0;  // indentOf(line)
};

// Where the first character after the leading blanks of `line` is: the size
// for a blank line, 0 for a line that does not start with a blank.
std::size_t indentOf(std::string_view line);

// The shape of one line; its fields go to `fields` (views into the line, and
// the indent of every line),
// which a reader keeps from line to line. Directory and file entries and the
// file-format line are not classified: whether a line is one depends on the
// lines before it.
LineKind classify(std::string_view line, LineFields& fields);

// --- Value extraction -------------------------------------------------------

// Text after the last "): " (the string behind an indirect-string prefix).
bool captureAfterIndirect(std::string_view value, std::string_view& text);
// Hex digits after the last "0x" that is followed by a hex digit.
bool captureLastHex(std::string_view value, std::string_view& digits);
// "(DW_OP_addr: 20000100)" and "(DW_OP_addr: 20000100; DW_OP_plus_uconst: 8)".
bool captureAddress(std::string_view interpretation, std::uint32_t& address);
// "(DW_OP_addrx <0x1>)" and "(DW_OP_addrx <0>; DW_OP_plus_uconst: 8)": the
// index into the unit's .debug_addr rows and the addend (0 without one).
bool captureAddressIndex(std::string_view interpretation, std::uint32_t& index, std::uint32_t& addend);
// "signature: 0x8c06614c4cc8fc40" (DW_FORM_ref_sig8) -> the 64-bit signature.
bool captureSignature(std::string_view value, std::uint64_t& signature);
// "(DW_OP_plus_uconst: 4)" -> digits.
bool capturePlusUconst(std::string_view interpretation, std::string_view& digits);
// A value that is only a number with optional white space around it:
// decimal digits, or "0x" and hex digits.
bool captureConstant(std::string_view value, std::uint32_t& number);
// Text between the last "(" and the ")" that ends the text.
bool captureParenthesised(std::string_view interpretation, std::string_view& text);

// --- Conversions ------------------------------------------------------------

// Hex digits into an unsigned 32-bit number; more than eight digits keep the
// low 32 bits.
std::uint32_t hexValue(std::string_view digits);
// The same into 64 bits (type signatures).
std::uint64_t hexValue64(std::string_view digits);
// The leading integer as the standard string-to-int conversion reads it
// (leading white space, sign, digits); "0x" and hex digits read as hex. No
// integer reads as 0; a value beyond 32 bits keeps its low 32 bits.
std::int32_t decimalValue(std::string_view text);
// True unless the text is exactly "0".
inline bool flagValue(std::string_view text) { return text != "0"; }

}  // namespace kestrel::reader::grammar
