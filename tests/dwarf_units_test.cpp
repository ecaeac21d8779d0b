// Small dumps of shapes the firmware tests cannot build here (TI's User TAG
// entries) or that they reach only as a whole: type units whose offsets
// repeat those of .debug_info, DW_OP_addrx with the .debug_addr rows,
// declaration-only classes, variables without a name. Each case is a dump and
// the map (and console) it gives.
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "model/DwarfModel.h"
#include "model/Report.h"
#include "reader/ModelLoader.h"
#include "writers/OutputPass.h"

namespace {

using kestrel::test::readFile;
using kestrel::test::TempDir;

struct UnitCase {
    const char* name;
    std::string dump;
    std::string map;      // without the CR of each line
    std::string console;  // the reporter's text
    friend void PrintTo(const UnitCase& c, std::ostream* out) { *out << c.name; }
};

const std::string kUnit =
    "Contents of the .debug_info section:\n"
    "  Compilation Unit @ offset 0:\n"
    "   Pointer Size:  4\n"
    " <0><b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
    " <1><20>: Abbrev Number: 2 (DW_TAG_base_type)\n"
    "    <21>   DW_AT_byte_size   : 4\n"
    "    <22>   DW_AT_encoding    : 7\t(unsigned)\n"
    "    <23>   DW_AT_name        : unsigned int\n";

std::string variable(const char* offset, const char* name, const char* type, const char* location) {
    std::string text = std::string(" <1><") + offset + ">: Abbrev Number: 3 (DW_TAG_variable)\n";
    if (*name != '\0') text += std::string("    <1>   DW_AT_name        : ") + name + "\n";
    text += std::string("    <2>   DW_AT_type        : ") + type + "\n";
    text += std::string("    <3>   DW_AT_location    : ") + location + "\n";
    return text;
}

std::string structure(const char* depth, const char* offset, const char* tag, const char* name, int size,
                      const char* memberOffset, const char* memberType) {
    std::string text = std::string(" <") + depth + "><" + offset + ">: Abbrev Number: 4 (DW_TAG_" + tag + ")\n" +
                       "    <1>   DW_AT_name        : " + name + "\n";
    if (size < 0) return text + "    <2>   DW_AT_declaration : 1\n";
    text += "    <2>   DW_AT_byte_size   : " + std::to_string(size) + "\n";
    const std::string inner = std::to_string(std::stoi(depth) + 1);
    return text + " <" + inner + "><" + memberOffset + ">: Abbrev Number: 5 (DW_TAG_member)\n" +
           "    <1>   DW_AT_name        : m\n" + "    <2>   DW_AT_type        : " + memberType + "\n" +
           "    <3>   DW_AT_data_member_location: 0\n";
}

const char* const kAt100 = "5 byte block: 3 0 1 0 20 \t(DW_OP_addr: 20000100)";

const UnitCase kCases[] = {
    {"UserAndUnknownTagsDoNotRenameTheEntryBefore",
     kUnit + " <1><30>: Abbrev Number: 9 (DW_TAG_subprogram)\n    <31>   DW_AT_name        : Set_Speed\n" +
         " <1><38>: Abbrev Number: 144 (User TAG value: 0x4088)\n    <39>   DW_AT_name        : tiblock\n" +
         " <2><40>: Abbrev Number: 145 (Unknown TAG value: 0x7f)\n    <41>   DW_AT_name        : other\n" +
         variable("48", "counter_2ms", "<0x20>", kAt100),
     "20000100H     SYMBOL  DATA  DWORD    counter_2ms\n", ""},
    {"NamelessVariablesAreNotListed",
     kUnit + variable("30", "", "<0x20>", kAt100) +
         variable("40", "", "<0x20>", "5 byte block: 3 4 1 0 20 \t(DW_OP_addr: 20000104)") +
         " <1><50>: Abbrev Number: 3 (DW_TAG_variable)\n    <51>   DW_AT_specification: <0x40>\n" +
         "    <52>   DW_AT_location    : 5 byte block: 3 8 1 0 20 \t(DW_OP_addr: 20000108)\n",
     "", ""},
    // DWARF 4 type units: .debug_types offsets repeat those of .debug_info; a
    // reference inside a type unit stays inside that section.
    {"TypeUnitsOfTheTypesSectionAreKeptApart",
     kUnit + structure("1", "30", "structure_type", "Info", 4, "38", "<0x20>") +
         variable("48", "byOffset", "<0x30>", kAt100) +
         variable("50", "bySignature", "signature: 0x8c06614c4cc8fc40",
                  "5 byte block: 3 4 1 0 20 \t(DW_OP_addr: 20000104)") +
         variable("58", "unknownSignature", "signature: 0x1", "5 byte block: 3 8 1 0 20 \t(DW_OP_addr: 20000108)") +
         "\nContents of the .debug_types section:\n\n"
         "  Compilation Unit @ offset 0x0:\n   Signature:     0x8c06614c4cc8fc40\n   Type Offset:   0x30\n"
         " <0><17>: Abbrev Number: 1 (DW_TAG_type_unit)\n"
         " <1><20>: Abbrev Number: 2 (DW_TAG_base_type)\n    <21>   DW_AT_byte_size   : 2\n"
         "    <22>   DW_AT_encoding    : 5\t(signed)\n" +
         structure("1", "30", "structure_type", "Typed", 2, "38", "<0x20>"),
     "20000100H     SYMBOL  DATA  DWORD    byOffset.m\n20000104H     SYMBOL  DATA  INT16    bySignature.m\n", ""},
    // Stand-ins that name each other's units (malformed) end in nothing.
    {"StandInsInACircleEndInNothing",
     "Contents of the .debug_info section:\n"
     "  Compilation Unit @ offset 0x0:\n   Signature:     0x1\n   Type Offset:   0x1d\n"
     " <0><18>: Abbrev Number: 1 (DW_TAG_type_unit)\n" +
         structure("1", "1d", "structure_type", "A", -1, "", "") + "    <20>   DW_AT_signature   : signature: 0x2\n" +
         "  Compilation Unit @ offset 0x30:\n   Signature:     0x2\n   Type Offset:   0x18\n"
         " <0><44>: Abbrev Number: 1 (DW_TAG_type_unit)\n" +
         structure("1", "48", "structure_type", "B", -1, "", "") + "    <50>   DW_AT_signature   : signature: 0x1\n" +
         "  Compilation Unit @ offset 0x60:\n <0><6c>: Abbrev Number: 1 (DW_TAG_compile_unit)\n" +
         variable("70", "a", "signature: 0x1", kAt100) + variable("78", "b", "signature: 0x2", kAt100),
     "", ""},
    {"TypeUnitsInsideTheInfoSection",
     "Contents of the .debug_info section:\n  Compilation Unit @ offset 0x0:\n   Unit Type:     DW_UT_type (2)\n"
     "   Signature:     0xfeedfacecafe0001\n   Type Offset:   0x1d\n"
     " <0><18>: Abbrev Number: 1 (DW_TAG_type_unit)\n"
     " <1><1d>: Abbrev Number: 2 (DW_TAG_base_type)\n    <1e>   DW_AT_byte_size   : 1\n"
     "    <1f>   DW_AT_encoding    : 8\t(unsigned char)\n"
     "  Compilation Unit @ offset 0x24:\n <0><30>: Abbrev Number: 1 (DW_TAG_compile_unit)\n" +
         variable("40", "flag", "signature: 0xfeedfacecafe0001", kAt100),
     "20000100H     SYMBOL  DATA  BYTE     flag\n", ""},
    // A stand-in (DW_AT_signature, as GCC writes for a class whose members
    // are defined in the unit) and an array of one are expanded as the type
    // unit's structure; so is an enumeration.
    {"StandInsOfTypeUnitTypes",
     "Contents of the .debug_info section:\n  Compilation Unit @ offset 0x0:\n"
     "   Signature:     0xab\n   Type Offset:   0x1d\n <0><18>: Abbrev Number: 1 (DW_TAG_type_unit)\n" +
         structure("1", "1d", "structure_type", "Node", 2, "26", "<0x2c>") +
         " <1><2c>: Abbrev Number: 2 (DW_TAG_base_type)\n    <2d>   DW_AT_byte_size   : 2\n"
         "  Compilation Unit @ offset 0x30:\n   Signature:     0xcd\n   Type Offset:   0x18\n"
         " <0><44>: Abbrev Number: 1 (DW_TAG_type_unit)\n <1><48>: Abbrev Number: 2 (DW_TAG_enumeration_type)\n"
         "    <49>   DW_AT_byte_size   : 1\n"
         "  Compilation Unit @ offset 0x50:\n <0><5c>: Abbrev Number: 1 (DW_TAG_compile_unit)\n" +
         structure("1", "60", "structure_type", "Node", -1, "", "") + "    <64>   DW_AT_signature   : signature: 0xab\n" +
         " <1><68>: Abbrev Number: 7 (DW_TAG_array_type)\n    <69>   DW_AT_type        : <0x60>\n"
         " <2><6a>: Abbrev Number: 8 (DW_TAG_subrange_type)\n    <6b>   DW_AT_upper_bound : 1\n"
         " <1><70>: Abbrev Number: 9 (DW_TAG_enumeration_type)\n    <71>   DW_AT_signature   : signature: 0xcd\n" +
         variable("78", "nodes", "<0x68>", kAt100) +
         variable("80", "mode", "<0x70>", "5 byte block: 3 4 1 0 20 \t(DW_OP_addr: 20000104)"),
     "20000100H     SYMBOL  DATA  WORD     nodes_00.m\n20000102H     SYMBOL  DATA  WORD     nodes_01.m\n"
     "20000104H     SYMBOL  DATA  BYTE     mode\n",
     ""},
    // DW_OP_addrx: the rows of the variable's own unit; a missing row or
    // table leaves the variable out.
    {"IndexedAddressesComeFromTheUnitsRows",
     kUnit + variable("30", "first", "<0x20>", "\t(DW_OP_addrx <0>)") +
         variable("38", "plus", "<0x20>", "\t(DW_OP_addrx <0x1>; DW_OP_plus_uconst: 8)") +
         variable("40", "noRow", "<0x20>", "\t(DW_OP_addrx <0x2>)") +
         "  Compilation Unit @ offset 0x50:\n <0><5c>: Abbrev Number: 1 (DW_TAG_compile_unit)\n" +
         variable("60", "second", "<0x20>", "\t(DW_OP_addrx <0x1>)") +
         "  Compilation Unit @ offset 0x70:\n <0><7c>: Abbrev Number: 1 (DW_TAG_compile_unit)\n" +
         variable("80", "noTable", "<0x20>", "\t(DW_OP_addrx <0>)") +
         "\nContents of the .debug_addr section:\n\n  For compilation unit at offset 0x50:\n\tIndex\tAddress\n"
         "\t0:\t00009000\n\t1:\t00009004\n\n  For compilation unit at offset 0x0:\n\tIndex\tAddress\n"
         "\t0:\t20000010\n\t1:\t20000020\n\n",
     "20000010H     SYMBOL  DATA  DWORD    first\n20000028H     SYMBOL  DATA  DWORD    plus\n"
     "00009004H     SYMBOL  DATA  DWORD    second\n",
     ""},
    // A declaration-only class is expanded as the definition of the same
    // qualified name (class and structure alike, union apart); one local to
    // a block names no type of another unit.
    {"DeclarationsResolveToTheDefinitionOfTheirName",
     kUnit + " <1><28>: Abbrev Number: 6 (DW_TAG_namespace)\n    <29>   DW_AT_name        : hw\n" +
         structure("2", "30", "class_type", "Motor", -1, "", "") +
         structure("2", "34", "union_type", "Motor", -1, "", "") +
         structure("2", "38", "structure_type", "Other", -1, "", "") +
         " <1><3c>: Abbrev Number: 7 (DW_TAG_array_type)\n    <3d>   DW_AT_type        : <0x30>\n"
         " <2><3e>: Abbrev Number: 8 (DW_TAG_subrange_type)\n    <3f>   DW_AT_upper_bound : 1\n" +
         variable("40", "motors", "<0x3c>", kAt100) + variable("48", "other", "<0x38>", kAt100) +
         variable("4c", "word", "<0x34>", kAt100) +
         " <1><4d>: Abbrev Number: 9 (DW_TAG_lexical_block)\n" +
         structure("2", "4e", "structure_type", "Other", -1, "", "") + variable("4f", "local", "<0x4e>", kAt100) +
         "  Compilation Unit @ offset 0x50:\n <0><5c>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
         " <1><60>: Abbrev Number: 6 (DW_TAG_namespace)\n    <61>   DW_AT_name        : hw\n" +
         structure("2", "68", "structure_type", "Motor", 4, "70", "<0x20>") +
         structure("1", "78", "structure_type", "Other", 4, "80", "<0x20>"),
     "20000100H     SYMBOL  DATA  DWORD    motors_00.m\n20000104H     SYMBOL  DATA  DWORD    motors_01.m\n", ""},
    {"DefinitionsOfDifferentSizesLeaveADeclarationUnresolved",
     kUnit + structure("1", "30", "class_type", "Motor", -1, "", "") + variable("40", "motor", "<0x30>", kAt100) +
         structure("1", "50", "class_type", "Motor", 4, "58", "<0x20>") +
         structure("1", "60", "class_type", "Motor", 8, "68", "<0x20>"),
     "", "Declaration with definitions of different sizes, not resolved: Motor (DIE 0x30)\n"},
};

class Units : public testing::TestWithParam<UnitCase> {};

TEST_P(Units, MapAndMessages) {
    const UnitCase& c = GetParam();
    auto model = kestrel::reader::loadText(c.dump);
    TempDir dir;
    const std::string map = dir / "units_Mox.m51";
    kestrel::model::TextReporter console;
    ASSERT_TRUE(kestrel::writers::writeOutputFiles(map, "", *model, console));
    std::string expected;
    for (const char ch : c.map) {
        if (ch == '\n') expected += '\r';
        expected += ch;
    }
    EXPECT_EQ(std::filesystem::exists(map) ? readFile(map) : std::string(), expected);
    EXPECT_EQ(console.text, c.console);
}

INSTANTIATE_TEST_SUITE_P(Cases, Units, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<UnitCase>& info) { return std::string(info.param.name); });

}  // namespace
