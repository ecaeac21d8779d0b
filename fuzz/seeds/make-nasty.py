#!/usr/bin/env python3
"""Writes the hand-made hostile dumps of the fuzz corpus (nasty-*.txt): each
is a few lines in the shape objdump prints, bent one way that real dumps never
are."""
import os

here = os.path.dirname(os.path.abspath(__file__))
corpus = os.path.join(here, "..", "corpus")

HEAD = ("fw.elf:     file format elf32-littlearm\n"
        "Contents of the .debug_info section:\n\n"
        "  Compilation Unit @ offset 0:\n"
        "   Length:        0x100 (32-bit)\n"
        "   Version:       4\n"
        "   Abbrev Offset: 0\n"
        "   Pointer Size:  4\n"
        " <0><b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
        "    <c>   DW_AT_name        : fw.c\n"
        "    <10>   DW_AT_stmt_list   : 0\n")

LINES = ("Raw dump of debug contents of section .debug_line:\n\n"
         "  Offset:                      0\n"
         "  DWARF Version:               3\n\n"
         " The Directory Table (offset 0x1b):\n"
         "  1\tinc\n\n"
         " The File Name Table (offset 0x20):\n"
         "  Entry\tDir\tTime\tSize\tName\n"
         "  1\t0\t0\t0\tfw.c\n"
         "  2\t1\t0\t0\tfw.h\n\n")

INT = (" <1><20>: Abbrev Number: 2 (DW_TAG_base_type)\n"
       "    <21>   DW_AT_byte_size   : 4\n"
       "    <22>   DW_AT_encoding    : 5\t(signed)\n"
       "    <23>   DW_AT_name        : int\n")


def variable(offset, name, type_offset, address, line=3):
    return (f" <1><{offset:x}>: Abbrev Number: 9 (DW_TAG_variable)\n"
            f"    <{offset + 1:x}>   DW_AT_name        : {name}\n"
            f"    <{offset + 2:x}>   DW_AT_decl_file   : 1\n"
            f"    <{offset + 3:x}>   DW_AT_decl_line   : {line}\n"
            f"    <{offset + 4:x}>   DW_AT_type        : <0x{type_offset:x}>\n"
            f"    <{offset + 5:x}>   DW_AT_external    : 1\n"
            f"    <{offset + 6:x}>   DW_AT_location    : 5 byte block: 3 {address:x} 0 0 20 "
            f"\t(DW_OP_addr: {address:x})\n")


seeds = {
    # A typedef whose type is itself.
    "nasty-self-typedef": HEAD + INT +
        " <1><30>: Abbrev Number: 3 (DW_TAG_typedef)\n"
        "    <31>   DW_AT_name        : loop_t\n"
        "    <32>   DW_AT_type        : <0x30>\n" +
        variable(0x40, "looped", 0x30, 0x20000000) + variable(0x50, "after", 0x20, 0x20000004) + LINES,
    # A structure with a member whose type is a typedef of the structure.
    "nasty-struct-cycle": HEAD + INT +
        " <1><30>: Abbrev Number: 4 (DW_TAG_structure_type)\n"
        "    <31>   DW_AT_name        : node\n"
        "    <32>   DW_AT_byte_size   : 8\n"
        " <2><33>: Abbrev Number: 5 (DW_TAG_member)\n"
        "    <34>   DW_AT_name        : value\n"
        "    <35>   DW_AT_type        : <0x20>\n"
        "    <36>   DW_AT_data_member_location: 0\n"
        " <2><37>: Abbrev Number: 5 (DW_TAG_member)\n"
        "    <38>   DW_AT_name        : self\n"
        "    <39>   DW_AT_type        : <0x3c>\n"
        "    <3a>   DW_AT_data_member_location: 4\n"
        " <2><3b>: Abbrev Number: 0\n"
        " <1><3c>: Abbrev Number: 3 (DW_TAG_typedef)\n"
        "    <3d>   DW_AT_name        : node_t\n"
        "    <3e>   DW_AT_type        : <0x30>\n" +
        variable(0x40, "head", 0x3c, 0x20000000) + variable(0x50, "after", 0x20, 0x20000010) + LINES,
    # An array claiming four billion elements, then an ordinary variable.
    "nasty-huge-array": HEAD + INT +
        " <1><30>: Abbrev Number: 6 (DW_TAG_array_type)\n"
        "    <31>   DW_AT_type        : <0x20>\n"
        " <2><32>: Abbrev Number: 7 (DW_TAG_subrange_type)\n"
        "    <33>   DW_AT_type        : <0x20>\n"
        "    <34>   DW_AT_upper_bound : 4000000000\n"
        " <2><35>: Abbrev Number: 0\n" +
        variable(0x40, "huge", 0x30, 0x20000000) + variable(0x50, "after", 0x20, 0x20000004) + LINES,
    # Found by the fuzzer (a timeout): the signal bound holds per variable,
    # so every further variable of a four-billion-element type adds another
    # million signals (about 320 MB of output each).
    "nasty-huge-arrays-per-run": HEAD + INT +
        " <1><30>: Abbrev Number: 6 (DW_TAG_array_type)\n"
        "    <31>   DW_AT_type        : <0x20>\n"
        " <2><32>: Abbrev Number: 7 (DW_TAG_subrange_type)\n"
        "    <34>   DW_AT_upper_bound : 4000000000\n" +
        variable(0x40, "a", 0x30, 0x20000000) + variable(0x50, "b", 0x30, 0x20000000) +
        variable(0x60, "c", 0x30, 0x20000000) + LINES,
    # Offsets and numbers far beyond 32 bits, and the largest DIE offset.
    "nasty-big-numbers": HEAD + INT +
        " <1><ffffffff>: Abbrev Number: 2 (DW_TAG_base_type)\n"
        "    <21>   DW_AT_byte_size   : 1234567890123456789012345678901234567890\n"
        "    <22>   DW_AT_name        : wide\n" +
        variable(0x40, "big", 0x20, 0xffffffff, line="9999999999999999999999999999999999999999") +
        " <1><50>: Abbrev Number: 9 (DW_TAG_variable)\n"
        "    <51>   DW_AT_name        : neg\n"
        "    <52>   DW_AT_type        : <0x123456789abcdef0123456789abcdef01234567>\n"
        "    <53>   DW_AT_decl_file   : -2147483648\n"
        "    <54>   DW_AT_location    : 5 byte block: 3 0 0 0 20 \t(DW_OP_addr: fffffffffffffffffff)\n" + LINES,
    # Depth that jumps far ahead and goes back below zero.
    "nasty-depth-jumps": HEAD + INT +
        " <99999><30>: Abbrev Number: 4 (DW_TAG_structure_type)\n"
        "    <31>   DW_AT_byte_size   : 4\n"
        " <3><32>: Abbrev Number: 5 (DW_TAG_member)\n"
        "    <33>   DW_AT_type        : <0x20>\n"
        " <0><34>: Abbrev Number: 0\n"
        " <-1><35>: Abbrev Number: 2 (DW_TAG_base_type)\n"
        " <ffffffff><36>: Abbrev Number: 2 (DW_TAG_variable)\n" +
        variable(0x40, "v", 0x30, 0x20000000) + LINES,
    # Bit fields with impossible sizes and offsets.
    "nasty-bit-fields": HEAD + INT +
        " <1><30>: Abbrev Number: 4 (DW_TAG_structure_type)\n"
        "    <31>   DW_AT_byte_size   : 4\n"
        " <2><32>: Abbrev Number: 5 (DW_TAG_member)\n"
        "    <33>   DW_AT_name        : wide\n"
        "    <34>   DW_AT_type        : <0x20>\n"
        "    <35>   DW_AT_bit_size    : 2147483647\n"
        "    <36>   DW_AT_bit_offset  : -2147483648\n"
        "    <37>   DW_AT_data_member_location: 0\n"
        " <2><38>: Abbrev Number: 5 (DW_TAG_member)\n"
        "    <39>   DW_AT_name        : late\n"
        "    <3a>   DW_AT_type        : <0x20>\n"
        "    <3b>   DW_AT_bit_size    : 3\n"
        "    <3c>   DW_AT_data_bit_offset: 4294967295\n"
        " <2><3d>: Abbrev Number: 0\n" +
        variable(0x40, "bits", 0x30, 0x20000000) + LINES,
    # Names with NUL bytes, invalid UTF-8, lone CRs and separators.
    "nasty-bytes": HEAD.replace("fw.c", "f\x00w\xff.c") + INT +
        variable(0x40, "n\x00ul", 0x20, 0x20000000) +
        variable(0x50, "bad\xc3\x28utf\xed\xa0\x80", 0x20, 0x20000004) +
        variable(0x60, "cr\rin\r", 0x20, 0x20000008) +
        variable(0x70, ".@:", 0x20, 0x2000000c) +
        variable(0x80, "RtePortSR_x", 0x20, 0x20000010) + LINES.replace("fw.h", "\x80\x81\x00"),
    # The same name twice (style warnings), and file numbers outside the table.
    "nasty-duplicates": HEAD + INT + variable(0x40, "twin", 0x20, 0x20000000, line=4) +
        variable(0x50, "twin", 0x20, 0x20000004, line=5).replace("decl_file   : 1", "decl_file   : 99") +
        variable(0x60, "twin", 0x20, 0x20000008, line=6).replace("decl_file   : 1", "decl_file   : 0") + LINES,
    # Ends in the middle of an attribute line, without a final line feed.
    "nasty-truncated": HEAD + INT + variable(0x40, "whole", 0x20, 0x20000000) +
        " <1><50>: Abbrev Number: 9 (DW_TAG_variable)\n"
        "    <51>   DW_AT_name        : half\n"
        "    <52>   DW_AT_type        : <0x2",
    # Line tables in every shape, repeated offsets, tables without a header.
    "nasty-line-tables": HEAD + INT + variable(0x40, "v", 0x20, 0x20000000, line=1) +
        "Raw dump of debug contents of section .debug_line:\n\n"
        "  Offset:                      0x0\n"
        " The Directory Table (offset 0x22, lines 2, columns 1):\n"
        "  Entry\tName\n"
        "  0\t(indirect line string, offset: 0x0): /work\n"
        "  1\t(indirect line string, offset: 0x6): inc\n\n"
        " The File Name Table (offset 0x30, lines 2, columns 2):\n"
        "  Entry\tDir\tName\n"
        "  0\t0\t(indirect line string, offset: 0x10): fw.c\n"
        "  1\t1\t(indirect line string, offset: 0x15): fw.h\n\n"
        "  Offset:                      0\n"
        " The Directory Table:\n"
        "  /usr/include\n"
        "  1\t0\t0\t0\tstray.c\n"
        " The File Name Table (offset 0x20):\n"
        "  Entry\tDir\tTime\tSize\tName\n"
        "  1\t4294967295\t0\t0\tfar.c\n"
        "  -1\t-1\t0\t0\tminus.c\n",
    # Attributes before any entry, CR LF line ends, and a C++ scope chain.
    "nasty-crlf-scopes": ("    <1>   DW_AT_name        : orphan\r\n" + HEAD + INT +
        " <1><30>: Abbrev Number: 10 (DW_TAG_namespace)\n"
        "    <31>   DW_AT_name        : outer\n"
        " <2><32>: Abbrev Number: 11 (DW_TAG_class_type)\n"
        "    <33>   DW_AT_name        : Inner\n"
        "    <34>   DW_AT_byte_size   : 4\n"
        "    <35>   DW_AT_specification: <0x32>\n"
        " <3><36>: Abbrev Number: 5 (DW_TAG_member)\n"
        "    <37>   DW_AT_name        : field\n"
        "    <38>   DW_AT_type        : <0x20>\n"
        " <3><39>: Abbrev Number: 12 (DW_TAG_inheritance)\n"
        "    <3a>   DW_AT_type        : <0x32>\n"
        " <3><3b>: Abbrev Number: 0\n"
        " <2><3c>: Abbrev Number: 0\n" +
        variable(0x40, "obj", 0x32, 0x20000000) +
        " <1><50>: Abbrev Number: 9 (DW_TAG_variable)\n"
        "    <51>   DW_AT_specification: <0x40>\n"
        "    <52>   DW_AT_location    : 5 byte block: 3 4 0 0 20 \t(DW_OP_addr: 20000004)\n" +
        LINES).replace("\n", "\r\n"),
}

for name, text in seeds.items():
    with open(os.path.join(corpus, name + ".txt"), "wb") as out:
        out.write(text.encode("latin-1"))
