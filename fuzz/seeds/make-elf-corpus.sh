#!/usr/bin/env bash
# Regenerates the seeds of the ELF fuzz target (fuzz/elf-corpus): signals.c
# linked for a little-endian Cortex-M and a big-endian Cortex-R, and compiled
# to a 64-bit host object, each with DWARF 4 and each a few KB.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
corpus="$here/../elf-corpus"
mkdir -p "$corpus"
cd "$here"
arm-none-eabi-gcc -mcpu=cortex-m4 -mthumb -O0 -gdwarf-4 -nostdlib -Wl,-e,main \
    -o "$corpus/real-le32.elf" signals.c -lgcc
arm-none-eabi-gcc -mbig-endian -mcpu=cortex-r4 -marm -O0 -gdwarf-4 -nostdlib -Wl,-e,main \
    -o "$corpus/real-be32.elf" signals.c -lgcc
gcc -O0 -gdwarf-4 -c -o "$corpus/real-host64.o" signals.c
