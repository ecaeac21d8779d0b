#!/usr/bin/env bash
# Regenerates the real dumps of the fuzz corpus from the sources here: each
# source compiled for a Cortex-M at three DWARF versions, dumped with the
# options kestrelmap uses, and cut down to the file-format line, the
# .debug_info listing and the line-number tables so that each seed stays a
# few KB.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
corpus="$here/../corpus"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for source in "$here"/*.c "$here"/*.cpp; do
    base=$(basename "$source")
    base=${base%.*}
    case "$source" in
        *.cpp) compiler=arm-none-eabi-g++ ;;
        *) compiler=arm-none-eabi-gcc ;;
    esac
    for version in 2 4 5; do
        elf="$work/$base-dwarf$version.elf"
        (cd "$here" && "$compiler" -mcpu=cortex-m4 -mthumb -O0 -gdwarf-$version -nostdlib \
            -Wl,-e,main -o "$elf" "$(basename "$source")" -lgcc)
        (cd "$work" && arm-none-eabi-objdump -WlLiaprmfFsoRt "$(basename "$elf")") > "$work/dump.txt"
        # Keep the file-format line, the .debug_info listing and the raw
        # line-number tables (directory and file tables).
        awk '
            /file format/ && !format { print; format = 1; next }
            /^Contents of the \.debug_info section/ { keep = 1 }
            /^Raw dump of debug contents of section \.debug_line/ { keep = 1 }
            /^(Contents of the|Raw dump of debug contents of section|Decoded dump of debug contents)/ &&
                !/\.debug_info section/ && !/section \.debug_line:/ { keep = 0 }
            /^ *Line Number Statements:/ { inStatements = 1 }
            /^ *(Offset|The Directory Table|The File Name Table)/ { inStatements = 0 }
            keep && !inStatements { print }
        ' "$work/dump.txt" > "$corpus/real-$base-dwarf$version.txt"
    done
done
