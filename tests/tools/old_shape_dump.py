#!/usr/bin/env python3
"""Turns a dump of binutils 2.26 into the shape that binutils 2.19 to 2.23 printed.

The older objdump versions are not packaged any more; binutils 2.26 is (Debian's
avr-objdump, package binutils-avr), and it reads the DWARF 2 to 4 of an ARM ELF
as well, calling the format elf32-little. The tests compare kestrelmap's map of
such a rewritten dump with its map of the dump of today's objdump.

    avr-objdump -WlLiaprmfFsoRt app.elf > app226.txt
    old_shape_dump.py app226.txt > appold_ObjDump.txt      (or: ... IN OUT)

The rewriting, line by line (after binutils/dwarf.c of those releases):
  - attribute lines ("    <2d>   DW_AT_name : x"): every value was followed by
    a TAB until 2.24, so a line without one gets one at its end, and the
    location-list remark read "<TAB>(location list)" instead of " (location list)";
  - line-table headers: " The Directory Table:" and " The File Name Table:"
    without "(offset 0x..)", the directories listed by name only ("  src" for
    "  1<TAB>src"), and no "  [0x0000007d]" offset in front of each statement;
  - the file format line names elf32-littlearm, as arm-none-eabi-objdump does.
Every other line, and the line ends, stay as they are. The text is handled as
Latin-1, so any byte passes through unchanged.
"""
import sys

HEX_DIGITS = frozenset('0123456789abcdef')
LOCATION_LIST = ' (location list)'


def is_hex(text):
    return text != '' and all(c in HEX_DIGITS for c in text)


def is_attribute_line(line):
    """'<blanks><hex><blanks>DW_AT_...' with at least one blank on each side."""
    body = line.lstrip(' ')
    if len(body) == len(line) or not body.startswith('<'):
        return False
    close = body.find('>')
    if close < 0 or not is_hex(body[1:close]):
        return False
    after = body[close + 1:]
    return after.startswith(' ') and after.lstrip(' ').startswith('DW_AT_')


def table_header(line, title):
    """True for ' <title> (offset 0x<hex>):'."""
    head = ' ' + title + ' (offset 0x'
    return line.startswith(head) and line.endswith('):') and is_hex(line[len(head):-2])


def strip_statement_offset(line):
    """'  [0x0000007d]  Copy' -> '  Copy'; other lines unchanged."""
    if line.startswith('  [0x') and len(line) >= 14 and line[13] == ']' and is_hex(line[5:13]):
        return line[14:]
    return line


def convert_lines(lines):
    in_directories = False
    for line in lines:
        text = line.rstrip('\r\n')
        end = line[len(text):]
        if is_attribute_line(text):
            if text.endswith(LOCATION_LIST):
                text = text[:-len(LOCATION_LIST)] + '\t' + LOCATION_LIST[1:]
            elif '\t' not in text:
                text += '\t'
        elif table_header(text, 'The Directory Table'):
            text = ' The Directory Table:'
            in_directories = True
        elif table_header(text, 'The File Name Table'):
            text = ' The File Name Table:'
        elif in_directories:
            if text == '':
                in_directories = False
            else:
                number, tab, name = text[2:].partition('\t')
                if text.startswith('  ') and tab and number.isdigit():
                    text = '  ' + name
        else:
            text = strip_statement_offset(text)
            if text.endswith('file format elf32-little'):
                text += 'arm'
        yield text + end


def main(argv):
    if len(argv) not in (2, 3):
        sys.stderr.write('usage: old_shape_dump.py DUMP [OUT]\n')
        return 2
    with open(argv[1], encoding='latin-1', newline='') as source:
        out = open(argv[2], 'w', encoding='latin-1', newline='') if len(argv) == 3 else \
            open(sys.stdout.fileno(), 'w', encoding='latin-1', newline='', closefd=False)
        with out:
            out.writelines(convert_lines(source))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
