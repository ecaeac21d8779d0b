#include <gtest/gtest.h>

#include <cstdio>

#include <algorithm>
#include <memory_resource>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "TestSupport.h"
#include "model/DwarfModel.h"
#include "reader/LineSource.h"
#include "reader/ModelLoader.h"

using namespace kestrel::model;
using namespace kestrel::reader;

namespace {

std::unique_ptr<DwarfModel> read(const std::string& text) { return loadText(text); }

std::string declLineOf(const DwarfModel& m, const BasicObject& o) {
    std::string text;
    m.appendDeclLine(text, o);
    return text;
}

// A declaration line comes back exactly as the dump wrote it, plain
// numbers and other texts alike; an entry without one inherits its parent's.
TEST(DeclLine, KeptAsWritten) {
    DwarfModel m;
    BasicObject* root = m.makeRoot();
    for (std::string_view text : {"0", "17", "4294967295", "4294967296", "007", "0x1f", "-3", "", "12 ",
                                  "99999999999"}) {
        BasicObject* o = m.make(Kind::Structure, 1, "DW_TAG_structure_type", root);
        m.setDeclLine(*o, text);
        EXPECT_EQ(declLineOf(m, *o), text);
        EXPECT_EQ(declLineOf(m, *m.make(Kind::Member, 2, "DW_TAG_member", o)), text);
    }
    EXPECT_EQ(declLineOf(m, *m.make(Kind::Variable, 3, "DW_TAG_variable", root)), "");
}

// A compile unit in the classic shape: every attribute value followed by a TAB.
const char* const kClassic =
    "\n"
    "app.elf:     file format elf32-littlearm\n"
    "\n"
    "Contents of the .debug_info section:\n"
    "\n"
    "  Compilation Unit @ offset 0x0:\n"
    "   Pointer Size:  4\n"
    " <0><b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
    "    <c>   DW_AT_producer    : (indirect string, offset: 0x0): GNU C 4.7.4\t\n"
    "    <10>   DW_AT_language    : 1\t(ANSI C)\n"
    "    <11>   DW_AT_name        : (indirect string, offset: 0x1c): main.c\t\n"
    "    <15>   DW_AT_comp_dir    : (indirect string, offset: 0x23): /work\t\n"
    "    <19>   DW_AT_low_pc      : 0x8000\t\n"
    "    <1d>   DW_AT_stmt_list   : 0x0\t\n"
    " <1><21>: Abbrev Number: 2 (DW_TAG_base_type)\n"
    "    <22>   DW_AT_byte_size   : 4\t\n"
    "    <23>   DW_AT_encoding    : 7\t(unsigned)\n"
    "    <24>   DW_AT_name        : unsigned int\t\n"
    " <1><28>: Abbrev Number: 3 (DW_TAG_variable)\n"
    "    <29>   DW_AT_name        : counter\t\n"
    "    <2d>   DW_AT_decl_file   : 1\t\n"
    "    <2e>   DW_AT_decl_line   : 17\t\n"
    "    <2f>   DW_AT_type        : <0x21>\t\n"
    "    <33>   DW_AT_location    : 5 byte block: 3 b4 a1 0 20 \t(DW_OP_addr: 2000a1b4)\n"
    " <1><39>: Abbrev Number: 4 (DW_TAG_pointer_type)\n"
    "    <3a>   DW_AT_byte_size   : 8\t\n"
    "    <3b>   DW_AT_type        : <0x21>\t\n"
    "\n"
    "Raw dump of debug contents of section .debug_line:\n"
    "\n"
    "  Offset:                      0x0\n"
    "  Length:                      62\n"
    "\n"
    " The Directory Table:\n"
    "  /usr/include  \n"
    "  inc\n"
    "\n"
    " The File Name Table:\n"
    "  Entry\tDir\tTime\tSize\tName\n"
    "  1\t0\t0\t0\tmain.c\n"
    "  2\t2\t0\t0\tio.h\n"
    "\n";

TEST(ReaderClassicShape, BuildsUnitsTypesVariablesAndLineTables) {
    auto m = read(kClassic);
    ASSERT_TRUE(m->root);
    ASSERT_EQ(m->compileUnits.size(), 1u);
    CompileUnitInfo* cu = m->compileUnits[0];
    EXPECT_EQ(cu->getName(), "main.c");
    EXPECT_EQ(cu->compileUnitName(), "main.c");
    EXPECT_EQ(cu->producer, "GNU C 4.7.4");
    EXPECT_EQ(cu->compDir, "/work");
    EXPECT_EQ(cu->language, "(ANSI C)");
    EXPECT_EQ(cu->addressLow, 0x8000u);
    EXPECT_TRUE(m->littleEndian) << "elf32-littlearm names a little-endian format";

    ASSERT_EQ(m->variables.size(), 1u);
    VariableInfo* v = m->variables[0];
    EXPECT_EQ(v->getName(), "counter");
    EXPECT_EQ(v->address, 0x2000a1b4u);
    EXPECT_TRUE(v->isStatic());
    EXPECT_EQ(declLineOf(*m, *v), "17");
    EXPECT_EQ(v->declFile, 1);
    EXPECT_EQ(v->compileUnitName(), "main.c");
    ASSERT_EQ(v->type, m->baseTypes.at(0));
    EXPECT_EQ(m->baseTypes[0]->encodingName, "unsigned");
    EXPECT_EQ(m->baseTypes[0]->encoding, 7);
    ASSERT_EQ(m->locatedObjects.size(), 1u);
    EXPECT_EQ(m->pointers.at(0)->byteSize, 4) << "the Pointer Size line wins over DW_AT_byte_size";

    ASSERT_EQ(m->lineTables.size(), 1u);
    const StatementList& lt = *m->lineTables.at(0);
    EXPECT_EQ(lt.directories, (std::vector<std::string>{"/usr/include  ", "inc"})) << "trailing blanks kept";
    EXPECT_EQ(lt.files, (std::vector<std::string>{"/main.c", "inc/io.h"}));
}

TEST(ReaderClassicShape, CrLfReadsLikeLf) {
    std::string crlf;
    for (const char* p = kClassic; *p; ++p) {
        if (*p == '\n') crlf += '\r';
        crlf += *p;
    }
    std::string crOnly = kClassic;
    std::replace(crOnly.begin(), crOnly.end(), '\n', '\r');
    auto a = read(kClassic);
    for (const std::string& text : {crlf, crOnly}) {
        auto b = read(text);
        ASSERT_EQ(b->variables.size(), 1u);
        EXPECT_EQ(b->variables[0]->getName(), "counter");
        EXPECT_EQ(b->lineTables.at(0)->files, a->lineTables.at(0)->files);
        EXPECT_EQ(b->lineTables.at(0)->directories, a->lineTables.at(0)->directories);
        EXPECT_EQ(b->linesRead, a->linesRead);
    }
}

TEST(ReaderDepthRule, SkipsEntriesDeeperThanAllowedWithTheirSubtrees) {
    auto m = read(
        " <1><10>: Abbrev Number: 1 (DW_TAG_variable)\n"
        "    <11>   DW_AT_name        : lost\t\n"
        " <0><20>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
        " <1><30>: Abbrev Number: 1 (DW_TAG_structure_type)\n"
        " <3><40>: Abbrev Number: 1 (DW_TAG_member)\n"
        "    <41>   DW_AT_name        : deep\t\n"
        " <4><48>: Abbrev Number: 1 (DW_TAG_member)\n"
        " <2><50>: Abbrev Number: 1 (DW_TAG_member)\n"
        "    <51>   DW_AT_name        : kept\t\n");
    EXPECT_EQ(m->objectsByOffset.find(0x10), nullptr);
    EXPECT_EQ(m->objectsByOffset.find(0x40), nullptr);
    EXPECT_EQ(m->objectsByOffset.find(0x48), nullptr);
    ASSERT_EQ(m->members.size(), 1u);
    EXPECT_EQ(m->members[0]->getName(), "kept");
    EXPECT_EQ(m->members[0]->parent, m->structures.at(0));
    EXPECT_TRUE(m->variables.empty());
}

TEST(ReaderEntries, LexicalBlocksFirstOffsetsLocationsAndRepeats) {
    auto m = read(
        " <0><b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
        " <1><20>: Abbrev Number: 2 (DW_TAG_subprogram)\n"
        "    <21>   DW_AT_name        : f\t\n"
        " <2><30>: Abbrev Number: 3 (DW_TAG_lexical_block)\n"
        "    <31>   DW_AT_decl_line   : 9\t\n"
        " <3><40>: Abbrev Number: 4 (DW_TAG_variable)\n"
        "    <41>   DW_AT_name        : cnt\t\n"
        "    <42>   DW_AT_location    : 5 byte block: 3 0 1 0 20 \t(DW_OP_addr: 20000100)\n"
        "    <43>   DW_AT_location    : 5 byte block: 3 0 1 0 20 \t(DW_OP_addr: 20000104)\n"
        " <3><50>: Abbrev Number: 4 (DW_TAG_variable)\n"
        "    <51>   DW_AT_location    : 0x0\t(location list)\n"
        " <3><60>: Abbrev Number: 4 (DW_TAG_variable)\n"
        "    <61>   DW_AT_location    : 2 byte block: 91 7c \t(DW_OP_fbreg: -4)\n"
        " <3><40>: Abbrev Number: 5 (DW_TAG_formal_parameter)\n"
        " <1><70>: Abbrev Number: 6 (DW_TAG_enumerator)\n"
        "    <71>   DW_AT_const_value : 3\t\n"
        "    <72>   DW_AT_const_value : 4\t\n"
        " <1><80>: Abbrev Number: 6 (DW_TAG_inlined_subroutine)\n"
        "    <81>   DW_AT_abstract_origin: <0x20>\t\n"
        "    <82>   DW_AT_call_file   : 2\t\n"
        "    <83>   DW_AT_call_line   : 44\t\n");
    BasicObject* block = m->objectsByOffset.find(0x30);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->kind(), Kind::Basic);
    EXPECT_EQ(block->tag(), "DW_TAG_lexical_block");
    EXPECT_EQ(declLineOf(*m, *block), "9");
    ASSERT_EQ(m->variables.size(), 4u);
    VariableInfo* cnt = m->variables[0];
    EXPECT_EQ(cnt->parent, block);
    EXPECT_TRUE(cnt->nested) << "below a function";
    EXPECT_EQ(cnt->address, 0x20000104u) << "the later line wins";
    EXPECT_EQ(m->locatedObjects.size(), 2u) << "appended once per line";
    EXPECT_TRUE(m->variables[1]->isStatic());
    EXPECT_EQ(m->variables[1]->address, 0u);
    EXPECT_TRUE(m->variables[2]->isStatic());
    EXPECT_TRUE(m->variables[3]->isParameter());
    EXPECT_EQ(m->objectsByOffset.find(0x40), cnt) << "first object of an offset wins";
    ASSERT_EQ(m->enumerators.size(), 1u);
    EXPECT_EQ(m->enumerators[0]->constValue, 4);
    EXPECT_EQ(m->constantObjects.size(), 2u);
    TypeInfo_Subroutine* inl = m->subroutines.at(0);
    EXPECT_EQ(inl->tag(), "DW_TAG_inlined_subroutine");
    EXPECT_EQ(inl->declFile, 2);
    EXPECT_EQ(declLineOf(*m, *inl), "44");
    EXPECT_EQ(inl->type, m->functions.at(0));
}

TEST(ReaderEntries, UnknownTagNumbersKeepTheEarlierEntryCurrent) {
    auto m = read(
        " <0><b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
        " <1><20>: Abbrev Number: 2 (DW_TAG_variable)\n"
        " <1><30>: Abbrev Number: 3 (user TAG value: 0x4106)\n"
        "    <31>   DW_AT_name        : later\t\n");
    EXPECT_EQ(m->variables.at(0)->getName(), "later");
}

// binutils names tags it does not know "User TAG value: 0x4088" (user range)
// or "Unknown TAG value: 0x..": such a header starts an entry of its own, in
// the tree but in no class list, and its attributes stay on it.
TEST(ReaderEntries, UserAndUnknownTagsStartEntriesOfTheirOwn) {
    for (const char* tag : {"User TAG value: 0x4088", "Unknown TAG value: 0x20"}) {
        SCOPED_TRACE(tag);
        auto m = read(std::string(
            " <0><b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
            " <1><20>: Abbrev Number: 2 (DW_TAG_subprogram)\n"
            "    <21>   DW_AT_name        : Set_Speed\n"
            " <1><30>: Abbrev Number: 144 (") + tag + ")\n"
            "    <31>   DW_AT_name        : block\n"
            "    <35>   DW_AT_low_pc      : 0x8000\n"
            " <2><40>: Abbrev Number: 4 (DW_TAG_variable)\n"
            "    <41>   DW_AT_name        : counter_2ms\n"
            "    <45>   DW_AT_location    : 5 byte block: 3 33 6 20 20 \t(DW_OP_addr: 20200633)\n");
        ASSERT_EQ(m->functions.size(), 1u);
        EXPECT_EQ(m->functions[0]->getName(), "Set_Speed");
        const BasicObject* entry = m->objectsByOffset.find(0x30);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->kind(), Kind::Basic);
        EXPECT_EQ(entry->tag(), tag);
        EXPECT_EQ(entry->getName(), "block");
        EXPECT_EQ(entry->parent, m->compileUnits.at(0));
        ASSERT_EQ(m->variables.size(), 1u);
        EXPECT_EQ(m->variables[0]->getName(), "counter_2ms");
        EXPECT_EQ(m->variables[0]->parent, entry);
        EXPECT_EQ(m->variables[0]->address, 0x20200633u);
    }
}

// One attribute line on an entry of one tag, and what one field of the
// object (or the model) reads after linking.
struct AttributeCase {
    const char* tag;   // after "DW_TAG_"
    const char* line;  // after the attribute's "<21>"
    std::string (*field)(const DwarfModel&, const BasicObject&);
    std::string expected;
};

std::string show(std::string_view v) { return std::string(v); }
std::string show(std::int32_t v) { return std::to_string(v); }
std::string show(std::uint32_t v) { return std::to_string(v); }
std::string show(bool v) { return v ? "true" : "false"; }

#define FIELD(Class, member) \
    [](const DwarfModel&, const BasicObject& o) { return show(static_cast<const Class&>(o).member); }
const auto kLocated = [](const DwarfModel& m, const BasicObject& o) {
    return show(!m.locatedObjects.empty() && m.locatedObjects[0] == &o);
};
// The linkage names kept beside the objects, as "object offset: name".
const auto kLinkageNames = [](const DwarfModel& m, const BasicObject&) {
    std::string all;
    for (const auto& [object, name] : m.linkageNames) all += std::to_string(object->offset) + ": " + std::string(name);
    return all;
};

const AttributeCase kAttributeCases[] = {
    // Values run to the last TAB; texts behind an indirect-string prefix.
    {"variable", "DW_AT_name        : a\tb\t", FIELD(VariableInfo, getName()), "a\tb"},
    {"variable", "DW_AT_name        : (indirect string, offset: 0x5): x): y\t", FIELD(VariableInfo, getName()), "y"},
    {"variable", "DW_AT_name        : no_tab_here", FIELD(VariableInfo, getName()), "no_tab_here"},
    {"compile_unit", "DW_AT_producer    : GNU C inline\t", FIELD(CompileUnitInfo, producer), ""},
    {"compile_unit", "DW_AT_comp_dir    : /inline", FIELD(CompileUnitInfo, compDir), ""},
    // Member locations as an expression, a number, a hex number.
    {"member", "DW_AT_data_member_location: 2 byte block: 23 8 \t(DW_OP_plus_uconst: 8)",
     FIELD(TypeInfo_Member, dataMemberLocation), "8"},
    {"member", "DW_AT_data_member_location: 12\t", FIELD(TypeInfo_Member, dataMemberLocation), "12"},
    {"member", "DW_AT_data_member_location: 0x11178", FIELD(TypeInfo_Member, dataMemberLocation), "70008"},
    {"member", "DW_AT_bit_size    : 3", FIELD(TypeInfo_Member, bitSize()), "3"},
    {"member", "DW_AT_bit_offset  : 5", FIELD(TypeInfo_Member, bitOffset()), "5"},
    {"member", "DW_AT_byte_size   : 4", FIELD(TypeInfo_Member, byteSize()), "4"},
    // Numbers in hex and out of range.
    {"structure_type", "DW_AT_byte_size   : 0x11180", FIELD(TypeInfo_Structure, byteSize), "70016"},
    {"subrange_type", "DW_AT_upper_bound : 4294967295", FIELD(TypeInfo_Subrange, upperB), "-1"},
    {"subrange_type", "DW_AT_upper_bound : 0x1869f", FIELD(TypeInfo_Subrange, upperB), "99999"},
    {"subrange_type", "DW_AT_lower_bound : nonsense", FIELD(TypeInfo_Subrange, lowerB), "0"},
    {"subrange_type", "DW_AT_count       : 20", FIELD(TypeInfo_Subrange, upperB), "19"},  // count - 1
    {"variable", "DW_AT_type        : <0x123456789>", FIELD(VariableInfo, type.offset()), "591751049"},  // low 32 bits
    // Location forms: an address (LLVM's merged globals add to it), a
    // location list, an address that is only the start of an expression.
    {"variable", "DW_AT_location    : 9 byte block: 3 0 1 0 20 23 8 \t(DW_OP_addr: 20000100; DW_OP_plus_uconst: 8)",
     FIELD(VariableInfo, address), "536871176"},
    {"variable", "DW_AT_location    : 9 byte block: 3 0 1 0 20 23 8 \t(DW_OP_addr: 20000100; DW_OP_plus_uconst: 8)",
     kLocated, "true"},
    {"variable", "DW_AT_location    : 0xc (location list)", FIELD(VariableInfo, isStatic()), "true"},
    {"variable", "DW_AT_location    : 0xc (location list)", FIELD(VariableInfo, address), "0"},
    {"variable", "DW_AT_location    : 0xc (location list)", kLocated, "false"},
    {"subprogram", "DW_AT_linkage_name: (indirect string, offset: 0x9): _Z4stepv\t", kLinkageNames, "32: _Z4stepv"},
    {"variable", "DW_AT_MIPS_linkage_name: (indirect string, offset: 0x2): _ZN2ns1vE\t", kLinkageNames, "32: _ZN2ns1vE"},
    {"variable", "DW_AT_location    : 6 byte block: 3 0 1 0 20 6 \t(DW_OP_addr: 20000100; DW_OP_deref)",
     FIELD(VariableInfo, address), "0"},
    {"variable", "DW_AT_location    : 6 byte block: 3 0 1 0 20 6 \t(DW_OP_addr: 20000100; DW_OP_deref)",
     kLocated, "false"},
};
#undef FIELD

TEST(ReaderAttributes, EachLineSetsItsField) {
    for (const AttributeCase& c : kAttributeCases) {
        SCOPED_TRACE(std::string(c.tag) + ": " + c.line);
        auto m = read(std::string(" <0><b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
                                  " <1><20>: Abbrev Number: 2 (DW_TAG_") +
                      c.tag + ")\n    <21>   " + c.line + "\n");
        const BasicObject* object = m->objectsByOffset.find(0x20);
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(c.field(*m, *object), c.expected);
    }
}

TEST(ReaderTables, ModesPointerSizeAndDuplicateOffsets) {
    auto m = read(
        "  Offset:                      0x10\n"
        " The Directory Table:\n"
        "  Pointer Size:  8\n"
        "\n"
        "  Offset:                      0x10\n"
        " The Directory Table:\n"
        "  second\n"
        "\n"
        " <0><b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
        " <1><20>: Abbrev Number: 2 (DW_TAG_pointer_type)\n"
        "    <21>   DW_AT_byte_size   : 2\t\n");
    ASSERT_EQ(m->lineTables.size(), 1u);
    EXPECT_EQ(m->lineTables.at(0x10)->directories, std::vector<std::string>{"Pointer Size:  8"});
    EXPECT_EQ(m->pointers.at(0)->byteSize, 2) << "no pointer size read: DW_AT_byte_size counts";
}

TEST(ReaderTables, FileFormatMustNameALittleEndianFormat) {
    EXPECT_FALSE(read("app.elf:     file format elf32-bigarm\n")->littleEndian);
    EXPECT_TRUE(read("app.elf:     file format elf32-little\n")->littleEndian);
    EXPECT_FALSE(read("file format elf32-little\n")->littleEndian) << "needs the colon";
}

// Line tables of binutils 2.24 and later, DWARF 2-4 and DWARF 5.
TEST(ReaderTables, CurrentBinutilsShapes) {
    auto m = read(
        "  Offset:                      0\n"
        "  DWARF Version:               3\n"
        "\n"
        " The Directory Table (offset 0x1b):\n"
        "  1\t/usr/lib/gcc/arm-none-eabi/12.2.1/include\n"
        "\n"
        " The File Name Table (offset 0x48):\n"
        "  Entry\tDir\tTime\tSize\tName\n"
        "  1\t0\t0\t0\ta.c\n"
        "  2\t1\t0\t0\tstdint.h\n"
        "\n"
        "  Offset:                      0x75\n"
        "  DWARF Version:               5\n"
        "\n"
        " The Directory Table (offset 0x22, lines 2, columns 1):\n"
        "  Entry\tName\n"
        "  0\t(indirect line string, offset: 0x10): /work\n"
        "  1\t(indirect line string, offset: 0x16): /usr/include\n"
        "\n"
        " The File Name Table (offset 0x30, lines 3, columns 2):\n"
        "  Entry\tDir\tName\n"
        "  0\t0\t(indirect line string, offset: 0x3a): big.c\n"
        "  1\t0\t(indirect line string, offset: 0x3a): big.c\n"
        "  2\t1\t(indirect line string, offset: 0x40): stdint.h\n"
        "\n");
    ASSERT_EQ(m->lineTables.size(), 2u);
    const StatementList& v3 = *m->lineTables.at(0);
    EXPECT_FALSE(v3.zeroBased);
    EXPECT_EQ(v3.files, (std::vector<std::string>{"/a.c", "/usr/lib/gcc/arm-none-eabi/12.2.1/include/stdint.h"}));
    const StatementList& v5 = *m->lineTables.at(0x75);
    EXPECT_TRUE(v5.zeroBased);
    EXPECT_EQ(v5.directories, (std::vector<std::string>{"/work", "/usr/include"}));
    EXPECT_EQ(*v5.fileFor(1), "/work/big.c");
    EXPECT_EQ(*v5.fileFor(2), "/usr/include/stdint.h");
}

// Three fields of DW_AT_data_bit_offset: in a byte, across a 32-bit unit
// boundary, and 30 bits wide across one.
const char* const kDataBitOffsets =
        " <0><b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
        " <1><20>: Abbrev Number: 2 (DW_TAG_base_type)\n"
        "    <21>   DW_AT_byte_size   : 1\n"
        " <1><28>: Abbrev Number: 2 (DW_TAG_base_type)\n"
        "    <29>   DW_AT_byte_size   : 4\n"
        " <1><30>: Abbrev Number: 3 (DW_TAG_structure_type)\n"
        " <2><31>: Abbrev Number: 4 (DW_TAG_member)\n"
        "    <32>   DW_AT_type        : <0x20>\n"
        "    <33>   DW_AT_bit_size    : 3\n"
        "    <34>   DW_AT_data_bit_offset: 16\n"
        " <2><35>: Abbrev Number: 4 (DW_TAG_member)\n"
        "    <36>   DW_AT_type        : <0x28>\n"
        "    <37>   DW_AT_bit_size    : 5\n"
        "    <38>   DW_AT_data_bit_offset: 30\n"
        " <2><39>: Abbrev Number: 4 (DW_TAG_member)\n"
        "    <3a>   DW_AT_type        : <0x28>\n"
        "    <3b>   DW_AT_bit_size    : 30\n"
        "    <3c>   DW_AT_data_bit_offset: 28\n";

TEST(ReaderBitFields, DataBitOffsetBecomesStorageUnitAndBitOffset) {
    auto m = read(std::string("a.elf:     file format elf32-littlearm\n") + kDataBitOffsets);
    TypeInfo_Member* a = m->members.at(0);
    EXPECT_EQ(a->byteSize(), 1);
    EXPECT_EQ(a->dataMemberLocation, 2);
    EXPECT_EQ(a->bitOffset(), 5) << "8 - 0 - 3, counted from the most significant bit";
    TypeInfo_Member* b = m->members.at(1);
    EXPECT_EQ(b->byteSize(), 4);
    EXPECT_EQ(b->dataMemberLocation, 0);
    EXPECT_EQ(b->bitOffset(), -3) << "a straddling field: the unit ending at its last bit, moved to a byte";
    TypeInfo_Member* c = m->members.at(2);
    EXPECT_EQ(c->dataMemberLocation, 3) << "bits 28..57: the unit of bits 24..55, as GCC's DWARF 4 says";
    EXPECT_EQ(c->bitOffset(), -2);
}

// On a big-endian target the data bit offset counts from the most significant
// bit of the first byte. A field that runs on past the last byte of its unit
// gets the unit that ends with its last bit, so that its bits, counted from
// the least significant bit of the unit's value, are all numbered.
TEST(ReaderBitFields, BigEndianFieldsEndInTheirUnit) {
    auto m = read(std::string("a.elf:     file format elf32-bigarm\n") + kDataBitOffsets);
    const struct {
        std::int32_t location, bitOffset;
    } expected[] = {{2, 0}, {1, 22}, {4, -4}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(m->members.at(i)->dataMemberLocation, expected[i].location) << i;
        EXPECT_EQ(m->members.at(i)->bitOffset(), expected[i].bitOffset) << i;
    }
}

TEST(ReaderRobustness, EmptyAndMalformedInputs) {
    auto empty = read("");
    ASSERT_TRUE(empty->root);
    EXPECT_TRUE(empty->root->children.empty());
    auto m = read(std::string(" <0><b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n    <c>   DW_AT_name : ") +
                  std::string(1 << 20, 'x') + "\n \xff\x00<1>\n <99999999999><20>: Abbrev Number: 1 (DW_TAG_variable)");
    EXPECT_EQ(m->compileUnits.at(0)->getName().size(), 1u << 20);
    EXPECT_TRUE(m->variables.empty());
}

}  // namespace

namespace {

// Dump text arriving in blocks of any size (from a pipe) reads like the whole.
TEST(ReaderBlocks, BlocksOfAnySizeReadLikeTheWholeText) {
    std::string text = kClassic;
    text += "  trailing line without a line feed";
    for (std::size_t block : {1u, 2u, 7u, 64u, 4096u}) {
        DwarfModel m;
        {
            ModelLoader builder(m);
            for (std::size_t i = 0; i < text.size(); i += block) builder.push(std::string_view(text).substr(i, block));
            builder.finish();
        }
        ASSERT_EQ(m.variables.size(), 1u) << block;
        EXPECT_EQ(m.variables[0]->getName(), "counter");
        EXPECT_EQ(m.variables[0]->type, m.baseTypes.at(0));
        EXPECT_EQ(m.lineTables.at(0)->files, (std::vector<std::string>{"/main.c", "inc/io.h"}));
        EXPECT_EQ(m.linesRead, read(text)->linesRead);
        EXPECT_EQ(m.bytesRead, text.size());
    }
}

}  // namespace

namespace {

// Qualifiers that are looked through like volatile, and references that are
// leaves like pointers.
TEST(ReaderEntries, QualifiersAndReferencesGetTheirClasses) {
    auto m = read(
        "   Pointer Size:  4\n"
        " <0><b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
        " <1><20>: Abbrev Number: 2 (DW_TAG_atomic_type)\n"
        "    <21>   DW_AT_type        : <0x60>\n"
        " <1><28>: Abbrev Number: 3 (DW_TAG_restrict_type)\n"
        " <1><30>: Abbrev Number: 4 (DW_TAG_immutable_type)\n"
        " <1><38>: Abbrev Number: 5 (DW_TAG_reference_type)\n"
        "    <39>   DW_AT_byte_size   : 4\n"
        "    <3a>   DW_AT_type        : <0x60>\n"
        " <1><40>: Abbrev Number: 6 (DW_TAG_rvalue_reference_type)\n"
        " <1><60>: Abbrev Number: 7 (DW_TAG_base_type)\n"
        "    <61>   DW_AT_byte_size   : 2\n");
    ASSERT_EQ(m->volatiles.size(), 3u);
    EXPECT_EQ(m->volatiles[0]->tag(), "DW_TAG_atomic_type");
    EXPECT_EQ(m->volatiles[0]->type, m->baseTypes.at(0));
    EXPECT_EQ(m->volatiles[0]->getSize(), 2u);
    ASSERT_EQ(m->pointers.size(), 2u);
    EXPECT_EQ(m->pointers[0]->tag(), "DW_TAG_reference_type");
    EXPECT_EQ(m->pointers[0]->byteSize, 4);
    EXPECT_EQ(m->pointers[1]->byteSize, 4);
}

}  // namespace

namespace {

TEST(ReaderLinking, ForwardReferencesLinkAndUnknownOffsetsStayNull) {
    auto m = read(
        " <0><b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
        " <1><20>: Abbrev Number: 2 (DW_TAG_structure_type)\n"
        "    <21>   DW_AT_byte_size   : 8\t\n"
        " <2><28>: Abbrev Number: 3 (DW_TAG_member)\n"
        "    <29>   DW_AT_type        : <0x60>\t\n"
        " <2><30>: Abbrev Number: 3 (DW_TAG_member)\n"
        "    <31>   DW_AT_type        : <0x999>\t\n"
        " <1><40>: Abbrev Number: 4 (DW_TAG_variable)\n"
        "    <41>   DW_AT_specification: <0x50>\t\n"
        " <1><50>: Abbrev Number: 4 (DW_TAG_variable)\n"
        "    <51>   DW_AT_type        : <0x20>\t\n"
        " <1><60>: Abbrev Number: 5 (DW_TAG_base_type)\n"
        "    <61>   DW_AT_byte_size   : 2\t\n");
    TypeInfo_Member* later = m->members.at(0);
    EXPECT_EQ(later->type, m->baseTypes.at(0)) << "linked after the whole dump is read";
    EXPECT_EQ(later->getSize(), 2u);
    TypeInfo_Member* dangling = m->members.at(1);
    EXPECT_EQ(dangling->type, nullptr);
    EXPECT_EQ(dangling->getSize(), 0u);
    EXPECT_TRUE(m->variables.at(0)->hasSpecification);
    EXPECT_EQ(m->variables.at(0)->specification, m->variables.at(1));
    EXPECT_EQ(m->variables.at(1)->getSize(), 8u);
}

// A large model is linked on two threads, one taking units from the front and
// one from the back: a declaration still stands for the first definition of
// its name in reading order, whichever thread met it.
TEST(ReaderLinking, TwoThreadsKeepTheReadingOrderOfDefinitions) {
    // Enough objects that the thread taking the front is still busy when the
    // other one starts.
    constexpr unsigned kUnits = 1000;
    constexpr unsigned kFillers = 60;
    auto hex = [](unsigned value) {
        char text[16];
        std::snprintf(text, sizeof text, "%x", value);
        return std::string(text);
    };
    auto structure = [&](unsigned at, const char* name, const char* member) {
        return " <1><" + hex(at) + ">: Abbrev Number: 3 (DW_TAG_structure_type)\n    <" + hex(at + 1) +
               ">   DW_AT_name        : " + name +
               (member == nullptr ? "\t\n    <" + hex(at + 2) + ">   DW_AT_declaration : 1\n"
                                  : "\t\n    <" + hex(at + 2) + ">   DW_AT_byte_size   : 4\n <2><" + hex(at + 4) +
                                        ">: Abbrev Number: 4 (DW_TAG_member)\n    <" + hex(at + 5) +
                                        ">   DW_AT_name        : " + member + "\t\n    <" + hex(at + 6) +
                                        ">   DW_AT_type        : <0x" + hex(at & ~0xfffu) + "8>\n");
    };
    std::string dump = "app.elf:     file format elf32-littlearm\n\nContents of the .debug_info section:\n\n";
    for (unsigned k = 0; k < kUnits; ++k) {
        const unsigned base = (k + 1) << 12;
        dump += "  Compilation Unit @ offset 0x" + hex(base) + ":\n <0><" + hex(base + 0xb) +
                ">: Abbrev Number: 1 (DW_TAG_compile_unit)\n    <" + hex(base + 0xc) + ">   DW_AT_name        : u" +
                std::to_string(k) + ".c\t\n <1><" + hex(base + 8) + ">: Abbrev Number: 2 (DW_TAG_base_type)\n"
                "    <" + hex(base + 9) + ">   DW_AT_byte_size   : 4\n";
        if (k == 0) {
            dump += structure(base + 0x20, "S", nullptr) + structure(base + 0x30, "T", nullptr);
            for (const char* v : {"s", "t"})
                dump += " <1><" + hex(base + (*v == 's' ? 0x40 : 0x50)) + ">: Abbrev Number: 5 (DW_TAG_variable)\n"
                        "    <0>   DW_AT_name        : " + v + "\t\n    <0>   DW_AT_type        : <0x" +
                        hex(base + (*v == 's' ? 0x20 : 0x30)) + ">\n";
        }
        dump += " <1><" + hex(base + 0x60) + ">: Abbrev Number: 3 (DW_TAG_structure_type)\n";
        for (unsigned f = 0; f < kFillers; ++f)
            dump += " <2><" + hex(base + 0x70 + 4 * f) + ">: Abbrev Number: 4 (DW_TAG_member)\n"
                    "    <0>   DW_AT_type        : <0x" + hex(base + 8) + ">\n";
        if (k == 1) dump += structure(base + 0x20, "T", "early");
        if (k == kUnits - 2) dump += structure(base + 0x20, "S", "first") + structure(base + 0x30, "T", "late");
        if (k == kUnits - 1) dump += structure(base + 0x20, "S", "second");
    }
    // Text of another section, so that the model counts as large.
    dump += "\nContents of the .debug_str section:\n\n";
    const std::string strings = "  0x00000000 61626364 65666768 696a6b6c 6d6e6f70 abcdefghijklmnop\n";
    while (dump.size() < (std::size_t{9} << 20)) dump += strings;

    // Where the units are shared depends on when the second thread starts:
    // a few readings, so that it takes part in some.
    for (int reading = 0; reading < 4; ++reading) {
        auto m = read(dump);
        ASSERT_EQ(m->compileUnits.size(), kUnits);
        auto memberOf = [&](std::size_t variable) -> std::string {
            const BasicObject* definition = definitionOf(m->variables.at(variable)->type);
            if (definition == nullptr || definition->children.empty()) return "(unresolved)";
            return std::string(definition->children.front()->getName());
        };
        ASSERT_EQ(memberOf(0), "first");
        ASSERT_EQ(memberOf(1), "early");
    }
}

}  // namespace

namespace {

// Gives out `budget` bytes from the heap, then throws std::bad_alloc.
class ScantMemory final : public std::pmr::memory_resource {
public:
    explicit ScantMemory(std::size_t budget) : left_(budget) {}

private:
    void* do_allocate(std::size_t bytes, std::size_t align) override {
        if (bytes > left_) throw std::bad_alloc();
        left_ -= bytes;
        return std::pmr::new_delete_resource()->allocate(bytes, align);
    }
    void do_deallocate(void* p, std::size_t bytes, std::size_t align) override {
        std::pmr::new_delete_resource()->deallocate(p, bytes, align);
    }
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
    std::size_t left_;
};

// Memory running out in the middle of a dump (from a file or in blocks)
// leaves a model that is given up without an invalid free or a leak (the
// sanitizer build checks both).
TEST(ReaderExceptions, AModelGivenUpMidwayReleasesItsMemory) {
    std::string text = " <0><b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n";
    for (int k = 0; k < 40000; ++k)
        text += " <1><" + std::to_string(100 + k) + ">: Abbrev Number: 2 (DW_TAG_variable)\n    <c>   DW_AT_name        : v\n";
    kestrel::test::TempDir dir;
    kestrel::test::writeFile(dir.path / "big_ObjDump.txt", text);

    for (bool fromFile : {false, true}) {
        SCOPED_TRACE(fromFile ? "from a file" : "in blocks");
        ScantMemory scant(std::size_t{3} << 20);
        std::pmr::memory_resource* previous = std::pmr::set_default_resource(&scant);
        bool ranOut = false;
        try {
            DwarfModel model;  // its arena draws on the scant memory
            std::string error;
            if (fromFile) {
                loadFile(dir / "big_ObjDump.txt", model, error);
            } else {
                ModelLoader loader(model);
                for (std::size_t at = 0; at < text.size(); at += 4096) loader.push(std::string_view(text).substr(at, 4096));
                loader.finish();
            }
        } catch (const std::bad_alloc&) {
            ranOut = true;
        }
        std::pmr::set_default_resource(previous);
        EXPECT_TRUE(ranOut);
    }
}

}  // namespace

namespace {

// The lines a LineAssembler gives for `text` arriving in blocks of `block`
// bytes; `cut` tells whether the last line had no line end.
std::vector<std::string> assembled(std::string_view text, std::size_t block, bool& cut) {
    std::vector<std::string> lines;
    auto onLine = [&](std::string_view line) { lines.emplace_back(line); };
    LineAssembler assembler;
    for (std::size_t i = 0; i < text.size(); i += block) assembler.push(text.substr(i, block), onLine);
    cut = assembler.finish(onLine);
    return lines;
}

TEST(LineSplitting, TheFirstLineEndSetsTheConventionAtEveryBlockBoundary) {
    struct Case {
        std::string text;
        std::vector<std::string> lines;
        bool cut;
    };
    const Case cases[] = {
        {"", {}, false},
        {"a\nb\n", {"a", "b"}, false},
        {"a\r\nb\r\n", {"a", "b"}, false},
        {"a\rb\r", {"a", "b"}, false},
        {"\r", {""}, false},
        {"\r\r\n\n\r", {"", "", "", ""}, false},
        {"a\r\rb\r\n\nc\n", {"a", "", "b", "", "c"}, false},
        {"a\rb\nc\r\n", {"a", "b", "c"}, false},
        // After an LF or CR LF first line end, a lone CR is text.
        {"ab\n\rcd", {"ab", "\rcd"}, true},
        {"a\r\n\r\nb\rc", {"a", "", "b\rc"}, true},
        {"a\r\nb\rc\n", {"a", "b\rc"}, false},
    };
    // Long texts: line ends at every position of the 64-byte steps in which
    // LFs are searched, a CR LF split by such a step, a CR inside a line.
    auto longCase = [](std::string_view end, bool strayCr) {
        Case c{{}, {}, false};
        for (std::size_t length = 0; length < 70; ++length) {
            std::string line(length, static_cast<char>('a' + length % 26));
            if (strayCr && length > 2) line[length / 2] = '\r';
            c.text += line;
            c.text += end;
            c.lines.push_back(line);
        }
        return c;
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    all.push_back(longCase("\r\n", false));
    all.push_back(longCase("\n", true));
    all.push_back(longCase("\r\n", true));
    for (const Case& c : all) {
        for (std::size_t block = 1; block <= c.text.size() + 1; ++block) {
            bool cut = false;
            EXPECT_EQ(assembled(c.text, block, cut), c.lines) << testing::PrintToString(c.text) << " block " << block;
            EXPECT_EQ(cut, c.cut) << testing::PrintToString(c.text) << " block " << block;
        }
        std::vector<std::string> whole;
        forEachLine(c.text, [&](std::string_view line) { whole.emplace_back(line); });
        EXPECT_EQ(whole, c.lines) << testing::PrintToString(c.text);
    }
}

// A line longer than kMaxLine (a file without line ends) is skipped, and the
// assembler never holds more than kMaxLine bytes of it.
TEST(LineSplitting, OverlongLinesAreSkippedWithoutBeingHeld) {
    const std::string block(1u << 20, 'x');
    for (const char* end : {"\n", "\r", "\r\n"}) {
        LineAssembler assembler;
        std::vector<std::string> lines;
        auto onLine = [&](std::string_view line) { lines.emplace_back(line.substr(0, 16)); };
        assembler.push(std::string("first") + end + "xx", onLine);
        for (std::size_t i = 0; i < 2 * kMaxLine / block.size(); ++i) {
            assembler.push(block, onLine);
            ASSERT_LE(assembler.heldBytes(), kMaxLine);
        }
        assembler.push(std::string(end) + "last" + end, onLine);
        EXPECT_FALSE(assembler.finish(onLine));
        EXPECT_EQ(lines, (std::vector<std::string>{"first", "last"}));
        EXPECT_EQ(assembler.heldBytes(), 0u);
    }
}

// A real dump cut anywhere inside its .debug_info listing (at a line end or
// inside a line) is reported as cut; the whole dump, and a dump cut only
// after the listing was closed by the next section's heading, are not.
TEST(ReaderCutDump, EveryCutInsideTheInfoListingIsReported) {
    const std::string dump =
        kestrel::test::readFile(std::filesystem::path(KESTREL_SOURCE_DIR) / "fuzz" / "corpus" / "real-signals-dwarf4.txt");
    const std::size_t unit = dump.find("  Compilation Unit @ offset");
    const std::size_t heading = dump.find("\nRaw dump of debug contents of section");
    ASSERT_NE(unit, std::string::npos);
    ASSERT_NE(heading, std::string::npos);
    EXPECT_FALSE(read(dump)->dumpCut);
    EXPECT_FALSE(read(dump.substr(0, dump.find('\n', heading + 1) + 1))->dumpCut);
    EXPECT_TRUE(read(dump + "  Offset: 0x4")->dumpCut) << "a last line without its line end";
    std::size_t cuts = 0;
    for (std::size_t lineEnd = dump.find('\n', unit); lineEnd <= heading; lineEnd = dump.find('\n', lineEnd + 1)) {
        EXPECT_TRUE(read(dump.substr(0, lineEnd + 1))->dumpCut) << "cut after byte " << lineEnd;
        EXPECT_TRUE(read(dump.substr(0, lineEnd))->dumpCut) << "cut before byte " << lineEnd;
        ++cuts;
    }
    EXPECT_GT(cuts, 200u);
}

}  // namespace

namespace {

// Outside the sections of entries, most lines are passed over unread. The
// lines that change the model wherever they stand are still read there, after
// lines that are passed over: entries and their attributes, a unit's pointer
// size, line tables, a unit header, section headings.
TEST(ReaderPassedOverLines, LinesThatCountAreReadInAnySection) {
    const std::string frames =
        "a.elf:     file format elf32-littlearm\n"
        "\n"
        "Contents of the .debug_frame section:\n"
        "\n"
        "00000000 0000000c ffffffff CIE\n"
        "  DW_CFA_def_cfa: r13 ofs 0\n"
        "    00000000 v000000 v000000 location view pair\n"
        "  [0x0000004c]  Set column to 5\n";
    const std::string entries =
        "   Pointer Size:  8\n"
        " <0><b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
        "    <c>   DW_AT_name        : a.c\n"
        " <1><10>: Abbrev Number: 2 (DW_TAG_pointer_type)\n"
        "  Offset:                      0x0\n"
        "  The Directory Table (offset 0x1b):\n"
        "  1\t/inc\n"
        "\n"
        " The File Name Table (offset 0x24):\n"
        "  Entry\tDir\tTime\tSize\tName\n"
        "  1\t1\t0\t0\tb.h\n"
        "\n"
        "  [0x00000050]  Special opcode 61: advance Address by 4 to 0x8ad0\n";
    auto m = read(frames + entries);
    ASSERT_EQ(m->compileUnits.size(), 1u);
    EXPECT_EQ(m->compileUnits[0]->getName(), "a.c");
    ASSERT_EQ(m->pointers.size(), 1u);
    EXPECT_EQ(m->pointers[0]->byteSize, 8);
    ASSERT_EQ(m->lineTables.size(), 1u);
    EXPECT_EQ(m->lineTables.at(0)->files, (std::vector<std::string>{"/inc/b.h"}));
    EXPECT_FALSE(m->dumpCut);
    EXPECT_EQ(m->linesRead, 21u) << "lines passed over are counted";

    // A unit header opened among passed-over lines, and not closed: cut.
    EXPECT_TRUE(read(frames + "  Compilation Unit @ offset 0x0:\n")->dumpCut);
    // A section heading after them is read: these entries are of type units.
    auto types = read(frames + "Contents of the .debug_types section:\n\n" + entries);
    EXPECT_EQ(types->typeSectionObjects.size(), 2u);
    EXPECT_EQ(types->objectsByOffset.size(), 0u);
    // Before the byte order is known nothing is passed over: a late
    // file-format line still counts.
    EXPECT_TRUE(read(frames.substr(frames.find('\n') + 1) + frames.substr(0, frames.find('\n') + 1))->littleEndian);
}

}  // namespace
